#include "deltamanifest.h"

#include <QtTest>

class TestDeltaManifest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void parse_data();
    void parse();
    void writesWhatItReads();
};

namespace {

const QByteArray shaA(64, 'a');
const QByteArray shaB = QByteArray(63, '0') + '1';

// A manifest of key "linux", version 7, complete, with the folders and files given as JSON text.
QByteArray manifest(const QByteArray &folders, const QByteArray &files, const QByteArray &head = QByteArray())
{
    const QByteArray start = head.isEmpty()
        ? QByteArray(R"("format":"tovrel-manifest-1","key":"linux","version_code":7,"complete":true)") : head;
    return "{" + start + R"(,"folders":[)" + folders + R"(],"files":[)" + files + "]}";
}

QByteArray file(const QByteArray &path, const QByteArray &extra = QByteArray())
{
    return R"({"path":")" + path + R"(","mode":493,"size":10,"sha256":")" + shaA + R"(","object_size":19)" + extra + "}";
}

}

void TestDeltaManifest::parse_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("ok");
    const QByteArray dir = R"({"path":"share","mode":493})";
    QTest::newRow("empty version") << manifest("", "") << true;
    QTest::newRow("file with implied parents") << manifest("", file("a/b/c")) << true;
    QTest::newRow("folder and file in it") << manifest(dir, file("share/x")) << true;
    QTest::newRow("patch") << manifest("", file("bin", R"(,"patches":[{"from":")" + shaB + R"(","size":5}])")) << true;
    QTest::newRow("unicode and spaces") << manifest("", file("Bilder/Größe 1.png")) << true;
    QTest::newRow("name only starting like ours") << manifest("", file("update-files")) << true;

    QTest::newRow("not json") << QByteArray("{") << false;
    QTest::newRow("array") << QByteArray("[]") << false;
    QTest::newRow("wrong format") << manifest("", "", R"("format":"tovrel-manifest-2","key":"k","version_code":1,"complete":true)") << false;
    QTest::newRow("no key") << manifest("", "", R"("format":"tovrel-manifest-1","version_code":1,"complete":true)") << false;
    QTest::newRow("version 0") << manifest("", "", R"("format":"tovrel-manifest-1","key":"k","version_code":0,"complete":true)") << false;
    QTest::newRow("version fraction") << manifest("", "", R"("format":"tovrel-manifest-1","key":"k","version_code":1.5,"complete":true)") << false;
    QTest::newRow("version beyond int") << manifest("", "", R"("format":"tovrel-manifest-1","key":"k","version_code":2147483648,"complete":true)") << false;
    QTest::newRow("complete as text") << manifest("", "", R"("format":"tovrel-manifest-1","key":"k","version_code":1,"complete":"yes")") << false;
    QTest::newRow("files not array") << QByteArray(R"({"format":"tovrel-manifest-1","key":"k","version_code":1,"complete":true,"folders":[],"files":{}})") << false;

    QTest::newRow("absolute") << manifest("", file("/etc/passwd")) << false;
    QTest::newRow("dot dot") << manifest("", file("a/../../x")) << false;
    QTest::newRow("dot") << manifest("", file("./x")) << false;
    QTest::newRow("empty segment") << manifest("", file("a//x")) << false;
    QTest::newRow("trailing slash") << manifest("", file("a/")) << false;
    QTest::newRow("backslash") << manifest("", file("a\\\\x")) << false;
    QTest::newRow("nul") << manifest("", file("a\\u0000x")) << false;
    QTest::newRow("empty path") << manifest("", file("")) << false;
    QTest::newRow("journal") << manifest("", file(".update-journal")) << false;
    QTest::newRow("journal twin") << manifest("", file(".update-journal.tmp")) << false;
    QTest::newRow("kept record") << manifest("", file(".update-kept/x")) << false;
    QTest::newRow("staging folder") << manifest(R"({"path":".update-staging-1","mode":493})", "") << false;
    QTest::newRow("backup folder") << manifest("", file(".update-backup-3/bin")) << false;
    QTest::newRow("file record") << manifest("", file(".update-files")) << false;
    QTest::newRow("file twice") << manifest("", file("x") + "," + file("x")) << false;
    QTest::newRow("folder and file same path") << manifest(dir, file("share")) << false;
    QTest::newRow("file below file") << manifest("", file("x") + "," + file("x/y")) << false;
    QTest::newRow("folder below file") << manifest(R"({"path":"x/y","mode":493})", file("x")) << false;

    QTest::newRow("mode too big") << manifest(R"({"path":"d","mode":4096})", "") << false;
    QTest::newRow("mode negative") << manifest("", R"({"path":"x","mode":-1,"size":1,"sha256":")" + shaA + R"(","object_size":1})") << false;
    QTest::newRow("no mode") << manifest(R"({"path":"d"})", "") << false;
    QTest::newRow("size negative") << manifest("", R"({"path":"x","mode":420,"size":-1,"sha256":")" + shaA + R"(","object_size":1})") << false;
    QTest::newRow("size beyond exact") << manifest("", R"({"path":"x","mode":420,"size":1e300,"sha256":")" + shaA + R"(","object_size":1})") << false;
    QTest::newRow("sha upper case") << manifest("", R"({"path":"x","mode":420,"size":1,"sha256":")" + shaA.toUpper() + R"(","object_size":1})") << false;
    QTest::newRow("sha short") << manifest("", R"({"path":"x","mode":420,"size":1,"sha256":"abc","object_size":1})") << false;
    QTest::newRow("object size 0") << manifest("", R"({"path":"x","mode":420,"size":1,"sha256":")" + shaA + R"(","object_size":0})") << false;
    QTest::newRow("patches not array") << manifest("", file("x", R"(,"patches":{})")) << false;
    QTest::newRow("patch from itself") << manifest("", file("x", R"(,"patches":[{"from":")" + shaA + R"(","size":5}])")) << false;
    QTest::newRow("patch twice") << manifest("", file("x", R"(,"patches":[{"from":")" + shaB + R"(","size":5},{"from":")" + shaB + R"(","size":6}])")) << false;
    QTest::newRow("patch size 0") << manifest("", file("x", R"(,"patches":[{"from":")" + shaB + R"(","size":0}])")) << false;
    QTest::newRow("too large") << manifest("", file("x")) + QByteArray(DeltaManifest::MaxSize, ' ') << false;
}

