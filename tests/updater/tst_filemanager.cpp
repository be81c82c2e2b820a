#include "downloadfile.h"
#include "filemanager.h"
#include "httptestserver.h"
#include "updatersettings.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "testzip.h"
#include "utils.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestFileManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void readUpdateInfo_data();
    void readUpdateInfo();
    void pathsFollowWorkFolder();
    void isPackageValid();
    void checkedPackageIsTheOneInstalled();
    void refusedStartEndsWithFinished();
    void cleanDownloadAfterTransferResult_data();
    void cleanDownloadAfterTransferResult();

    void packageTransferResumesOrStartsClean();
    void cancelledTransferResumes();
    void earlierPackagesAreRemoved();
    void updateInfoTransfer();
    void updateInfoAlwaysFromFirstByte();
    void oversizedUpdateInfoIsStopped_data();
    void oversizedUpdateInfoIsStopped();

    void extractPackageReportsInstallerResult_data();
    void extractPackageReportsInstallerResult();
    void linkEntryIsLogged();

private:
    void writeInfo(const QByteArray &json);
    void offer(const QString &fileName, const QString &hash = QString(), const QString &link = QString());
    QString makePackage(const QList<ZipItem> &items);

    TestEnvironment m_env;
    QScopedPointer<QTemporaryDir> m_tmp;
    QScopedPointer<UpdaterSettings> m_settings;
    QScopedPointer<FileManager> m_manager;
    QScopedPointer<HttpTestServer> m_server;
};

void TestFileManager::initTestCase()
{
    QVERIFY(m_env.applyAs(QStringLiteral("updater")));
}

void TestFileManager::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_settings.reset(new UpdaterSettings);
    m_settings->init();
    m_settings->tempDir = m_tmp->filePath(QStringLiteral("work"));
    m_settings->appFolder = m_tmp->filePath(QStringLiteral("app"));
    m_settings->appKey = QStringLiteral("linux");
    m_settings->deviceId = QStringLiteral("dev-7");
    QDir().mkpath(m_settings->tempDir);
    m_manager.reset(new FileManager);
    m_manager->setSettings(m_settings.data());
    m_server.reset(new HttpTestServer);
    QVERIFY(m_server->listen());
}

void TestFileManager::cleanup()
{
    m_server.reset();
    m_manager.reset();
    m_settings.reset();
    m_tmp.reset();
}

void TestFileManager::writeInfo(const QByteArray &json)
{
    QVERIFY(TestFiles::write(m_settings->tempDir + QLatin1Char('/') + m_settings->updateInfoRequest, json));
}

void TestFileManager::offer(const QString &fileName, const QString &hash, const QString &link)
{
    UpdateInfo::Entry entry;
    entry.versionCode = 9;
    entry.fileName = fileName;
    entry.hash = hash;
    entry.link = link;
    m_manager->setOffer(entry, false);
}

QString TestFileManager::makePackage(const QList<ZipItem> &items)
{
    if (m_manager->offer().fileName.isEmpty())
        offer(QStringLiteral("app.zip"));
    QDir().mkpath(m_manager->downloadFolder());
    const QString error = writeZip(m_manager->packagePath(), items);
    if (!error.isEmpty())
        qWarning() << "writeZip:" << error;
    return error;
}

// How the entry is read is UpdateInfo's table; here only what comes around it.
void TestFileManager::readUpdateInfo_data()
{
    QTest::addColumn<QByteArray>("json"); // "-": no file
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("result");  // the error, or the file name and link read

    using I = FileManager::Info;
    const QByteArray full = R"({"windows":{"version_code":3},
        "linux":{"devices_id":["dev-7"],"version_code":512,"file_name":"app-512.zip","link":"http://h/app-512.zip"}})";
    QTest::newRow("entry read") << full << int(I::Read) << "app-512.zip http://h/app-512.zip";
    QTest::newRow("no file") << QByteArray("-") << int(I::Absent) << "cannot read %1: No such file or directory";
    QTest::newRow("platform missing") << QByteArray(R"({"windows":{"version_code":3}})") << int(I::Refused)
                                      << R"(the update information has no entry "linux")";
    QTest::newRow("platform empty") << QByteArray(R"({"linux":{}})") << int(I::Refused) << R"(the update information has no entry "linux")";
    QTest::newRow("platform not an object") << QByteArray(R"({"linux":[1,2]})") << int(I::Refused) << R"(the update information has no entry "linux")";
    QTest::newRow("root is an array") << QByteArray(R"([{"linux":{"version_code":3}}])") << int(I::Refused)
                                      << "the update information is not a JSON object";
    QTest::newRow("malformed") << QByteArray(R"({"linux":{"version_code":3)") << int(I::Refused) << "the update information is not a JSON object";
    QTest::newRow("empty file") << QByteArray() << int(I::Refused) << "the update information is not a JSON object";
    QTest::newRow("file name climbs out") << QByteArray(R"({"linux":{"version_code":9,"file_name":"../../x.zip"}})") << int(I::Refused)
                                          << "the file name is not a plain name: ../../x.zip";
    QTest::newRow("version as text") << QByteArray(R"({"linux":{"version_code":"600","file_name":"a.zip"}})") << int(I::Refused)
                                     << R"(bad version_code: version_code is not a whole number from 1 to 2147483647: "600")";
    QTest::newRow("system file unreadable") << full << int(I::Refused)
                                            << "/etc/xdg/tovrel/updater.conf cannot be read: whether updates must be signed is unknown";
}

