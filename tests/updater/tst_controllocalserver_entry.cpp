#include "deviceconfig.h"
#include "installjournal.h"
#include "sockethelpers.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "testzip.h"
#include "updateinfobuilder.h"
#include "updaterrun.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

// A private updater store listening under a name of its own, for the real updater.
QProcessEnvironment configured(const TestEnvironment &env, const QString &name, QVariantMap values = QVariantMap())
{
    values.insert(QStringLiteral("localserver/name"), name);
    values.insert(QStringLiteral("update/link"), QStringLiteral("http://127.0.0.1:9/update"));
    DeviceConfig(env).write(DeviceConfig::Updater, values);
    return env.processEnvironment();
}

QByteArray readLines(QLocalSocket &client, int count)
{
    return SocketHelpers::readLines(client, count, 10000);
}

}

class TestControlEntry : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void secondInstanceEnds();
    void nameOfKilledUpdaterIsReused();
    void quitRequestEndsUpdater();
    void endsAfterInstallationOnceClientsKnow();
};

void TestControlEntry::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(QFileInfo(QStringLiteral(UPDATER_BIN)).isExecutable());
}

void TestControlEntry::secondInstanceEnds()
{
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("entry"));
    UpdaterRun first(configured(env, name));
    QVERIFY(first.waitUntilReady());

    // An unfinished installation from version 4 to 5 that never moved a file.
    const auto journalIn = [](const QString &folder) {
        InstallJournal journal;
        journal.folder = folder;
        journal.source = QStringLiteral(".update-staging-t");
        journal.backup = QStringLiteral(".update-backup-t");
        journal.fromVersion = 4;
        journal.toVersion = 5;
        QString error;
        return QDir().mkpath(folder) && journal.save(&error);
    };
    TestEnvironment otherEnv;
    const QString appFolder = env.path() + QStringLiteral("/app");
    const QString otherApp = otherEnv.path() + QStringLiteral("/app");
    QVERIFY(journalIn(appFolder) && journalIn(otherApp));
    UpdaterRun same(configured(env, name, {{QStringLiteral("app/folder"), appFolder}}));
    UpdaterRun other(configured(otherEnv, name, {{QStringLiteral("app/folder"), otherApp}}));
    for (UpdaterRun *second : {&same, &other}) {
        QVERIFY(second->process.waitForFinished(10000));
        QCOMPARE(second->process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->process.exitCode(), 0);
        const QStringList lines = second->lines();
        QVERIFY(lines.contains(QStringLiteral("$UPDATER_ERR_LISTEN")) && !lines.contains(QStringLiteral("$UPDATER_SERVER_READY")));
        QCOMPARE(lines.last(), QStringLiteral("[Debug] exit handler code: 0"));
    }
    // The first holds the folder of its configuration: a second updater of it leaves the journal alone.
    const QString sameLog = same.lines().join(QLatin1Char('\n'));
    QVERIFY2(!sameLog.contains(QStringLiteral("[InstallJournal]")) && sameLog.contains(QStringLiteral("held by another updater")),
             qPrintable(sameLog));
    QVERIFY(InstallJournal::existsIn(appFolder));
    // Nobody else may touch the other folder: its updater finishes the journal without a socket, and says so.
    const QString otherLog = other.lines().join(QLatin1Char('\n'));
    QVERIFY2(otherLog.contains(QStringLiteral("no control socket; finishing the journal")), qPrintable(otherLog));
    QVERIFY(!InstallJournal::existsIn(otherApp));
    QCOMPARE(DeviceConfig(otherEnv).value(DeviceConfig::Updater, QStringLiteral("app/version")).toInt(), 4);

    QCOMPARE(first.process.state(), QProcess::Running);
    QLocalSocket client;
    QVERIFY(SocketHelpers::connectTo(client, name));
    const QByteArray greeting = readLines(client, 4);
    QVERIFY2(greeting.startsWith("{\"state_update\":\""), greeting.constData());
    QVERIFY2(greeting.contains("\n{\"state_download\":\""), greeting.constData());
    QVERIFY2(greeting.endsWith("\n{\"state_probation\":\"none\"}\n{\"state_journal\":\"none\"}\n"), greeting.constData());
}

