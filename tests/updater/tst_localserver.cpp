#include "localserver.h"
#include "sockethelpers.h"
#include "testenvironment.h"

#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

class TestLocalServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void sendToAllReachesEveryClient();
    void sendToOneClient();
    void sendAfterDisconnectFails();
    void burstStaysOneMessage();
    void framingIsUtf8WithOneLineFeed();
    void socketIsPrivateToUser();
    void staleNameIsTakenOver();
    void liveNameIsNotTaken();
    void destroyedWithClientsConnected();

private:
    // Connects a client and waits until the server has accepted it; returns its identity.
    qlonglong connectClient(LocalServer &server, QLocalSocket &client, const QString &name);
    // Starts the server under a fresh name and connects one client; 0 when either fails.
    qlonglong startWithClient(LocalServer &server, QLocalSocket &client);
};

void TestLocalServer::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

qlonglong TestLocalServer::connectClient(LocalServer &server, QLocalSocket &client, const QString &name)
{
    QSignalSpy accepted(&server, &LocalServer::clientConnected);
    client.connectToServer(name);
    if (!client.waitForConnected(5000))
        return 0;
    if (accepted.isEmpty() && !accepted.wait(5000))
        return 0;
    return accepted.first().first().toLongLong();
}

qlonglong TestLocalServer::startWithClient(LocalServer &server, QLocalSocket &client)
{
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ls"));
    if (!server.startServer(name)) {
        qWarning() << "server did not start:" << server.lastError();
        return 0;
    }
    return connectClient(server, client, name);
}

void TestLocalServer::sendToAllReachesEveryClient()
{
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ls"));
    LocalServer server;
    QVERIFY(server.startServer(name));
    QCOMPARE(server.dataSendToAll(QStringLiteral("nobody")), -1);

    QLocalSocket first, second;
    QVERIFY(connectClient(server, first, name) != 0);
    QVERIFY(connectClient(server, second, name) != 0);
    QCOMPARE(server.dataSendToAll(QStringLiteral("{\"state_update\":\"ready\"}")), 0);
    QCOMPARE(SocketHelpers::readLines(first, 1), QByteArray("{\"state_update\":\"ready\"}\n"));
    QCOMPARE(SocketHelpers::readLines(second, 1), QByteArray("{\"state_update\":\"ready\"}\n"));
}

void TestLocalServer::sendToOneClient()
{
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ls"));
    LocalServer server;
    QVERIFY(server.startServer(name));
    QLocalSocket first, second;
    const qlonglong firstId = connectClient(server, first, name);
    const qlonglong secondId = connectClient(server, second, name);
    QVERIFY(firstId != 0 && secondId != 0 && firstId != secondId);

    QCOMPARE(server.dataSend(secondId, QStringLiteral("to second")), 0);
    QCOMPARE(server.dataSend(firstId, QStringLiteral("to first")), 0);
    QCOMPARE(server.dataSend(firstId + 1, QStringLiteral("to nobody")), -1);
    QCOMPARE(SocketHelpers::readLines(first, 1), QByteArray("to first\n"));
    QCOMPARE(SocketHelpers::readLines(second, 1), QByteArray("to second\n"));
}

void TestLocalServer::sendAfterDisconnectFails()
{
    LocalServer server;
    QLocalSocket client;
    const qlonglong id = startWithClient(server, client);
    QVERIFY(id != 0);

    QSignalSpy gone(&server, &LocalServer::clientDisconnected);
    client.disconnectFromServer();
    QVERIFY(gone.wait(5000));
    QCOMPARE(gone.first().first().toLongLong(), id);
    QCOMPARE(server.dataSend(id, QStringLiteral("late")), -1);
    QCOMPARE(server.dataSendToAll(QStringLiteral("late")), -1);
}

