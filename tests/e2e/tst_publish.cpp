#include "testenvironment.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run publish(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(PUBLISH_BIN), arguments);
    Run run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

bool writeFile(const QString &path, const QByteArray &content, QFile::Permissions extra = {})
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return extra == QFile::Permissions() || file.setPermissions(file.permissions() | extra);
}

QString md5(const QString &path)
{
    return QString::fromLatin1(QCryptographicHash::hash(TestFiles::read(path), QCryptographicHash::Md5).toHex());
}

QJsonObject readJson(const QString &path)
{
    return QJsonDocument::fromJson(TestFiles::read(path)).object();
}

// A zip archive with one empty stored entry of the given name, written byte by byte so that names a
// zip tool would refuse to write can be tested.
QByteArray zipWithEmptyEntry(const QByteArray &name)
{
    QByteArray local;
    QDataStream l(&local, QIODevice::WriteOnly);
    l.setByteOrder(QDataStream::LittleEndian);
    l << quint32(0x04034b50) << quint16(20) << quint16(0) << quint16(0) << quint16(0) << quint16(0)
      << quint32(0) << quint32(0) << quint32(0) << quint16(name.size()) << quint16(0);
    local += name;
    QByteArray central;
    QDataStream c(&central, QIODevice::WriteOnly);
    c.setByteOrder(QDataStream::LittleEndian);
    c << quint32(0x02014b50) << quint16(20) << quint16(20) << quint16(0) << quint16(0) << quint16(0) << quint16(0)
      << quint32(0) << quint32(0) << quint32(0) << quint16(name.size()) << quint16(0) << quint16(0) << quint16(0)
      << quint16(0) << quint32(0) << quint32(0);
    central += name;
    QByteArray end;
    QDataStream e(&end, QIODevice::WriteOnly);
    e.setByteOrder(QDataStream::LittleEndian);
    e << quint32(0x06054b50) << quint16(0) << quint16(0) << quint16(1) << quint16(1) << quint32(central.size())
      << quint32(local.size()) << quint16(0);
    return local + central + end;
}

QStringList listFiles(const QString &folder)
{
    QStringList names;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        names.append(QDir(folder).relativeFilePath(it.next()));
    names.sort();
    return names;
}

}

class TestPublish : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void folderBecomesPackageAndInformation();
    void otherPlatformsAreKept();
    void zipIsPublishedAsItIs();
    void fileNameIsEncodedInLink();
    void olderVersionWarns();
    void badInputChangesNothing_data();
    void badInputChangesNothing();

private:
    QString m_unzip;
};

void TestPublish::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(QFileInfo(QStringLiteral(PUBLISH_BIN)).isExecutable());
    m_unzip = QStandardPaths::findExecutable(QStringLiteral("unzip"));
    QVERIFY2(!m_unzip.isEmpty(), "unzip is needed to check packages independently");
}

