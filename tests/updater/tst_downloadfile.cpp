#include "downloadfile.h"
#include "downloadfile_p.h"
#include "httptestserver.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(ReplyEnd)

namespace {
QVariantMap params(const QUrl &source, const QString &file = QString(), const QString &hash = QString(),
                   bool clean = false)
{
    QVariantMap map;
    map.insert(QStringLiteral("source"), source.toString());
    if (!file.isEmpty())
        map.insert(QStringLiteral("file"), file);
    if (!hash.isEmpty())
        map.insert(QStringLiteral("hash"), hash);
    if (clean)
        map.insert(QStringLiteral("clean"), true);
    return map;
}

// Marks a partial file made by hand as one of the package with this digest, as an earlier attempt
// at it would have.
bool adopt(const QString &file, const QString &hash)
{
    return TestFiles::write(DownloadFile::partialMarkerPath(file), hash.toLatin1() + '\n');
}

// Records the signals of one DownloadFile in the order they arrive.
struct Recorder
{
    explicit Recorder(DownloadFile *df)
        : finished(df, &DownloadFile::finished)
    {
        connections << QObject::connect(df, &DownloadFile::started, df, [this](const QString &, int length) {
            events << QStringLiteral("started");
            contentLength = length;
        });
        connections << QObject::connect(df, &DownloadFile::progressChanged, df, [this, df] {
            if (progress.isEmpty() || events.last() != QLatin1String("progress"))
                events << QStringLiteral("progress");
            progress << df->getProgress();
        });
        connections << QObject::connect(df, &DownloadFile::finished, df,
                                        [this](int, const QString &) { events << QStringLiteral("finished"); });
        connections << QObject::connect(df, &DownloadFile::downloadingChanged, df,
                         [this, df] { events << (df->isDownloading() ? QStringLiteral("on") : QStringLiteral("off")); });
    }
    // A downloader that outlives its recorder must not call into it.
    ~Recorder()
    {
        for (const QMetaObject::Connection &connection : qAsConst(connections))
            QObject::disconnect(connection);
    }
    bool waitFinished(int ms = 20000) { return !finished.isEmpty() || finished.wait(ms); }
    int code() const { return finished.value(0).value(0).toInt(); }
    QString content() const { return finished.value(0).value(1).toString(); }

    QSignalSpy finished;
    QStringList events;
    QList<double> progress;
    int contentLength = -1;
    QList<QMetaObject::Connection> connections;
};
}

class TestDownloadFile : public QObject
{
    Q_OBJECT
public:
    ~TestDownloadFile() override { delete m_dir; delete m_server; }

private slots:
    void initTestCase();
    void init();

    void replyEndDecision_data();
    void replyEndDecision();
    void fileModeReplacesFinalFileThroughPartialFile();
    void memoryModeDecodesUtf8();
    void refusedStartsChangeNothing();
    void resumeAppendsAndHashCoversPartialFile();
    void resumeWithWrongPartialFailsIntegrity();
    void resumeAcrossTwoObjectsAfterAbort();
    void clearConnectionCacheCancelsAndAllowsNewTransfer();
    void cleanRewritesFromFirstByte();
    void serverIgnoringRangeRewritesOutput();
    void refusedRangeRestartsFromZero();
    void redirects_data();
    void redirects();
    void stallInBodyReconnectsAndKeepsDigest();
    void stallBeforeHeadersReconnects();
    void serverThatNeverAnswersEndsTheTransfer();
    void authentication_data();
    void authentication();
    void errorStatusesEndTheTransfer_data();
    void errorStatusesEndTheTransfer();
    void connectionRefused();
    void tricklingServerCountsAsStalled();
    void resumesOnlyTheSamePackage_data();
    void resumesOnlyTheSamePackage();
    void noSpaceIsRefusedAndFreed_data();
    void noSpaceIsRefusedAndFreed();

private:
    QTemporaryDir *m_dir = nullptr;
    HttpTestServer *m_server = nullptr;
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // The download of /pkg.zip into pkg.zip in the private folder.
    QVariantMap pkg(const QString &hash = QString(), bool clean = false) const
    {
        return params(m_server->url(QStringLiteral("/pkg.zip")), path(QStringLiteral("pkg.zip")), hash, clean);
    }
    // Serves body as /pkg.zip, holding the answer for good after afterBytes.
    void servePkgStallingAfter(const QByteArray &body, int afterBytes)
    {
        HttpTestServer::Route route;
        route.body = body;
        route.stallAfterBytes = afterBytes;
        route.stallMs = -1;
        m_server->setRoute("/pkg.zip", route);
    }
};

