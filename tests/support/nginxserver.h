#ifndef NGINXSERVER_H
#define NGINXSERVER_H

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

// Real nginx on a free loopback port, serving one folder, with its own configuration, logs and
// temporary files under a private prefix. Runs in the foreground as a child of the test and is
// stopped by stop() or the destructor. The access log records the Range header of each request.
class NginxServer
{
public:
    explicit NginxServer(const QString &rootFolder);
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    static QString binary();
    static bool isAvailable() { return !binary().isEmpty(); }

    // Extra lines for the server block (for example "limit_rate 2m;").
    void setExtraServerConfig(const QString &lines) { m_extra = lines; }

    // Replaces the access log's format (nginx log_format syntax, without quotes); before start().
    void setLogFormat(const QString &format) { m_logFormat = format; }
    // Serves https with this certificate chain and key (PEM files) instead of plain http.
    void setTls(const QString &certificatePem, const QString &keyPem)
    {
        m_certificate = certificatePem;
        m_key = keyPem;
    }

    bool start();
    void stop();
    QString errorString() const { return m_error; }

    quint16 port() const { return m_port; }
    QUrl url(const QString &path) const;
    // One line per request: "<request line> <status> <Range header or -> <body bytes sent>".
    QStringList accessLog() const;

private:
    bool startOnce();

    QString m_root;
    QString m_extra;
    QString m_logFormat = QStringLiteral("$request $status $http_range $body_bytes_sent");
    QString m_certificate;
    QString m_key;
    QTemporaryDir m_prefix;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

#endif