void TestPublish::folderBecomesPackageAndInformation()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString app = dir.filePath(QStringLiteral("app"));
    QVERIFY(writeFile(app + QStringLiteral("/tovrel.exe"), "#!/bin/sh\necho 2\n",
                      QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther));
    QVERIFY(writeFile(app + QStringLiteral("/lib/data.bin"), QByteArray(300000, 'x') + "end"));
    QVERIFY(writeFile(app + QStringLiteral("/.hidden"), "dot"));
    QVERIFY(QDir().mkpath(app + QStringLiteral("/empty")));
    const QString out = dir.filePath(QStringLiteral("www/update"));

    const Run run = publish({QStringLiteral("--source"), app, QStringLiteral("--version-code"), QStringLiteral("2"),
                             QStringLiteral("--key"), QStringLiteral("linux"), QStringLiteral("--device"),
                             QStringLiteral("kiosk-1"), QStringLiteral("--device"), QStringLiteral("kiosk-2"),
                             QStringLiteral("--base-url"), QStringLiteral("http://127.0.0.1:8080/update/"),
                             QStringLiteral("--output"), out});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(listFiles(out), QStringList({QStringLiteral("linux-2.zip"), QStringLiteral("update.json")}));

    const QJsonObject entry = readJson(out + QStringLiteral("/update.json")).value(QStringLiteral("linux")).toObject();
    QCOMPARE(entry.value(QStringLiteral("version_code")).toInt(), 2);
    QCOMPARE(entry.value(QStringLiteral("file_name")).toString(), QStringLiteral("linux-2.zip"));
    QCOMPARE(entry.value(QStringLiteral("hash")).toString(), md5(out + QStringLiteral("/linux-2.zip")));
    QCOMPARE(entry.value(QStringLiteral("link")).toString(), QStringLiteral("http://127.0.0.1:8080/update/linux-2.zip"));
    QCOMPARE(entry.value(QStringLiteral("devices_id")).toArray(),
             QJsonArray({QStringLiteral("kiosk-1"), QStringLiteral("kiosk-2")}));

    // An independent unzip gets back the files, their content and the executable bit.
    const QString extracted = dir.filePath(QStringLiteral("extracted"));
    QProcess unzip;
    unzip.start(m_unzip, {QStringLiteral("-q"), out + QStringLiteral("/linux-2.zip"), QStringLiteral("-d"), extracted});
    QVERIFY(unzip.waitForFinished(30000));
    QCOMPARE(unzip.exitCode(), 0);
    QCOMPARE(listFiles(extracted), listFiles(app));
    QCOMPARE(TestFiles::read(extracted + QStringLiteral("/lib/data.bin")), TestFiles::read(app + QStringLiteral("/lib/data.bin")));
    QCOMPARE(TestFiles::read(extracted + QStringLiteral("/.hidden")), QByteArray("dot"));
    QVERIFY(QFileInfo(extracted + QStringLiteral("/tovrel.exe")).permissions() & QFile::ExeOwner);
    QVERIFY(!(QFileInfo(extracted + QStringLiteral("/lib/data.bin")).permissions() & QFile::ExeOwner));
}

void TestPublish::otherPlatformsAreKept()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString app = dir.filePath(QStringLiteral("app"));
    QVERIFY(writeFile(app + QStringLiteral("/tovrel.exe"), "v5"));
    const QString out = dir.filePath(QStringLiteral("out"));
    const QJsonObject windows{{QStringLiteral("version_code"), 9}, {QStringLiteral("file_name"), QStringLiteral("w.zip")},
                              {QStringLiteral("hash"), QStringLiteral("abc")}, {QStringLiteral("note"), QStringLiteral("kept")}};
    const QJsonObject oldLinux{{QStringLiteral("version_code"), 4},
                               {QStringLiteral("devices_id"), QJsonArray({QStringLiteral("only-this-one")})},
                               {QStringLiteral("file_name"), QStringLiteral("linux-4.zip")}};
    QVERIFY(writeFile(out + QStringLiteral("/update.json"),
                      QJsonDocument(QJsonObject{{QStringLiteral("windows"), windows}, {QStringLiteral("linux"), oldLinux}})
                          .toJson()));
    QVERIFY(writeFile(out + QStringLiteral("/linux-4.zip"), "old package"));

    const Run run = publish({QStringLiteral("--source"), app, QStringLiteral("--version-code"), QStringLiteral("5"),
                             QStringLiteral("--key"), QStringLiteral("linux"), QStringLiteral("--base-url"),
                             QStringLiteral("https://cdn.example/u"), QStringLiteral("--output"), out});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QJsonObject root = readJson(out + QStringLiteral("/update.json"));
    QCOMPARE(root.value(QStringLiteral("windows")).toObject(), windows);
    const QJsonObject linux = root.value(QStringLiteral("linux")).toObject();
    QCOMPARE(linux.value(QStringLiteral("version_code")).toInt(), 5);
    // No device list given: every device may take it, the old restriction is gone.
    QVERIFY(linux.value(QStringLiteral("devices_id")).toArray().isEmpty());
    QCOMPARE(linux.value(QStringLiteral("link")).toString(), QStringLiteral("https://cdn.example/u/linux-5.zip"));
    // Devices still fetching the previous package find it.
    QCOMPARE(TestFiles::read(out + QStringLiteral("/linux-4.zip")), QByteArray("old package"));
}