void TestDownloadFile::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationName(QStringLiteral("updater"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2.3"));
}

void TestDownloadFile::init()
{
    delete m_dir;
    delete m_server;
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_server = new HttpTestServer;
    QVERIFY(m_server->listen());
}

void TestDownloadFile::replyEndDecision_data()
{
    QTest::addColumn<ReplyEnd>("end");
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QUrl>("url");

    ReplyEnd base;
    base.status = 200;
    base.url = QUrl(QStringLiteral("http://h/dl/latest"));
    base.hasOutput = true;
    base.expectedHash = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
    base.receivedHash = base.expectedHash;
    const int finish = ReplyDecision::Finish;
    const int redirect = ReplyDecision::Redirect;

    QTest::newRow("complete") << base << finish << 0 << QString() << QUrl();
    ReplyEnd e = base;
    e.receivedHash = QStringLiteral("0123456789abcdef0123456789abcdef");
    QTest::newRow("wrong digest") << e << finish << int(DownloadFile::IntegrityError)
                                  << QStringLiteral("Integrity check failed") << QUrl();
    e.expectedHash = base.expectedHash.toUpper();
    e.receivedHash = base.expectedHash;
    QTest::newRow("digest in upper case") << e << finish << 0 << QString() << QUrl();
    e.expectedHash.clear();
    QTest::newRow("no digest expected") << e << finish << 0 << QString() << QUrl();
    e = base;
    e.held = 3;
    e.expectedSize = 3;
    e.expectedSha256 = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    e.receivedSha256 = e.expectedSha256.toLower();
    QTest::newRow("size and SHA-256 as expected") << e << finish << 0 << QString() << QUrl();
    e.receivedSha256[0] = 'c';
    QTest::newRow("other SHA-256") << e << finish << int(DownloadFile::IntegrityError)
                                   << QStringLiteral("SHA-256 check failed") << QUrl();
    e.receivedSha256 = e.expectedSha256.toLower();
    e.held = 2;
    QTest::newRow("shorter than the expected size") << e << finish << int(DownloadFile::IntegrityError)
                                                    << QStringLiteral("Size check failed: 2 of 3 bytes") << QUrl();

    e = base;
    e.status = 302;
    e.redirected = true;
    e.redirectTarget = QUrl(QStringLiteral("files/pkg.zip"));
    QTest::newRow("relative redirection") << e << redirect << 0 << QString() << QUrl(QStringLiteral("http://h/dl/files/pkg.zip"));
    e.redirectsFollowed = DownloadFile::maxRedirects - 1;
    QTest::newRow("last redirection allowed") << e << redirect << 0 << QString() << QUrl(QStringLiteral("http://h/dl/files/pkg.zip"));
    e.redirectsFollowed = DownloadFile::maxRedirects;
    QTest::newRow("redirection loop capped") << e << finish << int(QNetworkReply::TooManyRedirectsError)
                                             << QStringLiteral("Too many redirects") << QUrl();
    e.redirectsFollowed = 0;
    e.redirectTarget = QUrl();
    QTest::newRow("redirection without target") << e << finish << int(QNetworkReply::ProtocolFailure)
                                                << QStringLiteral("Redirection without a target") << QUrl();
    e.redirectTarget = QUrl(QStringLiteral("HTTPS://other/pkg.zip"));
    QTest::newRow("redirection to https") << e << redirect << 0 << QString() << QUrl(QStringLiteral("https://other/pkg.zip"));
    const QStringList foreign{QStringLiteral("file:///etc/passwd"), QStringLiteral("data:text/plain,x"),
                              QStringLiteral("ftp://other/pkg.zip")};
    for (const QString &target : foreign) {
        e.redirectTarget = QUrl(target);
        QTest::newRow(qPrintable(QStringLiteral("redirection to ") + target))
            << e << finish << int(QNetworkReply::ProtocolUnknownError)
            << QStringLiteral("Redirection to an unsupported scheme: ") + e.redirectTarget.scheme() << QUrl();
    }
    e.url = QUrl(QStringLiteral("https://h/dl/latest"));
    e.redirectTarget = QUrl(QStringLiteral("http://other/pkg.zip"));
    QTest::newRow("redirection from https to http") << e << finish << int(QNetworkReply::InsecureRedirectError)
                                                    << QStringLiteral("Redirection from https to http refused") << QUrl();
    e.redirectTarget = QUrl(QStringLiteral("/pkg.zip"));
    QTest::newRow("relative redirection keeps https") << e << redirect << 0 << QString() << QUrl(QStringLiteral("https://h/pkg.zip"));
    e = base;
    e.status = 301;
    e.redirectTarget = QUrl(QStringLiteral("http://other/pkg.zip"));
    QTest::newRow("301 seen only at the end") << e << redirect << 0 << QString() << QUrl(QStringLiteral("http://other/pkg.zip"));
    e.status = 303;
    QTest::newRow("303 not followed") << e << finish << int(QNetworkReply::ProtocolUnknownError)
                                      << QStringLiteral("Unexpected HTTP status 303") << QUrl();

    e = base;
    e.error = QNetworkReply::OperationCanceledError;
    e.errorText = QStringLiteral("Operation canceled");
    e.stalled = true;
    QTest::newRow("stall reconnects") << e << int(ReplyDecision::Reconnect) << 0 << QString() << QUrl();
    e.stallReconnects = DownloadFile::maxStallReconnects;
    QTest::newRow("stalls in a row give up") << e << finish << int(QNetworkReply::TimeoutError)
                                             << QStringLiteral("No data from the server after %1 reconnections")
                                                    .arg(DownloadFile::maxStallReconnects)
                                             << QUrl();
    e.stalled = false;
    QTest::newRow("abort") << e << finish << int(QNetworkReply::OperationCanceledError)
                           << QStringLiteral("Operation canceled") << QUrl();

    e = base;
    e.status = 416;
    e.error = QNetworkReply::UnknownContentError;
    e.errorText = QStringLiteral("Range Not Satisfiable");
    e.offset = 61440;
    QTest::newRow("refused range restarts") << e << int(ReplyDecision::Restart) << 0 << QString() << QUrl();
    e.offset = 0;
    QTest::newRow("416 without a range ends") << e << finish << int(QNetworkReply::UnknownContentError)
                                              << QStringLiteral("Range Not Satisfiable") << QUrl();

    e = base;
    e.failCode = QNetworkReply::UnknownContentError;
    e.failText = QStringLiteral("Write to partial file failed: disk");
    e.error = QNetworkReply::OperationCanceledError;
    QTest::newRow("data handler's failure wins") << e << finish << int(QNetworkReply::UnknownContentError)
                                                 << QStringLiteral("Write to partial file failed: disk") << QUrl();
    e = base;
    e.held = 1000;
    e.expectedEnd = 5000;
    QTest::newRow("body cut short") << e << finish << int(QNetworkReply::RemoteHostClosedError)
                                    << QStringLiteral("Connection closed after 1000 of 5000 bytes") << QUrl();
    e.held = 5000;
    QTest::newRow("body complete") << e << finish << 0 << QString() << QUrl();
    e = base;
    e.error = QNetworkReply::RemoteHostClosedError;
    e.errorText = QStringLiteral("closed");
    QTest::newRow("network error") << e << finish << int(QNetworkReply::RemoteHostClosedError)
                                   << QStringLiteral("closed") << QUrl();
}

void TestDownloadFile::replyEndDecision()
{
    QFETCH(ReplyEnd, end);
    QFETCH(int, action);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(QUrl, url);

    const ReplyDecision decision = DownloadFilePrivate::decide(end);
    QCOMPARE(int(decision.action), action);
    QCOMPARE(decision.code, code);
    QCOMPARE(decision.text, text);
    QCOMPARE(decision.url, url);
}

void TestDownloadFile::fileModeReplacesFinalFileThroughPartialFile()
{
    const QByteArray body = TestFiles::pseudoRandom(700 * 1024);
    m_server->serveData("/pkg.zip", body);
    const QString target = path(QStringLiteral("pkg.zip"));
    QVERIFY(TestFiles::write(target, "old content"));

    DownloadFile df;
    Recorder rec(&df);
    bool sawPartial = false;
    connect(&df, &DownloadFile::started, this, [&] {
        sawPartial = QFile::exists(target + QStringLiteral(".tmp")) && TestFiles::read(target) == "old content";
    });
    QVERIFY(df.start(pkg(TestFiles::md5(body))));
    QVERIFY(df.isDownloading());
    QVERIFY(rec.waitFinished());

    QCOMPARE(rec.code(), 0);
    QCOMPARE(rec.content(), target);
    QVERIFY(sawPartial);
    QVERIFY(TestFiles::read(target) == body);
    QVERIFY(!QFile::exists(target + QStringLiteral(".tmp")));
    QVERIFY(!df.isDownloading());
    QCOMPARE(rec.contentLength, body.size());
    QCOMPARE(df.getProgress(), double(body.size()));
    QCOMPARE(rec.events.first(), QStringLiteral("on"));
    QCOMPARE(rec.events.mid(1, 2), (QStringList{QStringLiteral("started"), QStringLiteral("progress")}));
    QCOMPARE(rec.events.mid(rec.events.size() - 2), (QStringList{QStringLiteral("finished"), QStringLiteral("off")}));
    QCOMPARE(rec.finished.size(), 1);

    const auto requests = m_server->requestsFor("/pkg.zip");
    QCOMPARE(requests.size(), 1);
    QVERIFY(requests.first().header("Range").isEmpty());
    QVERIFY2(requests.first().header("User-Agent").startsWith("updater/1.2.3 ("),
             requests.first().header("User-Agent").constData());
    // Ranges count the bytes as stored; a compressed answer would shift every resumed offset.
    QCOMPARE(requests.first().header("Accept-Encoding"), QByteArray("identity"));
}

void TestDownloadFile::memoryModeDecodesUtf8()
{
    const QByteArray body = QStringLiteral("{\"windows\": \"обновление\"}").toUtf8();
    m_server->serveData("/update.json", body);
    DownloadFile df;
    Recorder rec(&df);
    QVERIFY(df.start(params(m_server->url(QStringLiteral("/update.json")), QString(), TestFiles::md5(body))));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), 0);
    QCOMPARE(rec.content(), QString::fromUtf8(body));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).size(), 0);

    // The same object serves the next transfer, and a wrong digest is caught in memory mode too.
    Recorder second(&df);
    QVERIFY(df.start(params(m_server->url(QStringLiteral("/update.json")), QString(), TestFiles::md5("other"))));
    QVERIFY(second.waitFinished());
    QCOMPARE(second.code(), -3);
    QCOMPARE(second.content(), QStringLiteral("Integrity check failed"));
}

