#include "recovery.h"
#include "packageinstaller.h"
#include "testfiles.h"
#include "testzip.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(PackageInstaller::Error)

namespace {

unsigned modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? unsigned(st.st_mode & 07777) : 0xffffu;
}

// An archive of the corpus, made by other tools (see tests/data/make-archives.sh). Not found by
// QFINDTESTDATA: with ccache's base folder __FILE__ is relative to tests/ of the build folder,
// and QtTest resolves it against the top of the build folder.
QString corpus(const QString &name)
{
    return QStringLiteral(TESTS_SOURCE_DIR "/data/") + name;
}

const char childModeArg[] = "--install-child";

// Child mode: install one package and report the peak resident memory of this process.
int runInstallChild(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 4)
        return 2;
    PackageInstaller installer(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    const bool ok = installer.run();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    Utils::outsn(QStringLiteral("maxrss_kib %1").arg(usage.ru_maxrss));
    return ok ? 0 : 1;
}

} // namespace

class TestPackageInstaller : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void nestedFoldersAndPermissions();
    void overwritesAndKeepsOtherFiles();
    void laterDuplicateWins();
    void missingDestinationIsCreated();
    void foreignArchives_data();
    void foreignArchives();
    void linksAreSkippedFoldersMade();
    void dosAttributes();
    void permissionsFromPackage_data();
    void permissionsFromPackage();
    void blockedEntryLeavesFolderUnchanged();
    void unsafeEntryPathIsRefused_data();
    void unsafeEntryPathIsRefused();
    void linkEntryOpensNoWayOut();
    void entryThroughOutsideLinkIsRefused();
    void linkInsideDestinationIsFollowed();
    void unreadablePackageFails_data();
    void unreadablePackageFails();
    void staleStagingFolderIsRemoved();
    void freeSpaceIsCheckedFirst_data();
    void freeSpaceIsCheckedFirst();
    void entryLongerThanClaimedStopsAtClaim();
    void bigEntryKeepsMemoryFlat();
    void reservedNamesAreRefused_data();
    void reservedNamesAreRefused();
    void unchangedFileStaysInPlace_data();
    void unchangedFileStaysInPlace();
    void versionIsStoredWhileJournalIsDone_data();
    void versionIsStoredWhileJournalIsDone();
    void cutOffMovesAreRecovered_data();
    void cutOffMovesAreRecovered();
    void unreadableJournalStopsEverything();

private:
    QString makePackage(const QList<ZipItem> &items);

    QScopedPointer<QTemporaryDir> m_tmp;
    QString m_package;
    QString m_app;
};

void TestPackageInstaller::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY2(QFile::exists(corpus(QStringLiteral("infozip.zip"))), "the archive corpus is not found");
}

void TestPackageInstaller::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_package = m_tmp->filePath(QStringLiteral("app.zip"));
    m_app = m_tmp->filePath(QStringLiteral("app"));
}

void TestPackageInstaller::cleanup()
{
    m_tmp.reset();
}

QString TestPackageInstaller::makePackage(const QList<ZipItem> &items)
{
    const QString error = writeZip(m_package, items);
    if (!error.isEmpty())
        qWarning() << "writeZip:" << error;
    return error;
}

void TestPackageInstaller::nestedFoldersAndPermissions()
{
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("tovrel.exe"), "#!/bin/sh\necho v2\n", 0755),
                          ZipItem::file(QStringLiteral("lib/a/b/data.bin"), QByteArray(100000, 'x'), 0600),
                          ZipItem::file(QStringLiteral("share/readme.txt"), "hello", 0644)}),
             QString());
    PackageInstaller installer(m_package, m_app);
    QVERIFY(installer.run());
    QCOMPARE(installer.error(), PackageInstaller::NoError);
    QCOMPARE(installer.errorString(), QString());
    QCOMPARE(installer.rollBack(), PackageInstaller::NothingToRollBack);
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/tovrel.exe")), QByteArray("#!/bin/sh\necho v2\n"));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/lib/a/b/data.bin")), QByteArray(100000, 'x'));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/share/readme.txt")), QByteArray("hello"));
    QVERIFY(QFileInfo(m_app + QStringLiteral("/tovrel.exe")).isExecutable());
    QCOMPARE(modeOf(m_app + QStringLiteral("/tovrel.exe")), 0755u);
    QCOMPARE(modeOf(m_app + QStringLiteral("/lib/a/b/data.bin")), 0600u);
    QCOMPARE(modeOf(m_app + QStringLiteral("/share/readme.txt")), 0644u);
    QVERIFY(!QFileInfo(m_app + QStringLiteral("/share/readme.txt")).isExecutable());

    // Nothing of the installation machinery stays behind.
    QCOMPARE(QDir(m_app).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("lib"), QStringLiteral("share"), QStringLiteral("tovrel.exe")}));
}

