#include "controllocalserver.h"
#include "settingsstore.h"
#include "localserver.h"
#include "controlkeys.h"
#include "updatersettings.h"
#include "updaterstatus.h"
#include "sockethelpers.h"
#include "stdoutcapture.h"
#include "testenvironment.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTextCodec>
#include <QtTest>

#include <cstdio>
#include <memory>

namespace {

bool hasLine(const QByteArray &output, const QByteArray &line)
{
    return output.split('\n').contains(line);
}

// What a fresh server greets with before anything has happened.
const QByteArray InitGreeting = "{\"state_update\":\"init\"}\n{\"state_download\":\"\"}\n{\"state_probation\":\"\"}\n"
                                "{\"state_journal\":\"\"}\n";

}

class TestControlLocalServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstLinesOnConnect();
    void getRepliesInKeyOrder();
    void invalidValueStopsRequest();
    void wrongTypeIsSkipped();
    void setStoresWritableKeys();
    void setOfReadOnlyKeysReplies();
    void otherActionsOnlyValidate();
    void malformedRequestsAreIgnored_data();
    void malformedRequestsAreIgnored();
    void burstOfLinesIsHandledInOrder();
    void requestsAcrossReads_data();
    void requestsAcrossReads();
    void clientThatNeverReadsIsDropped();
    void commandActions();
    void quitWritesTokenFirst();
    void stateUpdatePushedToAll();
    void downloadStatesAreCoalesced();
    void downloadStateTimerRuns();
    void valuesAreEscaped();
    void nonAsciiSurvivesLatin1Locale();
    void notListeningSendsNothing();
    void secondInstanceFails();
    void staleNameIsRecovered();
    void plainNameServesPeers();

private:
    void startServer();
    void connectClient(QLocalSocket &client);
    // Connects and reads past the greeting every new client gets.
    void connectGreeted(QLocalSocket &client);
    void request(QLocalSocket &client, const QByteArray &json);

    TestEnvironment m_env;
    QString m_name;
    std::unique_ptr<UpdaterSettings> m_settings;
    std::unique_ptr<UpdaterStatus> m_status;
    std::unique_ptr<ControlLocalServer> m_server;
};

void TestControlLocalServer::initTestCase()
{
    QVERIFY(m_env.applyAs(QStringLiteral("updater")));
}

void TestControlLocalServer::init()
{
    QFile::remove(SettingsStore::open(QStringLiteral("tovrel"), QStringLiteral("updater"))->fileName());
    m_name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    m_settings = std::make_unique<UpdaterSettings>();
    m_settings->init();
    m_settings->serverName = m_name;
    m_status = std::make_unique<UpdaterStatus>();
    m_server = std::make_unique<ControlLocalServer>();
}

void TestControlLocalServer::cleanup()
{
    m_server.reset();
    m_settings.reset();
}

void TestControlLocalServer::startServer()
{
    StdoutCapture capture;
    m_server->init(m_settings.get(), m_status.get());
    const QByteArray out = capture.finish();
    QVERIFY(m_server->isListening());
    QVERIFY(hasLine(out, "$UPDATER_SERVER_READY"));
}

void TestControlLocalServer::connectClient(QLocalSocket &client)
{
    client.connectToServer(SocketHelpers::serverPath(m_name));
    QVERIFY(client.waitForConnected(5000));
}

void TestControlLocalServer::connectGreeted(QLocalSocket &client)
{
    connectClient(client);
    SocketHelpers::readLines(client, ControlKeys::GreetingLines);
}

// Ends the request with a line feed, so that requests written back to back stay apart.
void TestControlLocalServer::request(QLocalSocket &client, const QByteArray &json)
{
    client.write(json + '\n');
    client.flush();
}

void TestControlLocalServer::firstLinesOnConnect()
{
    m_status->stateUpdate = QStringLiteral("ready");
    m_status->stateDownload.clear();
    m_status->stateProbation = QStringLiteral("kept");
    m_status->stateJournal = QStringLiteral("pending");
    startServer();
    QLocalSocket client;
    connectClient(client);
    // Each state on a line of its own, the newer ones after the two older ones.
    QCOMPARE(SocketHelpers::readLines(client, 4), QByteArray("{\"state_update\":\"ready\"}\n{\"state_download\":\"\"}\n"
                                                            "{\"state_probation\":\"kept\"}\n{\"state_journal\":\"pending\"}\n"));
}

