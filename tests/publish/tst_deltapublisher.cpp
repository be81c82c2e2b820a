#include "deltapruner.h"
#include "deltapublisher.h"
#include "testfiles.h"
#include "zstdcodec.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(DeltaManifest::File)
Q_DECLARE_METATYPE(QVector<DeltaManifest>)

class TestDeltaPublisher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void patchSources_data();
    void patchSources();
    void keptNames_data();
    void keptNames();
    void versionOfManifest_data();
    void versionOfManifest();
    void versionsShareObjectsAndGetPatches();
};

namespace {

const QByteArray shaA(64, 'a');
const QByteArray shaB(64, 'b');
const QByteArray shaC(64, 'c');
const qint64 MiB = 1024 * 1024;

DeltaManifest version(int code, const QVector<DeltaManifest::File> &files, const QString &key = QStringLiteral("k"))
{
    DeltaManifest m;
    m.key = key;
    m.versionCode = code;
    m.files = files;
    return m;
}

DeltaManifest::File file(const QString &path, const QByteArray &sha, qint64 size = 2 * MiB)
{
    return DeltaManifest::File{path, 0644, size, sha, 100, {}};
}

const auto sha256 = &TestFiles::sha256;

QByteArray unpack(const QString &path, const QByteArray &reference = QByteArray())
{
    QByteArray content;
    QString error;
    return ZstdCodec::decompress(TestFiles::read(path), reference, 64 * MiB, &content, &error) ? content : "<bad>";
}

}

void TestDeltaPublisher::patchSources_data()
{
    QTest::addColumn<DeltaManifest::File>("current");
    QTest::addColumn<QVector<DeltaManifest>>("previous");
    QTest::addColumn<int>("count");
    QTest::addColumn<QVector<QByteArray>>("expected");
    const QString bin = QStringLiteral("bin/app");
    const QVector<DeltaManifest> three{version(3, {file(bin, shaB)}), version(2, {file(bin, shaC)}),
                                       version(1, {file(bin, shaB)})};
    QTest::newRow("newest first, each content once") << file(bin, shaA) << three << 3 << QVector<QByteArray>{shaB, shaC};
    QTest::newRow("only the last N versions") << file(bin, shaA) << three << 1 << QVector<QByteArray>{shaB};
    QTest::newRow("none asked") << file(bin, shaA) << three << 0 << QVector<QByteArray>{};
    QTest::newRow("unchanged since the last") << file(bin, shaB) << three << 3 << QVector<QByteArray>{shaC};
    QTest::newRow("below 1 MiB") << file(bin, shaA, MiB - 1) << three << 3 << QVector<QByteArray>{};
    QTest::newRow("exactly 1 MiB") << file(bin, shaA, MiB) << three << 1 << QVector<QByteArray>{shaB};
    QTest::newRow("new path") << file(QStringLiteral("bin/other"), shaA) << three << 3 << QVector<QByteArray>{};
    QTest::newRow("same content at another path is no source")
        << file(bin, shaA) << QVector<DeltaManifest>{version(1, {file(QStringLiteral("lib/x"), shaB)})} << 3
        << QVector<QByteArray>{};
    QTest::newRow("too large to hold in memory") << file(bin, shaA, DeltaPublisher::MaxPatchSize + 1) << three << 3
                                                 << QVector<QByteArray>{};
}

void TestDeltaPublisher::patchSources()
{
    QFETCH(DeltaManifest::File, current);
    QFETCH(QVector<DeltaManifest>, previous);
    QFETCH(int, count);
    QFETCH(QVector<QByteArray>, expected);
    QCOMPARE(DeltaPublisher::patchSources(current, previous, count), expected);
}

void TestDeltaPublisher::keptNames_data()
{
    QTest::addColumn<int>("keep");
    QTest::addColumn<QStringList>("pinned");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("newest per key") << 1 << QStringList() << QStringList{QStringLiteral("k-3"), QStringLiteral("w-1")};
    QTest::newRow("two per key") << 2 << QStringList()
                                 << QStringList{QStringLiteral("k-2"), QStringLiteral("k-3"), QStringLiteral("w-1")};
    QTest::newRow("announced older version stays") << 1 << QStringList{QStringLiteral("k-1")}
                                                   << QStringList{QStringLiteral("k-1"), QStringLiteral("k-3"), QStringLiteral("w-1")};
}

