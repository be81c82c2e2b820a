#include "deviceconfig.h"
#include "nginxserver.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "updateinfobuilder.h"
#include "updaterrun.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// The real updater binary against real nginx: a check with --download 1, an installation with
// --update 1, and a package download cut off by SIGKILL that a restarted updater completes.

namespace {

QString fileMd5(const QString &path)
{
    return TestFiles::md5(TestFiles::read(path));
}

} // namespace

class TestUpdaterNginx : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void downloadThenInstall();
    void killedDownloadResumes();
    void fleetHeadersInAccessLog();

private:
    void publish(int version, const QString &sourceFolder);
    void writeSettings(int installedVersion);

    QScopedPointer<QTemporaryDir> m_tmp;
    QScopedPointer<TestEnvironment> m_env;
    QScopedPointer<NginxServer> m_nginx;
    QString m_packageName;
    QString m_packageHash;
    QString m_socketName;
};

void TestUpdaterNginx::initTestCase()
{
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    if (QStandardPaths::findExecutable(QStringLiteral("zip")).isEmpty())
        QSKIP("zip is not installed");
}

void TestUpdaterNginx::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_env.reset(new TestEnvironment);
    QVERIFY(m_env->isValid());
    QVERIFY(QDir().mkpath(m_tmp->filePath(QStringLiteral("www/update"))));
    m_nginx.reset(new NginxServer(m_tmp->filePath(QStringLiteral("www"))));
}

void TestUpdaterNginx::cleanup()
{
    // A killed updater cannot remove its control socket.
    if (!m_socketName.isEmpty())
        QLocalServer::removeServer(m_socketName);
    m_socketName.clear();
    m_nginx.reset();
    m_env.reset();
    m_tmp.reset();
}

void TestUpdaterNginx::publish(int version, const QString &sourceFolder)
{
    m_packageName = QStringLiteral("app-%1.zip").arg(version);
    const QString package = m_tmp->filePath(QStringLiteral("www/update/") + m_packageName);
    QProcess zip;
    zip.setWorkingDirectory(sourceFolder);
    zip.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-0"), package, QStringLiteral(".")});
    QVERIFY(zip.waitForFinished(60000));
    QCOMPARE(zip.exitCode(), 0);
    UpdateInfoBuilder info(QStringLiteral("linux"), version, m_packageName, TestFiles::read(package));
    info.link(m_nginx->url(QStringLiteral("/update/") + m_packageName).toString());
    m_packageHash = info.entry().value(QStringLiteral("hash")).toString();
    QVERIFY(info.serve(m_tmp->filePath(QStringLiteral("www/update"))));
}

void TestUpdaterNginx::writeSettings(int installedVersion)
{
    m_socketName = TestEnvironment::uniqueSocketName(QStringLiteral("e2e-updater"));
    QVariantMap keys = DeviceConfig::updaterKeys(m_tmp->filePath(QStringLiteral("app")), m_tmp->filePath(QStringLiteral("work")),
                                                 m_nginx->url(QStringLiteral("/update")).toString(), QStringLiteral("linux"), m_socketName);
    keys.insert(QStringLiteral("app/version"), installedVersion);
    keys.insert(QStringLiteral("app/device_id"), QStringLiteral("dev-1"));
    QVERIFY(DeviceConfig(*m_env).write(DeviceConfig::Updater, keys));
}

void TestUpdaterNginx::downloadThenInstall()
{
    const QString source = m_tmp->filePath(QStringLiteral("v200"));
    QVERIFY(TestFiles::write(source + QStringLiteral("/tovrel.exe"), "#!/bin/sh\necho 200\n"));
    QVERIFY(QFile::setPermissions(source + QStringLiteral("/tovrel.exe"),
                                  QFile::permissions(source + QStringLiteral("/tovrel.exe")) | QFile::ExeOwner));
    QVERIFY(TestFiles::write(source + QStringLiteral("/lib/data.bin"), TestFiles::pseudoRandom(300000, 1)));
    QVERIFY(m_nginx->start());
    publish(200, source);
    writeSettings(100);
    QVERIFY(TestFiles::write(m_tmp->filePath(QStringLiteral("app/user.cfg")), "keep me"));

    const QString package = m_tmp->filePath(QStringLiteral("work/download/") + m_packageName);
    {
        UpdaterRun run(m_env->processEnvironment(), {QStringLiteral("--download"), QStringLiteral("1")});
        QVERIFY2(run.waitForToken(QStringLiteral("$UPDATE_READY"), 20000), run.output().constData());
        QVERIFY(run.output().contains("check download app only"));
        QCOMPARE(fileMd5(package), m_packageHash);
        QVERIFY(!QFile::exists(m_tmp->filePath(QStringLiteral("app/tovrel.exe"))));
        QVERIFY2(run.terminate(), run.output().constData());
        QVERIFY(run.output().contains("exit handler code: 15"));
        QVERIFY(!run.tokens().contains(QStringLiteral("$UPDATING")));
    }
    {
        UpdaterRun run(m_env->processEnvironment(), {QStringLiteral("--update"), QStringLiteral("1")});
        QVERIFY(run.process.waitForFinished(20000));
        QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.process.exitCode(), 0);
        QVERIFY(run.output().contains("unconditional update app dir"));
        // Automatic installation is on now, so init installs once and the option once more.
        QCOMPARE(run.tokens(), QStringList({QStringLiteral("$UPDATER_SERVER_READY"), QStringLiteral("$UPDATE_READY"), QStringLiteral("$UPDATING"),
                                            QStringLiteral("$UPDATED"), QStringLiteral("$UPDATING"),
                                            QStringLiteral("$UPDATED")}));
    }
    QCOMPARE(TestFiles::read(m_tmp->filePath(QStringLiteral("app/tovrel.exe"))), QByteArray("#!/bin/sh\necho 200\n"));
    QVERIFY(QFileInfo(m_tmp->filePath(QStringLiteral("app/tovrel.exe"))).isExecutable());
    QCOMPARE(TestFiles::read(m_tmp->filePath(QStringLiteral("app/lib/data.bin"))), TestFiles::pseudoRandom(300000, 1));
    QCOMPARE(TestFiles::read(m_tmp->filePath(QStringLiteral("app/user.cfg"))), QByteArray("keep me"));
    const DeviceConfig config(*m_env);
    QCOMPARE(config.value(DeviceConfig::Updater, QStringLiteral("app/version")).toInt(), 200);
    QCOMPARE(config.value(DeviceConfig::Updater, QStringLiteral("update/update")).toInt(), 1);
}

