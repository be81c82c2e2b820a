#include "fileops.h"
#include "recovery.h"
#include "packageinstaller.h"
#include "testfiles.h"
#include "testzip.h"
#include "versionrollback.h"

#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// An installation keeps what it replaced; a return puts exactly that back, also when it is cut off
// at any point and carried through by the next start.

namespace {

using Tree = QMap<QString, QByteArray>;

QStringList backupsIn(const QString &folder)
{
    return QDir(folder).entryList({InstallJournal::backupPrefix() + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden);
}

// Moves a folder of the application folder away and leaves a link to it in its place.
bool replaceByLink(const QString &folder, const QString &outside)
{
    return QDir().rename(folder, outside) && QFile::link(outside, folder);
}

} // namespace

class TestVersionRollback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void installKeepsAndRollbackRestores_data();
    void installKeepsAndRollbackRestores();
    void oneGenerationIsKept();
    void nothingToGoBackTo_data();
    void nothingToGoBackTo();
    void cutOffReturnIsCarriedThrough_data();
    void cutOffReturnIsCarriedThrough();
    void blockedReturnWaitsForTheNextStart();
    void completePackageRemovesWhatTheLastBrought_data();
    void completePackageRemovesWhatTheLastBrought();

private:
    bool install(const QList<ZipItem> &items, int from, int to, QString *error = nullptr, bool complete = false);
    bool installV2() { return install(m_v2, 1, 2); }
    VersionRollback::Result rollBack(VersionRollback &rollback);
    Recovery::Result recover();

    QScopedPointer<QTemporaryDir> m_tmp;
    QString m_app;
    Tree m_v1;
    QList<ZipItem> m_v2;
    QList<int> m_stored;
    QList<int> m_refused;
};

void TestVersionRollback::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestVersionRollback::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_app = m_tmp->filePath(QStringLiteral("app"));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/tovrel.exe"), "v1"));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/lib/a.so"), "a1"));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/lib/same.so"), "same"));
    // The user's own files, which no version contains.
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/config/user.ini"), "mine"));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/.hidden"), "hidden"));
    m_v1 = TestFiles::tree(m_app);
    // A changed file, an unchanged one, a changed one in a subfolder and added files in new folders.
    m_v2 = {ZipItem::file(QStringLiteral("tovrel.exe"), "v2", 0755), ZipItem::file(QStringLiteral("lib/a.so"), "a2"),
            ZipItem::file(QStringLiteral("lib/same.so"), "same"),
            ZipItem::file(QStringLiteral("plugins/extra/new.so"), "new"),
            ZipItem::file(QStringLiteral("plugins/extra/more/x.so"), "x")};
    m_stored.clear();
    m_refused.clear();
}

void TestVersionRollback::cleanup()
{
    m_tmp.reset();
}

bool TestVersionRollback::install(const QList<ZipItem> &items, int from, int to, QString *error, bool complete)
{
    const QString package = m_tmp->filePath(QStringLiteral("p%1.zip").arg(to));
    if (!writeZip(package, items).isEmpty())
        return false;
    PackageInstaller installer(package, m_app);
    installer.setVersionCodes(from, to);
    installer.setKeepReplaced(true);
    installer.setComplete(complete);
    const bool ok = installer.run();
    if (error)
        *error = installer.errorString();
    return ok;
}

VersionRollback::Result TestVersionRollback::rollBack(VersionRollback &rollback)
{
    rollback.setVersionStore([this](int code) {
        m_stored << code;
        return true;
    });
    rollback.setRefusalStore([this](int code) {
        m_refused << code;
        return true;
    });
    return rollback.run();
}

Recovery::Result TestVersionRollback::recover()
{
    return Recovery::recover(
        m_app,
        [this](int code) {
            m_stored << code;
            return true;
        },
        [this](int code) {
            m_refused << code;
            return true;
        });
}

void TestVersionRollback::installKeepsAndRollbackRestores_data()
{
    QTest::addColumn<bool>("runtimeFile");
    QTest::addColumn<bool>("insideLink");  // a sub-folder is a link to another folder of the application
    QTest::newRow("as installed") << false << false;
    // The new version wrote into a folder that came with it: that file is the user's.
    QTest::newRow("file written into a new folder") << true << false;
    // Accepted by the installer, so by the return as well.
    QTest::newRow("sub-folder is a link that stays inside") << false << true;
}