void TestFileManager::readUpdateInfo()
{
    QFETCH(QByteArray, json);
    QFETCH(int, outcome);
    QFETCH(QString, result);
    const QString path = m_settings->tempDir + QLatin1Char('/') + m_settings->updateInfoRequest;
    if (json != "-")
        writeInfo(json);
    const QByteArray tag = QTest::currentDataTag();
    if (tag == "system file unreadable") {
        m_settings->systemError = QStringLiteral("/etc/xdg/tovrel/updater.conf cannot be read");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("nothing is installed until it can be read$")));
    } else if (tag == "file name climbs out" || tag == "version as text") {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(tag == "version as text" ? "update information refused: bad version_code"
                                                                                       : "file name is not a plain name"));
    }
    const FileManager::Info info = m_manager->readUpdateInfo();
    QCOMPARE(int(info.outcome), outcome);
    QCOMPARE(outcome == FileManager::Info::Read ? info.entry.fileName + QLatin1Char(' ') + info.entry.link : info.error,
             result.arg(path));
}

void TestFileManager::pathsFollowWorkFolder()
{
    m_settings->tempDir = QStringLiteral("/var/tmp/w");
    offer(QStringLiteral("p-5.zip"));
    QCOMPARE(m_manager->downloadFolder(), QStringLiteral("/var/tmp/w/download"));
    QCOMPARE(m_manager->packagePath(), QStringLiteral("/var/tmp/w/download/p-5.zip"));
}

void TestFileManager::isPackageValid()
{
    const QString abc = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
    offer(QStringLiteral("p.zip"));
    QVERIFY2(!m_manager->isPackageValid(), "a missing package is never valid, not even without a hash");
    offer(QStringLiteral("p.zip"), abc);
    QVERIFY(!m_manager->isPackageValid());

    QVERIFY(TestFiles::write(m_manager->packagePath(), "abc"));
    QVERIFY(m_manager->isPackageValid());
    QVERIFY(QFile::setPermissions(m_manager->packagePath(), QFileDevice::Permissions()));
    if (::geteuid() != 0) {
        QVERIFY2(!m_manager->isPackageValid(), "an unreadable package is not valid");
    }
    QVERIFY(QFile::setPermissions(m_manager->packagePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    offer(QStringLiteral("p.zip"));
    QVERIFY(!m_manager->isPackageValid());
    offer(QStringLiteral("p.zip"), abc.toUpper());
    QVERIFY2(m_manager->isPackageValid(), "an upper-case digest is the same digest");

    QVERIFY(TestFiles::write(m_manager->packagePath(), "abd"));
    offer(QStringLiteral("p.zip"), abc);
    QVERIFY(!m_manager->isPackageValid());
}

// The file whose digest was checked is installed, not whatever took its name in between; a link
// in the package's place is never followed.
void TestFileManager::checkedPackageIsTheOneInstalled()
{
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "checked")}), QString());
    offer(QStringLiteral("app.zip"), TestFiles::md5(TestFiles::read(m_manager->packagePath())));
    QVERIFY(m_manager->isPackageValid());
    const QString checked = m_manager->packagePath();
    QVERIFY(QFile::rename(checked, checked + QStringLiteral(".old")) && makePackage({ZipItem::file(QStringLiteral("a.txt"), "swapped")}).isEmpty());
    QString error;
    QVERIFY(m_manager->extractPackage(m_settings->appFolder, &error));
    QCOMPARE(readAll(m_settings->appFolder + QStringLiteral("/a.txt")), QByteArray("checked"));

    QVERIFY(QFile::remove(checked) && QFile::link(checked + QStringLiteral(".old"), checked));
    QVERIFY2(!m_manager->isPackageValid(), "a link to a package with the right digest is not the package");
}