void TestPackageInstaller::overwritesAndKeepsOtherFiles()
{
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/tovrel.exe"), "old version, longer than the new one"));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/config/user.ini"), "mine"));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/lib/old.so"), "old lib"));

    // A process that still holds the old file open keeps reading the old bytes: the new file
    // lands by rename, not by truncating the old one in place.
    QFile held(m_app + QStringLiteral("/tovrel.exe"));
    QVERIFY(held.open(QIODevice::ReadOnly));

    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("tovrel.exe"), "new", 0755),
                          ZipItem::file(QStringLiteral("lib/new.so"), "new lib")}),
             QString());
    QVERIFY(PackageInstaller(m_package, m_app).run());
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/tovrel.exe")), QByteArray("new"));
    QCOMPARE(held.readAll(), QByteArray("old version, longer than the new one"));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/config/user.ini")), QByteArray("mine"));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/lib/old.so")), QByteArray("old lib"));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/lib/new.so")), QByteArray("new lib"));

    // The same package again is a plain repeat.
    QVERIFY(PackageInstaller(m_package, m_app).run());
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/tovrel.exe")), QByteArray("new"));
    QCOMPARE(QDir(m_app).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot).size(), 3);
}

// A path stored twice: the later entry wins, as with unpacking in archive order.
void TestPackageInstaller::laterDuplicateWins()
{
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/dup.txt"), "old"));
    PackageInstaller installer(corpus(QStringLiteral("duplicate-names.zip")), m_app);
    QVERIFY(installer.run());
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/dup.txt")), QByteArray("second"));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/other.txt")), QByteArray("other"));
}

void TestPackageInstaller::missingDestinationIsCreated()
{
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "a")}), QString());
    const QString dest = m_tmp->filePath(QStringLiteral("x/y/z"));
    QVERIFY(PackageInstaller(m_package, dest).run());
    QCOMPARE(TestFiles::read(dest + QStringLiteral("/a.txt")), QByteArray("a"));
}

void TestPackageInstaller::foreignArchives_data()
{
    QTest::addColumn<QString>("archive");
    QTest::newRow("Info-ZIP") << "infozip.zip";
    QTest::newRow("Info-ZIP to a pipe") << "infozip-stream.zip";
    QTest::newRow("Info-ZIP zip64") << "infozip-zip64.zip";
    QTest::newRow("Python zipfile") << "python.zip";
    // Every name below "./", and "./" itself for the packed folder.
    QTest::newRow("bsdtar") << "bsdtar.zip";
}

void TestPackageInstaller::foreignArchives()
{
    QFETCH(QString, archive);
    QVERIFY(QDir().mkpath(m_app));
    PackageInstaller installer(corpus(archive), m_app);
    QVERIFY2(installer.run(), qPrintable(installer.errorString()));
    QCOMPARE(installer.error(), PackageInstaller::NoError);
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/a.txt")), QByteArray("alpha\n"));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/sub/b.txt")), QByteArray("bravo\n"));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/run.sh")), QByteArray("#!/bin/sh\necho run\n"));
    QCOMPARE(modeOf(m_app + QStringLiteral("/run.sh")), 0755u);
    QCOMPARE(modeOf(m_app + QStringLiteral("/a.txt")), 0644u);
}

void TestPackageInstaller::linksAreSkippedFoldersMade()
{
    PackageInstaller installer(corpus(QStringLiteral("infozip-symlink.zip")), m_app);
    QVERIFY(installer.run());
    QVERIFY(QFileInfo(m_app + QStringLiteral("/empty")).isDir());
    QVERIFY(!QFileInfo(m_app + QStringLiteral("/passwd")).exists());
    QVERIFY(!QFileInfo(m_app + QStringLiteral("/passwd")).isSymLink());
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/f.txt")), QByteArray("f\n"));
}

