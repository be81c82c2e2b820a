#include "deviceconfig.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "testzip.h"
#include "updateinfobuilder.h"
#include "updaterrun.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

// The real updater killed with SIGKILL at many moments of a real installation, then started
// again: the application folder must always hold the old version or the new one, with
// "app/version" naming it, also when the package was removed in between.

namespace {

using Tree = QMap<QString, QByteArray>;

const int filesPerPackage = 2000;
const int privateFiles = 20;
const char markerName[] = ".update-journal";
const char keptName[] = ".update-kept";
const char backupPrefix[] = ".update-backup-";

QString firstDifference(const Tree &a, const Tree &b)
{
    for (auto it = a.cbegin(); it != a.cend(); ++it) {
        if (b.value(it.key()) != it.value())
            return it.key();
    }
    for (auto it = b.cbegin(); it != b.cend(); ++it) {
        if (!a.contains(it.key()))
            return it.key();
    }
    return QString();
}

// The first file entry of a zip's central directory: the first file the installer moves.
QString firstFileEntry(const QString &zipPath)
{
    for (const QString &name : zipEntryNames(zipPath)) {
        if (!name.endsWith(QLatin1Char('/')))
            return name;
    }
    return QString();
}

quint64 inodeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
}

} // namespace

class TestInstallKill : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void killAnywhereLeavesOldOrNew();

private:
    void makePackage(int which);
    // The kept record names the only backup folder, which holds the replaced version's files.
    void checkKept(int from, int to, const Tree &replaced);
    void announce(int which, int versionCode);
    int storedVersion();

    QScopedPointer<QTemporaryDir> m_tmp;
    QScopedPointer<TestEnvironment> m_env;
    QString m_app;
    QString m_work;
    QString m_socketName;
    QString m_zips[2];
    QString m_firstEntry[2];
    Tree m_trees[2];
};

void TestInstallKill::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    if (QStandardPaths::findExecutable(QStringLiteral("zip")).isEmpty())
        QSKIP("zip is not installed");
    // Creating a file costs about a millisecond on the build machines' disks, and the updater
    // stages thousands per run: the tries go to memory where there is a tmpfs. The ordering
    // under test is the same on every file system; syncfs and fsync just return sooner there.
    const QString shm = QStringLiteral("/dev/shm");
    const QFileInfo shmInfo(shm);
    const QString base = shmInfo.isDir() && shmInfo.isWritable() ? shm : QDir::tempPath();
    m_tmp.reset(new QTemporaryDir(base + QStringLiteral("/tovrel-installkill-XXXXXX")));
    QVERIFY(m_tmp->isValid());
    qInfo() << "working in" << m_tmp->path();
    m_env.reset(new TestEnvironment);
    QVERIFY(m_env->isValid());
    m_app = m_tmp->filePath(QStringLiteral("app"));
    m_work = m_tmp->filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkpath(m_work + QStringLiteral("/download")));
    makePackage(0);
    makePackage(1);

    m_socketName = TestEnvironment::uniqueSocketName(QStringLiteral("installkill"));
    QVariantMap keys = DeviceConfig::updaterKeys(m_app, m_work, QStringLiteral("http://127.0.0.1:9/update"),
                                                 QStringLiteral("linux"), m_socketName);
    keys.insert(QStringLiteral("app/version"), 100);
    keys.insert(QStringLiteral("update/download"), 0);
    // What is tested is the order of the moves: at the default nice value a loaded CI machine starves
    // the restarted updater past any sensible wait.
    keys.insert(QStringLiteral("update/nice"), 0);
    QVERIFY(DeviceConfig(*m_env).write(DeviceConfig::Updater, keys));
}

void TestInstallKill::cleanupTestCase()
{
    if (!m_socketName.isEmpty())
        QLocalServer::removeServer(m_socketName);
}

// Two versions of one application: the same paths with other contents, plus a folder of their own.
void TestInstallKill::makePackage(int which)
{
    const QString source = m_tmp->filePath(QStringLiteral("source%1").arg(which));
    QVERIFY(TestFiles::write(source + QStringLiteral("/tovrel.exe"), "#!/bin/sh\necho " + QByteArray::number(which) + '\n'));
    for (int i = 0; i < filesPerPackage; ++i) {
        const QByteArray line = "version " + QByteArray::number(which) + " file " + QByteArray::number(i) + '\n';
        QVERIFY(TestFiles::write(source + QStringLiteral("/lib/d%1/f%2.dat").arg(i / 100).arg(i), line.repeated(1 + i % 7)));
    }
    for (int i = 0; i < privateFiles; ++i)
        QVERIFY(TestFiles::write(source + QStringLiteral("/only%1/sub/p%2.dat").arg(which).arg(i), "private"));
    m_zips[which] = m_tmp->filePath(QStringLiteral("package%1.zip").arg(which));
    QProcess zip;
    zip.setWorkingDirectory(source);
    zip.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-0"), m_zips[which], QStringLiteral(".")});
    QVERIFY(zip.waitForFinished(60000));
    QCOMPARE(zip.exitCode(), 0);
    m_firstEntry[which] = firstFileEntry(m_zips[which]);
    QVERIFY(!m_firstEntry[which].isEmpty());
    m_trees[which] = TestFiles::tree(source);
    if (which == 0)
        QVERIFY(QDir().rename(source, m_app));
}