void TestControlLocalServer::getRepliesInKeyOrder()
{
    m_settings->setDownloadLink(QStringLiteral("http://h/u"));
    m_settings->setPeriodCheckUpdate(42);
    m_settings->setAppVersionCode(7);
    m_settings->setDeviceId(QStringLiteral("dev-1"));
    m_settings->setActiveDownload(1);
    m_settings->setActiveUpdate(0);
    m_status->stateDownload = QStringLiteral("downloading");
    m_status->stateUpdate = QStringLiteral("init");
    m_status->readyVersionCode = 9;
    m_status->stateProbation = QStringLiteral("none");
    startServer();
    QLocalSocket client;
    connectGreeted(client);

    request(client, R"({"period":0,"action":"get","link":"x"})");
    QCOMPARE(SocketHelpers::readLines(client, 2), QByteArray("{\"link\":\"http://h/u\"}\n{\"period\":42}\n"));

    request(client, R"({"ready_version":0,"state_update":"x","state_download":"x","active_update":0,)"
                    R"("active_download":0,"device_id":"x","installed_version":0,"period":0,"link":"x","action":"get"})");
    QCOMPARE(SocketHelpers::readLines(client, 9),
             QByteArray("{\"link\":\"http://h/u\"}\n{\"period\":42}\n{\"installed_version\":7}\n"
                        "{\"device_id\":\"dev-1\"}\n{\"active_download\":1}\n{\"active_update\":0}\n"
                        "{\"state_download\":\"downloading\"}\n{\"state_update\":\"init\"}\n"
                        "{\"ready_version\":9}\n"));
    request(client, R"({"action":"get","state_probation":"x"})");
    QCOMPARE(SocketHelpers::readLines(client, 1), QByteArray("{\"state_probation\":\"none\"}\n"));
    m_status->stateJournal = QStringLiteral("pending");
    m_status->journalError = QStringLiteral("cannot put back /a/b: No space left on device");
    request(client, R"({"action":"get","journal_error":"x","state_journal":"x"})");
    QCOMPARE(SocketHelpers::readLines(client, 2), QByteArray("{\"state_journal\":\"pending\"}\n"
                                                            "{\"journal_error\":\"cannot put back /a/b: No space left on device\"}\n"));

    // Getters read the store, so a value changed by someone else is reported as it is now.
    SettingsStore::open(QStringLiteral("tovrel"), QStringLiteral("updater"))->setValue(QStringLiteral("update/period"), 77);
    request(client, R"({"action":"get","period":1})");
    QCOMPARE(SocketHelpers::readLines(client, 1), QByteArray("{\"period\":77}\n"));
}