void TestPackageInstaller::dosAttributes()
{
    // Twice: a read-only file of the first installation must not block the second.
    for (int run = 0; run < 2; ++run) {
        PackageInstaller installer(corpus(QStringLiteral("dos-attributes.zip")), m_app);
        QVERIFY(installer.run());
        QCOMPARE(TestFiles::read(m_app + QStringLiteral("/readonly.txt")), QByteArray("read only\n"));
        QCOMPARE(TestFiles::read(m_app + QStringLiteral("/folder/inner.txt")), QByteArray("inner\n"));
        QCOMPARE(modeOf(m_app + QStringLiteral("/readonly.txt")), 0444u);
        QCOMPARE(modeOf(m_app + QStringLiteral("/plain.txt")), 0644u);
        // The folder carries the read-only attribute too, and stays writable.
        QCOMPARE(modeOf(m_app + QStringLiteral("/folder")), 0755u);
    }
}

void TestPackageInstaller::permissionsFromPackage_data()
{
    QTest::addColumn<unsigned>("stored");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<unsigned>("installed");
    QTest::newRow("set-user-id") << 04755u << false << 0755u;
    QTest::newRow("set-group-id, group-writable") << 02775u << false << 0755u;
    QTest::newRow("world-writable") << 0666u << false << 0644u;
    QTest::newRow("owner only") << 0600u << false << 0600u;
    QTest::newRow("read-only") << 0444u << false << 0444u;
    // As on vfat or exFAT; root may change any mode, so the refusal is stood in for.
    QTest::newRow("change refused") << 0755u << true << 0u;
}

void TestPackageInstaller::permissionsFromPackage()
{
    QFETCH(unsigned, stored);
    QFETCH(bool, refused);
    QFETCH(unsigned, installed);
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("bin/tool"), "tool", stored)}), QString());
    PackageInstaller installer(m_package, m_app);
    if (refused) {
        installer.setModeSetter([](QFile &, unsigned, QString *error) {
            *error = QStringLiteral("Operation not permitted");
            return false;
        });
    }
    QVERIFY2(installer.run(), qPrintable(installer.errorString()));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/bin/tool")), QByteArray("tool"));
    if (refused) {
        QCOMPARE(installer.warnings().size(), 1);
        QVERIFY2(installer.warnings().first().contains(QStringLiteral("bin/tool")), qPrintable(installer.warnings().first()));
    } else {
        QCOMPARE(modeOf(m_app + QStringLiteral("/bin/tool")), installed);
        QVERIFY(installer.warnings().isEmpty());
    }
}

void TestPackageInstaller::blockedEntryLeavesFolderUnchanged()
{
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/a.txt"), "old a"));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/keep/k.txt"), "k"));
    // A non-empty folder stands where the package has a file: that file cannot land, and a
    // privileged test run cannot fake this with permissions.
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/sub/blocked/inside.txt"), "inside"));
    const QMap<QString, QByteArray> before = TestFiles::tree(m_app);

    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "new a"),
                          ZipItem::file(QStringLiteral("new/dir/n.txt"), "n"),
                          ZipItem::file(QStringLiteral("keep/k2.txt"), "k2"),
                          ZipItem::file(QStringLiteral("sub/blocked"), "file"),
                          ZipItem::file(QStringLiteral("z.txt"), "z")}),
             QString());
    PackageInstaller installer(m_package, m_app);
    QVERIFY(!installer.run());
    QCOMPARE(installer.error(), PackageInstaller::WriteError);
    QVERIFY2(installer.errorString().contains(QStringLiteral("sub/blocked")), qPrintable(installer.errorString()));
    // Found while every move is still being planned: the folder is never touched.
    QCOMPARE(installer.rollBack(), PackageInstaller::NothingToRollBack);
    QCOMPARE(TestFiles::tree(m_app), before);
}

void TestPackageInstaller::unsafeEntryPathIsRefused_data()
{
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("evil");     // where the hostile entry would land, relative to app/deep
    QTest::newRow("parent") << "slip-parent.zip" << "../evil.txt";
    QTest::newRow("nested parent") << "slip-nested-parent.zip" << "../evil.txt";
    QTest::newRow("absolute") << "slip-absolute.zip" << "/tmp/tovrel-slip-evil.txt";
    QTest::newRow("backslash parent") << "slip-backslash.zip" << "../evil.txt";
    QTest::newRow("drive") << "slip-drive.zip" << "C:/evil.txt";
}