void TestPublish::zipIsPublishedAsItIs()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString app = dir.filePath(QStringLiteral("app"));
    QVERIFY(writeFile(app + QStringLiteral("/a.txt"), "a"));
    const QString first = dir.filePath(QStringLiteral("first"));
    Run run = publish({QStringLiteral("--source"), app, QStringLiteral("--version-code"), QStringLiteral("3"),
                       QStringLiteral("--key"), QStringLiteral("k"), QStringLiteral("--base-url"),
                       QStringLiteral("http://h"), QStringLiteral("--output"), first});
    QVERIFY2(run.exitCode == 0, run.err.constData());

    const QString zip = first + QStringLiteral("/k-3.zip");
    const QString out = dir.filePath(QStringLiteral("out"));
    run = publish({QStringLiteral("--source"), zip, QStringLiteral("--version-code"), QStringLiteral("3"),
                   QStringLiteral("--key"), QStringLiteral("k"), QStringLiteral("--base-url"),
                   QStringLiteral("http://h"), QStringLiteral("--output"), out});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(TestFiles::read(out + QStringLiteral("/k-3.zip")), TestFiles::read(zip));
    QCOMPARE(readJson(out + QStringLiteral("/update.json")).value(QStringLiteral("k")).toObject()
                 .value(QStringLiteral("hash")).toString(),
             md5(zip));
    QVERIFY(run.out.contains(md5(zip).toLatin1()));
}

void TestPublish::fileNameIsEncodedInLink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("app/x")), "x"));
    const QString out = dir.filePath(QStringLiteral("out"));
    const Run run = publish({QStringLiteral("--source"), dir.filePath(QStringLiteral("app")),
                             QStringLiteral("--version-code"), QStringLiteral("7"), QStringLiteral("--key"),
                             QStringLiteral("win"), QStringLiteral("--base-url"), QStringLiteral("http://h/u"),
                             QStringLiteral("--output"), out, QStringLiteral("--file-name"),
                             QStringLiteral("app 7#.zip"), QStringLiteral("--info-name"), QStringLiteral("info.json")});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY(QFileInfo::exists(out + QStringLiteral("/app 7#.zip")));
    const QJsonObject entry = readJson(out + QStringLiteral("/info.json")).value(QStringLiteral("win")).toObject();
    QCOMPARE(entry.value(QStringLiteral("file_name")).toString(), QStringLiteral("app 7#.zip"));
    QCOMPARE(entry.value(QStringLiteral("link")).toString(), QStringLiteral("http://h/u/app%207%23.zip"));
}