// The update cycle waits for a result; a transfer that cannot even begin must still give one.
void TestFileManager::refusedStartEndsWithFinished()
{
    // The work folder cannot be made below a file, so the transfer has nowhere to write.
    QVERIFY(TestFiles::write(m_tmp->filePath(QStringLiteral("blocker")), "file"));
    m_settings->tempDir = m_tmp->filePath(QStringLiteral("blocker/work"));
    QSignalSpy finished(m_manager.data(), &FileManager::finished);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^\\[FileManager\\] transfer not started:")));
    m_manager->downloadUpdateInfo();
    QCOMPARE(finished, (QList<QVariantList>{{99, QStringLiteral("Transfer could not be started")}}));
}

void TestFileManager::cleanDownloadAfterTransferResult_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("clean");
    // The bytes of a broken transfer are good; the next attempt continues them.
    QTest::newRow("cancelled") << 5 << false;
    QTest::newRow("not found") << 203 << false;
    QTest::newRow("integrity") << -3 << true;
    QTest::newRow("rename") << -2 << false;
    QTest::newRow("success") << 0 << false;
}

void TestFileManager::cleanDownloadAfterTransferResult()
{
    QFETCH(int, code);
    QFETCH(bool, clean);
    QSignalSpy spy(m_manager.data(), &FileManager::finished);
    // Created first: the information's transfer, then the package's.
    const QList<DownloadFile *> transfers = m_manager->findChildren<DownloadFile *>();
    QCOMPARE(transfers.size(), 2);
    emit transfers.at(1)->finished(clean ? 0 : -3, QString());
    emit transfers.at(1)->finished(code, QStringLiteral("text"));
    QCOMPARE(m_manager->startsClean(), clean);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1), (QVariantList{code, QStringLiteral("text")}));

    // The update-information transfer never touches the package's choice.
    emit transfers.at(0)->finished(code == 0 ? 5 : 0, QString());
    QCOMPARE(m_manager->startsClean(), clean);
}

void TestFileManager::packageTransferResumesOrStartsClean()
{
    QByteArray body;
    for (int i = 0; i < 30000; ++i)
        body += QByteArray::number(i) + ' ';
    m_server->serveData("/p.zip", body);
    offer(QStringLiteral("p.zip"), QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex()),
          m_server->url(QStringLiteral("/p.zip")).toString());
    QSignalSpy results(m_manager.data(), &FileManager::finished);
    const QString partial = m_manager->packagePath() + QStringLiteral(".tmp");

    // Good bytes of an earlier attempt at the same package are resumed.
    QVERIFY(TestFiles::write(partial, body.left(1000)));
    QVERIFY(TestFiles::write(DownloadFile::partialMarkerPath(m_manager->packagePath()), m_manager->offer().hash.toLatin1()));
    m_manager->downloadPackage();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(m_server->requests().last().header("Range"), QByteArray("bytes=1000-"));
    QVERIFY(m_manager->isPackageValid());
    QVERIFY(!m_manager->startsClean());

    // Wrong bytes on disk end in an integrity failure; the next attempt starts from byte 0.
    QVERIFY(QFile::remove(m_manager->packagePath()));
    QVERIFY(TestFiles::write(partial, QByteArray(1000, 'z')));
    QVERIFY(TestFiles::write(DownloadFile::partialMarkerPath(m_manager->packagePath()), m_manager->offer().hash.toLatin1()));
    m_manager->downloadPackage();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), -3);
    QVERIFY(m_manager->startsClean());
    m_manager->downloadPackage();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(m_server->requests().last().header("Range"), QByteArray());
    QVERIFY(m_manager->isPackageValid());
    QCOMPARE(readAll(m_manager->packagePath()), body);
}

void TestFileManager::cancelledTransferResumes()
{
    const QByteArray body(300000, 'q');
    m_server->serveData("/p.zip", body);
    m_server->route("/p.zip").stallAfterBytes = 100000;
    m_server->route("/p.zip").stallMs = -1;
    offer(QStringLiteral("p.zip"), QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex()),
          m_server->url(QStringLiteral("/p.zip")).toString());
    QSignalSpy results(m_manager.data(), &FileManager::finished);
    QSignalSpy stalled(m_server.data(), &HttpTestServer::responseStalled);

    m_manager->downloadPackage();
    QVERIFY(stalled.wait(10000));
    const QString partial = m_manager->packagePath() + QStringLiteral(".tmp");
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(partial).size() >= 50000; }, 10000));

    // A new request cancels the stalled transfer (code 5) and continues its bytes.
    m_manager->downloadPackage();
    const qint64 kept = QFileInfo(partial).size();
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.at(0).at(0).toInt(), 5);
    QVERIFY(QTest::qWaitFor([&] { return results.size() == 2; }, 10000));
    QCOMPARE(results.at(1).at(0).toInt(), 0);
    QCOMPARE(m_server->requests().size(), 2);
    QCOMPARE(m_server->requests().last().header("Range"), "bytes=" + QByteArray::number(kept) + '-');
    QVERIFY(m_manager->isPackageValid());
}

