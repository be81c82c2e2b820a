#include "deviceconfig.h"
#include "sockethelpers.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "updaterrun.h"

#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

namespace {

const QString demoServer = QStringLiteral(TESTS_SOURCE_DIR "/../scripts/demo-server.sh");

}

// A version published with tovrel-publish, served by real nginx, found, fetched and installed by the real
// updater on request over its control socket.
class TestPublishUpdate : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void publishedVersionIsInstalled();
    void cleanup();

private:
    bool runScript(const QStringList &arguments, QByteArray *out);

    TestEnvironment m_env;
    QString m_serverDir;
};

void TestPublishUpdate::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_env.isValid());
    if (QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")})
            .isEmpty())
        QSKIP("nginx is not installed (scripts/deps.sh installs it)");
    QVERIFY(QFileInfo::exists(demoServer));
}

bool TestPublishUpdate::runScript(const QStringList &arguments, QByteArray *out)
{
    QProcess script;
    QProcessEnvironment environment = m_env.processEnvironment();
    environment.insert(QStringLiteral("PUBLISH_BIN"), QStringLiteral(PUBLISH_BIN));
    script.setProcessEnvironment(environment);
    script.start(QStringLiteral("bash"), QStringList{demoServer} + arguments);
    if (!script.waitForFinished(60000)) {
        script.kill();
        script.waitForFinished();
        return false;
    }
    if (out)
        *out = script.readAllStandardOutput();
    const QByteArray err = script.readAllStandardError();
    if (script.exitCode() != 0)
        qWarning("%s", err.constData());
    return script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
}

void TestPublishUpdate::cleanup()
{
    if (!m_serverDir.isEmpty())
        QVERIFY(runScript({QStringLiteral("stop"), QStringLiteral("--dir"), m_serverDir}, nullptr));
    m_serverDir.clear();
}

void TestPublishUpdate::publishedVersionIsInstalled()
{
    const QString release = m_env.path() + QStringLiteral("/release");
    QVERIFY(TestFiles::write(release + QStringLiteral("/tovrel.exe"), "#!/bin/sh\necho version 2\n"));
    QVERIFY(QFile::setPermissions(release + QStringLiteral("/tovrel.exe"),
                                  QFile::permissions(release + QStringLiteral("/tovrel.exe")) | QFile::ExeOwner));
    QVERIFY(TestFiles::write(release + QStringLiteral("/data/readme.txt"), "second version"));
    const QString app = m_env.path() + QStringLiteral("/app");
    QVERIFY(TestFiles::write(app + QStringLiteral("/tovrel.exe"), "#!/bin/sh\necho version 1\n"));

    m_serverDir = m_env.path() + QStringLiteral("/server");
    QByteArray url;
    QVERIFY(runScript({release, QStringLiteral("--version-code"), QStringLiteral("2"), QStringLiteral("--key"),
                       QStringLiteral("linux"), QStringLiteral("--dir"), m_serverDir},
                      &url));
    url = url.trimmed();
    QVERIFY2(url.startsWith("http://127.0.0.1:"), url.constData());

    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("publish"));
    const DeviceConfig config(m_env);
    QVERIFY(config.write(DeviceConfig::Updater, {{QStringLiteral("localserver/name"), name},
                                                 {QStringLiteral("update/link"), QString::fromUtf8(url)},
                                                 {QStringLiteral("update/key"), QStringLiteral("linux")},
                                                 {QStringLiteral("app/version"), 1},
                                                 {QStringLiteral("app/folder"), app},
                                                 {QStringLiteral("update/update"), 0}}));

    UpdaterRun updater(m_env.processEnvironment(), {QStringLiteral("--download"), QStringLiteral("1")});
    QVERIFY2(updater.waitUntilReady(10000), updater.output().constData());

    QLocalSocket client;
    QVERIFY(SocketHelpers::connectTo(client, name));
    QByteArray received;
    auto receivedLine = [&](const QByteArray &line) {
        received += client.readAll();
        return received.split('\n').contains(line);
    };
    // The check runs 100 ms after start; the package is small, so "ready" comes within seconds.
    QVERIFY2(QTest::qWaitFor([&] { return receivedLine("{\"state_update\":\"ready\"}"); }, 60000),
             received.constData());
    QVERIFY(updater.tokens().contains(QStringLiteral("$UPDATE_READY")));
    QCOMPARE(QFile(app + QStringLiteral("/tovrel.exe")).size(), qint64(25));

    client.write(R"({"action":"update"})");
    client.flush();
    QVERIFY2(QTest::qWaitFor([&] { return receivedLine("{\"state_update\":\"updated\"}"); }, 30000),
             received.constData());
    QVERIFY(received.indexOf("{\"state_update\":\"updating\"}") < received.indexOf("{\"state_update\":\"updated\"}"));
    QVERIFY(updater.tokens().contains(QStringLiteral("$UPDATED")));

    QCOMPARE(TestFiles::read(app + QStringLiteral("/tovrel.exe")), QByteArray("#!/bin/sh\necho version 2\n"));
    QVERIFY(QFile::permissions(app + QStringLiteral("/tovrel.exe")) & QFile::ExeOwner);
    QCOMPARE(TestFiles::read(app + QStringLiteral("/data/readme.txt")), QByteArray("second version"));

    received.clear();
    client.write("{\"action\":\"get\",\"installed_version\":0}\n{\"action\":\"quit\"}\n");
    client.flush();
    QVERIFY(QTest::qWaitFor([&] { return receivedLine("{\"installed_version\":2}"); }, 10000));
    QVERIFY(updater.process.waitForFinished(10000));
    QCOMPARE(updater.process.exitCode(), 0);
    QCOMPARE(config.value(DeviceConfig::Updater, QStringLiteral("app/version")).toInt(), 2);
}

QTEST_MAIN(TestPublishUpdate)
#include "tst_publishupdate.moc"