void TestDownloadFile::refusedStartsChangeNothing()
{
    m_server->route("/slow") = HttpTestServer::Route();
    m_server->route("/slow").body = TestFiles::pseudoRandom(200 * 1024);
    m_server->route("/slow").stallAfterBytes = 64 * 1024;
    m_server->route("/slow").stallMs = 300;

    DownloadFile df;
    Recorder rec(&df);
    QVERIFY(!df.start(params(QUrl())));
    QVERIFY(!df.start(params(m_server->url(QStringLiteral("/slow")), path(QStringLiteral("no/such/folder/f")))));
    QVERIFY(rec.events.isEmpty());
    QVERIFY(!df.isDownloading());

    const QString target = path(QStringLiteral("slow.bin"));
    QVERIFY(df.start(params(m_server->url(QStringLiteral("/slow")), target)));
    QVERIFY(!df.start(params(m_server->url(QStringLiteral("/slow")), path(QStringLiteral("other.bin")))));
    QVERIFY(!QFile::exists(path(QStringLiteral("other.bin.tmp"))));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), 0);
    QCOMPARE(TestFiles::read(target).size(), 200 * 1024);
    QCOMPARE(rec.finished.size(), 1);
    QCOMPARE(rec.events.count(QStringLiteral("on")), 1);
}

