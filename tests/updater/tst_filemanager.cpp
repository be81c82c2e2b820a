#include "filemanager.h"
#include "httptestserver.h"
#include "settings.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "testzip.h"
#include "utils.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Every file below root with its content, so that "unchanged" can be compared as a whole.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(root).relativeFilePath(path);
        files.insert(rel, it.fileInfo().isDir() ? QByteArray("<dir>") : readAll(path));
    }
    return files;
}

unsigned modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? unsigned(st.st_mode & 07777) : 0xffffu;
}

QString md5(const QString &path)
{
    return Utils::getFileHash(path);
}

const char childModeArg[] = "--extract-child";

// Child mode: extract one package and report the peak resident memory of this process.
int runExtractChild(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 5)
        return 2;
    Settings settings;
    settings.tempDir = QString::fromLocal8Bit(argv[2]);
    FileManager manager;
    manager.setSettings(&settings);
    manager.fileName = QString::fromLocal8Bit(argv[3]);
    const bool ok = manager.extractPackage(QString::fromLocal8Bit(argv[4]));
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    Utils::outsn(QStringLiteral("maxrss_kib %1").arg(usage.ru_maxrss));
    return ok ? 0 : 1;
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
    void missingInfoFileZeroesVersionOnly();
    void malformedInfoKeepsEarlierValues();
    void pathsFollowWorkFolder();
    void isPackageValid();
    void cleanDownloadAfterTransferResult_data();
    void cleanDownloadAfterTransferResult();

    void packageTransferResumesOrStartsClean();
    void cancelledTransferStartsClean();
    void earlierPackagesAreRemoved();
    void updateInfoTransfer();

    void extractNestedFoldersAndPermissions();
    void extractOverwritesAndKeepsOtherFiles();
    void extractIntoMissingFolderCreatesIt();
    void extractSkipsLinksAndFolders();
    void blockedEntryLeavesFolderUnchanged();
    void unsafeEntryPathIsRefused_data();
    void unsafeEntryPathIsRefused();
    void entryThroughOutsideLinkIsRefused();
    void linkInsideDestinationIsFollowed();
    void unreadablePackageFails_data();
    void unreadablePackageFails();
    void staleStagingFolderIsRemoved();
    void bigEntryKeepsMemoryFlat();

private:
    void writeInfo(const QByteArray &json);
    QString makePackage(const QList<ZipItem> &items);
    bool extract(const QString &dest);

    TestEnvironment m_env;
    QScopedPointer<QTemporaryDir> m_tmp;
    QScopedPointer<Settings> m_settings;
    QScopedPointer<FileManager> m_manager;
};

void TestFileManager::initTestCase()
{
    QVERIFY(m_env.applyAs(QStringLiteral("updater")));
}

void TestFileManager::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_settings.reset(new Settings);
    m_settings->init();
    m_settings->tempDir = m_tmp->filePath(QStringLiteral("work"));
    m_settings->appFolder = m_tmp->filePath(QStringLiteral("app"));
    m_settings->appKey = QStringLiteral("linux");
    m_settings->deviceId = QStringLiteral("dev-7");
    QDir().mkpath(m_settings->tempDir);
    m_manager.reset(new FileManager);
    m_manager->setSettings(m_settings.data());
}

void TestFileManager::cleanup()
{
    m_manager.reset();
    m_settings.reset();
    m_tmp.reset();
}

void TestFileManager::writeInfo(const QByteArray &json)
{
    QVERIFY(TestFiles::write(m_settings->tempDir + QLatin1Char('/') + m_settings->updateInfoRequest, json));
}

QString TestFileManager::makePackage(const QList<ZipItem> &items)
{
    m_manager->fileName = QStringLiteral("app.zip");
    QDir().mkpath(m_manager->downloadFolder());
    const QString error = writeZip(m_manager->packagePath(), items);
    if (!error.isEmpty())
        qWarning() << "writeZip:" << error;
    return error;
}