void TestDeltaPublisher::keptNames()
{
    QFETCH(int, keep);
    QFETCH(QStringList, pinned);
    QFETCH(QStringList, expected);
    QVector<DeltaPruner::Version> versions;
    for (const auto &[key, code] : {std::pair<const char *, int>{"k", 2}, {"k", 3}, {"w", 1}, {"k", 1}})
        versions.append({QString::fromLatin1(key) + QLatin1Char('-') + QString::number(code), version(code, {}, QString::fromLatin1(key))});
    QStringList kept = DeltaPruner::keptNames(versions, keep, pinned).values();
    kept.sort();
    QCOMPARE(kept, expected);
}

void TestDeltaPublisher::versionOfManifest_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expected");
    QTest::newRow("ours") << QStringLiteral("linux-12.json") << 12;
    QTest::newRow("key with dash") << QStringLiteral("linux-arm-3.json") << 0;
    QTest::newRow("other key") << QStringLiteral("windows-3.json") << 0;
    QTest::newRow("leading zero") << QStringLiteral("linux-03.json") << 0;
    QTest::newRow("sign") << QStringLiteral("linux-+3.json") << 0;
    QTest::newRow("not json") << QStringLiteral("linux-3.json.partial") << 0;
    QTest::newRow("beyond int") << QStringLiteral("linux-99999999999.json") << 0;
}

void TestDeltaPublisher::versionOfManifest()
{
    QFETCH(QString, name);
    QFETCH(int, expected);
    QCOMPARE(DeltaPublisher::versionOfManifest(name, QStringLiteral("linux")), expected);
}

