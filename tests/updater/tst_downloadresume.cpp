#include "downloadfile.h"
#include "httptestserver.h"
#include "nginxserver.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>

// Resuming across processes (a child killed with SIGKILL half-way) and against real nginx.
// The test binary doubles as the child: with DOWNLOAD_CHILD_SOURCE set it runs one download and
// prints its result instead of running the tests.

namespace {
QVariantMap params(const QUrl &source, const QString &file, const QString &hash)
{
    return {{QStringLiteral("source"), source.toString()},
            {QStringLiteral("file"), file},
            {QStringLiteral("hash"), hash}};
}

int runChild(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    DownloadFile download;
    QObject::connect(&download, &DownloadFile::finished, &app, [&app](int code, const QString &content) {
        std::printf("finished %d %s\n", code, qPrintable(content));
        std::fflush(stdout);
        app.exit(code == 0 ? 0 : 3);
    });
    const bool started = download.start(params(QUrl(qEnvironmentVariable("DOWNLOAD_CHILD_SOURCE")),
                                               qEnvironmentVariable("DOWNLOAD_CHILD_FILE"),
                                               qEnvironmentVariable("DOWNLOAD_CHILD_HASH")));
    if (!started)
        return 4;
    return app.exec();
}
}

class TestDownloadResume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killedChildIsFinishedByNewProcess();
    void nginxResumesWithRange_data();
    void nginxResumesWithRange();
    void nginxRefusedRangeRestarts();
    void nginxIfRange_data();
    void nginxIfRange();

private:
    // This binary as the child that downloads source to file.
    void startChild(QProcess &child, const QUrl &source, const QString &file, const QString &hash) const;
};

void TestDownloadResume::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestDownloadResume::startChild(QProcess &child, const QUrl &source, const QString &file, const QString &hash) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DOWNLOAD_CHILD_SOURCE"), source.toString());
    env.insert(QStringLiteral("DOWNLOAD_CHILD_FILE"), file);
    env.insert(QStringLiteral("DOWNLOAD_CHILD_HASH"), hash);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
}

void TestDownloadResume::killedChildIsFinishedByNewProcess()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray body = TestFiles::pseudoRandom(3 * 1024 * 1024, 1);
    HttpTestServer server;
    QVERIFY(server.listen());
    HttpTestServer::Route route;
    route.body = body;
    route.stallAfterBytes = 1024 * 1024 + 4321;
    route.stallMs = -1;
    server.setRoute("/pkg.zip", route);
    const QString target = dir.filePath(QStringLiteral("pkg.zip"));
    const QString part = target + QStringLiteral(".tmp");

    QProcess first;
    QSignalSpy stalled(&server, &HttpTestServer::responseStalled);
    startChild(first, server.url(QStringLiteral("/pkg.zip")), target, TestFiles::md5(body));
    QVERIFY(first.waitForStarted());
    const bool onDisk = stalled.wait(20000)
        // The child writes what it receives at once; wait until a good part of it is on disk.
        && QTest::qWaitFor([&] { return QFileInfo(part).size() >= 1000 * 1000; }, 10000);
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(10000));
    QVERIFY(onDisk);
    QCOMPARE(first.exitStatus(), QProcess::CrashExit);

    const QByteArray kept = TestFiles::read(part);
    QVERIFY(kept.size() > 0 && kept.size() < body.size());
    QVERIFY(kept == body.left(kept.size()));
    QVERIFY(!QFile::exists(target));

    QProcess second;
    startChild(second, server.url(QStringLiteral("/pkg.zip")), target, TestFiles::md5(body));
    // The server lives in this process: wait with the event loop running.
    const bool done = QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 20000);
    if (!done) {
        second.kill();
        second.waitForFinished(5000);
    }
    QVERIFY(done);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.readAllStandardOutput().trimmed(), "finished 0 " + target.toUtf8());
    QCOMPARE(TestFiles::md5(TestFiles::read(target)), TestFiles::md5(body));
    QVERIFY(!QFile::exists(part));
    const auto requests = server.requestsFor("/pkg.zip");
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(1).header("Range"), "bytes=" + QByteArray::number(kept.size()) + '-');
}