bool TestFileManager::extract(const QString &dest)
{
    return m_manager->extractPackage(dest);
}

void TestFileManager::readUpdateInfo_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("deviceId");
    QTest::addColumn<bool>("result");
    QTest::addColumn<bool>("permitted");
    QTest::addColumn<int>("versionCode");

    const QByteArray full = R"({"windows":{"version_code":3},
        "linux":{"devices_id":["dev-7","Dev-8"],"version_code":512,"file_name":"app-512.zip",
                 "hash":"0123456789abcdef0123456789abcdef","link":"http://h/app-512.zip"}})";
    QTest::newRow("listed device") << full << "dev-7" << true << true << 512;
    QTest::newRow("unlisted device") << full << "dev-9" << true << false << 512;
    QTest::newRow("case differs") << full << "dev-8" << true << false << 512;
    QTest::newRow("empty device id with list") << full << "" << true << false << 512;
    QTest::newRow("no device list") << QByteArray(R"({"linux":{"version_code":9}})") << "" << true << true << 9;
    QTest::newRow("empty device list") << QByteArray(R"({"linux":{"devices_id":[],"version_code":9}})")
                                       << "x" << true << true << 9;
    QTest::newRow("version as string") << QByteArray(R"({"linux":{"version_code":"600"}})") << "" << true << true << 0;
    QTest::newRow("platform missing") << QByteArray(R"({"windows":{"version_code":3}})") << "" << false << false << 0;
    QTest::newRow("platform empty") << QByteArray(R"({"linux":{}})") << "" << false << false << 0;
    QTest::newRow("platform not an object") << QByteArray(R"({"linux":[1,2]})") << "" << false << false << 0;
    QTest::newRow("root is an array") << QByteArray(R"([{"linux":{"version_code":3}}])") << "" << false << false << 0;
    QTest::newRow("malformed") << QByteArray(R"({"linux":{"version_code":3)") << "" << false << false << 0;
    QTest::newRow("empty file") << QByteArray() << "" << false << false << 0;
    // The package is stored under its announced name in the download folder; a name that is a path
    // would let the server write anywhere the updater may.
    QTest::newRow("file name climbs out") << QByteArray(R"({"linux":{"version_code":9,"file_name":"../../x.zip"}})")
                                          << "" << false << false << 0;
    QTest::newRow("file name absolute") << QByteArray(R"({"linux":{"version_code":9,"file_name":"/tmp/x.zip"}})")
                                        << "" << false << false << 0;
    QTest::newRow("file name in a subfolder") << QByteArray(R"({"linux":{"version_code":9,"file_name":"a/x.zip"}})")
                                              << "" << false << false << 0;
    QTest::newRow("file name with backslash") << QByteArray(R"({"linux":{"version_code":9,"file_name":"..\\x.zip"}})")
                                              << "" << false << false << 0;
    QTest::newRow("file name dot-dot") << QByteArray(R"({"linux":{"version_code":9,"file_name":".."}})")
                                       << "" << false << false << 0;
}

void TestFileManager::readUpdateInfo()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, deviceId);
    QFETCH(bool, result);
    QFETCH(bool, permitted);
    QFETCH(int, versionCode);

    m_settings->deviceId = deviceId;
    writeInfo(json);
    QCOMPARE(m_manager->readUpdateInfo(), result);
    QCOMPARE(m_manager->permitted, permitted);
    QCOMPARE(m_manager->versionCode, versionCode);
    if (result) {
        QCOMPARE(m_settings->readyVersionCode, versionCode);
    }
    if (QByteArray(QTest::currentDataTag()) == "listed device") {
        QCOMPARE(m_manager->fileName, QStringLiteral("app-512.zip"));
        QCOMPARE(m_manager->packageHash, QStringLiteral("0123456789abcdef0123456789abcdef"));
        QCOMPARE(m_manager->packageLink, QStringLiteral("http://h/app-512.zip"));
    }
}