void TestPublish::olderVersionWarns()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("app/x")), "x"));
    const QString out = dir.filePath(QStringLiteral("out"));
    const QStringList common{QStringLiteral("--source"), dir.filePath(QStringLiteral("app")), QStringLiteral("--key"),
                             QStringLiteral("k"), QStringLiteral("--base-url"), QStringLiteral("http://h"),
                             QStringLiteral("--output"), out, QStringLiteral("--version-code")};
    Run run = publish(common + QStringList{QStringLiteral("8")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.err.isEmpty());
    run = publish(common + QStringList{QStringLiteral("6")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.err.contains("warning"));
    QCOMPARE(readJson(out + QStringLiteral("/update.json")).value(QStringLiteral("k")).toObject()
                 .value(QStringLiteral("version_code")).toInt(),
             6);
}

void TestPublish::badInputChangesNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("existingInfo");
    QTest::addColumn<QByteArray>("message");

    const QByteArray goodInfo = R"({"windows":{"version_code":1}})";
    const QStringList base{QStringLiteral("--key"), QStringLiteral("k"), QStringLiteral("--base-url"),
                           QStringLiteral("http://h/u")};
    // APP and OUT are replaced by the test's folders.
    QTest::newRow("missing source") << (base + QStringList{QStringLiteral("--source"), QStringLiteral("APP/none"),
                                                           QStringLiteral("--version-code"), QStringLiteral("2")})
                                    << goodInfo << QByteArray("source not found");
    QTest::newRow("version zero") << (base + QStringList{QStringLiteral("--source"), QStringLiteral("APP"),
                                                         QStringLiteral("--version-code"), QStringLiteral("0")})
                                  << goodInfo << QByteArray("above 0");
    QTest::newRow("version not a number") << (base + QStringList{QStringLiteral("--source"), QStringLiteral("APP"),
                                                                 QStringLiteral("--version-code"), QStringLiteral("2a")})
                                          << goodInfo << QByteArray("not a whole number");
    QTest::newRow("no key") << QStringList{QStringLiteral("--base-url"), QStringLiteral("http://h"),
                                           QStringLiteral("--source"), QStringLiteral("APP"),
                                           QStringLiteral("--version-code"), QStringLiteral("2")}
                            << goodInfo << QByteArray("--key is required");
    QTest::newRow("ftp url") << QStringList{QStringLiteral("--key"), QStringLiteral("k"), QStringLiteral("--base-url"),
                                            QStringLiteral("ftp://h/u"), QStringLiteral("--source"), QStringLiteral("APP"),
                                            QStringLiteral("--version-code"), QStringLiteral("2")}
                             << goodInfo << QByteArray("http or https");
    QTest::newRow("file name with folder") << (base + QStringList{QStringLiteral("--source"), QStringLiteral("APP"),
                                                                  QStringLiteral("--version-code"), QStringLiteral("2"),
                                                                  QStringLiteral("--file-name"), QStringLiteral("../x.zip")})
                                           << goodInfo << QByteArray("file name");
    QTest::newRow("broken information") << (base + QStringList{QStringLiteral("--source"), QStringLiteral("APP"),
                                                               QStringLiteral("--version-code"), QStringLiteral("2")})
                                        << QByteArray(R"({"windows":{"version_code":1})") << QByteArray("left as it is");
    QTest::newRow("information not an object") << (base + QStringList{QStringLiteral("--source"), QStringLiteral("APP"),
                                                                      QStringLiteral("--version-code"), QStringLiteral("2")})
                                               << QByteArray("[1]") << QByteArray("left as it is");
    QTest::newRow("not a zip") << (base + QStringList{QStringLiteral("--source"), QStringLiteral("APP/x"),
                                                      QStringLiteral("--version-code"), QStringLiteral("2")})
                               << goodInfo << QByteArray("zip");
    // The updater refuses to install such an archive, so every device would fail on it.
    QTest::newRow("zip entry climbs out") << (base + QStringList{QStringLiteral("--source"), QStringLiteral("APP/up.zip"),
                                                                 QStringLiteral("--version-code"), QStringLiteral("2")})
                                          << goodInfo << QByteArray("outside");
    QTest::newRow("zip entry absolute") << (base + QStringList{QStringLiteral("--source"), QStringLiteral("APP/abs.zip"),
                                                               QStringLiteral("--version-code"), QStringLiteral("2")})
                                        << goodInfo << QByteArray("outside");
    QTest::newRow("output inside source") << (base + QStringList{QStringLiteral("--source"), QStringLiteral("OUT/.."),
                                                                 QStringLiteral("--version-code"), QStringLiteral("2")})
                                          << goodInfo << QByteArray("inside the source");
}

void TestPublish::badInputChangesNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, existingInfo);
    QFETCH(QByteArray, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString app = dir.filePath(QStringLiteral("app"));
    const QString out = dir.filePath(QStringLiteral("out"));
    QVERIFY(writeFile(app + QStringLiteral("/x"), "not a zip"));
    QVERIFY(writeFile(app + QStringLiteral("/up.zip"), zipWithEmptyEntry("../evil")));
    QVERIFY(writeFile(app + QStringLiteral("/abs.zip"), zipWithEmptyEntry("/tmp/evil")));
    QVERIFY(writeFile(out + QStringLiteral("/update.json"), existingInfo));
    for (QString &argument : arguments) {
        argument.replace(QStringLiteral("APP"), app);
        argument.replace(QStringLiteral("OUT"), out);
    }
    arguments << QStringLiteral("--output") << out;

    const Run run = publish(arguments);
    QVERIFY(run.exitCode > 0);
    QVERIFY2(run.err.contains(message), run.err.constData());
    QCOMPARE(listFiles(out), QStringList{QStringLiteral("update.json")});
    QCOMPARE(TestFiles::read(out + QStringLiteral("/update.json")), existingInfo);
}

QTEST_MAIN(TestPublish)
#include "tst_publish.moc"