void TestVersionRollback::installKeepsAndRollbackRestores()
{
    QFETCH(bool, runtimeFile);
    QFETCH(bool, insideLink);
    if (insideLink) {
        QVERIFY(replaceByLink(m_app + QStringLiteral("/lib"), m_app + QStringLiteral("/real-lib")));
        m_v1 = TestFiles::tree(m_app);
    }
    QVERIFY(installV2());
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/tovrel.exe")), QByteArray("v2"));
    QVERIFY(!InstallJournal::existsIn(m_app));
    QVERIFY(InstallJournal::keptExistsIn(m_app));
    InstallJournal kept;
    QString error;
    QVERIFY2(kept.loadKept(m_app, &error), qPrintable(error));
    QCOMPARE(kept.fromVersion, 1);
    QCOMPARE(kept.toVersion, 2);
    QCOMPARE(backupsIn(m_app), QStringList({kept.backup}));
    QCOMPARE(kept.createdFolders, QStringList({QStringLiteral("plugins"), QStringLiteral("plugins/extra"),
                                               QStringLiteral("plugins/extra/more")}));
    QCOMPARE(TestFiles::read(m_app + QLatin1Char('/') + kept.backup + QStringLiteral("/tovrel.exe")), QByteArray("v1"));
    QCOMPARE(TestFiles::read(m_app + QLatin1Char('/') + kept.backup + QStringLiteral("/lib/a.so")), QByteArray("a1"));
    QVERIFY(QDir(m_app).entryList({InstallJournal::stagingPrefix() + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden).isEmpty());
    // A start finds nothing to do and leaves the kept generation alone.
    QCOMPARE(recover(), Recovery::Result::Nothing);
    QCOMPARE(backupsIn(m_app), QStringList({kept.backup}));

    Tree expected = m_v1;
    if (runtimeFile) {
        QVERIFY(TestFiles::write(m_app + QStringLiteral("/plugins/extra/cache.dat"), "runtime"));
        expected.insert(QStringLiteral("plugins"), "<dir>");
        expected.insert(QStringLiteral("plugins/extra"), "<dir>");
        expected.insert(QStringLiteral("plugins/extra/cache.dat"), QCryptographicHash::hash("runtime", QCryptographicHash::Md5));
    }
    VersionRollback rollback(m_app);
    QCOMPARE(rollBack(rollback), VersionRollback::Result::RolledBack);
    QCOMPARE(TestFiles::tree(m_app), expected);
    QCOMPARE(m_stored, QList<int>({1}));
    QCOMPARE(m_refused, QList<int>({2}));

    // Nothing is kept any more: a second return is refused.
    VersionRollback again(m_app);
    QCOMPARE(rollBack(again), VersionRollback::Result::NothingKept);
    QCOMPARE(TestFiles::tree(m_app), expected);
}

void TestVersionRollback::oneGenerationIsKept()
{
    QVERIFY(installV2());
    const QByteArray record = TestFiles::read(InstallJournal::keptPathIn(m_app));
    const QStringList backups = backupsIn(m_app);
    QCOMPARE(backups.size(), 1);
    const Tree v2 = TestFiles::tree(m_app);

    // The installed version once more (an installation on request after an automatic one) keeps
    // the generation that leads back to version 1.
    QVERIFY(install(m_v2, 2, 2));
    QCOMPARE(TestFiles::tree(m_app), v2);
    // So does a start that finds such a repeat cut off after its moves.
    InstallJournal repeat;
    repeat.folder = m_app;
    repeat.source = InstallJournal::stagingPrefix() + QStringLiteral("r");
    repeat.backup = InstallJournal::backupPrefix() + QStringLiteral("r");
    repeat.fromVersion = 2;
    repeat.toVersion = 2;
    repeat.state = InstallJournal::State::Done;
    repeat.entries = {{QStringLiteral("tovrel.exe"), InstallJournal::Action::Put, true}};
    QVERIFY(QDir().mkpath(repeat.full(repeat.source)) && QDir().mkpath(repeat.full(repeat.backup)));
    QVERIFY(FileOps::keepAs(repeat.full(QStringLiteral("tovrel.exe")), repeat.full(repeat.backup + QStringLiteral("/tovrel.exe"))));
    QString error;
    QVERIFY2(repeat.save(&error), qPrintable(error));
    QCOMPARE(recover(), Recovery::Result::Finished);
    QCOMPARE(TestFiles::tree(m_app), v2);
    QCOMPARE(m_stored, QList<int>({2}));
    m_stored.clear();

    // A refused package leaves the kept generation alone; it may not plant a record of its own.
    QVERIFY(!install({ZipItem::file(QStringLiteral("tovrel.exe"), "v3"), ZipItem::file(QStringLiteral(".update-kept"), "{}")},
                     2, 3, &error));
    QVERIFY2(error.contains(QStringLiteral(".update-kept")), qPrintable(error));
    QCOMPARE(TestFiles::tree(m_app), v2);

    QVERIFY(install({ZipItem::file(QStringLiteral("tovrel.exe"), "v3")}, 2, 3));
    QVERIFY(TestFiles::read(InstallJournal::keptPathIn(m_app)) != record);
    const QStringList now = backupsIn(m_app);
    QCOMPARE(now.size(), 1);
    QVERIFY(now != backups);
    InstallJournal kept;
    QVERIFY2(kept.loadKept(m_app, &error), qPrintable(error));
    QCOMPARE(kept.backup, now.first());
    QCOMPARE(kept.fromVersion, 2);

    // The return goes one step back only.
    VersionRollback rollback(m_app);
    QCOMPARE(rollBack(rollback), VersionRollback::Result::RolledBack);
    Tree expected = v2;
    expected.remove(QStringLiteral(".update-kept"));
    expected.remove(backups.first());
    for (auto it = v2.cbegin(); it != v2.cend(); ++it) {
        if (it.key().startsWith(backups.first() + QLatin1Char('/')))
            expected.remove(it.key());
    }
    QCOMPARE(TestFiles::tree(m_app), expected);
    QCOMPARE(m_stored, QList<int>({2}));
    QCOMPARE(m_refused, QList<int>({3}));
}

void TestVersionRollback::nothingToGoBackTo_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("nothing kept") << "none";
    QTest::newRow("last installation only added files") << "added";
    QTest::newRow("a kept file is missing") << "missing";
    QTest::newRow("unreadable record") << "unreadable";
    QTest::newRow("unfinished journal") << "journal";
    QTest::newRow("kept backup replaced by a link") << "backup link";
    QTest::newRow("sub-folder replaced by a link that leads out") << "folder link";
}