void TestControlLocalServer::invalidValueStopsRequest()
{
    m_settings->setDownloadLink(QStringLiteral("http://h/u"));
    startServer();
    QLocalSocket client;
    connectGreeted(client);

    request(client, R"({"action":"get","link":"x","period":-1,"device_id":"x"})");
    request(client, R"({"action":"get","link":"x","installed_version":1.5,"device_id":"x"})");
    request(client, R"({"action":"get","ready_version":1})");
    // Only the keys before the invalid one are answered; the last request shows nothing else was sent.
    QCOMPARE(SocketHelpers::readLines(client, 3), QByteArray("{\"link\":\"http://h/u\"}\n{\"link\":\"http://h/u\"}\n"
                                              "{\"ready_version\":0}\n"));

    // A "set" stopped half-way keeps what it stored before the invalid key.
    request(client, R"({"action":"set","link":"http://new","installed_version":-3,"device_id":"d"})");
    request(client, R"({"action":"get","link":"x","installed_version":0,"device_id":"x"})");
    QCOMPARE(SocketHelpers::readLines(client, 3), QByteArray("{\"link\":\"http://new\"}\n{\"installed_version\":407}\n"
                                              "{\"device_id\":\"\"}\n"));
}

void TestControlLocalServer::wrongTypeIsSkipped()
{
    m_settings->setDownloadLink(QStringLiteral("http://h/u"));
    m_settings->setDeviceId(QStringLiteral("dev"));
    startServer();
    QLocalSocket client;
    connectGreeted(client);

    request(client, R"({"action":"get","link":5,"installed_version":"3","device_id":"x"})");
    QCOMPARE(SocketHelpers::readLines(client, 1), QByteArray("{\"device_id\":\"dev\"}\n"));
}

void TestControlLocalServer::setStoresWritableKeys()
{
    startServer();
    QLocalSocket client;
    connectGreeted(client);

    request(client, R"({"action":"set","link":"http://other/u","period":120,"installed_version":501,)"
                    R"("device_id":"kiosk-7","active_download":2,"active_update":1})");
    // "set" of writable keys answers nothing: the next reply is the one to this "get".
    request(client, R"({"action":"get","active_download":0,"active_update":0})");
    QCOMPARE(SocketHelpers::readLines(client, 2), QByteArray("{\"active_download\":0}\n{\"active_update\":1}\n"));

    const auto storeOwner = SettingsStore::open(QStringLiteral("tovrel"), QStringLiteral("updater"));
    QSettings &store = *storeOwner;
    QCOMPARE(store.value(QStringLiteral("update/link")).toString(), QStringLiteral("http://other/u"));
    QCOMPARE(store.value(QStringLiteral("update/period")).toInt(), 120);
    QCOMPARE(store.value(QStringLiteral("app/version")).toInt(), 501);
    QCOMPARE(store.value(QStringLiteral("app/device_id")).toString(), QStringLiteral("kiosk-7"));
    QCOMPARE(store.value(QStringLiteral("update/download")).toInt(), 0);
    QCOMPARE(store.value(QStringLiteral("update/update")).toInt(), 1);
}

void TestControlLocalServer::setOfReadOnlyKeysReplies()
{
    m_status->stateUpdate = QStringLiteral("not_required");
    m_status->readyVersionCode = 12;
    startServer();
    QLocalSocket client;
    connectGreeted(client);

    request(client, R"({"action":"set","state_update":"updated","ready_version":99})");
    QCOMPARE(SocketHelpers::readLines(client, 2), QByteArray("{\"state_update\":\"not_required\"}\n{\"ready_version\":12}\n"));
    QCOMPARE(m_status->stateUpdate, QStringLiteral("not_required"));
    QCOMPARE(m_status->readyVersionCode, 12);

    // An empty text ends the request before "ready_version".
    request(client, R"({"action":"set","state_update":"","ready_version":99})");
    request(client, R"({"action":"get","state_download":"x"})");
    QCOMPARE(SocketHelpers::readLines(client, 1), QByteArray("{\"state_download\":\"\"}\n"));
}

void TestControlLocalServer::otherActionsOnlyValidate()
{
    m_settings->setDownloadLink(QStringLiteral("http://h/u"));
    startServer();
    QLocalSocket client;
    connectGreeted(client);
    QSignalSpy updates(m_server.get(), &ControlLocalServer::update);

    request(client, R"({"action":"Update","link":"http://evil/u"})");
    request(client, R"({"action":"peek","link":"http://evil/u","state_update":"x"})");
    request(client, R"({"action":"get","link":"x"})");
    QCOMPARE(SocketHelpers::readLines(client, 1), QByteArray("{\"link\":\"http://h/u\"}\n"));
    QCOMPARE(updates.count(), 0);
}

void TestControlLocalServer::malformedRequestsAreIgnored_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("log");
    QTest::newRow("two objects") << QByteArray(R"({"action":"get","period":0}{"action":"get","link":"x"})")
                                 << "Failed to create JSON doc.";
    QTest::newRow("not json") << QByteArray("hello") << "Failed to create JSON doc.";
    QTest::newRow("array") << QByteArray(R"([{"action":"get"}])") << "JSON is not an object.";
    QTest::newRow("empty object") << QByteArray("{}") << "JSON object is empty.";
    QTest::newRow("no action") << QByteArray(R"({"link":"x"})") << "JSON not action key.";
    QTest::newRow("action number") << QByteArray(R"({"action":1,"link":"x"})") << "JSON not action key.";
    QTest::newRow("action empty") << QByteArray(R"({"action":"","link":"x"})") << "JSON not action key.";
}

void TestControlLocalServer::malformedRequestsAreIgnored()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, log);
    startServer();
    QLocalSocket client;
    connectGreeted(client);

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("dataReceived")));
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("[ControlLocalServer] ") + log));
    // Written as the launcher writes, without a line feed, and handled before anything else is sent.
    auto *listener = m_server->findChild<LocalServer *>();
    QVERIFY(listener);
    QSignalSpy received(listener, &LocalServer::dataReceived);
    client.write(json);
    client.flush();
    QVERIFY(received.wait(5000));
    // The connection stays usable: the next request is answered and nothing came before it.
    request(client, R"({"action":"get","ready_version":0})");
    QCOMPARE(SocketHelpers::readLines(client, 1), QByteArray("{\"ready_version\":0}\n"));
    QCOMPARE(client.state(), QLocalSocket::ConnectedState);
}

