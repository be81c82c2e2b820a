#include "appupdater.h"
#include "launchersettings.h"
#include "sockethelpers.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// Lets a test hand the client an output chunk as if the updater child had written it.
class TokenUpdater : public AppUpdater
{
public:
    void childWrote(const QString &chunk)
    {
        output = chunk;
        appReadyRead();
    }
};

// A script in place of the updater program: records its start, waits for a "go" file, then
// announces its server (which the test itself opens) and stays until a "stop" file appears.
static QString writeFakeUpdater(const QString &dir, int exitCode = 0)
{
    const QString path = dir + QStringLiteral("/updater");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    f.write(QStringLiteral("#!/bin/sh\n"
                           "echo started >> '%1/starts'\n"
                           "while [ ! -e '%1/go' ]; do sleep 0.02; done\n"
                           "echo '$ALIVE'\n"
                           "echo '$UPDATER_SERVER_READY'\n"
                           "while [ ! -e '%1/stop' ]; do sleep 0.02; done\n"
                           "exit %2\n")
                .arg(dir)
                .arg(exitCode)
                .toUtf8());
    f.close();
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    return path;
}

static int countStarts(const QString &dir)
{
    QFile f(dir + QStringLiteral("/starts"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.readAll().count('\n');
}

static void touch(const QString &path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
}

// A socket name whose file exists but where nobody listens, as a killed updater leaves it.
static bool makeStaleName(const QString &name)
{
    return SocketHelpers::makeStaleSocket(SocketHelpers::serverPath(name));
}

class TestAppUpdater : public QObject
{
    Q_OBJECT
private:
    TestEnvironment env;
    LauncherSettings *settings = nullptr;
    QTemporaryDir work;

    void configure(const QString &serverName, const QString &updaterPath, int active)
    {
        settings->serverName = serverName;
        settings->updaterAppPath = updaterPath;
        settings->updaterAppActive = active;
    }

    // Runs the client against a server of the test's own and returns the server side socket.
    QLocalSocket *connectClient(QLocalServer &server, AppUpdater &client)
    {
        const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("appupdater"));
        configure(name, QString(), 0);
        if (!server.listen(SocketHelpers::serverPath(name)))
            return nullptr;
        client.init(settings);
        if (!QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000))
            return nullptr;
        QLocalSocket *peer = server.nextPendingConnection();
        if (!QTest::qWaitFor([&] { return client.isConnected(); }, 5000))
            return nullptr;
        return peer;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(env.applyAs(QStringLiteral("zorvan")));
        settings = new LauncherSettings(this);
        QVERIFY(work.isValid());
    }

    void noSettingsNoAttempt()
    {
        AppUpdater client;
        QTest::ignoreMessage(QtDebugMsg, "AppUpdater s=null");
        client.init(nullptr);
        QCOMPARE(client.pendingAttemptMs(), 0);
    }

    void tokensMoveState_data()
    {
        QTest::addColumn<QStringList>("chunks");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("attemptMs");
        QTest::newRow("ready") << QStringList{QStringLiteral("$UPDATER_SERVER_READY\n")} << int(AppUpdater::RUNNING)
                               << 1000;
        QTest::newRow("ready wins over quit")
            << QStringList{QStringLiteral("$UPDATER_SERVER_READY\n$QUIT\n")} << int(AppUpdater::RUNNING) << 1000;
        QTest::newRow("ready behind alive")
            << QStringList{QStringLiteral("[Debug] x\n$ALIVE\n$UPDATER_SERVER_READY\n")} << int(AppUpdater::RUNNING)
            << 1000;
        QTest::newRow("listen failed") << QStringList{QStringLiteral("$UPDATER_ERR_LISTEN\n")}
                                       << int(AppUpdater::ERROR) << 100;
        QTest::newRow("listen failed wins over quit")
            << QStringList{QStringLiteral("$UPDATER_ERR_LISTEN\n$QUIT\n")} << int(AppUpdater::ERROR) << 100;
        QTest::newRow("quit after ready")
            << QStringList{QStringLiteral("$UPDATER_SERVER_READY\n"), QStringLiteral("$QUIT\n")}
            << int(AppUpdater::NOTRUNNING) << 1000;
        QTest::newRow("others only logged")
            << QStringList{QStringLiteral("$UPDATER_SERVER_READY\n"), QStringLiteral("$ALIVE\n$UPDATE_READY\n$UPDATED\n")}
            << int(AppUpdater::RUNNING) << 1000;
        QTest::newRow("lower case is no token") << QStringList{QStringLiteral("$updater_server_ready\n")}
                                                << int(AppUpdater::NOTRUNNING) << 100;
    }
    void tokensMoveState()
    {
        QFETCH(QStringList, chunks);
        QFETCH(int, state);
        QFETCH(int, attemptMs);
        configure(TestEnvironment::uniqueSocketName(QStringLiteral("tokens")), QString(), 0);
        TokenUpdater client;
        client.init(settings);
        QCOMPARE(client.getUpdaterState(), AppUpdater::NOTRUNNING);
        for (const QString &chunk : chunks)
            client.childWrote(chunk);
        QCOMPARE(int(client.getUpdaterState()), state);
        QCOMPARE(client.pendingAttemptMs(), attemptMs);
    }

    void messagesForwarded_data()
    {
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("one") << QList<QByteArray>{"{\"state_update\":\"ready\"}\n"} << QStringList{QStringLiteral("ready")};
        QTest::newRow("two lines in one read")
            << QList<QByteArray>{"{\"state_update\":\"updating\"}\n{\"state_update\":\"updated\"}\n"}
            << QStringList{QStringLiteral("updating"), QStringLiteral("updated")};
        QTest::newRow("split over two reads")
            << QList<QByteArray>{"{\"state_upd", "ate\":\"ready\"}\n"} << QStringList{QStringLiteral("ready")};
        QTest::newRow("line and a half, then the rest")
            << QList<QByteArray>{"{\"state_update\":\"downloading\"}\n{\"state_update\":\"re", "ady\"}\n"}
            << QStringList{QStringLiteral("downloading"), QStringLiteral("ready")};
        QTest::newRow("empty value and download state ignored")
            << QList<QByteArray>{"{\"state_update\":\"\"}\n{\"state_download\":\"ready\"}\n{\"state_update\":\"error\"}\n"}
            << QStringList{QStringLiteral("error")};
        QTest::newRow("malformed lines ignored, connection kept")
            << QList<QByteArray>{"not json\n[1,2]\n{}\n{\"state_update\":7}\n{\"ready_version\":3}\n",
                                 "{\"state_update\":\"not_required\"}\n"}
            << QStringList{QStringLiteral("not_required")};
        QTest::newRow("non-ASCII value intact")
            << QList<QByteArray>{"{\"state_update\":\"готово\"}\n"} << QStringList{QStringLiteral("готово")};
    }
    void messagesForwarded()
    {
        QFETCH(QList<QByteArray>, writes);
        QFETCH(QStringList, expected);
        QLocalServer server;
        AppUpdater client;
        QSignalSpy spy(&client, &AppUpdater::stateUpdateChanged);
        QLocalSocket *peer = connectClient(server, client);
        QVERIFY(peer);
        for (int i = 0; i < writes.size(); ++i) {
            peer->write(writes.at(i));
            QVERIFY(peer->waitForBytesWritten(5000));
            if (i + 1 < writes.size()) {
                // let the client see this part on its own before the next one arrives
                QTest::qWait(100);
            }
        }
        QVERIFY(QTest::qWaitFor([&] { return spy.count() >= expected.size(); }, 5000));
        QTest::qWait(50);
        QStringList got;
        for (const QList<QVariant> &args : spy)
            got << args.at(0).toString();
        QCOMPARE(got, expected);
        QVERIFY(client.isConnected());
    }

    void startUpdateOnlyWhenConnected()
    {
        QLocalServer server;
        const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("startupdate"));
        configure(name, QString(), 0);
        AppUpdater client;
        client.startUpdate(); // not even initialised: dropped
        client.init(settings);
        client.startUpdate(); // attempt not made yet: dropped, never repeated
        QVERIFY(server.listen(SocketHelpers::serverPath(name)));
        QVERIFY(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000));
        QLocalSocket *peer = server.nextPendingConnection();
        QVERIFY(QTest::qWaitFor([&] { return client.isConnected(); }, 5000));
        QCOMPARE(client.pendingAttemptMs(), 0);
        QTest::qWait(100);
        QCOMPARE(peer->bytesAvailable(), 0);

        client.startUpdate();
        QVERIFY(QTest::qWaitFor([&] { return peer->bytesAvailable() > 0; }, 5000));
        QCOMPARE(peer->readAll(), QByteArray("{\"action\":\"update\"}"));
    }

    // Unlike "update", a rollback or commit asked for before the updater is reached is not lost,
    // and each goes on a line of its own even when they leave together.
    void rollbackAndCommitWaitForTheConnection()
    {
        QLocalServer server;
        const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("rollback"));
        configure(name, QString(), 0);
        AppUpdater client;
        client.init(settings);
        client.requestRollback();
        client.acceptVersion();
        client.startUpdate(); // dropped as before
        QVERIFY(server.listen(SocketHelpers::serverPath(name)));
        QVERIFY(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000));
        QLocalSocket *peer = server.nextPendingConnection();
        QVERIFY(QTest::qWaitFor([&] { return peer->bytesAvailable() > 0; }, 5000));
        QTest::qWait(100);
        const QList<QByteArray> lines = peer->readAll().split('\n');
        QStringList actions;
        for (const QByteArray &line : lines) {
            if (!line.trimmed().isEmpty())
                actions << QJsonDocument::fromJson(line).object().value(QStringLiteral("action")).toString();
        }
        QCOMPARE(actions, (QStringList{QStringLiteral("rollback"), QStringLiteral("commit")}));
        client.acceptVersion();
        QVERIFY(QTest::qWaitFor([&] { return peer->bytesAvailable() > 0; }, 5000));
        QCOMPARE(peer->readAll().trimmed(), QByteArray("{\"action\":\"commit\"}"));

        // Withdrawn when the application started before an updater was reached: a late rollback
        // would move files under it.
        AppUpdater late;
        late.init(settings);
        late.requestRollback();
        late.withdrawRollback();
        late.acceptVersion();
        QVERIFY(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000));
        peer = server.nextPendingConnection();
        QVERIFY(QTest::qWaitFor([&] { return peer->bytesAvailable() > 0; }, 5000));
        QTest::qWait(100);
        QCOMPARE(peer->readAll().trimmed(), QByteArray("{\"action\":\"commit\"}"));
    }

    void lostConnectionRetriesIn60s()
    {
        QLocalServer server;
        AppUpdater client;
        QLocalSocket *peer = connectClient(server, client);
        QVERIFY(peer);
        peer->disconnectFromServer();
        QVERIFY(QTest::qWaitFor([&] { return client.getUpdaterState() == AppUpdater::RECONNECT; }, 5000));
        QCOMPARE(client.pendingAttemptMs(), 60000);
    }

    void notFoundWithoutUpdaterProgram_data()
    {
        QTest::addColumn<int>("active");
        QTest::addColumn<QString>("message");
        QTest::newRow("inactive") << 0 << QStringLiteral("updater active = 0");
        QTest::newRow("missing") << 1 << QStringLiteral("file not exists:");
    }
    void notFoundWithoutUpdaterProgram()
    {
        QFETCH(int, active);
        QFETCH(QString, message);
        configure(TestEnvironment::uniqueSocketName(QStringLiteral("notfound")),
                  work.filePath(QStringLiteral("absent/updater")), active);
        AppUpdater client;
        client.init(settings);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QRegularExpression::escape(message)));
        QVERIFY(QTest::qWaitFor([&] { return client.pendingAttemptMs() == 60000; }, 5000));
        QCOMPARE(client.getRunState(), AppUpdater::RunState::NotStarted);
        QCOMPARE(client.getUpdaterState(), AppUpdater::NOTRUNNING);
    }

    // Cold start: first attempt after 100 ms finds no server and starts the updater; the attempt
    // 1 s after its start finds no server either and starts nothing; the announcement of the
    // server brings an attempt 1 s later that connects and receives the current state.
    void coldStartSchedule()
    {
        QTemporaryDir dir;
        const QString program = writeFakeUpdater(dir.path());
        QVERIFY(!program.isEmpty());
        const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("coldstart"));
        configure(name, program, 1);

        AppUpdater client;
        QSignalSpy states(&client, &AppUpdater::stateUpdateChanged);
        QElapsedTimer clock;
        clock.start();
        client.init(settings);
        QCOMPARE(client.pendingAttemptMs(), 100);
        QVERIFY(QTest::qWaitFor([&] { return client.getRunState() == AppUpdater::RunState::Running; }, 5000));
        QVERIFY(clock.elapsed() >= 100);
        QCOMPARE(client.getUpdaterState(), AppUpdater::RUNNING);
        QCOMPARE(client.pendingAttemptMs(), 1000);
        clock.restart();
        QVERIFY(QTest::qWaitFor([&] { return client.pendingAttemptMs() == 60000; }, 5000));
        QVERIFY(clock.elapsed() >= 900);
        QCOMPARE(countStarts(dir.path()), 1);

        QLocalServer server;
        QVERIFY(server.listen(SocketHelpers::serverPath(name)));
        connect(&server, &QLocalServer::newConnection, &server, [&server] {
            QLocalSocket *peer = server.nextPendingConnection();
            peer->write("{\"state_update\":\"ready\"}\n{\"state_download\":\"ready\"}\n");
        });
        touch(dir.filePath(QStringLiteral("go")));
        QVERIFY(QTest::qWaitFor([&] { return client.pendingAttemptMs() == 1000; }, 5000));
        clock.restart();
        QVERIFY(states.wait(5000));
        QVERIFY(clock.elapsed() >= 900);
        QCOMPARE(states.count(), 1);
        QCOMPARE(states.at(0).at(0).toString(), QStringLiteral("ready"));
        QVERIFY(client.isConnected());
        QCOMPARE(countStarts(dir.path()), 1);

        touch(dir.filePath(QStringLiteral("stop")));
        QVERIFY(QTest::qWaitFor([&] { return client.getRunState() == AppUpdater::RunState::Finished; }, 5000));
        QCOMPARE(client.getUpdaterState(), AppUpdater::NOTRUNNING);
    }

    void updaterEndingAfterInstallationIsStartedAtOnce_data()
    {
        QTest::addColumn<QByteArray>("lastLine");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("atOnce");
        QTest::newRow("exit 0 after updated") << QByteArray("{\"state_update\":\"updated\"}\n") << 0 << true;
        QTest::newRow("exit 1 after updated") << QByteArray("{\"state_update\":\"updated\"}\n") << 1 << false;
    }
    // After an installation the updater ends itself with 0; its successor is started at once.
    void updaterEndingAfterInstallationIsStartedAtOnce()
    {
        QFETCH(QByteArray, lastLine);
        QFETCH(int, exitCode);
        QFETCH(bool, atOnce);
        QTemporaryDir dir;
        const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("updated"));
        configure(name, writeFakeUpdater(dir.path(), exitCode), 1);
        AppUpdater client;
        QSignalSpy states(&client, &AppUpdater::stateUpdateChanged);
        client.init(settings);
        QVERIFY(QTest::qWaitFor([&] { return client.getRunState() == AppUpdater::RunState::Running; }, 5000));
        QLocalServer server;
        QVERIFY(server.listen(SocketHelpers::serverPath(name)));
        touch(dir.filePath(QStringLiteral("go")));
        QVERIFY(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000));
        server.nextPendingConnection()->write(lastLine);
        QVERIFY(states.wait(5000));
        server.close();
        touch(dir.filePath(QStringLiteral("stop")));
        QVERIFY(QTest::qWaitFor([&] { return client.getRunState() == AppUpdater::RunState::Finished; }, 5000));
        QCOMPARE(QTest::qWaitFor([&] { return countStarts(dir.path()) == 2; }, 3000), atOnce);
    }

    // An updater that cannot come up (a missing library, a broken installation) ends right after
    // its start; it is started again at the pace of the regular attempts, not every second.
    void updaterEndingAtStartIsNotRestartedEverySecond()
    {
        QTemporaryDir dir;
        const QString program = dir.filePath(QStringLiteral("updater"));
        QFile f(program);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\necho started >> '%1/starts'\nexit 1\n").arg(dir.path()).toUtf8());
        f.close();
        QVERIFY(f.setPermissions(f.permissions() | QFileDevice::ExeOwner));
        configure(TestEnvironment::uniqueSocketName(QStringLiteral("crashing")), program, 1);

        AppUpdater client;
        client.init(settings);
        QVERIFY(QTest::qWaitFor([&] { return client.getRunState() == AppUpdater::RunState::Finished; }, 5000));
        QCOMPARE(client.getUpdaterState(), AppUpdater::NOTRUNNING);
        QCOMPARE(client.pendingAttemptMs(), 60000);
        QTest::qWait(2500);
        QCOMPARE(countStarts(dir.path()), 1);
    }

    // One attempt a minute for months: neither a missing server nor a server that keeps closing
    // the connection may cost a descriptor per attempt.
    void manyAttemptsLeakNoDescriptor()
    {
        const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("attempts"));
        configure(name, QString(), 0);
        AppUpdater client;
        client.init(settings);
        auto descriptors = [] {
            return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
        };
        for (int i = 0; i < 10; ++i)
            client.m_timerTimeout();
        QCoreApplication::processEvents();
        const int missingBefore = descriptors();
        for (int i = 0; i < 200; ++i)
            client.m_timerTimeout();
        QCoreApplication::processEvents();
        QCOMPARE(descriptors(), missingBefore);

        QLocalServer server;
        QVERIFY(server.listen(SocketHelpers::serverPath(name)));
        int accepted = 0;
        connect(&server, &QLocalServer::newConnection, &server, [&] {
            while (QLocalSocket *peer = server.nextPendingConnection()) {
                ++accepted;
                peer->write("{\"state_update\":\"not_required\"}\n");
                peer->disconnectFromServer();
                peer->deleteLater();
            }
        });
        int serverBefore = 0;
        for (int i = 0; i < 60; ++i) {
            if (i == 10) {
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                serverBefore = descriptors();
            }
            client.m_timerTimeout();
            QVERIFY(QTest::qWaitFor([&] { return accepted == i + 1 && client.getUpdaterState() == AppUpdater::RECONNECT; }, 5000));
            QCoreApplication::processEvents();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(descriptors(), serverBefore);
    }

    // A name left by a killed updater refuses connections; with no updater known to run the
    // client starts one (it clears the stale name), and only a refusal while an updater runs
    // leaves the client in ERROR, where "not found" no longer starts anything.
    void refusedConnection()
    {
        QTemporaryDir dir;
        const QString program = writeFakeUpdater(dir.path());
        const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("stale"));
        QVERIFY(makeStaleName(name));
        configure(name, program, 1);

        AppUpdater client;
        client.init(settings);
        QVERIFY(QTest::qWaitFor([&] { return client.getRunState() == AppUpdater::RunState::Running; }, 5000));
        QCOMPARE(countStarts(dir.path()), 1);
        QCOMPARE(client.getUpdaterState(), AppUpdater::RUNNING);

        // the attempt 1 s after the start is refused again while the updater runs
        QTest::ignoreMessage(QtWarningMsg, "[AppUpdater] device reboot required");
        QVERIFY(QTest::qWaitFor([&] { return client.getUpdaterState() == AppUpdater::ERROR; }, 5000));
        QCOMPARE(countStarts(dir.path()), 1);

        QFile::remove(SocketHelpers::serverPath(name));
        client.m_timerTimeout();
        QCOMPARE(client.getUpdaterState(), AppUpdater::ERROR);
        QCOMPARE(countStarts(dir.path()), 1);
        touch(dir.filePath(QStringLiteral("go")));
        touch(dir.filePath(QStringLiteral("stop")));
        QVERIFY(QTest::qWaitFor([&] { return client.getRunState() == AppUpdater::RunState::Finished; }, 5000));
    }
};

QTEST_GUILESS_MAIN(TestAppUpdater)
#include "tst_appupdater.moc"