void TestVersionRollback::nothingToGoBackTo()
{
    QFETCH(QString, situation);
    if (situation == QLatin1String("added")) {
        QVERIFY(install({ZipItem::file(QStringLiteral("plugins/new.so"), "new")}, 1, 2));
    } else if (situation != QLatin1String("none")) {
        QVERIFY(installV2());
        InstallJournal kept;
        QString error;
        QVERIFY2(kept.loadKept(m_app, &error), qPrintable(error));
        if (situation == QLatin1String("missing"))
            QVERIFY(QFile::remove(m_app + QLatin1Char('/') + kept.backup + QStringLiteral("/lib/a.so")));
        else if (situation == QLatin1String("unreadable"))
            QVERIFY(TestFiles::write(InstallJournal::keptPathIn(m_app), "{\"format\":1,\"sta"));
        else if (situation.endsWith(QLatin1String(" link")))
            QVERIFY(replaceByLink(m_app + QLatin1Char('/') + (situation == QLatin1String("backup link") ? kept.backup : QStringLiteral("lib")),
                                  m_tmp->filePath(QStringLiteral("outside"))));
        else
            QVERIFY(TestFiles::write(InstallJournal::pathIn(m_app), "{}"));
    }
    const Tree before = TestFiles::tree(m_app);
    const Tree outside = TestFiles::tree(m_tmp->filePath(QStringLiteral("outside")));
    VersionRollback rollback(m_app);
    QCOMPARE(rollBack(rollback), VersionRollback::Result::NothingKept);
    QVERIFY(!rollback.errorString().isEmpty());
    QCOMPARE(TestFiles::tree(m_app), before);
    QVERIFY(m_stored.isEmpty());
    QVERIFY(m_refused.isEmpty());
    if (situation == QLatin1String("backup link")) {
        // A commit drops the link, not what it points to.
        QString error;
        QVERIFY2(InstallJournal::dropKept(m_app, &error), qPrintable(error));
        QVERIFY(backupsIn(m_app).isEmpty());
    }
    QCOMPARE(TestFiles::tree(m_tmp->filePath(QStringLiteral("outside"))), outside);
}