void TestDownloadResume::nginxResumesWithRange_data()
{
    QTest::addColumn<bool>("sha256");
    QTest::addColumn<bool>("sha256Matches");
    QTest::newRow("MD5") << false << false;
    // Only a digest that also covers the kept bytes can match.
    QTest::newRow("MD5, SHA-256 and size") << true << true;
    QTest::newRow("other SHA-256") << true << false;
}

void TestDownloadResume::nginxResumesWithRange()
{
    QFETCH(bool, sha256);
    QFETCH(bool, sha256Matches);
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray body = TestFiles::pseudoRandom(5 * 1024 * 1024 + 77, 2);
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("www/files/pkg.zip")), body));
    NginxServer nginx(dir.filePath(QStringLiteral("www")));
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

    const QString target = dir.filePath(QStringLiteral("pkg.zip"));
    const int kept = 2 * 1024 * 1024 + 123;
    QVERIFY(TestFiles::write(target + QStringLiteral(".tmp"), body.left(kept)));
    QVariantMap request = params(nginx.url(QStringLiteral("/files/pkg.zip")), target, TestFiles::md5(body));
    QByteArray identity = TestFiles::md5(body).toLatin1();
    if (sha256) {
        QByteArray digest = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
        if (!sha256Matches)
            digest[5] = digest.at(5) == '0' ? '1' : '0';
        request.insert(QStringLiteral("sha256"), QString::fromLatin1(digest));
        request.insert(QStringLiteral("size"), qint64(body.size()));
        identity += ' ' + digest + ' ' + QByteArray::number(body.size());
    }
    QVERIFY(TestFiles::write(DownloadFile::partialMarkerPath(target), identity + '\n'));

    DownloadFile download;
    QSignalSpy finished(&download, &DownloadFile::finished);
    QVERIFY(download.start(request));
    QVERIFY(finished.wait(20000));
    if (sha256 && !sha256Matches) {
        QCOMPARE(finished.first().at(0).toInt(), int(DownloadFile::IntegrityError));
        QCOMPARE(finished.first().at(1).toString(), QStringLiteral("SHA-256 check failed"));
        QVERIFY(!QFile::exists(target));
        QVERIFY(!QFile::exists(DownloadFile::partialMarkerPath(target)));
        return;
    }
    QCOMPARE(finished.first().at(0).toInt(), 0);
    QCOMPARE(finished.first().at(1).toString(), target);
    QCOMPARE(TestFiles::md5(TestFiles::read(target)), TestFiles::md5(body));

    // nginx writes its log line once the response is done, which may be after we have it all.
    QVERIFY(QTest::qWaitFor([&] { return nginx.accessLog().size() >= 1; }, 5000));
    const QStringList log = nginx.accessLog();
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.first(), QStringLiteral("GET /files/pkg.zip HTTP/1.1 206 bytes=%1- %2").arg(kept).arg(body.size() - kept));
}

