#include "downloadfile.h"
#include "filemanager.h"
#include "httptestserver.h"
#include "updatersettings.h"
#include "updaterstatus.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "testzip.h"

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
    void missingInfoFileZeroesVersionOnly();
    void malformedInfoKeepsEarlierValues();
    void pathsFollowWorkFolder();
    void isPackageValid();
    void checkedPackageIsTheOneInstalled();
    void refusedStartEndsWithFinished();
    void productAndSystemFileDecide_data();
    void productAndSystemFileDecide();
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
    QString makePackage(const QList<ZipItem> &items);

    TestEnvironment m_env;
    QScopedPointer<QTemporaryDir> m_tmp;
    QScopedPointer<UpdaterSettings> m_settings;
    UpdaterStatus m_status;
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
    m_settings.reset(new UpdaterSettings);
    m_settings->init();
    m_settings->tempDir = m_tmp->filePath(QStringLiteral("work"));
    m_settings->appFolder = m_tmp->filePath(QStringLiteral("app"));
    m_settings->appKey = QStringLiteral("linux");
    m_settings->deviceId = QStringLiteral("dev-7");
    QDir().mkpath(m_settings->tempDir);
    m_manager.reset(new FileManager);
    m_manager->setSettings(m_settings.data(), &m_status);
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
    QTest::newRow("no device list") << QByteArray(R"({"linux":{"version_code":9,"file_name":"a.zip"}})") << "" << true
                                    << true << 9;
    QTest::newRow("empty device list") << QByteArray(R"({"linux":{"devices_id":[],"version_code":9,"file_name":"a.zip"}})")
                                       << "x" << true << true << 9;
    // A list of the wrong type would read as empty, which admits everyone.
    QTest::newRow("device list as a string") << QByteArray(R"({"linux":{"devices_id":"dev-7","version_code":9,"file_name":"a.zip"}})")
                                             << "dev-7" << true << false << 9;
    QTest::newRow("device list as a number") << QByteArray(R"({"linux":{"devices_id":7,"version_code":9,"file_name":"a.zip"}})")
                                             << "7" << true << false << 9;
    QTest::newRow("device list mixed") << QByteArray(R"({"linux":{"devices_id":["dev-7",8],"version_code":9,"file_name":"a.zip"}})")
                                       << "dev-7" << true << false << 9;
    QTest::newRow("device list null") << QByteArray(R"({"linux":{"devices_id":null,"version_code":9,"file_name":"a.zip"}})")
                                      << "dev-7" << true << false << 9;
    QTest::newRow("version as string") << QByteArray(R"({"linux":{"version_code":"600","file_name":"a.zip"}})") << ""
                                       << true << true << 0;
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
    // Stored under no name, the package could never be renamed into place.
    QTest::newRow("file name empty") << QByteArray(R"({"linux":{"version_code":9,"file_name":""}})")
                                     << "" << false << false << 0;
    QTest::newRow("file name absent") << QByteArray(R"({"linux":{"version_code":9}})") << "" << false << false << 0;
    QTest::newRow("file name dot-dot") << QByteArray(R"({"linux":{"version_code":9,"file_name":".."}})")
                                       << "" << false << false << 0;
    // Only the bool switches on the removal of what the previous package brought.
    QTest::newRow("complete package") << QByteArray(R"({"linux":{"version_code":9,"file_name":"a.zip","complete":true}})")
                                      << "" << true << true << 9;
    QTest::newRow("complete as a string") << QByteArray(R"({"linux":{"version_code":9,"file_name":"a.zip","complete":"true"}})")
                                          << "" << true << true << 9;
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
        QCOMPARE(m_status.readyVersionCode, versionCode);
    }
    QCOMPARE(m_manager->completePackage, QByteArray(QTest::currentDataTag()) == "complete package");
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
    QCOMPARE(m_status.readyVersionCode, 77);
    QVERIFY(QFile::remove(m_settings->tempDir + QLatin1Char('/') + m_settings->updateInfoRequest));

    QVERIFY(!m_manager->readUpdateInfo());
    QCOMPARE(m_manager->versionCode, 0);
    QCOMPARE(m_status.readyVersionCode, 0);
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
    QCOMPARE(m_status.readyVersionCode, 77);
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
    QVERIFY2(m_manager->isPackageValid(), "an upper-case digest is the same digest");

    QVERIFY(TestFiles::write(m_manager->packagePath(), "abd"));
    m_manager->packageHash = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
    QVERIFY(!m_manager->isPackageValid());
}