void TestFileManager::missingInfoFileZeroesVersionOnly()
{
    writeInfo(R"({"linux":{"version_code":77,"file_name":"a.zip","hash":"h"}})");
    QVERIFY(m_manager->readUpdateInfo());
    QCOMPARE(m_settings->readyVersionCode, 77);
    QVERIFY(QFile::remove(m_settings->tempDir + QLatin1Char('/') + m_settings->updateInfoRequest));

    QVERIFY(!m_manager->readUpdateInfo());
    QCOMPARE(m_manager->versionCode, 0);
    QCOMPARE(m_settings->readyVersionCode, 0);
    QCOMPARE(m_manager->fileName, QStringLiteral("a.zip"));
    QCOMPARE(m_manager->packageHash, QStringLiteral("h"));
    QVERIFY(m_manager->permitted);
}

void TestFileManager::malformedInfoKeepsEarlierValues()
{
    writeInfo(R"({"linux":{"version_code":77,"file_name":"a.zip","devices_id":["dev-7"]}})");
    QVERIFY(m_manager->readUpdateInfo());
    writeInfo("{not json");
    QVERIFY(!m_manager->readUpdateInfo());
    QCOMPARE(m_manager->versionCode, 77);
    QCOMPARE(m_settings->readyVersionCode, 77);
    QCOMPARE(m_manager->fileName, QStringLiteral("a.zip"));
    QVERIFY(m_manager->permitted);
}

void TestFileManager::pathsFollowWorkFolder()
{
    m_settings->tempDir = QStringLiteral("/var/tmp/w");
    m_manager->fileName = QStringLiteral("p-5.zip");
    QCOMPARE(m_manager->downloadFolder(), QStringLiteral("/var/tmp/w/download"));
    QCOMPARE(m_manager->packagePath(), QStringLiteral("/var/tmp/w/download/p-5.zip"));
}

void TestFileManager::isPackageValid()
{
    m_manager->fileName = QStringLiteral("p.zip");
    m_manager->packageHash.clear();
    QVERIFY2(!m_manager->isPackageValid(), "a missing package is never valid, not even without a hash");

    m_manager->packageHash = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
    QVERIFY(!m_manager->isPackageValid());

    QVERIFY(TestFiles::write(m_manager->packagePath(), "abc"));
    QVERIFY(m_manager->isPackageValid());
    QVERIFY(QFile::setPermissions(m_manager->packagePath(), QFileDevice::Permissions()));
    if (::geteuid() != 0) {
        QVERIFY2(!m_manager->isPackageValid(), "an unreadable package is not valid");
    }
    QVERIFY(QFile::setPermissions(m_manager->packagePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    const QString hash = m_manager->packageHash;
    m_manager->packageHash.clear();
    QVERIFY(!m_manager->isPackageValid());
    m_manager->packageHash = hash;

    m_manager->packageHash = m_manager->packageHash.toUpper();
    QVERIFY2(!m_manager->isPackageValid(), "the comparison is exact");

    QVERIFY(TestFiles::write(m_manager->packagePath(), "abd"));
    m_manager->packageHash = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
    QVERIFY(!m_manager->isPackageValid());
}

void TestFileManager::cleanDownloadAfterTransferResult_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("clean");
    QTest::newRow("cancelled") << 5 << true;
    QTest::newRow("not found") << 203 << true;
    QTest::newRow("integrity") << -3 << true;
    QTest::newRow("rename") << -2 << false;
    QTest::newRow("success") << 0 << false;
}

void TestFileManager::cleanDownloadAfterTransferResult()
{
    QFETCH(int, code);
    QFETCH(bool, clean);
    QSignalSpy spy(m_manager.data(), &FileManager::finished);
    m_manager->cleanDownload = !clean;
    m_manager->a_finished(code, QStringLiteral("text"));
    QCOMPARE(m_manager->cleanDownload, clean);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), code);
    QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("text"));

    // The update-information transfer never touches the package's choice.
    m_manager->i_finished(code == 0 ? 5 : 0, QString());
    QCOMPARE(m_manager->cleanDownload, clean);
}