void TestDownloadResume::nginxRefusedRangeRestarts()
{
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    QTemporaryDir dir;
    const QByteArray body = TestFiles::pseudoRandom(300 * 1024, 3);
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("www/pkg.zip")), body));
    NginxServer nginx(dir.filePath(QStringLiteral("www")));
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

    // A partial file as long as the resource: nothing is left to ask for.
    const QString target = dir.filePath(QStringLiteral("pkg.zip"));
    QVERIFY(TestFiles::write(target + QStringLiteral(".tmp"), TestFiles::pseudoRandom(body.size(), 4)));
    QVERIFY(TestFiles::write(DownloadFile::partialMarkerPath(target), TestFiles::md5(body).toLatin1() + '\n'));

    DownloadFile download;
    QSignalSpy finished(&download, &DownloadFile::finished);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("HTTP Status  416")));
    QTest::ignoreMessage(QtWarningMsg, "[DownloadFilePrivate] Range refused, restart from byte 0");
    QVERIFY(download.start(params(nginx.url(QStringLiteral("/pkg.zip")), target, TestFiles::md5(body))));
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().at(0).toInt(), 0);
    QCOMPARE(TestFiles::md5(TestFiles::read(target)), TestFiles::md5(body));
    QVERIFY(QTest::qWaitFor([&] { return nginx.accessLog().size() >= 2; }, 5000));
    const QStringList log = nginx.accessLog();
    QCOMPARE(log.size(), 2);
    QVERIFY2(log.at(0).startsWith(QStringLiteral("GET /pkg.zip HTTP/1.1 416 bytes=%1-").arg(body.size())),
             qPrintable(log.at(0)));
    QCOMPARE(log.at(1), QStringLiteral("GET /pkg.zip HTTP/1.1 200 - %1").arg(body.size()));
}

void TestDownloadResume::nginxIfRange_data()
{
    QTest::addColumn<bool>("republished");
    QTest::newRow("unchanged file continues") << false;
    QTest::newRow("republished file restarts") << true;
}

// The validator of the first reply goes with the range, so that nginx itself tells whether the
// bytes on disk are still a beginning of the file it serves.
void TestDownloadResume::nginxIfRange()
{
    QFETCH(bool, republished);
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    QTemporaryDir dir;
    const QByteArray oldBody = TestFiles::pseudoRandom(3 * 1024 * 1024, 5);
    const QByteArray newBody = TestFiles::pseudoRandom(oldBody.size(), 6);
    const QString served = dir.filePath(QStringLiteral("www/pkg.zip"));
    QVERIFY(TestFiles::write(served, oldBody));
    NginxServer nginx(dir.filePath(QStringLiteral("www")));
    nginx.setExtraServerConfig(QStringLiteral("limit_rate 1m;"));
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
    const QString target = dir.filePath(QStringLiteral("pkg.zip"));
    // Announced as the new package while the server still hands out the old one.
    const QByteArray expected = republished ? newBody : oldBody;

    DownloadFile download;
    QSignalSpy finished(&download, &DownloadFile::finished);
    QVERIFY(download.start(params(nginx.url(QStringLiteral("/pkg.zip")), target, TestFiles::md5(expected))));
    QVERIFY(QTest::qWaitFor([&] { return download.getProgress() >= 256 * 1024; }, 20000));
    download.abort();
    QCOMPARE(finished.size(), 1);
    const qint64 kept = QFileInfo(target + QStringLiteral(".tmp")).size();
    QVERIFY(kept > 0 && kept < oldBody.size());

    if (republished) {
        QVERIFY(TestFiles::write(served, newBody));
        // Same length; nginx's validator changes with the modification time.
        QFile file(served);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(60), QFileDevice::FileModificationTime));
    }
    QVERIFY(download.start(params(nginx.url(QStringLiteral("/pkg.zip")), target, TestFiles::md5(expected))));
    QVERIFY(QTest::qWaitFor([&] { return finished.size() == 2; }, 30000));
    QCOMPARE(finished.last().at(0).toInt(), 0);
    QCOMPARE(TestFiles::md5(TestFiles::read(target)), TestFiles::md5(expected));

    QVERIFY(QTest::qWaitFor([&] { return nginx.accessLog().size() >= 2; }, 5000));
    const QString last = nginx.accessLog().last();
    const QString expectedLine = republished ? QStringLiteral("GET /pkg.zip HTTP/1.1 200 bytes=%1- %2").arg(kept).arg(oldBody.size())
                                             : QStringLiteral("GET /pkg.zip HTTP/1.1 206 bytes=%1- %2").arg(kept).arg(oldBody.size() - kept);
    QCOMPARE(last, expectedLine);
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("DOWNLOAD_CHILD_SOURCE"))
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestDownloadResume test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_downloadresume.moc"