// The file whose digest was checked is installed, not whatever took its name in between; a link
// in the package's place is never followed.
void TestFileManager::checkedPackageIsTheOneInstalled()
{
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "checked")}), QString());
    m_manager->packageHash = TestFiles::md5(TestFiles::read(m_manager->packagePath()));
    QVERIFY(m_manager->isPackageValid());
    const QString checked = m_manager->packagePath();
    QVERIFY(QFile::rename(checked, checked + QStringLiteral(".old")) && makePackage({ZipItem::file(QStringLiteral("a.txt"), "swapped")}).isEmpty());
    QVERIFY(m_manager->extractPackage(m_settings->appFolder));
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

void TestFileManager::productAndSystemFileDecide_data()
{
    QTest::addColumn<QString>("deviceProduct");
    QTest::addColumn<QByteArray>("entryProduct"); // JSON member text, empty: none
    QTest::addColumn<bool>("systemReadable");
    QTest::addColumn<QString>("logged");          // the refusal's line; empty: taken

    QTest::newRow("device names none") << "" << QByteArray(R"("product":"lobby",)") << true << "";
    QTest::newRow("same product") << "lobby" << QByteArray(R"("product":"lobby",)") << true << "";
    QTest::newRow("other product") << "lobby" << QByteArray(R"("product":"menu",)") << true
                                   << R"(the entry is for product "menu" and this device is "lobby")";
    QTest::newRow("entry names none") << "lobby" << QByteArray() << true
                                      << R"(the entry is for no product and this device is "lobby")";
    QTest::newRow("system file unreadable") << "" << QByteArray() << false << "nothing is installed until it can be read";
}

void TestFileManager::productAndSystemFileDecide()
{
    QFETCH(QString, deviceProduct);
    QFETCH(QByteArray, entryProduct);
    QFETCH(bool, systemReadable);
    QFETCH(QString, logged);
    m_settings->product = deviceProduct;
    if (!systemReadable)
        m_settings->systemError = QStringLiteral("/etc/xdg/tovrel/updater.conf cannot be read (Permission denied)");
    writeInfo(R"({"linux":{)" + entryProduct + R"("version_code":9,"file_name":"a.zip"}})");
    if (!logged.isEmpty())
        QTest::ignoreMessage(systemReadable ? QtWarningMsg : QtCriticalMsg,
                             QRegularExpression(QRegularExpression::escape(logged)));
    QCOMPARE(m_manager->readUpdateInfo(), logged.isEmpty());
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

    // Good bytes of an earlier attempt at the same package are resumed.
    QVERIFY(TestFiles::write(partial, body.left(1000)));
    QVERIFY(TestFiles::write(DownloadFile::partialMarkerPath(m_manager->packagePath()), m_manager->packageHash.toLatin1()));
    m_manager->downloadPackage();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(server.requests().last().header("Range"), QByteArray("bytes=1000-"));
    QVERIFY(m_manager->isPackageValid());
    QVERIFY(!m_manager->cleanDownload);

    // Wrong bytes on disk end in an integrity failure; the next attempt starts from byte 0.
    QVERIFY(QFile::remove(m_manager->packagePath()));
    QVERIFY(TestFiles::write(partial, QByteArray(1000, 'z')));
    QVERIFY(TestFiles::write(DownloadFile::partialMarkerPath(m_manager->packagePath()), m_manager->packageHash.toLatin1()));
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

void TestFileManager::cancelledTransferResumes()
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

    // A new request cancels the stalled transfer (code 5) and continues its bytes.
    m_manager->downloadPackage();
    const qint64 kept = QFileInfo(partial).size();
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.at(0).at(0).toInt(), 5);
    QVERIFY(QTest::qWaitFor([&] { return results.size() == 2; }, 10000));
    QCOMPARE(results.at(1).at(0).toInt(), 0);
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(server.requests().last().header("Range"), "bytes=" + QByteArray::number(kept) + '-');
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
    QVERIFY(TestFiles::write(DownloadFile::partialMarkerPath(m_manager->packagePath()), m_manager->packageHash.toLatin1()));
    QVERIFY(TestFiles::write(folder + QStringLiteral("/p-200.zip.tmp.meta"), "old marker"));
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/keep")));
    QSignalSpy results(m_manager.data(), &FileManager::finished);

    m_manager->downloadPackage();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(server.requests().last().header("Range"), QByteArray("bytes=5000-"));
    QVERIFY(m_manager->isPackageValid());
    QVERIFY(!QFile::exists(folder + QStringLiteral("/p-100.zip")));
    QVERIFY(!QFile::exists(folder + QStringLiteral("/p-200.zip.tmp")));
    QVERIFY(!QFile::exists(folder + QStringLiteral("/p-200.zip.tmp.meta")));
    QVERIFY(QFileInfo(folder + QStringLiteral("/keep")).isDir());
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList({QStringLiteral("p-300.zip")}));
}