void TestPackageInstaller::unsafeEntryPathIsRefused()
{
    QFETCH(QString, archive);
    QFETCH(QString, evil);
    const QString app = m_app + QStringLiteral("/deep");
    QVERIFY(QDir().mkpath(app));
    PackageInstaller installer(corpus(archive), app);
    QVERIFY(!installer.run());
    QCOMPARE(installer.error(), PackageInstaller::UnsafePathError);
    QCOMPARE(installer.errorString().count(QLatin1Char('\n')), 0);
    QCOMPARE(installer.rollBack(), PackageInstaller::NothingToRollBack);
    QVERIFY(TestFiles::tree(app).isEmpty());
    QVERIFY(!QFile::exists(QDir(app).filePath(evil)));
    QVERIFY(!QFile::exists(m_tmp->filePath(QStringLiteral("evil.txt"))));
}

// A link entry is never made, so a later entry below its name lands in a plain folder.
void TestPackageInstaller::linkEntryOpensNoWayOut()
{
    const QString app = m_app + QStringLiteral("/deep");
    QVERIFY(QDir().mkpath(app));
    PackageInstaller installer(corpus(QStringLiteral("slip-through-link.zip")), app);
    QVERIFY(installer.run());
    QVERIFY(!QFileInfo(app + QStringLiteral("/escape")).isSymLink());
    QCOMPARE(TestFiles::read(app + QStringLiteral("/escape/evil.txt")), QByteArray("evil"));
    QVERIFY(!QFile::exists(m_tmp->filePath(QStringLiteral("evil.txt"))));
    QCOMPARE(TestFiles::tree(m_tmp->path()).keys().filter(QStringLiteral("evil.txt")),
             QStringList({QStringLiteral("app/deep/escape/evil.txt")}));
}

void TestPackageInstaller::entryThroughOutsideLinkIsRefused()
{
    const QString outside = m_tmp->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(QDir().mkpath(m_app));
    QVERIFY(QFile::link(outside, m_app + QStringLiteral("/plugins")));

    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("ok.txt"), "ok"),
                          ZipItem::file(QStringLiteral("plugins/x/evil.so"), "evil")}),
             QString());
    PackageInstaller installer(m_package, m_app);
    QVERIFY(!installer.run());
    QCOMPARE(installer.error(), PackageInstaller::OutsideDestinationError);
    QVERIFY(TestFiles::tree(outside).isEmpty());
    QVERIFY(!QFile::exists(m_app + QStringLiteral("/ok.txt")));
}

void TestPackageInstaller::linkInsideDestinationIsFollowed()
{
    QVERIFY(QDir().mkpath(m_app + QStringLiteral("/lib.real")));
    QVERIFY(QFile::link(QStringLiteral("lib.real"), m_app + QStringLiteral("/lib")));
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("lib/a.so"), "a")}), QString());
    QVERIFY(PackageInstaller(m_package, m_app).run());
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/lib.real/a.so")), QByteArray("a"));
    QVERIFY(QFileInfo(m_app + QStringLiteral("/lib")).isSymLink());
}

void TestPackageInstaller::unreadablePackageFails_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<PackageInstaller::Error>("error");
    QTest::newRow("missing") << QStringLiteral("missing") << PackageInstaller::OpenError;
    QTest::newRow("not a zip") << QStringLiteral("text") << PackageInstaller::OpenError;
    QTest::newRow("truncated") << QStringLiteral("truncated") << PackageInstaller::OpenError;
    QTest::newRow("corrupt data") << QStringLiteral("corrupt") << PackageInstaller::ReadError;
}