void TestFileManager::packageTransferResumesOrStartsClean()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    QByteArray body;
    for (int i = 0; i < 30000; ++i)
        body += QByteArray::number(i) + ' ';
    server.serveData("/p.zip", body);
    m_manager->fileName = QStringLiteral("p.zip");
    m_manager->packageLink = server.url(QStringLiteral("/p.zip")).toString();
    m_manager->packageHash = QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex());
    QSignalSpy results(m_manager.data(), &FileManager::finished);
    const QString partial = m_manager->packagePath() + QStringLiteral(".tmp");

    // Good bytes of an earlier attempt are resumed.
    QVERIFY(TestFiles::write(partial, body.left(1000)));
    m_manager->downloadPackage();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(server.requests().last().header("Range"), QByteArray("bytes=1000-"));
    QVERIFY(m_manager->isPackageValid());
    QVERIFY(!m_manager->cleanDownload);

    // Wrong bytes on disk end in an integrity failure; the next attempt starts from byte 0.
    QVERIFY(QFile::remove(m_manager->packagePath()));
    QVERIFY(TestFiles::write(partial, QByteArray(1000, 'z')));
    m_manager->downloadPackage();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), -3);
    QVERIFY(m_manager->cleanDownload);
    m_manager->downloadPackage();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(server.requests().last().header("Range"), QByteArray());
    QVERIFY(m_manager->isPackageValid());
    QCOMPARE(readAll(m_manager->packagePath()), body);
}

void TestFileManager::cancelledTransferStartsClean()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    const QByteArray body(300000, 'q');
    server.serveData("/p.zip", body);
    server.route("/p.zip").stallAfterBytes = 100000;
    server.route("/p.zip").stallMs = -1;
    m_manager->fileName = QStringLiteral("p.zip");
    m_manager->packageLink = server.url(QStringLiteral("/p.zip")).toString();
    m_manager->packageHash = QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex());
    QSignalSpy results(m_manager.data(), &FileManager::finished);
    QSignalSpy stalled(&server, &HttpTestServer::responseStalled);

    m_manager->downloadPackage();
    QVERIFY(stalled.wait(10000));
    const QString partial = m_manager->packagePath() + QStringLiteral(".tmp");
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(partial).size() >= 50000; }, 10000));

    // A new request cancels the stalled transfer (code 5) and must not resume its bytes.
    m_manager->downloadPackage();
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.at(0).at(0).toInt(), 5);
    QVERIFY(QTest::qWaitFor([&] { return results.size() == 2; }, 10000));
    QCOMPARE(results.at(1).at(0).toInt(), 0);
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(server.requests().last().header("Range"), QByteArray());
    QVERIFY(m_manager->isPackageValid());
}

// Every version's package would otherwise stay in the download folder for good, and a device that
// updates for months fills its storage.
void TestFileManager::earlierPackagesAreRemoved()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    const QByteArray body(20000, 'n');
    server.serveData("/p-300.zip", body);
    m_manager->fileName = QStringLiteral("p-300.zip");
    m_manager->packageLink = server.url(QStringLiteral("/p-300.zip")).toString();
    m_manager->packageHash = QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex());
    const QString folder = m_manager->downloadFolder();
    QVERIFY(TestFiles::write(folder + QStringLiteral("/p-100.zip"), "old"));
    QVERIFY(TestFiles::write(folder + QStringLiteral("/p-200.zip.tmp"), "partial old"));
    QVERIFY(TestFiles::write(folder + QStringLiteral("/p-300.zip.tmp"), body.left(5000)));
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/keep")));
    QSignalSpy results(m_manager.data(), &FileManager::finished);

    m_manager->downloadPackage();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(server.requests().last().header("Range"), QByteArray("bytes=5000-"));
    QVERIFY(m_manager->isPackageValid());
    QVERIFY(!QFile::exists(folder + QStringLiteral("/p-100.zip")));
    QVERIFY(!QFile::exists(folder + QStringLiteral("/p-200.zip.tmp")));
    QVERIFY(QFileInfo(folder + QStringLiteral("/keep")).isDir());
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList({QStringLiteral("p-300.zip")}));
}