void TestControlLocalServer::burstOfLinesIsHandledInOrder()
{
    m_settings->setDownloadLink(QStringLiteral("http://h/u"));
    m_settings->setPeriodCheckUpdate(30);
    startServer();
    QLocalSocket client;
    connectGreeted(client);
    QSignalSpy downloads(m_server.get(), &ControlLocalServer::downloadUpdate);

    request(client, "{\"action\":\"get\",\"period\":0}\n{\"action\":\"set\",\"period\":60}\n"
                    "{\"action\":\"download_update\"}\n{\"action\":\"get\",\"period\":0,\"link\":\"x\"}\n");
    QCOMPARE(SocketHelpers::readLines(client, 3), QByteArray("{\"period\":30}\n{\"link\":\"http://h/u\"}\n{\"period\":60}\n"));
    QCOMPARE(downloads.count(), 1);

    // One document spread over several lines is still one request.
    request(client, "{\n  \"action\": \"get\",\n  \"period\": 0\n}\n");
    QCOMPARE(SocketHelpers::readLines(client, 1), QByteArray("{\"period\":60}\n"));

    // A bad line is skipped, the good ones around it are answered.
    request(client, "{\"action\":\"get\",\"period\":0}\nnot json\n{\"action\":\"get\",\"link\":\"x\"}");
    QCOMPARE(SocketHelpers::readLines(client, 2), QByteArray("{\"period\":60}\n{\"link\":\"http://h/u\"}\n"));
}

void TestControlLocalServer::requestsAcrossReads_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QByteArray>("replies");

    const QByteArray period = "{\"period\":30}\n";
    QTest::newRow("object without line feed in two reads")
        << QList<QByteArray>{"{\"action\":\"get\",", "\"period\":0}"} << period;
    QTest::newRow("line in two reads") << QList<QByteArray>{"{\"action\":\"get\",\"per", "iod\":0}\n"} << period;
    QTest::newRow("line and start of the next")
        << QList<QByteArray>{"{\"action\":\"get\",\"period\":0}\n{\"action\":\"get\",", "\"link\":\"x\"}\n"}
        << period + "{\"link\":\"http://h/u\"}\n";
    QTest::newRow("line and an object without line feed")
        << QList<QByteArray>{"{\"action\":\"get\",\"period\":0}\n{\"action\":\"get\",\"link\":\"x\"}"}
        << period + "{\"link\":\"http://h/u\"}\n";
    QTest::newRow("character split between reads")
        << QList<QByteArray>{"{\"action\":\"set\",\"device_id\":\"\xd0",
                             "\xad\"}\n{\"action\":\"get\",\"device_id\":\"x\"}\n"}
        << QByteArray("{\"device_id\":\"\xd0\xad\"}\n");
    QTest::newRow("endless line is dropped")
        << QList<QByteArray>{"{\"action\":\"get\",\"link\":\"" + QByteArray(70 * 1024, 'x'),
                             "\"}\n{\"action\":\"get\",\"period\":0}\n"}
        << QByteArray("{\"period\":30}\n");
}