void TestDownloadFile::resumeAppendsAndHashCoversPartialFile()
{
    const QByteArray body = TestFiles::pseudoRandom(500 * 1024, 2);
    const int kept = 123457;
    m_server->serveData("/pkg.zip", body);
    const QString target = path(QStringLiteral("pkg.zip"));
    QVERIFY(TestFiles::write(target + QStringLiteral(".tmp"), body.left(kept)));
    QVERIFY(adopt(target, TestFiles::md5(body)));

    DownloadFile df;
    Recorder rec(&df);
    QVERIFY(df.start(pkg(TestFiles::md5(body))));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), 0);
    QVERIFY(TestFiles::read(target) == body);
    QCOMPARE(m_server->requestsFor("/pkg.zip").first().header("Range"), QByteArray("bytes=123457-"));
    QVERIFY(!rec.progress.isEmpty());
    QVERIFY(rec.progress.first() >= kept);
    QCOMPARE(rec.progress.last(), double(body.size()));
    QCOMPARE(rec.contentLength, body.size() - kept);
}

void TestDownloadFile::resumeWithWrongPartialFailsIntegrity()
{
    const QByteArray body = TestFiles::pseudoRandom(300 * 1024, 3);
    m_server->serveData("/pkg.zip", body);
    const QString target = path(QStringLiteral("pkg.zip"));
    QByteArray wrong = body.left(5000);
    wrong[100] = char(wrong[100] ^ 0x55);
    QVERIFY(TestFiles::write(target + QStringLiteral(".tmp"), wrong));
    QVERIFY(adopt(target, TestFiles::md5(body)));

    DownloadFile df;
    Recorder rec(&df);
    QVERIFY(df.start(pkg(TestFiles::md5(body))));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), -3);
    QCOMPARE(rec.content(), QStringLiteral("Integrity check failed"));
    QVERIFY(!QFile::exists(target));
    QCOMPARE(TestFiles::read(target + QStringLiteral(".tmp")).size(), body.size());

    // "clean" is the way out of a bad partial file.
    Recorder again(&df);
    QVERIFY(df.start(pkg(TestFiles::md5(body), true)));
    QVERIFY(again.waitFinished());
    QCOMPARE(again.code(), 0);
    QVERIFY(TestFiles::read(target) == body);
}

void TestDownloadFile::resumeAcrossTwoObjectsAfterAbort()
{
    const QByteArray body = TestFiles::pseudoRandom(900 * 1024, 4);
    servePkgStallingAfter(body, 300 * 1024);
    const QString target = path(QStringLiteral("pkg.zip"));

    {
        DownloadFile first;
        Recorder rec(&first);
        QSignalSpy stalled(m_server, &HttpTestServer::responseStalled);
        QVERIFY(first.start(pkg(TestFiles::md5(body))));
        QVERIFY(stalled.wait(10000));
        // Let the client take in what is on the wire; how much it got does not matter.
        static_cast<void>(QTest::qWaitFor([&] { return first.getProgress() >= 300 * 1024; }, 300));
        first.abort();
        QCOMPARE(rec.finished.size(), 1);
        QCOMPARE(rec.code(), int(QNetworkReply::OperationCanceledError));
        QCOMPARE(rec.events.mid(rec.events.size() - 2), (QStringList{QStringLiteral("finished"), QStringLiteral("off")}));
    }
    const QByteArray partial = TestFiles::read(target + QStringLiteral(".tmp"));
    QVERIFY(partial.size() > 0 && partial.size() <= 300 * 1024);
    QVERIFY(partial == body.left(partial.size()));

    DownloadFile second;
    Recorder rec(&second);
    QVERIFY(second.start(pkg(TestFiles::md5(body))));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), 0);
    QVERIFY(TestFiles::read(target) == body);
    QCOMPARE(m_server->requestsFor("/pkg.zip").last().header("Range"), "bytes=" + QByteArray::number(partial.size()) + '-');
}