void TestFileManager::updateInfoTransfer()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    server.serveData("/update/update.json", R"({"linux":{"version_code":321}})");
    m_settings->updateLink = server.url(QStringLiteral("/update")).toString();
    QVERIFY(Utils::deleteDir(m_settings->tempDir));
    QSignalSpy results(m_manager.data(), &FileManager::finished);
    QSignalSpy downloading(m_manager.data(), &FileManager::downloadingChanged);
    m_manager->downloadUpdateInfo();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(results.last().at(1).toString(), m_settings->tempDir + QStringLiteral("/update.json"));
    QVERIFY(m_manager->readUpdateInfo());
    QCOMPARE(m_manager->versionCode, 321);
    QVERIFY(QTest::qWaitFor([&] { return downloading.size() >= 2; }, 5000));
    QCOMPARE(downloading.first().at(0).toBool(), true);
    QCOMPARE(downloading.last().at(0).toBool(), false);

    // A transfer that cannot even begin still ends with one result instead of silence.
    m_settings->updateLink = server.url(QStringLiteral("/update")).toString();
    m_manager->packageLink.clear();
    m_manager->fileName = QStringLiteral("p.zip");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("transfer not started:")));
    m_manager->downloadPackage();
    QCOMPARE(results.size(), 2);
    QVERIFY(results.last().at(0).toInt() > 0);
}

void TestFileManager::extractNestedFoldersAndPermissions()
{
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("tovrel.exe"), "#!/bin/sh\necho v2\n", 0755),
                          ZipItem::file(QStringLiteral("lib/a/b/data.bin"), QByteArray(100000, 'x'), 0600),
                          ZipItem::file(QStringLiteral("share/readme.txt"), "hello", 0644)}),
             QString());
    const QString app = m_settings->appFolder;
    QVERIFY(extract(app));
    QVERIFY(m_manager->extractOk);
    QCOMPARE(readAll(app + QStringLiteral("/tovrel.exe")), QByteArray("#!/bin/sh\necho v2\n"));
    QCOMPARE(readAll(app + QStringLiteral("/lib/a/b/data.bin")), QByteArray(100000, 'x'));
    QCOMPARE(readAll(app + QStringLiteral("/share/readme.txt")), QByteArray("hello"));
    QVERIFY(QFileInfo(app + QStringLiteral("/tovrel.exe")).isExecutable());
    QCOMPARE(modeOf(app + QStringLiteral("/tovrel.exe")), 0755u);
    QCOMPARE(modeOf(app + QStringLiteral("/lib/a/b/data.bin")), 0600u);
    QCOMPARE(modeOf(app + QStringLiteral("/share/readme.txt")), 0644u);
    QVERIFY(!QFileInfo(app + QStringLiteral("/share/readme.txt")).isExecutable());

    // Nothing of the installation machinery stays behind.
    QCOMPARE(QDir(app).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("lib"), QStringLiteral("share"), QStringLiteral("tovrel.exe")}));
}