void TestFileManager::updateInfoTransfer()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    server.serveData("/update/update.json", R"({"linux":{"version_code":321,"file_name":"a.zip"}})");
    m_settings->updateLink = server.url(QStringLiteral("/update")).toString();
    QVERIFY(QDir(m_settings->tempDir).removeRecursively());
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

void TestFileManager::updateInfoAlwaysFromFirstByte()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    // Same length as the leftover, another version: a resumed transfer would splice the two.
    const QByteArray current = R"({"linux":{"version_code":301,"file_name":"p-301.zip"}})";
    const QByteArray older = R"({"linux":{"version_code":300,"file_name":"p-300.zip"}})";
    server.serveData("/update/update.json", current);
    m_settings->updateLink = server.url(QStringLiteral("/update")).toString();
    const QString info = m_settings->tempDir + QStringLiteral("/update.json");
    QVERIFY(TestFiles::write(info + QStringLiteral(".tmp"), older.left(40)));
    QSignalSpy results(m_manager.data(), &FileManager::finished);

    m_manager->downloadUpdateInfo();
    QVERIFY(results.wait(10000));
    QCOMPARE(results.last().at(0).toInt(), 0);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().last().header("Range"), QByteArray());
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

    HttpTestServer server;
    QVERIFY(server.listen());
    HttpTestServer::Route route;
    route.body = QByteArray(size, ' ');
    route.sendContentLength = announced;
    server.setRoute("/update/update.json", route);
    m_settings->updateLink = server.url(QStringLiteral("/update")).toString();
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
        m_manager->fileName = QStringLiteral("app.zip");
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
    QCOMPARE(m_manager->extractPackage(app), result);
    QCOMPARE(m_manager->extractOk, result);
    QCOMPARE(QFile::exists(app + QStringLiteral("/a.txt")), result);
    if (kind == QLatin1String("blocked"))
        QCOMPARE(QDir(app).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList({QStringLiteral("sub")}));
}

// Links are not installed; a package that relies on one must not seem complete without a word.
void TestFileManager::linkEntryIsLogged()
{
    m_manager->fileName = QStringLiteral("app.zip");
    QVERIFY(QDir().mkpath(m_manager->downloadFolder()));
    QVERIFY(QFile::copy(QStringLiteral(TESTS_SOURCE_DIR "/data/infozip-symlink.zip"), m_manager->packagePath()));
    QTest::ignoreMessage(QtWarningMsg, "[FileManager] symbolic link entry not installed: \"passwd\"");
    QVERIFY(m_manager->extractPackage(m_settings->appFolder));
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