void TestControlLocalServer::requestsAcrossReads()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, replies);
    m_settings->setDownloadLink(QStringLiteral("http://h/u"));
    m_settings->setPeriodCheckUpdate(30);
    startServer();
    QLocalSocket client;
    connectGreeted(client);
    auto *listener = m_server->findChild<LocalServer *>();
    QVERIFY(listener);
    QSignalSpy received(listener, &LocalServer::dataReceived);

    // Each piece has fully arrived before the next one is written.
    const auto arrived = [&received] {
        int bytes = 0;
        for (const QList<QVariant> &arguments : received)
            bytes += arguments.at(1).toString().toUtf8().size();
        return bytes;
    };
    int written = 0;
    for (const QByteArray &piece : pieces) {
        client.write(piece);
        client.flush();
        written += piece.size();
        // The lead byte of a split character waits in the socket for the rest of it.
        const int heldBack = uchar(piece.back()) >= 0xC0 ? 1 : 0;
        QVERIFY(QTest::qWaitFor([&] { return arrived() == written - heldBack; }, 5000));
    }
    QCOMPARE(SocketHelpers::readLines(client, replies.count('\n')), replies);
    QCOMPARE(client.state(), QLocalSocket::ConnectedState);
}

void TestControlLocalServer::clientThatNeverReadsIsDropped()
{
    startServer();
    auto *listener = m_server->findChild<LocalServer *>();
    QVERIFY(listener);
    QSignalSpy gone(listener, &LocalServer::clientDisconnected);
    // A client that sends nothing and reads nothing: a raw socket, since QLocalSocket reads on its own.
    const int fd = SocketHelpers::connectRaw(listener->fullServerName());
    QVERIFY(fd >= 0);
    QSignalSpy came(listener, &LocalServer::clientConnected);
    QVERIFY(came.wait(5000));

    m_status->stateUpdate = QString(10000, QLatin1Char('u'));
    for (int i = 0; i < 200 && gone.isEmpty(); ++i)
        m_server->stateUpdateChanged();
    SocketHelpers::closeRaw(fd);
    QCOMPARE(gone.count(), 1);
    // Nobody is left to receive a push.
    QCOMPARE(listener->dataSendToAll(QStringLiteral("x")), -1);
}

void TestControlLocalServer::commandActions()
{
    startServer();
    QLocalSocket client;
    connectGreeted(client);
    QSignalSpy updates(m_server.get(), &ControlLocalServer::update);
    QSignalSpy downloads(m_server.get(), &ControlLocalServer::downloadUpdate);
    QSignalSpy quits(m_server.get(), &ControlLocalServer::quit);
    QSignalSpy rollbacks(m_server.get(), &ControlLocalServer::rollback);
    QSignalSpy commits(m_server.get(), &ControlLocalServer::commit);

    // The launcher writes its request without a line feed.
    client.write(R"({"action":"update"})");
    client.flush();
    QVERIFY(updates.wait(5000));
    request(client, "{\"action\":\"download_update\"}\n");
    QVERIFY(downloads.wait(5000));
    client.write(R"({"action":"rollback"})");
    client.flush();
    QVERIFY(rollbacks.wait(5000));
    request(client, "{\"action\":\"commit\"}");
    QVERIFY(commits.wait(5000));
    QCOMPARE(updates.count(), 1);
    QCOMPARE(downloads.count(), 1);
    QCOMPARE(rollbacks.count(), 1);
    QCOMPARE(commits.count(), 1);
    QCOMPARE(quits.count(), 0);
}

void TestControlLocalServer::quitWritesTokenFirst()
{
    startServer();
    QLocalSocket client;
    connectGreeted(client);

    QByteArray atQuit;
    StdoutCapture capture;
    connect(m_server.get(), &ControlLocalServer::quit, this, [&] {
        fflush(stdout);
        atQuit = capture.text();
    });
    QSignalSpy quits(m_server.get(), &ControlLocalServer::quit);
    request(client, R"({"action":"quit"})");
    const bool quitSeen = quits.wait(5000);
    capture.finish();
    QVERIFY(quitSeen);
    QVERIFY(hasLine(atQuit, "$QUIT"));
}