void TestFileManager::extractOverwritesAndKeepsOtherFiles()
{
    const QString app = m_settings->appFolder;
    QVERIFY(TestFiles::write(app + QStringLiteral("/tovrel.exe"), "old version, longer than the new one"));
    QVERIFY(TestFiles::write(app + QStringLiteral("/config/user.ini"), "mine"));
    QVERIFY(TestFiles::write(app + QStringLiteral("/lib/old.so"), "old lib"));

    // A process that still holds the old file open keeps reading the old bytes: the new file
    // lands by rename, not by truncating the old one in place.
    QFile held(app + QStringLiteral("/tovrel.exe"));
    QVERIFY(held.open(QIODevice::ReadOnly));

    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("tovrel.exe"), "new", 0755),
                          ZipItem::file(QStringLiteral("lib/new.so"), "new lib")}),
             QString());
    QVERIFY(extract(app));
    QCOMPARE(readAll(app + QStringLiteral("/tovrel.exe")), QByteArray("new"));
    QCOMPARE(held.readAll(), QByteArray("old version, longer than the new one"));
    QCOMPARE(readAll(app + QStringLiteral("/config/user.ini")), QByteArray("mine"));
    QCOMPARE(readAll(app + QStringLiteral("/lib/old.so")), QByteArray("old lib"));
    QCOMPARE(readAll(app + QStringLiteral("/lib/new.so")), QByteArray("new lib"));

    // The same package again is a plain repeat.
    QVERIFY(extract(app));
    QCOMPARE(readAll(app + QStringLiteral("/tovrel.exe")), QByteArray("new"));
    QCOMPARE(QDir(app).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot).size(), 3);

    // A path stored twice: the later entry wins, as with unpacking in archive order. libzip will
    // not write such an archive, so the second name is patched in afterwards.
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("dupA.txt"), "first"),
                          ZipItem::file(QStringLiteral("dupB.txt"), "second")}),
             QString());
    QFile package(m_manager->packagePath());
    QVERIFY(package.open(QIODevice::ReadWrite));
    QByteArray bytes = package.readAll();
    QCOMPARE(bytes.count("dupB.txt"), 2);
    bytes.replace("dupB.txt", "dupA.txt");
    QVERIFY(package.seek(0));
    QCOMPARE(package.write(bytes), qint64(bytes.size()));
    package.close();
    QVERIFY(extract(app));
    QCOMPARE(readAll(app + QStringLiteral("/dupA.txt")), QByteArray("second"));
}

void TestFileManager::extractIntoMissingFolderCreatesIt()
{
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "a")}), QString());
    const QString dest = m_tmp->filePath(QStringLiteral("x/y/z"));
    QVERIFY(extract(dest));
    QCOMPARE(readAll(dest + QStringLiteral("/a.txt")), QByteArray("a"));
}

void TestFileManager::extractSkipsLinksAndFolders()
{
    QCOMPARE(makePackage({ZipItem::dir(QStringLiteral("empty/")),
                          ZipItem::link(QStringLiteral("passwd"), "/etc/passwd"),
                          ZipItem::file(QStringLiteral("f.txt"), "f")}),
             QString());
    const QString app = m_settings->appFolder;
    QVERIFY(extract(app));
    QVERIFY(QFileInfo(app + QStringLiteral("/empty")).isDir());
    QVERIFY(!QFileInfo(app + QStringLiteral("/passwd")).exists());
    QVERIFY(!QFileInfo(app + QStringLiteral("/passwd")).isSymLink());
    QCOMPARE(readAll(app + QStringLiteral("/f.txt")), QByteArray("f"));
}

void TestFileManager::blockedEntryLeavesFolderUnchanged()
{
    const QString app = m_settings->appFolder;
    QVERIFY(TestFiles::write(app + QStringLiteral("/a.txt"), "old a"));
    QVERIFY(TestFiles::write(app + QStringLiteral("/keep/k.txt"), "k"));
    // A non-empty folder stands where the package has a file: that file cannot land, and a
    // privileged test run cannot fake this with permissions.
    QVERIFY(TestFiles::write(app + QStringLiteral("/sub/blocked/inside.txt"), "inside"));
    const QMap<QString, QByteArray> before = snapshot(app);

    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "new a"),
                          ZipItem::file(QStringLiteral("new/dir/n.txt"), "n"),
                          ZipItem::file(QStringLiteral("keep/k2.txt"), "k2"),
                          ZipItem::file(QStringLiteral("sub/blocked"), "file"),
                          ZipItem::file(QStringLiteral("z.txt"), "z")}),
             QString());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("error write file:.*sub/blocked")));
    QVERIFY(!extract(app));
    QVERIFY(!m_manager->extractOk);
    QCOMPARE(snapshot(app), before);
}