void TestDownloadFile::clearConnectionCacheCancelsAndAllowsNewTransfer()
{
    const QByteArray body = TestFiles::pseudoRandom(400 * 1024, 12);
    servePkgStallingAfter(body, 100 * 1024);
    const QString target = path(QStringLiteral("pkg.zip"));

    DownloadFile df;
    Recorder rec(&df);
    QSignalSpy stalled(m_server, &HttpTestServer::responseStalled);
    QVERIFY(df.start(pkg(TestFiles::md5(body))));
    QVERIFY(stalled.wait(10000));
    df.clearConnectionCache();
    // The cancellation is reported before clearConnectionCache() returns.
    QCOMPARE(rec.finished.size(), 1);
    QCOMPARE(rec.code(), int(QNetworkReply::OperationCanceledError));
    QVERIFY(!df.isDownloading());

    Recorder again(&df);
    QVERIFY(df.start(pkg(TestFiles::md5(body))));
    QVERIFY(again.waitFinished());
    QCOMPARE(again.code(), 0);
    QVERIFY(TestFiles::read(target) == body);
}

void TestDownloadFile::cleanRewritesFromFirstByte()
{
    const QByteArray body = TestFiles::pseudoRandom(100 * 1024, 5);
    m_server->serveData("/pkg.zip", body);
    const QString target = path(QStringLiteral("pkg.zip"));
    QVERIFY(TestFiles::write(target + QStringLiteral(".tmp"), QByteArray(200 * 1024, 'z')));

    DownloadFile df;
    Recorder rec(&df);
    QVERIFY(df.start(pkg(QString(), true)));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), 0);
    QVERIFY(TestFiles::read(target) == body);
    QVERIFY(m_server->requestsFor("/pkg.zip").first().header("Range").isEmpty());
}

void TestDownloadFile::serverIgnoringRangeRewritesOutput()
{
    const QByteArray body = TestFiles::pseudoRandom(400 * 1024, 6);
    m_server->serveData("/pkg.zip", body, false);
    const QString target = path(QStringLiteral("pkg.zip"));
    QVERIFY(TestFiles::write(target + QStringLiteral(".tmp"), QByteArray(1000, 'q')));
    QVERIFY(adopt(target, TestFiles::md5(body)));

    DownloadFile df;
    Recorder rec(&df);
    QVERIFY(df.start(pkg(TestFiles::md5(body))));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), 0);
    QVERIFY(TestFiles::read(target) == body);
    QCOMPARE(m_server->requestsFor("/pkg.zip").first().header("Range"), QByteArray("bytes=1000-"));
    QCOMPARE(rec.progress.last(), double(body.size()));
}

void TestDownloadFile::refusedRangeRestartsFromZero()
{
    const QByteArray body = TestFiles::pseudoRandom(50 * 1024, 7);
    m_server->serveData("/pkg.zip", body);
    const QString target = path(QStringLiteral("pkg.zip"));
    QVERIFY(TestFiles::write(target + QStringLiteral(".tmp"), TestFiles::pseudoRandom(60 * 1024, 99)));
    QVERIFY(adopt(target, TestFiles::md5(body)));

    DownloadFile df;
    Recorder rec(&df);
    QTest::ignoreMessage(QtWarningMsg, "[DownloadFilePrivate] Range refused, restart from byte 0");
    QVERIFY(df.start(pkg(TestFiles::md5(body))));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), 0);
    QVERIFY(TestFiles::read(target) == body);
    const auto requests = m_server->requestsFor("/pkg.zip");
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).header("Range"), QByteArray("bytes=61440-"));
    QVERIFY(requests.at(1).header("Range").isEmpty());
    QCOMPARE(rec.finished.size(), 1);
}

void TestDownloadFile::redirects_data()
{
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("finalPath");

    QTest::newRow("302 absolute") << QByteArray("ABSOLUTE/files/pkg.zip") << 302 << QByteArray("/files/pkg.zip");
    QTest::newRow("301 relative") << QByteArray("files/pkg.zip") << 301 << QByteArray("/dl/files/pkg.zip");
    QTest::newRow("302 root relative") << QByteArray("/files/pkg.zip") << 302 << QByteArray("/files/pkg.zip");
}

void TestDownloadFile::redirects()
{
    QFETCH(QByteArray, location);
    QFETCH(int, status);
    QFETCH(QByteArray, finalPath);
    location.replace("ABSOLUTE", m_server->url(QString()).toString().toUtf8());

    const QByteArray body = TestFiles::pseudoRandom(80 * 1024, 8);
    m_server->redirect("/dl/latest", location, status);
    m_server->serveData(finalPath, body);
    const QString target = path(QStringLiteral("pkg.zip"));

    DownloadFile df;
    Recorder rec(&df);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("[DownloadFilePrivate] HTTP Status  %1").arg(status)));
    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable(QStringLiteral("[DownloadFilePrivate] Redirected url:  \"%1\"")
                                        .arg(m_server->url(QString::fromLatin1(finalPath)).toString())));
    QVERIFY(df.start(params(m_server->url(QStringLiteral("/dl/latest")), target, TestFiles::md5(body))));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), 0);
    QVERIFY(TestFiles::read(target) == body);
    QCOMPARE(m_server->requestsFor(finalPath).size(), 1);
    QCOMPARE(rec.events.count(QStringLiteral("started")), 1);
    QCOMPARE(rec.finished.size(), 1);
}