void TestPackageInstaller::unreadablePackageFails()
{
    QFETCH(QString, kind);
    QFETCH(PackageInstaller::Error, error);
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/a.txt"), "old a"));
    const QMap<QString, QByteArray> before = TestFiles::tree(m_app);

    QByteArray pattern;
    for (int i = 0; i < 20000; ++i)
        pattern += QByteArray::number(i * 7919 % 100003) + ',';
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "new a"),
                          ZipItem::file(QStringLiteral("b.bin"), pattern)}),
             QString());
    QFile package(m_package);
    if (kind == QLatin1String("missing")) {
        QVERIFY(package.remove());
    } else if (kind == QLatin1String("text")) {
        QVERIFY(TestFiles::write(package.fileName(), "<html>404 not found</html>"));
    } else if (kind == QLatin1String("truncated")) {
        QVERIFY(package.resize(package.size() / 2));
    } else {
        // Flip bytes in the middle of the second entry's compressed data; the central directory
        // stays intact, so only the entry's checksum can tell.
        QByteArray all = TestFiles::read(m_package);
        const int at = all.indexOf("b.bin") + 5 + 300;
        QVERIFY(at > 300 && at + 10 < all.size());
        for (int i = 0; i < 8; ++i)
            all[at + i] = char(all[at + i] ^ 0x5a);
        QVERIFY(TestFiles::write(m_package, all));
    }
    PackageInstaller installer(m_package, m_app);
    QVERIFY(!installer.run());
    QCOMPARE(installer.error(), error);
    QCOMPARE(TestFiles::tree(m_app), before);
}

void TestPackageInstaller::staleStagingFolderIsRemoved()
{
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/.update-staging-AbC123/half.bin"), "half"));
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "a")}), QString());
    QVERIFY(PackageInstaller(m_package, m_app).run());
    QCOMPARE(QDir(m_app).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("a.txt")}));
}

void TestPackageInstaller::freeSpaceIsCheckedFirst_data()
{
    const qint64 mib = 1024 * 1024;
    const qint64 unpacked = 150000;
    QTest::addColumn<qint64>("available");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<bool>("fits");
    QTest::newRow("fits with 32 MiB to spare") << unpacked + 32 * mib << 1024 * mib << true;
    QTest::newRow("short of 32 MiB to spare") << unpacked + 32 * mib - 1 << 1024 * mib << false;
    // 2 % of 10 GiB is about 205 MiB.
    QTest::newRow("short of 2 % to spare") << unpacked + 200 * mib << 10240 * mib << false;
    QTest::newRow("2 % to spare") << unpacked + 205 * mib << 10240 * mib << true;
    QTest::newRow("space unknown") << qint64(-1) << qint64(-1) << true;
}

void TestPackageInstaller::freeSpaceIsCheckedFirst()
{
    QFETCH(qint64, available);
    QFETCH(qint64, total);
    QFETCH(bool, fits);
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/a.bin"), "old"));
    const QMap<QString, QByteArray> before = TestFiles::tree(m_app);
    // 150000 bytes unpacked; the link and the folder take none.
    QCOMPARE(makePackage({ZipItem::dir(QStringLiteral("d/")),
                          ZipItem::link(QStringLiteral("l"), "a.bin"),
                          ZipItem::file(QStringLiteral("d/b.bin"), QByteArray(50000, 'b')),
                          ZipItem::file(QStringLiteral("a.bin"), QByteArray(100000, 'a'))}),
             QString());
    QStringList asked;
    PackageInstaller installer(m_package, m_app);
    installer.setSpaceProbe([&](const QString &folder) {
        asked << folder;
        return PackageInstaller::Space{available, total};
    });
    QCOMPARE(installer.run(), fits);
    QCOMPARE(asked, QStringList({m_app}));
    if (fits) {
        QCOMPARE(installer.error(), PackageInstaller::NoError);
        QCOMPARE(QFileInfo(m_app + QStringLiteral("/d/b.bin")).size(), qint64(50000));
        return;
    }
    QCOMPARE(installer.error(), PackageInstaller::NoSpaceError);
    QVERIFY2(installer.errorString().startsWith(QStringLiteral("no space")), qPrintable(installer.errorString()));
    QCOMPARE(TestFiles::tree(m_app), before);
}

