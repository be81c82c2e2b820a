#include "nginxserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

NginxServer::NginxServer(const QString &rootFolder)
    : m_root(QFileInfo(rootFolder).absoluteFilePath())
{
}

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::binary()
{
    const QString inPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (!inPath.isEmpty())
        return inPath;
    return QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

QUrl NginxServer::url(const QString &path) const
{
    const QString scheme = m_certificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https");
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(m_port).arg(path));
}

bool NginxServer::start()
{
    if (binary().isEmpty()) {
        m_error = QStringLiteral("nginx is not installed");
        return false;
    }
    if (!m_prefix.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    // The free port is found by binding port 0 and releasing it; another process may take it in
    // between, so a failed start is tried again on a new port.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOnce())
            return true;
    }
    return false;
}

bool NginxServer::startOnce()
{
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) {
            m_error = probe.errorString();
            return false;
        }
        m_port = probe.serverPort();
    }

    const QString prefix = m_prefix.path();
    QDir(prefix).mkpath(QStringLiteral("logs"));
    QDir(prefix).mkpath(QStringLiteral("temp"));
    QFile::remove(prefix + QStringLiteral("/logs/access.log"));
    QFile::remove(prefix + QStringLiteral("/logs/error.log"));

    // master_process off: one process that neither forks workers nor changes its user, so files
    // in a private temporary folder stay readable when the tests run as root.
    const QString config = QStringLiteral(
        "daemon off;\n"
        "master_process off;\n"
        "worker_processes 1;\n"
        "pid %1/nginx.pid;\n"
        "error_log %1/logs/error.log warn;\n"
        "events { worker_connections 64; }\n"
        "http {\n"
        "  log_format ranges '%7';\n"
        "  access_log %1/logs/access.log ranges;\n"
        "  client_body_temp_path %1/temp/body;\n"
        "  proxy_temp_path %1/temp/proxy;\n"
        "  fastcgi_temp_path %1/temp/fastcgi;\n"
        "  uwsgi_temp_path %1/temp/uwsgi;\n"
        "  scgi_temp_path %1/temp/scgi;\n"
        "  default_type application/octet-stream;\n"
        "  sendfile on;\n"
        "  server {\n"
        "    listen 127.0.0.1:%2%5;\n"
        "    root %3;\n"
        "    %6\n"
        "    %4\n"
        "  }\n"
        "}\n")
                               .arg(prefix)
                               .arg(m_port)
                               .arg(m_root)
                               .arg(m_extra)
                               .arg(m_certificate.isEmpty() ? QString() : QStringLiteral(" ssl"))
                               .arg(m_certificate.isEmpty() ? QString()
                                                            : QStringLiteral("ssl_certificate %1; ssl_certificate_key %2;")
                                                                  .arg(m_certificate, m_key))
                               .arg(m_logFormat);
    QFile file(prefix + QStringLiteral("/nginx.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0) {
        m_error = file.errorString();
        return false;
    }
    file.close();

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(binary(), {QStringLiteral("-p"), prefix, QStringLiteral("-c"), prefix + QStringLiteral("/nginx.conf")});
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return false;
    }
    const bool up = QTest::qWaitFor(
        [this] {
            if (m_process.state() != QProcess::Running)
                return true;
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            return socket.waitForConnected(200);
        },
        10000);
    if (!up || m_process.state() != QProcess::Running) {
        QFile log(prefix + QStringLiteral("/logs/error.log"));
        m_error = QString::fromUtf8(m_process.readAll());
        if (log.open(QIODevice::ReadOnly))
            m_error += QString::fromUtf8(log.readAll());
        stop();
        return false;
    }
    return true;
}

void NginxServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QStringList NginxServer::accessLog() const
{
    QFile log(m_prefix.path() + QStringLiteral("/logs/access.log"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