void TestDownloadFile::stallInBodyReconnectsAndKeepsDigest()
{
    const QByteArray body = TestFiles::pseudoRandom(600 * 1024, 9);
    servePkgStallingAfter(body, 256 * 1024);
    const QString target = path(QStringLiteral("pkg.zip"));

    DownloadFile df;
    df.setStallInterval(1000);
    Recorder rec(&df);
    QTest::ignoreMessage(QtInfoMsg, "Reconnect download file! ");
    QVERIFY(df.start(pkg(TestFiles::md5(body))));
    QVERIFY(rec.waitFinished(10000));
    QCOMPARE(rec.code(), 0);
    QVERIFY(TestFiles::read(target) == body);
    const auto requests = m_server->requestsFor("/pkg.zip");
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(1).header("Range"), QByteArray("bytes=262144-"));
    QCOMPARE(rec.finished.size(), 1);
    QCOMPARE(rec.events.count(QStringLiteral("off")), 1);
}

void TestDownloadFile::stallBeforeHeadersReconnects()
{
    const QByteArray body = TestFiles::pseudoRandom(10 * 1024, 10);
    HttpTestServer::Route route;
    route.body = body;
    route.stallBeforeHeadersMs = -1;
    m_server->setRoute("/info.json", route);

    DownloadFile df;
    df.setStallInterval(1000);
    Recorder rec(&df);
    QTest::ignoreMessage(QtInfoMsg, "Reconnect download file! ");
    QElapsedTimer clock;
    clock.start();
    QVERIFY(df.start(params(m_server->url(QStringLiteral("/info.json")))));
    QVERIFY(rec.waitFinished(10000));
    QVERIFY(clock.elapsed() >= 950);
    QCOMPARE(rec.code(), 0);
    QCOMPARE(rec.content().toLatin1().size(), QString::fromUtf8(body).toLatin1().size());
    const auto requests = m_server->requestsFor("/info.json");
    QCOMPARE(requests.size(), 2);
    QVERIFY(requests.at(1).header("Range").isEmpty());
}

// Reconnecting is for a connection that broke; a server that accepts and never answers must end
// the transfer, or the update cycle would wait for its result for ever.
void TestDownloadFile::serverThatNeverAnswersEndsTheTransfer()
{
    HttpTestServer::Route route;
    route.body = TestFiles::pseudoRandom(1024, 11);
    route.stallBeforeHeadersMs = -1;
    route.stalledRequests = -1;
    m_server->setRoute("/dead", route);
    const QString target = path(QStringLiteral("dead.bin"));

    DownloadFile df;
    df.setStallInterval(100);
    Recorder rec(&df);
    QVERIFY(df.start(params(m_server->url(QStringLiteral("/dead")), target)));
    QVERIFY(rec.waitFinished(20000));
    QCOMPARE(rec.code(), int(QNetworkReply::TimeoutError));
    QCOMPARE(rec.finished.size(), 1);
    QCOMPARE(m_server->requestsFor("/dead").size(), DownloadFile::maxStallReconnects + 1);
    QVERIFY(!df.isDownloading());
    QVERIFY(QFile::exists(target + QStringLiteral(".tmp")));

    // A window at the lowest acceptable speed between stalls shows the server is alive: the count
    // starts again and the file completes.
    const QByteArray body = TestFiles::pseudoRandom(200 * 1024, 12);
    HttpTestServer::Route slow;
    slow.body = body;
    slow.chunkSize = 16 * 1024;
    slow.stallAfterBytes = 16 * 1024;
    slow.stallMs = -1;
    slow.stalledRequests = DownloadFile::maxStallReconnects + 2;
    m_server->setRoute("/slow-alive", slow);
    DownloadFile alive;
    alive.setStallInterval(300);
    alive.setLowSpeedWindow(150);
    Recorder aliveRec(&alive);
    QVERIFY(alive.start(params(m_server->url(QStringLiteral("/slow-alive")), path(QStringLiteral("alive.bin")),
                               TestFiles::md5(body))));
    QVERIFY(aliveRec.waitFinished(30000));
    QCOMPARE(aliveRec.code(), 0);
    QVERIFY(TestFiles::read(path(QStringLiteral("alive.bin"))) == body);
    QCOMPARE(m_server->requestsFor("/slow-alive").size(), DownloadFile::maxStallReconnects + 3);
}

void TestDownloadFile::authentication_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("code");

    QTest::newRow("right") << "device" << "s3cret" << 0;
    QTest::newRow("none") << "" << "" << int(QNetworkReply::AuthenticationRequiredError);
    QTest::newRow("empty password") << "device" << "" << int(QNetworkReply::AuthenticationRequiredError);
    QTest::newRow("wrong password") << "device" << "guess" << int(QNetworkReply::AuthenticationRequiredError);
}

void TestDownloadFile::authentication()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, code);

    HttpTestServer::Route route;
    route.body = "protected";
    route.user = "device";
    route.password = "s3cret";
    m_server->setRoute("/private", route);

    DownloadFile df;
    df.setAuth(user, password);
    Recorder rec(&df);
    if (code != 0)
        QTest::ignoreMessage(QtWarningMsg, "[DownloadFilePrivate] HTTP Status  401");
    QVERIFY(df.start(params(m_server->url(QStringLiteral("/private")))));
    QVERIFY(rec.waitFinished(10000));
    QCOMPARE(rec.code(), code);
    if (code == 0)
        QCOMPARE(rec.content(), QStringLiteral("protected"));
    QCOMPARE(rec.finished.size(), 1);
}