void TestPackageInstaller::entryLongerThanClaimedStopsAtClaim()
{
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/a.txt"), "old a"));
    const QMap<QString, QByteArray> before = TestFiles::tree(m_app);
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("bomb.bin"), QByteArray(4 * 1024 * 1024, 'z'))}), QString());
    // Both headers claim 1000 bytes unpacked; the deflated data holds 4 MiB.
    QByteArray all = TestFiles::read(m_package);
    const auto claim = [&all](int at) {
        QVERIFY(at >= 0 && at + 4 <= all.size());
        const char size[4] = {char(0xe8), char(0x03), 0, 0};
        all.replace(at, 4, size, 4);
    };
    QVERIFY(all.startsWith("PK\x03\x04"));
    claim(22);
    claim(all.indexOf("PK\x01\x02") + 24);
    QVERIFY(TestFiles::write(m_package, all));

    PackageInstaller installer(m_package, m_app);
    QVERIFY(!installer.run());
    QCOMPARE(installer.error(), PackageInstaller::ReadError);
    QVERIFY2(installer.errorString().contains(QStringLiteral("holds more than the 1000 bytes it claims")),
             qPrintable(installer.errorString()));
    QCOMPARE(TestFiles::tree(m_app), before);
}

void TestPackageInstaller::bigEntryKeepsMemoryFlat()
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

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QLatin1String(childModeArg), m_package, m_app});
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

    QCOMPARE(QFileInfo(m_app + QStringLiteral("/data/big.bin")).size(), bigSize);
    QCOMPARE(TestFiles::fileMd5(m_app + QStringLiteral("/data/big.bin")), TestFiles::fileMd5(source));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/tail.txt")), QByteArray("t"));
}

void TestPackageInstaller::reservedNamesAreRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("journal") << ".update-journal";
    QTest::newRow("journal below ./") << "./.update-journal";
    QTest::newRow("journal's copy") << ".update-journal.new";
    QTest::newRow("into a backup") << ".update-backup-x/a.txt";
    QTest::newRow("into staging") << ".update-staging-x/a.txt";
    QTest::newRow("kept record") << ".update-kept";
}

// The journal is the marker the launcher trusts; a package must not plant or overwrite it.
void TestPackageInstaller::reservedNamesAreRefused()
{
    QFETCH(QString, name);
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/a.txt"), "old a"));
    const QMap<QString, QByteArray> before = TestFiles::tree(m_app);
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "new a"), ZipItem::file(name, "{}")}), QString());
    PackageInstaller installer(m_package, m_app);
    QVERIFY(!installer.run());
    QCOMPARE(installer.error(), PackageInstaller::UnsafePathError);
    QVERIFY2(installer.errorString().contains(name), qPrintable(installer.errorString()));
    QCOMPARE(TestFiles::tree(m_app), before);
}

void TestPackageInstaller::unchangedFileStaysInPlace_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<unsigned>("mode");
    QTest::addColumn<bool>("stays");
    QTest::newRow("same bytes and mode") << QByteArray("v1 lib") << 0644u << true;
    QTest::newRow("same bytes, other mode") << QByteArray("v1 lib") << 0755u << false;
    QTest::newRow("same size, other bytes") << QByteArray("v2 lib") << 0644u << false;
}

// Only what changed is moved, and so only what changed is kept for a return.
void TestPackageInstaller::unchangedFileStaysInPlace()
{
    QFETCH(QByteArray, content);
    QFETCH(unsigned, mode);
    QFETCH(bool, stays);
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("app"), "v1"), ZipItem::file(QStringLiteral("lib/x.so"), "v1 lib")}),
             QString());
    QVERIFY(PackageInstaller(m_package, m_app).run());
    const QString lib = m_app + QStringLiteral("/lib/x.so");
    const quint64 before = TestFiles::inode(lib);

    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("app"), "v2"), ZipItem::file(QStringLiteral("lib/x.so"), content, mode)}),
             QString());
    PackageInstaller installer(m_package, m_app);
    installer.setKeepReplaced(true);
    installer.setComplete(true);
    QVERIFY(installer.run());
    QCOMPARE(TestFiles::inode(lib) == before, stays);
    QCOMPARE(TestFiles::read(lib), content);
    QCOMPARE(modeOf(lib), mode);
    const QString backup = m_app + QLatin1Char('/') + InstallJournal::keptBackupIn(m_app);
    QCOMPARE(QFileInfo::exists(backup + QStringLiteral("/lib/x.so")), !stays);
    QCOMPARE(TestFiles::read(backup + QStringLiteral("/app")), QByteArray("v1"));
    // Still one of the files this version brought: a later complete package without it removes it.
    bool found = false;
    QVERIFY(InstallJournal::recordedFiles(m_app, &found).contains(QStringLiteral("lib/x.so")));
    QVERIFY(found);
}