void TestFileManager::unsafeEntryPathIsRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("parent") << QStringLiteral("../evil.txt");
    QTest::newRow("nested parent") << QStringLiteral("a/../../evil.txt");
    QTest::newRow("absolute") << QStringLiteral("/tmp/evil.txt");
    QTest::newRow("backslash parent") << QStringLiteral("a\\..\\..\\evil.txt");
    QTest::newRow("drive") << QStringLiteral("C:/evil.txt");
}

void TestFileManager::unsafeEntryPathIsRefused()
{
    QFETCH(QString, name);
    QString target = name;
    if (target.startsWith(QLatin1Char('/')))
        target = m_tmp->filePath(QStringLiteral("abs-evil.txt"));
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("good.txt"), "good"),
                          ZipItem::file(name.startsWith(QLatin1Char('/')) ? target : name, "evil")}),
             QString());
    const QString app = m_settings->appFolder + QStringLiteral("/deep");
    QVERIFY(QDir().mkpath(app));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("unsafe entry path:")));
    QVERIFY(!extract(app));
    QVERIFY(snapshot(app).isEmpty());
    QVERIFY(!QFile::exists(m_settings->appFolder + QStringLiteral("/evil.txt")));
    QVERIFY(!QFile::exists(m_tmp->filePath(QStringLiteral("evil.txt"))));
    QVERIFY(!QFile::exists(target));
}

void TestFileManager::entryThroughOutsideLinkIsRefused()
{
    const QString app = m_settings->appFolder;
    const QString outside = m_tmp->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(QDir().mkpath(app));
    QVERIFY(QFile::link(outside, app + QStringLiteral("/plugins")));

    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("ok.txt"), "ok"),
                          ZipItem::file(QStringLiteral("plugins/x/evil.so"), "evil")}),
             QString());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("leads outside the destination:")));
    QVERIFY(!extract(app));
    QVERIFY(snapshot(outside).isEmpty());
    QVERIFY(!QFile::exists(app + QStringLiteral("/ok.txt")));
}

void TestFileManager::linkInsideDestinationIsFollowed()
{
    const QString app = m_settings->appFolder;
    QVERIFY(QDir().mkpath(app + QStringLiteral("/lib.real")));
    QVERIFY(QFile::link(QStringLiteral("lib.real"), app + QStringLiteral("/lib")));
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("lib/a.so"), "a")}), QString());
    QVERIFY(extract(app));
    QCOMPARE(readAll(app + QStringLiteral("/lib.real/a.so")), QByteArray("a"));
    QVERIFY(QFileInfo(app + QStringLiteral("/lib")).isSymLink());
}

void TestFileManager::unreadablePackageFails_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << QStringLiteral("missing");
    QTest::newRow("not a zip") << QStringLiteral("text");
    QTest::newRow("truncated") << QStringLiteral("truncated");
    QTest::newRow("corrupt data") << QStringLiteral("corrupt");
}