// The package of version `which` under a new version code, verified and waiting in the work folder.
void TestInstallKill::announce(int which, int versionCode)
{
    const QString name = QStringLiteral("app-%1.zip").arg(versionCode);
    QVERIFY(UpdateInfoBuilder(QStringLiteral("linux"), versionCode, name, TestFiles::read(m_zips[which]))
                .link(QStringLiteral("http://127.0.0.1:9/update/") + name)
                .placeReadyPackage(m_work));
}

void TestInstallKill::checkKept(int from, int to, const Tree &replaced)
{
    const QJsonObject kept = QJsonDocument::fromJson(TestFiles::read(m_app + QLatin1Char('/') + QLatin1String(keptName))).object();
    QCOMPARE(kept.value(QStringLiteral("state")).toString(), QStringLiteral("done"));
    QCOMPARE(kept.value(QStringLiteral("from")).toInt(), from);
    QCOMPARE(kept.value(QStringLiteral("to")).toInt(), to);
    const QString backup = kept.value(QStringLiteral("backup")).toString();
    QCOMPARE(QDir(m_app).entryList({QLatin1String(backupPrefix) + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden),
             QStringList({backup}));
    const QString exe = QStringLiteral("tovrel.exe");
    QCOMPARE(QCryptographicHash::hash(TestFiles::read(m_app + QLatin1Char('/') + backup + QLatin1Char('/') + exe),
                                      QCryptographicHash::Md5),
             replaced.value(exe));
}

int TestInstallKill::storedVersion()
{
    return DeviceConfig(*m_env).value(DeviceConfig::Updater, QStringLiteral("app/version")).toInt();
}

void TestInstallKill::killAnywhereLeavesOldOrNew()
{
    int current = 0;
    Tree currentTree = m_trees[0];
    QCOMPARE(TestFiles::tree(m_app), currentTree);

    // One installation left alone: its length spreads the random kills over the whole run.
    QElapsedTimer clock;
    announce(1, storedVersion() + 1);
    clock.start();
    {
        UpdaterRun run(m_env->processEnvironment(), {QStringLiteral("--update"), QStringLiteral("1")});
        QVERIFY(run.process.waitForFinished(30000));
        QVERIFY2(run.process.exitCode() == 0, run.output().constData());
        QVERIFY2(run.output().contains("journal kept as"), run.output().constData());
    }
    const qint64 fullRunMs = clock.elapsed();
    qInfo() << "uninterrupted installation run:" << fullRunMs << "ms";
    Tree expected = currentTree;
    for (auto it = m_trees[1].cbegin(); it != m_trees[1].cend(); ++it)
        expected.insert(it.key(), it.value());
    QCOMPARE(TestFiles::versionTree(m_app), expected);
    QCOMPARE(storedVersion(), 101);
    checkKept(100, 101, currentTree);
    QVERIFY(QDir(m_app + QStringLiteral("/only0")).removeRecursively());
    current = 1;
    currentTree = m_trees[1];

    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    const int minimumTries = 8;
    const int maximumTries = 60;
    const qint64 budgetMs = 20000;
    int tries = 0;
    int ended[2] = {0, 0};          // old, new
    int inMoves = 0;
    int inDone = 0;
    int inStaging = 0;
    int elsewhere = 0;
    int firstMoveTries = 0;
    int packageRemoved = 0;
    QList<int> movedAtKill;
    clock.restart();
    while (tries < maximumTries && (tries < minimumTries || clock.elapsed() < budgetMs)) {
        ++tries;
        const int next = 1 - current;
        const int oldVersion = storedVersion();
        announce(next, oldVersion + 1);
        const bool atFirstMove = tries % 3 == 0;
        const QString watched = m_app + QLatin1Char('/') + m_firstEntry[next];
        const quint64 inodeBefore = inodeOf(watched);
        const int delayMs = int(random.bounded(quint32(fullRunMs) + 1));
        {
            UpdaterRun run(m_env->processEnvironment(), {QStringLiteral("--update"), QStringLiteral("1")});
            QVERIFY(run.process.waitForStarted());
            const pid_t pid = pid_t(run.process.processId());
            if (atFirstMove) {
                ++firstMoveTries;
                // Polled without pause: the kill follows the first rename within microseconds.
                QElapsedTimer limit;
                limit.start();
                while (inodeOf(watched) == inodeBefore && limit.elapsed() < 20000
                       && run.process.state() == QProcess::Running) {
                }
            } else {
                QTest::qWait(delayMs);
            }
            // A run may end before its delay does. Never kill(0, ...): that is this test's own group.
            if (run.process.state() != QProcess::NotRunning && pid > 0) {
                ::kill(pid, SIGKILL);
                QVERIFY(run.process.waitForFinished(10000));
            }
        }

        // Where the kill landed.
        const QString journalPath = m_app + QLatin1Char('/') + QLatin1String(markerName);
        if (QFile::exists(journalPath)) {
            const QJsonObject journal = QJsonDocument::fromJson(TestFiles::read(journalPath)).object();
            if (journal.value(QStringLiteral("state")).toString() == QLatin1String("done")) {
                ++inDone;
            } else {
                ++inMoves;
                const QString staging = m_app + QLatin1Char('/') + journal.value(QStringLiteral("source")).toString();
                int left = 0;
                QDirIterator it(staging, QDir::Files, QDirIterator::Subdirectories);
                while (it.hasNext()) {
                    it.next();
                    ++left;
                }
                movedAtKill << journal.value(QStringLiteral("entries")).toArray().size() - left;
            }
        } else if (!QDir(m_app).entryList({QStringLiteral(".update-staging-*")}, QDir::Dirs | QDir::Hidden).isEmpty()) {
            ++inStaging;
        } else {
            ++elsewhere;
        }
        if (random.bounded(3) == 0) {
            ++packageRemoved;
            QDir download(m_work + QStringLiteral("/download"));
            for (const QString &name : download.entryList(QDir::Files))
                QVERIFY(download.remove(name));
        }

        // The next start, which installs nothing itself: what it finds is what recovery left.
        {
            UpdaterRun run(m_env->processEnvironment(), {QStringLiteral("--update"), QStringLiteral("0")});
            QVERIFY2(run.waitUntilReady(60000), run.output().constData());
            run.process.terminate();
            QVERIFY(run.process.waitForFinished(10000));
        }
        QVERIFY(!QFile::exists(journalPath));
        const Tree now = TestFiles::versionTree(m_app);
        const bool kept = QFile::exists(m_app + QLatin1Char('/') + QLatin1String(keptName));
        Tree newTree = currentTree;
        for (auto it = m_trees[next].cbegin(); it != m_trees[next].cend(); ++it)
            newTree.insert(it.key(), it.value());
        if (now == currentTree) {
            ++ended[0];
            QCOMPARE(storedVersion(), oldVersion);
            // Cut off before the new installation dropped the previous kept generation, or after.
            if (kept)
                checkKept(oldVersion - 1, oldVersion, m_trees[next]);
            else
                QVERIFY(QDir(m_app).entryList({QLatin1String(backupPrefix) + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden).isEmpty());
        } else if (now == newTree) {
            ++ended[1];
            QCOMPARE(storedVersion(), oldVersion + 1);
            QVERIFY(kept);
            checkKept(oldVersion, oldVersion + 1, currentTree);
            // Back to exactly the package's tree, so that the next installation creates a folder again.
            QVERIFY(QDir(m_app + QStringLiteral("/only%1").arg(current)).removeRecursively());
            current = next;
            currentTree = m_trees[next];
            QCOMPARE(TestFiles::versionTree(m_app), currentTree);
        } else {
            QFAIL(qPrintable(QStringLiteral("try %1 (seed %2): a mix of versions, first differing entry %3 / %4")
                                 .arg(tries).arg(seed).arg(firstDifference(now, currentTree), firstDifference(now, newTree))));
        }
    }
    std::sort(movedAtKill.begin(), movedAtKill.end());
    qInfo().noquote() << QStringLiteral("seed %1, full installation run %2 ms, %3 tries in %4 ms: %5 old, %6 new; "
                                        "kills in the move phase %7 (files moved at the kill: %8), after the moves %9, "
                                        "while staging %10, elsewhere %11; %12 tries killed at the first move; "
                                        "package removed before the restart in %13")
                             .arg(seed).arg(fullRunMs).arg(tries).arg(clock.elapsed()).arg(ended[0]).arg(ended[1])
                             .arg(inMoves).arg([&] {
                                 QStringList list;
                                 for (int n : movedAtKill)
                                     list << QString::number(n);
                                 return list.join(QLatin1Char(','));
                             }())
                             .arg(inDone).arg(inStaging).arg(elsewhere).arg(firstMoveTries).arg(packageRemoved);
    QCOMPARE(ended[0] + ended[1], tries);
    // Without kills inside the moves this test would prove nothing about them.
    QVERIFY(inMoves >= firstMoveTries / 2);
    QVERIFY(inMoves > 0);
}

QTEST_GUILESS_MAIN(TestInstallKill)
#include "tst_installkill.moc"