void TestPackageInstaller::versionIsStoredWhileJournalIsDone_data()
{
    QTest::addColumn<bool>("storeWorks");
    QTest::newRow("stored") << true;
    QTest::newRow("store fails") << false;
}

void TestPackageInstaller::versionIsStoredWhileJournalIsDone()
{
    QFETCH(bool, storeWorks);
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/a.txt"), "old a"));
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "new a"),
                          ZipItem::file(QStringLiteral("sub/b.txt"), "new b")}),
             QString());
    PackageInstaller installer(m_package, m_app);
    installer.setVersionCodes(7, 8);
    QList<int> stored;
    QStringList seenAtStore;
    installer.setVersionStore([&](int code) {
        stored << code;
        const QJsonObject journal = QJsonDocument::fromJson(TestFiles::read(InstallJournal::pathIn(m_app))).object();
        seenAtStore << journal.value(QStringLiteral("state")).toString() << TestFiles::read(m_app + QStringLiteral("/a.txt"))
                    << TestFiles::read(m_app + QStringLiteral("/sub/b.txt"));
        return storeWorks;
    });
    QStringList steps;
    installer.setLogger([&](const QString &line) { steps << line; });
    QVERIFY(installer.run());
    QCOMPARE(stored, QList<int>({8}));
    QCOMPARE(seenAtStore, QStringList({QStringLiteral("done"), QStringLiteral("new a"), QStringLiteral("new b")}));
    QVERIFY2(steps.size() >= 3, qPrintable(steps.join('\n')));
    QCOMPARE(InstallJournal::existsIn(m_app), !storeWorks);
    if (!storeWorks) {
        QCOMPARE(installer.warnings().size(), 1);
        // The next start stores the code from the journal and finishes.
        QList<int> storedAtStart;
        QCOMPARE(Recovery::recover(m_app, [&](int code) {
                     storedAtStart << code;
                     return true;
                 }),
                 Recovery::Result::Finished);
        QCOMPARE(storedAtStart, QList<int>({8}));
    }
    QStringList expected({QStringLiteral("a.txt"), QStringLiteral("sub")});
    if (!storeWorks) {
        // The start ends the installation as an uninterrupted one would: the replaced file is kept.
        const QString backup = InstallJournal::keptBackupIn(m_app);
        QVERIFY(backup.startsWith(InstallJournal::backupPrefix()));
        QCOMPARE(TestFiles::read(m_app + QLatin1Char('/') + backup + QStringLiteral("/a.txt")), QByteArray("old a"));
        expected = QStringList({backup, QStringLiteral(".update-kept")}) + expected;
    }
    QCOMPARE(QDir(m_app).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), expected);
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/a.txt")), QByteArray("new a"));
}

void TestPackageInstaller::cutOffMovesAreRecovered_data()
{
    QTest::addColumn<int>("applied");      // moves done before the cut; -1: not even the folders
    QTest::addColumn<bool>("done");
    QTest::addColumn<int>("undoneBefore"); // moves an earlier, also cut-off recovery put back
    QTest::newRow("journal only") << -1 << false << 0;
    QTest::newRow("folders made") << 0 << false << 0;
    QTest::newRow("first move") << 1 << false << 0;
    QTest::newRow("replacement linked, not yet moved") << 100 << false << 0;
    QTest::newRow("two moves") << 2 << false << 0;
    QTest::newRow("all moves, not marked done") << 3 << false << 0;
    QTest::newRow("recovery cut off itself") << 3 << false << 1;
    QTest::newRow("marked done") << 3 << true << 0;
}