void TestControlLocalServer::stateUpdatePushedToAll()
{
    m_status->stateUpdate = QStringLiteral("init");
    startServer();
    QLocalSocket first, second;
    connectGreeted(first);
    connectGreeted(second);

    // Never coalesced: each change is its own line, at once.
    m_status->setStateUpdate(QStringLiteral("ready"));
    m_status->setStateUpdate(QStringLiteral("updating"));
    m_status->setStateProbation(QStringLiteral("rolling_back"));
    const QByteArray expected("{\"state_update\":\"ready\"}\n{\"state_update\":\"updating\"}\n"
                              "{\"state_probation\":\"rolling_back\"}\n");
    QCOMPARE(SocketHelpers::readLines(first, 3), expected);
    QCOMPARE(SocketHelpers::readLines(second, 3), expected);
}

void TestControlLocalServer::downloadStatesAreCoalesced()
{
    startServer();
    QLocalSocket first, second;
    connectGreeted(first);
    connectGreeted(second);
    QVERIFY(!m_server->hasPendingDownloadState());

    for (const char *state : {"notactive", "downloading", "error"}) {
        m_status->setStateDownload(QString::fromLatin1(state));
    }
    QVERIFY(m_server->hasPendingDownloadState());
    m_server->sendTimerTimeout();
    QVERIFY(!m_server->hasPendingDownloadState());
    // Flushing again with nothing pending sends nothing more.
    m_server->sendTimerTimeout();
    m_status->setStateUpdate(QStringLiteral("marker"));

    const QByteArray expected("{\"state_download\":\"error\"}\n{\"state_update\":\"marker\"}\n");
    QCOMPARE(SocketHelpers::readLines(first, 2), expected);
    QCOMPARE(SocketHelpers::readLines(second, 2), expected);
}

void TestControlLocalServer::downloadStateTimerRuns()
{
    startServer();
    QLocalSocket client;
    connectGreeted(client);

    m_status->setStateDownload(QStringLiteral("downloading"));
    m_status->setStateDownload(QStringLiteral("ready"));
    QVERIFY(QTest::qWaitFor([&] { return !m_server->hasPendingDownloadState(); }, 5000));
    QCOMPARE(SocketHelpers::readLines(client, 1), QByteArray("{\"state_download\":\"ready\"}\n"));
}