void TestVersionRollback::cutOffReturnIsCarriedThrough_data()
{
    QTest::addColumn<int>("moved");        // entries carried out before the cut
    QTest::addColumn<bool>("halfPut");     // the next file left has its second name, not yet moved
    QTest::addColumn<bool>("done");
    QTest::addColumn<bool>("recordGone");  // the kept record was already removed
    QTest::addColumn<bool>("linkedFolder"); // a start first finds a sub-folder replaced by a link
    QTest::newRow("journal only") << 0 << false << false << false << false;
    QTest::newRow("first file back") << 1 << false << false << false << false;
    QTest::newRow("second file linked, not moved") << 1 << true << false << false << false;
    QTest::newRow("middle") << 3 << false << false << false << false;
    QTest::newRow("all moves, folders left") << 4 << false << false << false << false;
    QTest::newRow("marked done") << 4 << false << true << false << false;
    QTest::newRow("done, record removed") << 4 << false << true << true << false;
    QTest::newRow("sub-folder is a link that leads out") << 0 << false << false << false << true;
}

void TestVersionRollback::cutOffReturnIsCarriedThrough()
{
    QFETCH(int, moved);
    QFETCH(bool, halfPut);
    QFETCH(bool, done);
    QFETCH(bool, recordGone);
    QFETCH(bool, linkedFolder);
    QVERIFY(installV2());
    VersionRollback rollback(m_app);
    QVERIFY2(rollback.prepare(), qPrintable(rollback.errorString()));
    InstallJournal journal = rollback.journal();
    // lib/same.so stayed in place at the installation: there is nothing to return for it.
    QCOMPARE(int(journal.entries.size()), 4);
    QCOMPARE(journal.kind, InstallJournal::Kind::Rollback);
    QString error;
    QVERIFY2(journal.save(&error), qPrintable(error));

    InstallJournal partial = journal;
    partial.entries.assign(journal.entries.begin(), journal.entries.begin() + moved);
    partial.createdFolders.clear();
    QStringList errors;
    QSet<QString> touched;
    QVERIFY2(VersionRollback::rollForward(partial, &errors, &touched), qPrintable(errors.join('\n')));
    if (halfPut) {
        const InstallJournal::Entry &next = journal.entries.at(size_t(moved));
        QCOMPARE(next.action, InstallJournal::Action::Put);
        const QString second = journal.full(journal.backup + QLatin1Char('/') + next.path);
        QVERIFY(QDir().mkpath(QFileInfo(second).path()));
        QVERIFY(FileOps::keepAs(journal.full(next.path), second));
    }
    if (done) {
        journal.state = InstallJournal::State::Done;
        QVERIFY2(journal.save(&error), qPrintable(error));
    }
    if (recordGone)
        QVERIFY(QFile::remove(InstallJournal::keptPathIn(m_app)));
    if (linkedFolder) {
        // Nothing is written or removed through the link; the journal waits until it is gone.
        const QString lib = m_app + QStringLiteral("/lib");
        const QString outside = m_tmp->filePath(QStringLiteral("outside"));
        QVERIFY(replaceByLink(lib, outside));
        const Tree outsideBefore = TestFiles::tree(outside);
        QCOMPARE(recover(), Recovery::Result::Failed);
        QVERIFY(InstallJournal::existsIn(m_app));
        QCOMPARE(TestFiles::tree(outside), outsideBefore);
        QVERIFY(QFile::remove(lib) && QDir().rename(outside, lib));
    }

    QCOMPARE(recover(), Recovery::Result::RolledBack);
    QCOMPARE(TestFiles::tree(m_app), m_v1);
    QCOMPARE(m_stored, QList<int>({1}));
    QCOMPARE(m_refused, QList<int>({2}));
}