// A journal cut off at each point of its moves (a replacement, an added file in new folders, and
// a removal as putting kept files back needs): a start undoes it to the old tree, or finishes it.
void TestPackageInstaller::cutOffMovesAreRecovered()
{
    QFETCH(int, applied);
    QFETCH(bool, done);
    QFETCH(int, undoneBefore);
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/a.txt"), "old a"));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/keep/k.txt"), "k"));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/gone.txt"), "gone"));
    const QMap<QString, QByteArray> before = TestFiles::tree(m_app);
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/.update-staging-t/a.txt"), "new a"));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/.update-staging-t/new/dir/n.txt"), "n"));
    QVERIFY(QDir().mkpath(m_app + QStringLiteral("/.update-backup-t")));

    InstallJournal journal;
    journal.folder = m_app;
    journal.source = QStringLiteral(".update-staging-t");
    journal.backup = QStringLiteral(".update-backup-t");
    journal.fromVersion = 4;
    journal.toVersion = 5;
    journal.createdFolders = QStringList({QStringLiteral("new"), QStringLiteral("new/dir")});
    journal.entries = {{QStringLiteral("a.txt"), InstallJournal::Action::Put, true},
                       {QStringLiteral("new/dir/n.txt"), InstallJournal::Action::Put, false},
                       {QStringLiteral("gone.txt"), InstallJournal::Action::Remove, true}};
    const auto all = journal.entries;
    QString error;
    QVERIFY2(journal.save(&error), qPrintable(error));
    QSet<QString> touched;
    if (applied == 100) {
        // Cut between the hard link to the old file and the rename of the new one.
        QCOMPARE(::link(QFile::encodeName(m_app + QStringLiteral("/a.txt")).constData(),
                        QFile::encodeName(m_app + QStringLiteral("/.update-backup-t/a.txt")).constData()),
                 0);
    } else if (applied >= 0) {
        journal.entries.assign(all.begin(), all.begin() + applied);
        QVERIFY2(journal.apply(&error, &touched), qPrintable(error));
        journal.entries = all;
    }
    if (undoneBefore > 0) {
        InstallJournal partial = journal;
        partial.entries.assign(all.end() - undoneBefore, all.end());
        partial.createdFolders.clear();
        QStringList errors;
        QVERIFY2(partial.undo(&errors, &touched), qPrintable(errors.join('\n')));
    }
    if (done) {
        journal.state = InstallJournal::State::Done;
        QVERIFY2(journal.save(&error), qPrintable(error));
    }
    QList<int> stored;
    const Recovery::Result result = Recovery::recover(m_app, [&](int code) {
        stored << code;
        return true;
    });
    QVERIFY(!InstallJournal::existsIn(m_app));
    if (done) {
        QCOMPARE(result, Recovery::Result::Finished);
        QCOMPARE(stored, QList<int>({5}));
        QCOMPARE(TestFiles::read(m_app + QStringLiteral("/a.txt")), QByteArray("new a"));
        QCOMPARE(TestFiles::read(m_app + QStringLiteral("/new/dir/n.txt")), QByteArray("n"));
        QVERIFY(!QFile::exists(m_app + QStringLiteral("/gone.txt")));
        // Kept with its backup, for a return to the old version.
        QCOMPARE(QDir(m_app).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({QStringLiteral(".update-backup-t"), QStringLiteral(".update-kept"), QStringLiteral("a.txt"),
                              QStringLiteral("keep"), QStringLiteral("new")}));
        QCOMPARE(TestFiles::read(m_app + QStringLiteral("/.update-backup-t/a.txt")), QByteArray("old a"));
    } else {
        QCOMPARE(result, Recovery::Result::Undone);
        QCOMPARE(stored, QList<int>({4}));
        QCOMPARE(TestFiles::tree(m_app), before);
    }
}

void TestPackageInstaller::unreadableJournalStopsEverything()
{
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/a.txt"), "old a"));
    QVERIFY(TestFiles::write(InstallJournal::pathIn(m_app), "{\"format\":1,\"state\":\"mov"));
    const QMap<QString, QByteArray> before = TestFiles::tree(m_app);
    bool storeCalled = false;
    QCOMPARE(Recovery::recover(m_app, [&](int) { return storeCalled = true; }), Recovery::Result::Failed);
    QVERIFY(!storeCalled);
    // The marker stays, and no installation adds to a folder that may be mixed.
    QCOMPARE(makePackage({ZipItem::file(QStringLiteral("a.txt"), "new a")}), QString());
    PackageInstaller installer(m_package, m_app);
    QVERIFY(!installer.run());
    QCOMPARE(installer.error(), PackageInstaller::WriteError);
    QCOMPARE(TestFiles::tree(m_app), before);
}

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], childModeArg) == 0)
        return runInstallChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestPackageInstaller test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_packageinstaller.moc"