void TestFileManager::unreadablePackageFails()
{
    QFETCH(QString, kind);
    const QString app = m_settings->appFolder;
    QVERIFY(TestFiles::write(app + QStringLiteral("/a.txt"), "old a"));
    const QMap<QString, QByteArray> before = snapshot(app);

    QByteArray pattern;
    for (int i = 0; i < 20000; ++i)
        pattern += QByteArray::number(i * 7919 % 100003) + ',';
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "new a"),
                          ZipItem::file(QStringLiteral("b.bin"), pattern)}),
             QString());
    QFile package(m_manager->packagePath());
    if (kind == QLatin1String("missing")) {
        QVERIFY(package.remove());
    } else if (kind == QLatin1String("text")) {
        QVERIFY(TestFiles::write(package.fileName(), "<html>404 not found</html>"));
    } else if (kind == QLatin1String("truncated")) {
        QVERIFY(package.resize(package.size() / 2));
    } else {
        // Flip bytes in the middle of the second entry's compressed data; the central directory
        // stays intact, so only the entry's checksum can tell.
        QVERIFY(package.open(QIODevice::ReadWrite));
        QByteArray all = package.readAll();
        const int at = all.indexOf("b.bin") + 5 + 300;
        QVERIFY(at > 300 && at + 10 < all.size());
        for (int i = 0; i < 8; ++i)
            all[at + i] = char(all[at + i] ^ 0x5a);
        QVERIFY(package.seek(0));
        QCOMPARE(package.write(all), qint64(all.size()));
        package.close();
    }
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("error (open package|read entry):")));
    QVERIFY(!extract(app));
    QVERIFY(!m_manager->extractOk);
    QCOMPARE(snapshot(app), before);
}

void TestFileManager::staleStagingFolderIsRemoved()
{
    const QString app = m_settings->appFolder;
    QVERIFY(TestFiles::write(app + QStringLiteral("/.update-staging-AbC123/half.bin"), "half"));
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "a")}), QString());
    QVERIFY(extract(app));
    QCOMPARE(QDir(app).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("a.txt")}));
}

void TestFileManager::bigEntryKeepsMemoryFlat()
{
    const qint64 bigSize = 300LL * 1024 * 1024;
    const QString source = m_tmp->filePath(QStringLiteral("big.src"));
    {
        // Sparse zeros with a few marks, so that every part of the entry is checked by its digest.
        QFile f(source);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(bigSize));
        for (qint64 at : {qint64(0), bigSize / 3 + 7, bigSize - 5}) {
            QVERIFY(f.seek(at));
            QCOMPARE(f.write("mark"), qint64(4));
        }
    }
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("small.txt"), "s"),
                          ZipItem::fromFile(QStringLiteral("data/big.bin"), source),
                          ZipItem::file(QStringLiteral("tail.txt"), "t")}),
             QString());
    const qint64 buildMs = timer.restart();

    const QString app = m_settings->appFolder;
    QProcess child;
    child.setProcessEnvironment(m_env.processEnvironment());
    child.start(QCoreApplication::applicationFilePath(),
                {QLatin1String(childModeArg), m_settings->tempDir, m_manager->fileName, app});
    QVERIFY(child.waitForStarted());
    QVERIFY(child.waitForFinished(120000));
    const QByteArray output = child.readAllStandardOutput();
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QVERIFY2(child.exitCode() == 0, output.constData());
    const qint64 extractMs = timer.elapsed();

    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("maxrss_kib (\\d+)")).match(QString::fromLatin1(output));
    QVERIFY2(m.hasMatch(), output.constData());
    const qint64 peakKib = m.captured(1).toLongLong();
    qInfo() << "300 MiB entry: archive built in" << buildMs << "ms, extracted in" << extractMs
            << "ms, peak RSS of the extracting process" << peakKib << "KiB";
#ifdef TOVREL_ASAN
    QSKIP("peak RSS not checked: AddressSanitizer's shadow memory inflates it");
#endif
    // A reader that holds whole entries needs more than 300 MiB here.
    QVERIFY2(peakKib < 40 * 1024, qPrintable(QString::number(peakKib)));

    QCOMPARE(QFileInfo(app + QStringLiteral("/data/big.bin")).size(), bigSize);
    QCOMPARE(md5(app + QStringLiteral("/data/big.bin")), md5(source));
    QCOMPARE(readAll(app + QStringLiteral("/tail.txt")), QByteArray("t"));
}

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], childModeArg) == 0)
        return runExtractChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestFileManager test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filemanager.moc"