// A return that cannot finish leaves its journal (the marker) for the next start, which carries it
// through once the obstacle is gone.
void TestVersionRollback::blockedReturnWaitsForTheNextStart()
{
    QVERIFY(installV2());
    QVERIFY(QFile::remove(m_app + QStringLiteral("/tovrel.exe")));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/tovrel.exe/inside"), "in the way"));
    VersionRollback rollback(m_app);
    QCOMPARE(rollBack(rollback), VersionRollback::Result::Failed);
    QVERIFY2(rollback.errorString().contains(QStringLiteral("tovrel.exe")), qPrintable(rollback.errorString()));
    QVERIFY(InstallJournal::existsIn(m_app));
    QVERIFY(InstallJournal::keptExistsIn(m_app));
    QVERIFY(m_stored.isEmpty());
    // The rest was carried out, and the blocking folder was not moved aside.
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/lib/a.so")), QByteArray("a1"));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/tovrel.exe/inside")), QByteArray("in the way"));

    QCOMPARE(recover(), Recovery::Result::Failed);
    QVERIFY(InstallJournal::existsIn(m_app));

    QVERIFY(QDir(m_app + QStringLiteral("/tovrel.exe")).removeRecursively());
    QCOMPARE(recover(), Recovery::Result::RolledBack);
    QCOMPARE(TestFiles::tree(m_app), m_v1);
    QCOMPARE(m_stored, QList<int>({1}));
    QCOMPARE(m_refused, QList<int>({2}));
}

void TestVersionRollback::completePackageRemovesWhatTheLastBrought_data()
{
    QTest::addColumn<QString>("road");
    QTest::newRow("installed, then rolled back") << "rollback";
    QTest::newRow("cut off before done, undone at start") << "moving";
    QTest::newRow("cut off after done, finished at start") << "done";
    QTest::newRow("overlay package") << "overlay";
}

// A complete package removes the files that the previous complete one brought and it lacks, and
// never a file that no package brought; a return, an undo and a recovery each leave one whole version.
void TestVersionRollback::completePackageRemovesWhatTheLastBrought()
{
    QFETCH(QString, road);
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/old/v1-only.dat"), "v1"));
    // No record yet (the first installation after the change): nothing is removed.
    QVERIFY(install(m_v2, 1, 2, nullptr, true));
    QCOMPARE(TestFiles::read(m_app + QStringLiteral("/old/v1-only.dat")), QByteArray("v1"));
    bool found = false;
    QCOMPARE(InstallJournal::recordedFiles(m_app, &found).size(), m_v2.size());
    QVERIFY(found);
    QString error;
    QVERIFY2(InstallJournal::dropKept(m_app, &error), qPrintable(error));
    QVERIFY(TestFiles::write(m_app + QStringLiteral("/plugins/extra/cache.dat"), "written by the application"));
    const Tree v2 = TestFiles::tree(m_app);

    const bool complete = road != QLatin1String("overlay");
    QVERIFY(install({ZipItem::file(QStringLiteral("tovrel.exe"), "v3"), ZipItem::file(QStringLiteral("lib/same.so"), "same")},
                    2, 3, &error, complete));
    Tree v3 = v2;
    v3.insert(QStringLiteral("tovrel.exe"), QCryptographicHash::hash("v3", QCryptographicHash::Md5));
    if (complete) {
        for (const char *gone : {"lib/a.so", "plugins/extra/new.so", "plugins/extra/more/x.so"})
            v3.remove(QLatin1String(gone));
        v3.insert(InstallJournal::recordName(), TestFiles::versionTree(m_app).value(InstallJournal::recordName()));
        QCOMPARE(InstallJournal::recordedFiles(m_app, &found), QStringList({QStringLiteral("lib/same.so"), QStringLiteral("tovrel.exe")}));
    }
    QCOMPARE(TestFiles::versionTree(m_app), v3);
    if (road == QLatin1String("overlay"))
        return;

    if (road == QLatin1String("rollback")) {
        VersionRollback rollback(m_app);
        QCOMPARE(rollBack(rollback), VersionRollback::Result::RolledBack);
        QCOMPARE(TestFiles::tree(m_app), v2);
        return;
    }
    // The kept record is the journal as it was at the end of the moves.
    InstallJournal journal;
    QVERIFY2(journal.loadKept(m_app, &error), qPrintable(error));
    const bool done = road == QLatin1String("done");
    journal.state = done ? InstallJournal::State::Done : InstallJournal::State::Moving;
    QVERIFY2(journal.save(&error), qPrintable(error));
    QVERIFY(QFile::remove(InstallJournal::keptPathIn(m_app)));
    QCOMPARE(recover(), done ? Recovery::Result::Finished : Recovery::Result::Undone);
    // Finished keeps a generation to return to; undone leaves nothing behind.
    QCOMPARE(done ? TestFiles::versionTree(m_app) : TestFiles::tree(m_app), done ? v3 : v2);
    QCOMPARE(m_stored, QList<int>({done ? 3 : 2}));
}

QTEST_GUILESS_MAIN(TestVersionRollback)
#include "tst_versionrollback.moc"