void TestDeltaManifest::parse()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, ok);
    DeltaManifest m;
    m.key = QStringLiteral("untouched");
    QString error;
    QCOMPARE(DeltaManifest::parse(json, &m, &error), ok);
    QCOMPARE(error.isEmpty(), ok);
    if (!ok)
        QCOMPARE(m.key, QStringLiteral("untouched"));
}

// The publisher writes with toJson and the device reads with parse: both must agree on every member.
void TestDeltaManifest::writesWhatItReads()
{
    DeltaManifest m;
    m.key = QStringLiteral("linux");
    m.versionCode = 12;
    m.complete = false;
    m.folders = {{QStringLiteral("share/img"), 0750}, {QStringLiteral("bin"), 0755}};
    DeltaManifest::File big{QStringLiteral("bin/app"), 0755, 5000000000LL, shaA, 123456789LL, {{shaB, 4321}}};
    DeltaManifest::File small{QStringLiteral("a.txt"), 0644, 0, shaB, 9, {}};
    m.files = {big, small};
    DeltaManifest back;
    QString error;
    QVERIFY2(DeltaManifest::parse(m.toJson(), &back, &error), qPrintable(error));
    QCOMPARE(back.key, m.key);
    QCOMPARE(back.versionCode, 12);
    QCOMPARE(back.complete, false);
    QCOMPARE(back.folders.size(), 2);
    QCOMPARE(back.folders.at(0).path, QStringLiteral("bin"));
    QCOMPARE(back.folders.at(1).mode, 0750);
    QCOMPARE(back.files.size(), 2);
    const DeltaManifest::File &f = back.files.at(1);
    QCOMPARE(back.files.at(0).path, QStringLiteral("a.txt"));
    QCOMPARE(f.path, big.path);
    QCOMPARE(f.mode, 0755);
    QCOMPARE(f.size, big.size);
    QCOMPARE(f.sha256, shaA);
    QCOMPARE(f.objectSize, big.objectSize);
    QCOMPARE(f.patches.size(), 1);
    QCOMPARE(f.patches.at(0).from, shaB);
    QCOMPARE(f.patches.at(0).size, qint64(4321));
    QVERIFY(back.files.at(0).patches.isEmpty());
    // The same version gives the same bytes, whatever order it was built in.
    QCOMPARE(back.toJson(), m.toJson());

    QCOMPARE(DeltaManifest::objectPath(shaB), QStringLiteral("objects/00/") + QString::fromLatin1(shaB));
    QCOMPARE(DeltaManifest::patchPath(shaA, shaB),
             QStringLiteral("patches/") + QString::fromLatin1(shaA) + QLatin1Char('-') + QString::fromLatin1(shaB));
}

QTEST_GUILESS_MAIN(TestDeltaManifest)
#include "tst_deltamanifest.moc"