void TestDownloadFile::errorStatusesEndTheTransfer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code");

    QTest::newRow("404") << 404 << int(QNetworkReply::ContentNotFoundError);
    QTest::newRow("500") << 500 << int(QNetworkReply::InternalServerError);
    QTest::newRow("303 not followed") << 303 << int(QNetworkReply::ProtocolUnknownError);
}

void TestDownloadFile::errorStatusesEndTheTransfer()
{
    QFETCH(int, status);
    QFETCH(int, code);
    HttpTestServer::Route route;
    route.status = status;
    route.location = "/elsewhere";
    route.body = TestFiles::pseudoRandom(2 * 1024 * 1024, 11);
    m_server->setRoute("/pkg.zip", route);
    const QString target = path(QStringLiteral("pkg.zip"));

    DownloadFile df;
    Recorder rec(&df);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("[DownloadFilePrivate] HTTP Status  %1").arg(status)));
    QVERIFY(df.start(pkg()));
    QVERIFY(rec.waitFinished(10000));
    QCOMPARE(rec.code(), code);
    QVERIFY(!rec.content().isEmpty());
    QVERIFY(!QFile::exists(target));
    QVERIFY(QFile::exists(target + QStringLiteral(".tmp")));
    QCOMPARE(TestFiles::read(target + QStringLiteral(".tmp")), QByteArray());
    QVERIFY(!rec.events.contains(QStringLiteral("started")));
}

void TestDownloadFile::connectionRefused()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();

    DownloadFile df;
    Recorder rec(&df);
    QVERIFY(df.start(params(QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(port)), path(QStringLiteral("x")))));
    QVERIFY(rec.waitFinished(10000));
    QCOMPARE(rec.code(), int(QNetworkReply::ConnectionRefusedError));
    QCOMPARE(rec.events, (QStringList{QStringLiteral("on"), QStringLiteral("finished"), QStringLiteral("off")}));
}

// One byte now and then restarts the stall timer for ever; the speed over a window does not.
void TestDownloadFile::tricklingServerCountsAsStalled()
{
    HttpTestServer::Route route;
    route.body = TestFiles::pseudoRandom(64 * 1024, 14);
    route.chunkSize = 1;
    route.chunkDelayMs = 20;
    m_server->setRoute("/pkg.zip", route);

    DownloadFile df;
    df.setStallInterval(5000);
    df.setLowSpeedWindow(300);
    Recorder rec(&df);
    for (int i = 0; i < DownloadFile::maxStallReconnects + 1; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("slower than 1024 bytes/s for 300 ms")));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("Reconnect download file")));
    QVERIFY(df.start(pkg()));
    QVERIFY(rec.waitFinished(30000));
    QCOMPARE(rec.code(), int(QNetworkReply::TimeoutError));
    const auto requests = m_server->requestsFor("/pkg.zip");
    QCOMPARE(requests.size(), DownloadFile::maxStallReconnects + 1);
    // Each reconnection resumes where the trickle had got to.
    const QByteArray range = requests.last().header("Range");
    QVERIFY2(range.startsWith("bytes=") && range != "bytes=0-", range.constData());
    const QByteArray partial = TestFiles::read(path(QStringLiteral("pkg.zip.tmp")));
    QVERIFY(!partial.isEmpty() && partial == route.body.left(partial.size()));
}

void TestDownloadFile::resumesOnlyTheSamePackage_data()
{
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("lastModified");
    QTest::addColumn<bool>("republished");     // the server's file changes between the attempts
    QTest::addColumn<bool>("otherPackage");    // the second attempt announces another digest
    QTest::addColumn<bool>("range");
    QTest::addColumn<QByteArray>("ifRange");

    const QByteArray date = "Tue, 01 Dec 2026 10:00:00 GMT";
    QTest::newRow("same file resumes") << QByteArray("\"a1\"") << date << false << false << true << QByteArray("\"a1\"");
    QTest::newRow("only a date") << QByteArray() << date << false << false << true << date;
    QTest::newRow("weak tag, date used") << QByteArray("W/\"a1\"") << date << false << false << true << date;
    QTest::newRow("no validator") << QByteArray() << QByteArray() << false << false << true << QByteArray();
    QTest::newRow("republished under the same name") << QByteArray("\"a1\"") << date << true << false << true
                                                     << QByteArray("\"a1\"");
    QTest::newRow("another package announced") << QByteArray("\"a1\"") << date << false << true << false << QByteArray();
}