void TestControlLocalServer::valuesAreEscaped()
{
    QCOMPARE(ControlLocalServer::stringMessage(QStringLiteral("state_update"), QStringLiteral("ready")),
             QStringLiteral("{\"state_update\":\"ready\"}"));
    QCOMPARE(ControlLocalServer::stringMessage(QStringLiteral("state_update"), QStringLiteral("ready")).size(), 24);
    QCOMPARE(ControlLocalServer::numberMessage(QStringLiteral("period"), -1), QStringLiteral("{\"period\":-1}"));

    const QString link = QStringLiteral("http://h/a\"b\\c");
    const QString device = QStringLiteral("id\n\t\r\b\f") + QChar(0x01) + QChar(0x1f) + QStringLiteral("/Экран");
    m_settings->setDownloadLink(link);
    m_settings->setDeviceId(device);
    startServer();
    QLocalSocket client;
    connectGreeted(client);

    request(client, R"({"action":"get","link":"x","device_id":"x"})");
    const QByteArray lines = SocketHelpers::readLines(client, 2);
    QCOMPARE(lines, QByteArray("{\"link\":\"http://h/a\\\"b\\\\c\"}\n"
                               "{\"device_id\":\"id\\n\\t\\r\\b\\f\\u0001\\u001f/")
                 + QStringLiteral("Экран").toUtf8() + "\"}\n");
    const QList<QByteArray> parts = lines.split('\n');
    QJsonParseError error;
    const QJsonObject linkReply = QJsonDocument::fromJson(parts.at(0), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(linkReply.value(QStringLiteral("link")).toString(), link);
    const QJsonObject deviceReply = QJsonDocument::fromJson(parts.at(1), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(deviceReply.value(QStringLiteral("device_id")).toString(), device);
}

void TestControlLocalServer::nonAsciiSurvivesLatin1Locale()
{
    QTextCodec *previous = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    startServer();
    QLocalSocket client;
    connectGreeted(client);

    request(client, QStringLiteral("{\"action\":\"set\",\"device_id\":\"Дисплей-1\"}\n"
                                   "{\"action\":\"get\",\"device_id\":\"x\"}\n").toUtf8());
    const QByteArray reply = SocketHelpers::readLines(client, 1);
    QTextCodec::setCodecForLocale(previous);
    QCOMPARE(reply, QStringLiteral("{\"device_id\":\"Дисплей-1\"}\n").toUtf8());
}

void TestControlLocalServer::notListeningSendsNothing()
{
    {
        StdoutCapture capture;
        m_server->init(nullptr, nullptr);
        QVERIFY(hasLine(capture.finish(), "$UPDATER_ERR_LISTEN"));
    }
    QVERIFY(!m_server->isListening());
    m_server->stateUpdateChanged();
    m_server->stateDownloadChanged();
    QVERIFY(!m_server->hasPendingDownloadState());
    m_server->sendTimerTimeout();

    ControlLocalServer unnamed;
    m_settings->serverName.clear();
    StdoutCapture capture;
    unnamed.init(m_settings.get(), m_status.get());
    const QByteArray out = capture.finish();
    QVERIFY(hasLine(out, "$UPDATER_ERR_LISTEN"));
    QVERIFY(!unnamed.isListening());
    unnamed.stateUpdateChanged();
    unnamed.stateDownloadChanged();
}

void TestControlLocalServer::secondInstanceFails()
{
    m_status->stateUpdate = QStringLiteral("init");
    startServer();

    ControlLocalServer second;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("Unable to start the server:")));
    StdoutCapture capture;
    second.init(m_settings.get(), m_status.get());
    const QByteArray out = capture.finish();
    QVERIFY(hasLine(out, "$UPDATER_ERR_LISTEN"));
    QVERIFY(!hasLine(out, "$UPDATER_SERVER_READY"));
    QVERIFY(!second.isListening());
    // State changes in the remaining time before exit send nothing and do not fail.
    second.stateUpdateChanged();
    second.stateDownloadChanged();
    QVERIFY(!second.hasPendingDownloadState());

    // The first keeps serving under its name.
    QLocalSocket client;
    connectClient(client);
    QByteArray lines = SocketHelpers::readLines(client, 4);
    // The second's probe may have made the first greet a client that was gone at once.
    QVERIFY(lines.endsWith(InitGreeting));
}

void TestControlLocalServer::staleNameIsRecovered()
{
    const QString path = SocketHelpers::serverPath(m_name);
    QVERIFY(SocketHelpers::makeStaleSocket(path));

    m_status->stateUpdate = QStringLiteral("init");
    startServer();
    QLocalSocket client;
    connectClient(client);
    QCOMPARE(SocketHelpers::readLines(client, 4), InitGreeting);
}

void TestControlLocalServer::plainNameServesPeers()
{
    // Taken by someone else: a warning, and the private socket serves all the same.
    QLocalServer other;
    QVERIFY(other.listen(m_name));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("plain name not taken")));
    startServer();
    QLocalSocket client;
    connectClient(client);
    QVERIFY(SocketHelpers::readLines(client, 3).startsWith("{\"state_update\":"));
    other.close();
    m_server.reset();

    // Free: a client that knows only the name finds the updater in the temporary folder, and only
    // this user may connect there.
    m_server = std::make_unique<ControlLocalServer>();
    m_status->stateUpdate = QStringLiteral("ready");
    startServer();
    const QString plainPath = QDir::tempPath() + QLatin1Char('/') + m_name;
    QFileInfo plain(plainPath);
    QVERIFY(plain.exists());
    QCOMPARE(plain.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
             QFile::Permissions());
    QLocalSocket peer;
    peer.connectToServer(m_name);
    QVERIFY(peer.waitForConnected(5000));
    QVERIFY(SocketHelpers::readLines(peer, 3).startsWith("{\"state_update\":\"ready\"}\n"));
    m_server.reset();
    QVERIFY(!QFileInfo::exists(plainPath));
}

QTEST_MAIN(TestControlLocalServer)
#include "tst_controllocalserver.moc"