void TestUpdaterNginx::killedDownloadResumes()
{
    const QString source = m_tmp->filePath(QStringLiteral("v300"));
    const int size = 6 * 1024 * 1024;
    QVERIFY(TestFiles::write(source + QStringLiteral("/big.bin"), TestFiles::pseudoRandom(size, 3)));
    // Slow enough that the transfer is surely still running when it is killed.
    m_nginx->setExtraServerConfig(QStringLiteral("limit_rate 2m;"));
    QVERIFY(m_nginx->start());
    publish(300, source);
    writeSettings(100);

    const QString partial = m_tmp->filePath(QStringLiteral("work/download/") + m_packageName + QStringLiteral(".tmp"));
    qint64 cutAt = 0;
    {
        UpdaterRun run(m_env->processEnvironment(), {QStringLiteral("--download"), QStringLiteral("1")});
        QVERIFY2(QTest::qWaitFor([&] { return QFileInfo(partial).size() >= 1024 * 1024; }, 20000),
                 run.output().constData());
        run.process.kill();
        QVERIFY(run.process.waitForFinished(5000));
        QCOMPARE(run.process.exitStatus(), QProcess::CrashExit);
        cutAt = QFileInfo(partial).size();
        QVERIFY(cutAt < size);
        QVERIFY(!run.tokens().contains(QStringLiteral("$UPDATE_READY")));
    }
    {
        UpdaterRun run(m_env->processEnvironment(), {QStringLiteral("--download"), QStringLiteral("1")});
        QVERIFY2(run.waitForToken(QStringLiteral("$UPDATE_READY"), 30000), run.output().constData());
        QVERIFY2(run.terminate(), run.output().constData());
    }
    QCOMPARE(fileMd5(m_tmp->filePath(QStringLiteral("work/download/") + m_packageName)), m_packageHash);
    QVERIFY(!QFile::exists(partial));

    const QStringList packageRequests = m_nginx->accessLog().filter(m_packageName);
    qInfo() << "cut at" << cutAt << "of" << size << packageRequests;
    QCOMPARE(packageRequests.size(), 2);
    QVERIFY2(packageRequests.last().contains(QStringLiteral("bytes=%1-").arg(cutAt)), qPrintable(packageRequests.join('\n')));
}

void TestUpdaterNginx::fleetHeadersInAccessLog()
{
    // The log_format of docs/publishing.md.
    m_nginx->setLogFormat(QStringLiteral("$time_iso8601 $http_x_tovrel_device $http_x_tovrel_version $http_x_tovrel_state "
                                         "\"$request\" $status $body_bytes_sent $remote_addr "
                                         "$http_x_tovrel_probation $http_x_tovrel_refused"));
    const QString source = m_tmp->filePath(QStringLiteral("v200"));
    QVERIFY(TestFiles::write(source + QStringLiteral("/tovrel.exe"), "200"));
    QVERIFY(m_nginx->start());
    publish(200, source);
    writeSettings(100);
    {
        UpdaterRun run(m_env->processEnvironment(), {QStringLiteral("--download"), QStringLiteral("1")});
        QVERIFY2(run.waitForToken(QStringLiteral("$UPDATE_READY"), 20000), run.output().constData());
        QVERIFY2(run.terminate(), run.output().constData());
    }
    QVERIFY(QTest::qWaitFor([&] { return m_nginx->accessLog().size() >= 2; }, 5000));
    const QStringList log = m_nginx->accessLog();
    QCOMPARE(log.size(), 2);
    const QRegularExpression info(QStringLiteral("^\\S+ dev-1 100 init \"GET /update/update.json HTTP/1.1\" 200 "));
    const QRegularExpression package(QStringLiteral("^\\S+ dev-1 100 downloading \"GET /update/%1 HTTP/1.1\" 200 ").arg(m_packageName));
    QVERIFY2(info.match(log.at(0)).hasMatch(), qPrintable(log.at(0)));
    QVERIFY2(package.match(log.at(1)).hasMatch(), qPrintable(log.at(1)));

    // The count of installed versions from the documentation, over this log.
    const QString logFile = m_tmp->filePath(QStringLiteral("access.log"));
    QVERIFY(TestFiles::write(logFile, log.join(QLatin1Char('\n')).toUtf8() + '\n'));
    QProcess awk;
    awk.start(QStringLiteral("sh"), {QStringLiteral("-c"),
                                     QStringLiteral("awk '$2 != \"-\" { v[$2] = $3 } END { for (d in v) print v[d] }' \"$1\" "
                                                    "| sort -n | uniq -c"),
                                     QStringLiteral("sh"), logFile});
    QVERIFY(awk.waitForFinished(10000));
    QCOMPARE(awk.readAllStandardOutput().simplified(), QByteArray("1 100"));
}

QTEST_GUILESS_MAIN(TestUpdaterNginx)

#include "tst_updaternginx.moc"