// A broken connection leaves good bytes; the next attempt continues them, unless they may belong
// to something else than the package announced now.
void TestDownloadFile::resumesOnlyTheSamePackage()
{
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, lastModified);
    QFETCH(bool, republished);
    QFETCH(bool, otherPackage);
    QFETCH(bool, range);
    QFETCH(QByteArray, ifRange);

    const QByteArray first = TestFiles::pseudoRandom(300 * 1024, 15);
    const QByteArray second = republished || otherPackage ? TestFiles::pseudoRandom(300 * 1024, 16) : first;
    HttpTestServer::Route route;
    route.body = first;
    route.etag = etag;
    route.lastModified = lastModified;
    route.resetAfterBytes = 100 * 1024;
    m_server->setRoute("/pkg.zip", route);
    const QString target = path(QStringLiteral("pkg.zip"));

    // The first attempt already announces what the second finds: the server hands out an old file.
    const QString announced = TestFiles::md5(otherPackage ? first : second);
    DownloadFile df;
    {
        Recorder rec(&df);
        QVERIFY(df.start(pkg(announced)));
        QVERIFY(rec.waitFinished());
        QVERIFY2(rec.code() > 0, qPrintable(rec.content()));
    }
    const qint64 kept = QFileInfo(target + QStringLiteral(".tmp")).size();
    QVERIFY(kept > 0 && kept <= 100 * 1024);

    route.body = second;
    route.resetAfterBytes = -1;
    if (republished) {
        route.etag = "\"b2\"";
        route.lastModified = "Wed, 02 Dec 2026 10:00:00 GMT";
    }
    m_server->setRoute("/pkg.zip", route);
    Recorder rec(&df);
    QVERIFY(df.start(pkg(TestFiles::md5(second))));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), 0);
    QVERIFY(TestFiles::read(target) == second);
    const auto request = m_server->requestsFor("/pkg.zip").last();
    QCOMPARE(request.header("Range"), range ? "bytes=" + QByteArray::number(kept) + '-' : QByteArray());
    QCOMPARE(request.header("If-Range"), ifRange);
    QVERIFY(!QFile::exists(DownloadFile::partialMarkerPath(target)));
}

void TestDownloadFile::noSpaceIsRefusedAndFreed_data()
{
    const qint64 margin = DownloadFile::minSpaceMargin;
    QTest::addColumn<qint64>("announced");   // -1: the true length
    QTest::addColumn<int>("kept");           // bytes of a partial file being resumed
    QTest::addColumn<qint64>("free");
    QTest::addColumn<bool>("diskFull");      // every write fails as on a full disk
    QTest::addColumn<int>("code");

    const int size = 100 * 1024;
    QTest::newRow("fits with the margin") << qint64(-1) << 0 << size + margin << false << 0;
    QTest::newRow("short of the margin") << qint64(-1) << 0 << size + margin - 1 << false << int(DownloadFile::NoSpaceError);
    QTest::newRow("range asks only the rest") << qint64(-1) << 60 * 1024 << (size - 60 * 1024) + margin << false << 0;
    // Beyond 32 bits, and 2 % of it is more than the fixed margin.
    const qint64 huge = 10LL * 1024 * 1024 * 1024;
    QTest::newRow("2 % of a big file") << huge << 0 << huge + margin << false << int(DownloadFile::NoSpaceError);
    QTest::newRow("disk fills while writing") << qint64(-1) << 0 << 100 * margin << true << int(DownloadFile::NoSpaceError);
}

void TestDownloadFile::noSpaceIsRefusedAndFreed()
{
    QFETCH(qint64, announced);
    QFETCH(int, kept);
    QFETCH(qint64, free);
    QFETCH(bool, diskFull);
    QFETCH(int, code);

    const QByteArray body = TestFiles::pseudoRandom(100 * 1024, 13);
    HttpTestServer::Route route;
    route.body = body;
    route.announcedLength = announced;
    m_server->setRoute("/pkg.zip", route);
    const QString target = path(QStringLiteral("pkg.zip"));
    const QString part = target + QStringLiteral(".tmp");
    if (kept > 0) {
        QVERIFY(TestFiles::write(part, body.left(kept)));
        QVERIFY(adopt(target, TestFiles::md5(body)));
    }
    if (diskFull) {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full");
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), part));
    }

    DownloadFile df;
    QString askedFolder;
    df.setFreeSpaceProbe([&](const QString &folder) {
        askedFolder = folder;
        return free;
    });
    Recorder rec(&df);
    QVariantMap map = pkg(TestFiles::md5(body));
    map.insert(QStringLiteral("check_space"), true);
    if (code != 0) {
        if (!diskFull)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no space for the file")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("partial file removed to free the volume")));
    }
    QVERIFY(df.start(map));
    QVERIFY(rec.waitFinished());
    QCOMPARE(rec.code(), code);
    if (code == 0) {
        QVERIFY(TestFiles::read(target) == body);
        QCOMPARE(askedFolder, m_dir->path());
        return;
    }
    QVERIFY2(rec.content().contains(QStringLiteral("no space"), Qt::CaseInsensitive), qPrintable(rec.content()));
    QCOMPARE(rec.events.contains(QStringLiteral("started")), diskFull);
    // The volume is left as free as it was, so the next check of the update information can work.
    QVERIFY(!QFileInfo(part).exists() && !QFileInfo(part).isSymLink());
    QVERIFY(!QFile::exists(DownloadFile::partialMarkerPath(target)));
    QVERIFY(!QFile::exists(target));
}

QTEST_GUILESS_MAIN(TestDownloadFile)
#include "tst_downloadfile.moc"