// Three versions into one folder: the manifest lists every file as it is, an unchanged file keeps
// its one object, a small change to a large file gives a patch that rebuilds it, a rewritten large
// file gets no patch (it would not be smaller), and pruning keeps exactly what the kept version needs.
void TestDeltaPublisher::versionsShareObjectsAndGetPatches()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString app = dir.filePath(QStringLiteral("app"));
    const QString out = dir.filePath(QStringLiteral("www"));
    const QByteArray big1 = TestFiles::pseudoRandom(int(2 * MiB), 1);
    QByteArray big2 = big1;
    big2.replace(1000, 5, "fixed");
    const QByteArray big3 = TestFiles::pseudoRandom(int(2 * MiB), 3);
    QVERIFY(TestFiles::write(app + QStringLiteral("/bin/app"), big1));
    QVERIFY(QFile::setPermissions(app + QStringLiteral("/bin/app"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(TestFiles::write(app + QStringLiteral("/share/readme"), "same in every version"));
    QVERIFY(QDir().mkpath(app + QStringLiteral("/empty")));
    DeltaPublisher::Options options{app, out, QStringLiteral("k"), 1, true, 3, 3};
    QString error;
    const auto publish = [&](int code, DeltaPublisher::Result *result) {
        options.versionCode = code;
        return DeltaPublisher::publish(options, result, &error);
    };
    // What lies at a name in the output folder, and the manifest a version wrote there.
    const auto at = [&](const QString &name) { return out + QLatin1Char('/') + name; };
    const auto parsed = [&](int code, DeltaManifest *m) {
        return DeltaManifest::parse(TestFiles::read(at(QStringLiteral("manifests/k-%1.json").arg(code))), m, &error);
    };

    DeltaPublisher::Result first;
    QVERIFY2(publish(1, &first), qPrintable(error));
    QCOMPARE(first.objectsWritten, 2);
    DeltaManifest m1;
    QVERIFY2(parsed(1, &m1), qPrintable(error));
    const QByteArray json1 = TestFiles::read(at(QStringLiteral("manifests/k-1.json")));
    QCOMPARE(first.manifestName, QStringLiteral("manifests/k-1.json"));
    QCOMPARE(first.manifestSha256, sha256(json1));
    QCOMPARE(first.manifestSize, qint64(json1.size()));
    QCOMPARE(m1.folders.size(), 3);
    QCOMPARE(m1.files.size(), 2);
    const DeltaManifest::File &bin = m1.files.at(0);
    QCOMPARE(bin.path, QStringLiteral("bin/app"));
    QCOMPARE(bin.mode, 0700);
    QCOMPARE(bin.size, 2 * MiB);
    QCOMPARE(bin.sha256, sha256(big1));
    QCOMPARE(unpack(at(DeltaManifest::objectPath(bin.sha256))), big1);
    QCOMPARE(QFileInfo(at(DeltaManifest::objectPath(bin.sha256))).size(), bin.objectSize);
    QCOMPARE(m1.files.at(1).sha256, sha256("same in every version"));
    const QString readmeObject = at(DeltaManifest::objectPath(m1.files.at(1).sha256));
    const QDateTime written = QFileInfo(readmeObject).lastModified();

    QVERIFY(TestFiles::write(app + QStringLiteral("/bin/app"), big2));
    DeltaPublisher::Result second;
    QVERIFY2(publish(2, &second), qPrintable(error));
    QCOMPARE(second.objectsWritten, 1);
    QCOMPARE(second.objectsPresent, 1);
    QCOMPARE(second.patchesWritten, 1);
    QCOMPARE(QFileInfo(readmeObject).lastModified(), written);
    DeltaManifest m2;
    QVERIFY(parsed(2, &m2));
    QCOMPARE(m2.files.at(0).patches.size(), 1);
    const DeltaManifest::Patch patch = m2.files.at(0).patches.at(0);
    QCOMPARE(patch.from, sha256(big1));
    const QString patchFile = at(DeltaManifest::patchPath(patch.from, sha256(big2)));
    QCOMPARE(QFileInfo(patchFile).size(), patch.size);
    QVERIFY(patch.size < m2.files.at(0).objectSize / 100);
    QCOMPARE(unpack(patchFile, big1), big2);

    // Republishing the same version writes nothing new and lists the same patch.
    DeltaPublisher::Result again;
    QVERIFY2(publish(2, &again), qPrintable(error));
    QCOMPARE(again.objectsWritten + again.patchesWritten, 0);
    QCOMPARE(TestFiles::read(at(QStringLiteral("manifests/k-2.json"))), m2.toJson());

    QVERIFY(TestFiles::write(app + QStringLiteral("/bin/app"), big3));
    DeltaPublisher::Result third;
    QVERIFY2(publish(3, &third), qPrintable(error));
    QCOMPARE(third.patchesWritten, 0);
    DeltaManifest m3;
    QVERIFY(parsed(3, &m3));
    QVERIFY(m3.files.at(0).patches.isEmpty());
    QCOMPARE(QDir(out + QStringLiteral("/patches")).entryList(QDir::Files).size(), 1);

    DeltaPruner::Result pruned;
    QVERIFY(DeltaPruner::prune(out, 2, {}, &pruned, &error));
    QCOMPARE(pruned.manifests, 1);
    QCOMPARE(pruned.objects, 1); // big1's: only version 1 had it; version 2's patch from it stays
    QCOMPARE(pruned.patches, 0);
    QVERIFY(!QFile::exists(at(DeltaManifest::objectPath(sha256(big1)))));
    QVERIFY(QFile::exists(patchFile));
    QVERIFY(QFile::exists(readmeObject));
    QVERIFY(DeltaPruner::prune(out, 1, {}, &pruned, &error));
    QVERIFY(!QFile::exists(patchFile));
    QVERIFY(!QFile::exists(at(DeltaManifest::objectPath(sha256(big2)))));
    QCOMPARE(QDir(out + QStringLiteral("/manifests")).entryList(QDir::Files), QStringList{QStringLiteral("k-3.json")});

    // A manifest that cannot be read stops the pruning: what it needs is unknown.
    QVERIFY(TestFiles::write(out + QStringLiteral("/manifests/k-4.json"), "{"));
    QVERIFY(!DeltaPruner::prune(out, 1, {}, &pruned, &error));
    QVERIFY(QFile::exists(readmeObject));
}

QTEST_GUILESS_MAIN(TestDeltaPublisher)
#include "tst_deltapublisher.moc"