void TestLocalServer::burstStaysOneMessage()
{
    LocalServer server;
    QLocalSocket client;
    const qlonglong id = startWithClient(server, client);
    QVERIFY(id != 0);

    QSignalSpy received(&server, &LocalServer::dataReceived);
    const QByteArray burst = "{\"action\":\"get\"}\n{\"action\":\"set\"}\n";
    client.write(burst);
    client.flush();
    QVERIFY(received.wait(5000));
    QCOMPARE(received.count(), 1);
    QCOMPARE(received.first().at(0).toLongLong(), id);
    QCOMPARE(received.first().at(1).toString(), QString::fromUtf8(burst));
}

void TestLocalServer::framingIsUtf8WithOneLineFeed()
{
    LocalServer server;
    QLocalSocket client;
    const qlonglong id = startWithClient(server, client);
    QVERIFY(id != 0);

    const QString text = QStringLiteral("Идет обновление \u20ac");
    QCOMPARE(server.dataSend(id, text), 0);
    QCOMPARE(server.dataSend(id, QString()), 0);
    QCOMPARE(SocketHelpers::readLines(client, 2), text.toUtf8() + "\n\n");

    // Incoming bytes are decoded as UTF-8 too.
    QSignalSpy received(&server, &LocalServer::dataReceived);
    client.write(text.toUtf8());
    client.flush();
    QVERIFY(received.wait(5000));
    QCOMPARE(received.first().at(1).toString(), text);
}

void TestLocalServer::socketIsPrivateToUser()
{
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ls"));
    LocalServer server;
    QVERIFY(server.startServer(name));
    const QFileInfo info(server.fullServerName());
    QVERIFY(info.exists());
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
        | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(info.permissions() & others, QFile::Permissions());
    QVERIFY(info.permissions() & QFile::WriteOwner);
}

void TestLocalServer::staleNameIsTakenOver()
{
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ls"));
    const QString path = QDir::tempPath() + QLatin1Char('/') + name;

    // What a server killed with SIGKILL leaves: a bound socket file that nobody listens on.
    QVERIFY(SocketHelpers::makeStaleSocket(path));
    QVERIFY(QFileInfo::exists(path));
    {
        QLocalServer plain;
        QVERIFY(!plain.listen(name)); // the fault being mended
    }

    LocalServer server;
    QVERIFY2(server.startServer(name), qPrintable(server.lastError()));
    QVERIFY(server.lastError().isEmpty());
    QLocalSocket client;
    const qlonglong id = connectClient(server, client, name);
    QVERIFY(id != 0);
    QCOMPARE(server.dataSend(id, QStringLiteral("alive")), 0);
    QCOMPARE(SocketHelpers::readLines(client, 1), QByteArray("alive\n"));
}

void TestLocalServer::liveNameIsNotTaken()
{
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ls"));
    LocalServer first;
    QVERIFY(first.startServer(name));
    QSignalSpy probed(&first, &LocalServer::clientDisconnected);

    {
        LocalServer second;
        QVERIFY(!second.startServer(name));
        QVERIFY(!second.isListening());
        QVERIFY(!second.lastError().isEmpty());
    }

    // The second one asked the first whether it is alive, and went away again.
    QVERIFY(probed.count() == 1 || probed.wait(5000));

    // The first keeps its name, also after the failed second one is gone.
    QVERIFY(QFileInfo::exists(first.fullServerName()));
    QLocalSocket client;
    const qlonglong id = connectClient(first, client, name);
    QVERIFY(id != 0);
    QCOMPARE(first.dataSend(id, QStringLiteral("first")), 0);
    QCOMPARE(SocketHelpers::readLines(client, 1), QByteArray("first\n"));
}

void TestLocalServer::destroyedWithClientsConnected()
{
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ls"));
    auto server = std::make_unique<LocalServer>();
    QVERIFY(server->startServer(name));
    QLocalSocket client;
    QVERIFY(connectClient(*server, client, name) != 0);
    const QString path = server->fullServerName();

    server.reset();
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(client.state() == QLocalSocket::UnconnectedState || client.waitForDisconnected(5000));
}

QTEST_MAIN(TestLocalServer)
#include "tst_localserver.moc"