// Every version's package would otherwise stay in the download folder for good, and a device that
// updates for months fills its storage.
void TestFileManager::earlierPackagesAreRemoved()
{
    const QByteArray body(20000, 'n');
    m_server->serveData("/p-300.zip", body);
    offer(QStringLiteral("p-300.zip"), QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex()),
          m_server->url(QStringLiteral("/p-300.zip")).toString());
    const QString folder = m_manager->downloadFolder();
    QVERIFY(TestFiles::write(folder + QStringLiteral("/p-100.zip"), "old"));
    QVERIFY(TestFiles::write(folder + QStringLiteral("/p-200.zip.tmp"), "partial old"));
    QVERIFY(TestFiles::write(folder + QStringLiteral("/p-300.zip.tmp"), body.left(5000)));
    QVERIFY(TestFiles::write(DownloadFile::partialMarkerPath(m_manager->packagePath()), m_manager->offer().hash.toLatin1()));
    QVERIFY(TestFiles::write(folder + QStringLiteral("/p-200.zip.tmp.meta"), "old marker"));
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/keep")));
    QSignalSpy results(m_manager.data(), &FileManager::finished);

    m_manager->downloadPackage();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(m_server->requests().last().header("Range"), QByteArray("bytes=5000-"));
    QVERIFY(m_manager->isPackageValid());
    QVERIFY(!QFile::exists(folder + QStringLiteral("/p-100.zip")));
    QVERIFY(!QFile::exists(folder + QStringLiteral("/p-200.zip.tmp")));
    QVERIFY(!QFile::exists(folder + QStringLiteral("/p-200.zip.tmp.meta")));
    QVERIFY(QFileInfo(folder + QStringLiteral("/keep")).isDir());
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList({QStringLiteral("p-300.zip")}));
}

void TestFileManager::updateInfoTransfer()
{
    m_server->serveData("/update/update.json", R"({"linux":{"version_code":321,"file_name":"a.zip"}})");
    m_settings->updateLink = m_server->url(QStringLiteral("/update")).toString();
    QVERIFY(Utils::deleteDir(m_settings->tempDir));
    QSignalSpy results(m_manager.data(), &FileManager::finished);
    QSignalSpy downloading(m_manager.data(), &FileManager::downloadingChanged);
    m_manager->downloadUpdateInfo();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(results.last().at(1).toString(), m_settings->tempDir + QStringLiteral("/update.json"));
    QCOMPARE(m_manager->readUpdateInfo().entry.versionCode, 321);
    QVERIFY(QTest::qWaitFor([&] { return downloading.size() >= 2; }, 5000));
    QCOMPARE(downloading.first().at(0).toBool(), true);
    QCOMPARE(downloading.last().at(0).toBool(), false);

    // A transfer that cannot even begin still ends with one result instead of silence.
    m_settings->updateLink = m_server->url(QStringLiteral("/update")).toString();
    offer(QStringLiteral("p.zip"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("transfer not started:")));
    m_manager->downloadPackage();
    QCOMPARE(results.size(), 2);
    QVERIFY(results.last().at(0).toInt() > 0);
}

void TestFileManager::updateInfoAlwaysFromFirstByte()
{
    // Same length as the leftover, another version: a resumed transfer would splice the two.
    const QByteArray current = R"({"linux":{"version_code":301,"file_name":"p-301.zip"}})";
    const QByteArray older = R"({"linux":{"version_code":300,"file_name":"p-300.zip"}})";
    m_server->serveData("/update/update.json", current);
    m_settings->updateLink = m_server->url(QStringLiteral("/update")).toString();
    const QString info = m_settings->tempDir + QStringLiteral("/update.json");
    QVERIFY(TestFiles::write(info + QStringLiteral(".tmp"), older.left(40)));
    QSignalSpy results(m_manager.data(), &FileManager::finished);

    m_manager->downloadUpdateInfo();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(m_server->requests().size(), 1);
    QCOMPARE(m_server->requests().last().header("Range"), QByteArray());
    QCOMPARE(TestFiles::read(info), current);
}