void TestControlEntry::nameOfKilledUpdaterIsReused()
{
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("entry"));
    const QString path = SocketHelpers::serverPath(name);
    {
        UpdaterRun crashed(configured(env, name));
        QVERIFY(crashed.waitUntilReady());
        crashed.process.kill();
        QVERIFY(crashed.process.waitForFinished(5000));
    }
    QVERIFY(QFileInfo::exists(path));

    UpdaterRun next(configured(env, name));
    QVERIFY(next.waitUntilReady());
    QLocalSocket client;
    QVERIFY(SocketHelpers::connectTo(client, name));
    QVERIFY(readLines(client, 2).startsWith("{\"state_update\":\""));
    QCOMPARE(next.process.state(), QProcess::Running);
}

void TestControlEntry::quitRequestEndsUpdater()
{
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("entry"));
    UpdaterRun updater(configured(env, name));
    QVERIFY(updater.waitUntilReady());
    QLocalSocket client;
    QVERIFY(SocketHelpers::connectTo(client, name));
    readLines(client, 3);

    client.write(R"({"action":"get","installed_version":0})" "\n" R"({"action":"quit"})");
    client.flush();
    QCOMPARE(readLines(client, 1), QByteArray("{\"installed_version\":407}\n"));
    QVERIFY(updater.process.waitForFinished(10000));
    QCOMPARE(updater.process.exitCode(), 0);
    const QStringList lines = updater.lines();
    const int quit = lines.indexOf(QStringLiteral("$QUIT"));
    QVERIFY(quit > 0);
    QCOMPARE(lines.last(), QStringLiteral("[Debug] exit handler code: 0"));
    QVERIFY(!QFileInfo::exists(SocketHelpers::serverPath(name)));
}

void TestControlEntry::endsAfterInstallationOnceClientsKnow()
{
    TestEnvironment env;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString work = dir.filePath(QStringLiteral("work"));
    const QString app = dir.filePath(QStringLiteral("app"));
    QVERIFY(QDir().mkpath(app));
    const QString zip = dir.filePath(QStringLiteral("app-200.zip"));
    QCOMPARE(writeZip(zip, {ZipItem::file(QStringLiteral("a"), "v200")}), QString());
    QVERIFY(UpdateInfoBuilder(QStringLiteral("linux"), 200, QStringLiteral("app-200.zip"), TestFiles::read(zip))
                .placeReadyPackage(work));

    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("entry"));
    UpdaterRun updater(configured(env, name,
                                  {{QStringLiteral("update/key"), QStringLiteral("linux")},
                                   {QStringLiteral("update/directory"), work},
                                   {QStringLiteral("app/folder"), app},
                                   {QStringLiteral("app/version"), 100}}));
    QVERIFY(updater.waitForLine(QStringLiteral("$UPDATE_READY")));
    QLocalSocket client;
    QVERIFY(SocketHelpers::connectTo(client, name));
    QVERIFY(readLines(client, 4).startsWith("{\"state_update\":\"ready\"}\n"));

    client.write(R"({"action":"update"})");
    client.flush();
    // The client has every state before the updater ends on its own.
    QCOMPARE(readLines(client, 3), QByteArray("{\"state_update\":\"updating\"}\n{\"state_update\":\"updated\"}\n"
                                              "{\"state_probation\":\"kept\"}\n"));
    QVERIFY(updater.process.waitForFinished(10000));
    QCOMPARE(updater.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.process.exitCode(), 0);
    QVERIFY(updater.lines().contains(QStringLiteral("$UPDATED")));
    QCOMPARE(updater.lines().last(), QStringLiteral("[Debug] exit handler code: 0"));
    QCOMPARE(TestFiles::read(app + QStringLiteral("/a")), QByteArray("v200"));
}

QTEST_MAIN(TestControlEntry)
#include "tst_controllocalserver_entry.moc"
