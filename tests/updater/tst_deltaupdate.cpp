#include "deltamanifest.h"
#include "deltaupdate.h"
#include "downloadfile.h"
#include "httptestserver.h"
#include "installjournal.h"
#include "packageinstaller.h"
#include "testfiles.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <zstd.h>

namespace {
const auto sha = &TestFiles::sha256;

QByteArray compress(const QByteArray &data, const QByteArray &reference = QByteArray())
{
    ZSTD_CCtx *context = ZSTD_createCCtx();
    if (!reference.isEmpty()) {
        ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, DeltaUpdate::patchWindowLog(reference.size(), data.size()));
        ZSTD_CCtx_refPrefix(context, reference.constData(), size_t(reference.size()));
    }
    QByteArray out(int(ZSTD_compressBound(size_t(data.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(context, out.data(), size_t(out.size()), data.constData(), size_t(data.size()));
    ZSTD_freeCCtx(context);
    out.resize(ZSTD_isError(size) ? 0 : int(size));
    return out;
}

// Version 1 is installed; version 2 keeps "same", changes "small" (by object) and "big" (by a patch
// from version 1) and adds "new/file"; given a mode, the folder "new" is listed with it and "new/file"
// gets the set-uid bit and group write.
struct Release
{
    QByteArray big1 = TestFiles::pseudoRandom(300000, 7);
    QByteArray big2 = big1.left(150000) + "changed" + big1.mid(150000);
    QMap<QString, QByteArray> v1{{QStringLiteral("same"), "unchanged"}, {QStringLiteral("small"), "one"},
                                 {QStringLiteral("big"), big1}};
    QMap<QString, QByteArray> v2{{QStringLiteral("same"), "unchanged"}, {QStringLiteral("small"), "two"},
                                 {QStringLiteral("big"), big2}, {QStringLiteral("new/file"), "added"}};
    QByteArray manifest;
    QHash<QString, QByteArray> server;     // relative name -> bytes
    QTemporaryDir dir;
    const QString app = dir.filePath(QStringLiteral("app"));
    const QString work = dir.filePath(QStringLiteral("work"));
    HttpTestServer http;

    // Version 1 installed, and `server` served but for the name left out.
    bool serve(const QString &leftOut = QString())
    {
        for (auto it = v1.cbegin(); it != v1.cend(); ++it) {
            if (!TestFiles::write(app + QLatin1Char('/') + it.key(), it.value()))
                return false;
        }
        for (auto it = server.cbegin(); it != server.cend(); ++it) {
            if (it.key() != leftOut)
                http.serveData("/update/" + it.key().toLatin1(), it.value());
        }
        return dir.isValid() && http.listen();
    }
    DeltaUpdate::Source source(int code = 2) const
    {
        return {http.url(QStringLiteral("/update/info.json")), QStringLiteral("manifests/linux-%1.json").arg(code),
                manifest.size(), sha(manifest), QStringLiteral("linux"), code};
    }

    explicit Release(int newFolderMode = -1)
    {
        DeltaManifest m;
        m.key = QStringLiteral("linux");
        m.versionCode = 2;
        m.complete = true;
        if (newFolderMode >= 0)
            m.folders.append({QStringLiteral("new"), newFolderMode});
        for (auto it = v2.cbegin(); it != v2.cend(); ++it) {
            const int mode = newFolderMode >= 0 && it.key() == QLatin1String("new/file") ? 04775 : 0644;
            DeltaManifest::File file{it.key(), mode, it.value().size(), sha(it.value()), 0, {}};
            const QByteArray object = compress(it.value());
            file.objectSize = object.size();
            server.insert(DeltaManifest::objectPath(file.sha256), object);
            if (it.key() == QLatin1String("big")) {
                const QByteArray patch = compress(big2, big1);
                file.patches.append({sha(big1), patch.size()});
                server.insert(DeltaManifest::patchPath(sha(big1), file.sha256), patch);
            }
            m.files.append(file);
        }
        manifest = m.toJson();
        server.insert(QStringLiteral("manifests/linux-2.json"), manifest);
    }
};
}

class TestDeltaUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void road_data();
    void road();
};

void TestDeltaUpdate::road_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");

    QTest::newRow("patch and objects") << "" << "";
    QTest::newRow("manifest altered") << "manifest" << "SHA-256 check failed";
    QTest::newRow("object missing") << "404" << "Error transferring";
    QTest::newRow("object altered, same size") << "object" << "differs from the manifest";
    QTest::newRow("patch altered") << "patch" << "big: ";
    QTest::newRow("object longer than listed") << "long" << "objects/";
    QTest::newRow("reference changed after hashing") << "reference" << "big: ";
    QTest::newRow("manifest of another version") << "version" << "not for the entry";
    // Modes as from a package: set-id and group-write bits dropped, folders made as the zip road makes them.
    QTest::newRow("modes as from a package") << "folder" << "";
    QTest::newRow("no space for the stage") << "space" << "no space to stage the changed files:";
}

void TestDeltaUpdate::road()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);

    Release release(fault == QLatin1String("folder") ? 02770 : -1);
    const QString &app = release.app;
    const QString &work = release.work;
    const QString small = DeltaManifest::objectPath(sha("two"));
    const QString patch = DeltaManifest::patchPath(sha(release.big1), sha(release.big2));
    if (fault == QLatin1String("manifest"))
        release.server[QStringLiteral("manifests/linux-2.json")].replace("\"same\"", "\"sane\"");
    else if (fault == QLatin1String("404"))
        release.server[small + QStringLiteral(".later")] = release.server.take(small);
    else if (fault == QLatin1String("object"))
        release.server[small] = compress("TWO");
    else if (fault == QLatin1String("patch"))
        release.server[patch] = compress(release.big2.left(100), release.big1).leftJustified(release.server[patch].size(), 'x');
    else if (fault == QLatin1String("long"))
        release.server[small].append('x');
    else if (fault == QLatin1String("version"))
        release.server.insert(QStringLiteral("manifests/linux-3.json"), release.manifest);
    QVERIFY(release.serve());
    const DeltaUpdate::Source source = release.source(fault == QLatin1String("version") ? 3 : 2);
    HttpTestServer &server = release.http;

    DeltaUpdate update, later; // the later one stands for a process started after this one
    for (DeltaUpdate *each : {&update, &later}) {
        each->setAppFolder(app);
        each->setWorkFolder(work);
    }
    update.downloader()->setStallInterval(2000);
    if (fault == QLatin1String("space"))
        update.setSpaceProbe([](const QString &) { return PackageInstaller::Space{32LL << 20, 1LL << 30}; });
    QStringList installed;
    int stored = 0;
    const DeltaUpdate::Installer journaled = DeltaUpdate::journaledInstaller(
        app, 1, [&](int code) { return (stored = code) > 0; }, [](const QString &) {});
    const DeltaUpdate::Installer recording = [&](const QString &stage, const DeltaManifest &manifest,
                                                 const QStringList &rebuilt, QString *error) {
        installed = rebuilt;
        return journaled(stage, manifest, rebuilt, error);
    };
    update.setInstaller(recording);
    later.setInstaller(recording);
    const quint64 sameInode = TestFiles::inode(app + QStringLiteral("/same"));
    if (fault == QLatin1String("reference")) {
        // The installed file changes between its hashing and its use as a reference.
        connect(&update, &DeltaUpdate::progressChanged, this, [&] {
            if (update.step() == DeltaUpdate::Step::Fetch)
                TestFiles::write(app + QStringLiteral("/big"), release.big1.left(299999) + 'y');
        });
    }
    QSignalSpy finished(&update, &DeltaUpdate::finished);
    QVERIFY(update.start(source));
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).toBool(), reason.isEmpty());
    QVERIFY2(finished.first().at(1).toString().contains(reason), qPrintable(finished.first().at(1).toString()));
    QCOMPARE(update.isStaged(2), reason.isEmpty());
    // A later process takes up the stage only when every file checks out again.
    if (reason.isEmpty()) {
        const QString staged = DeltaUpdate::stageFolder(work) + QStringLiteral("/small");
        QVERIFY(TestFiles::write(staged, "TWO"));
        QVERIFY(!later.adoptStage(source));
        QVERIFY(TestFiles::write(staged, "two"));
    }
    QCOMPARE(later.adoptStage(source), reason.isEmpty());
    QCOMPARE(later.install(), reason.isEmpty());
    QVERIFY(!QFileInfo::exists(DeltaUpdate::stageFolder(work)));
    if (!reason.isEmpty()) {
        QVERIFY(installed.isEmpty());
        // An object that failed its check is fetched anew next time, not resumed or reused.
        if (fault == QLatin1String("object") || fault == QLatin1String("long"))
            QCOMPARE(QDir(work + QStringLiteral("/objects/") + sha("two").left(2)).entryList(QDir::Files), QStringList());
        QCOMPARE(TestFiles::read(app + QStringLiteral("/small")), QByteArray("one"));
        if (fault == QLatin1String("404")) {
            // What the failed attempt fetched counts: the next one fetches only the manifest and what is missing.
            const QByteArray object = release.server.value(small + QStringLiteral(".later"));
            server.serveData("/update/" + small.toLatin1(), object);
            server.clearRequests();
            QVERIFY(update.start(source));
            QVERIFY(finished.wait(20000));
            QCOMPARE(finished.last().at(0).toBool(), true);
            QCOMPARE(server.requests().size(), 2);
            QCOMPARE(update.bytesToMove(), qint64(object.size()));
        }
        return;
    }

    // Only what changed moved: the patch for "big", objects for "small" and "new/file".
    QCOMPARE(installed, QStringList({QStringLiteral("big"), QStringLiteral("new/file"), QStringLiteral("small")}));
    for (auto it = release.v2.cbegin(); it != release.v2.cend(); ++it)
        QCOMPARE(TestFiles::read(app + QLatin1Char('/') + it.key()), it.value());
    QCOMPARE(stored, 2);
    const int folderMode = TestFiles::mode(app + QStringLiteral("/new"));
    QVERIFY(folderMode >= 0);
    if (fault == QLatin1String("folder")) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        QCOMPARE(folderMode, int(0777 & ~mask));
        QCOMPARE(TestFiles::mode(app + QStringLiteral("/new/file")), 0755);
    }
    // The unchanged file was neither moved nor kept; the replaced ones are kept for a return.
    QCOMPARE(TestFiles::inode(app + QStringLiteral("/same")), sameInode);
    const QString backup = app + QLatin1Char('/') + InstallJournal::keptBackupIn(app);
    QCOMPARE(TestFiles::read(backup + QStringLiteral("/small")), QByteArray("one"));
    QVERIFY(!QFileInfo::exists(backup + QStringLiteral("/same")));
    QCOMPARE(server.requests().size(), 4);
    for (const QString &name : {DeltaManifest::objectPath(sha("added")), small, QStringLiteral("manifests/linux-2.json"), patch})
        QCOMPARE(server.requestsFor("/update/" + name.toLatin1()).size(), 1);
    QCOMPARE(update.bytesMoved(), update.bytesToMove());
    QCOMPARE(update.bytesToMove(), qint64(release.server.value(small).size() + release.server.value(patch).size()
                                          + release.server.value(DeltaManifest::objectPath(sha("added"))).size()));
    // The work folder keeps only the digests.
    QCOMPARE(QDir(work).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{QStringLiteral("hashes")});
}

QTEST_GUILESS_MAIN(TestDeltaUpdate)
#include "tst_deltaupdate.moc"