void TestFileManager::oversizedUpdateInfoIsStopped_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("announced");
    QTest::addColumn<bool>("refused");

    const int limit = int(FileManager::maxUpdateInfoSize);
    QTest::newRow("at the limit") << limit << true << false;
    QTest::newRow("announced beyond") << limit + 1 << true << true;
    QTest::newRow("no length, cut while streaming") << 3 * limit << false << true;
}

void TestFileManager::oversizedUpdateInfoIsStopped()
{
    QFETCH(int, size);
    QFETCH(bool, announced);
    QFETCH(bool, refused);

    HttpTestServer::Route route;
    route.body = QByteArray(size, ' ');
    route.sendContentLength = announced;
    m_server->setRoute("/update/update.json", route);
    m_settings->updateLink = m_server->url(QStringLiteral("/update")).toString();
    const QString info = m_settings->tempDir + QStringLiteral("/update.json");
    QVERIFY(TestFiles::write(info, "earlier"));
    QSignalSpy results(m_manager.data(), &FileManager::finished);

    if (refused)
        QTest::ignoreMessage(QtWarningMsg, "[FileManager] update information larger than 1048576 bytes, transfer stopped");
    m_manager->downloadUpdateInfo();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), refused ? int(DownloadFile::SizeLimitError) : 0);
    QCOMPARE(TestFiles::read(info).size(), refused ? 7 : size);
    QVERIFY(QFileInfo(info + QStringLiteral(".tmp")).size() <= FileManager::maxUpdateInfoSize);
}

void TestFileManager::extractPackageReportsInstallerResult_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("result");
    QTest::newRow("installed") << QStringLiteral("good") << true;
    QTest::newRow("unsafe entry") << QStringLiteral("unsafe") << false;
    QTest::newRow("blocked before any move") << QStringLiteral("blocked") << false;
}

// The installer's faults reach the log as the updater's own lines.
void TestFileManager::extractPackageReportsInstallerResult()
{
    QFETCH(QString, kind);
    QFETCH(bool, result);
    const QString app = m_settings->appFolder;
    if (kind == QLatin1String("unsafe")) {
        offer(QStringLiteral("app.zip"));
        QDir().mkpath(m_manager->downloadFolder());
        QVERIFY(QFile::copy(QStringLiteral(TESTS_SOURCE_DIR "/data/slip-parent.zip"), m_manager->packagePath()));
        QTest::ignoreMessage(QtWarningMsg, "[FileManager] unsafe entry path: \"../evil.txt\"");
    } else if (kind == QLatin1String("blocked")) {
        QVERIFY(TestFiles::write(app + QStringLiteral("/sub/blocked/inside.txt"), "inside"));
        QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "a"),
                              ZipItem::file(QStringLiteral("sub/blocked"), "file")}),
                 QString());
        // Found while the moves are planned, so there is nothing to roll back.
        QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("[FileManager] error write file: \"%1/sub/blocked\" a folder is in the way").arg(app)));
    } else {
        QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "a")}), QString());
    }
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("[FileManager] extracting: \"%1\" , to: \"%2\"")
                                                      .arg(m_manager->packagePath(), app)));
    QTest::ignoreMessage(QtWarningMsg, result ? "[FileManager] extracting result: true" : "[FileManager] extracting result: false");
    QString error;
    QCOMPARE(m_manager->extractPackage(app, &error), result);
    QCOMPARE(m_manager->hasInstalled(), result);
    QCOMPARE(error.isEmpty(), result);
    QCOMPARE(QFile::exists(app + QStringLiteral("/a.txt")), result);
    if (kind == QLatin1String("blocked"))
        QCOMPARE(QDir(app).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList({QStringLiteral("sub")}));
}

// Links are not installed; a package that relies on one must not seem complete without a word.
void TestFileManager::linkEntryIsLogged()
{
    offer(QStringLiteral("app.zip"));
    QVERIFY(QDir().mkpath(m_manager->downloadFolder()));
    QVERIFY(QFile::copy(QStringLiteral(TESTS_SOURCE_DIR "/data/infozip-symlink.zip"), m_manager->packagePath()));
    QTest::ignoreMessage(QtWarningMsg, "[FileManager] symbolic link entry not installed: \"passwd\"");
    QString error;
    QVERIFY(m_manager->extractPackage(m_settings->appFolder, &error));
    QVERIFY(!QFileInfo(m_settings->appFolder + QStringLiteral("/passwd")).isSymLink());
    QCOMPARE(readAll(m_settings->appFolder + QStringLiteral("/f.txt")), QByteArray("f\n"));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestFileManager test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filemanager.moc"
