#include "deviceconfig.h"
#include "processhelpers.h"
#include "testenvironment.h"
#include "updaterrun.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

// The real updater lowers its CPU priority before Qt starts a thread: every thread of the running
// process carries the nice value of "update/nice".

namespace {

// Field 19 of /proc/<pid>/task/<tid>/stat; the name in parentheses may hold spaces.
int niceOf(const QString &statPath)
{
    QFile file(statPath);
    if (!file.open(QIODevice::ReadOnly))
        return -100;
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 16 ? fields.at(16).toInt() : -100;
}

} // namespace

class TestUpdaterPriority : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyThreadRunsNiced_data();
    void everyThreadRunsNiced();
};

void TestUpdaterPriority::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    if (!QFile::exists(QStringLiteral("/proc/self/task")))
        QSKIP("no /proc");
}

void TestUpdaterPriority::everyThreadRunsNiced_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("level");
    QTest::newRow("default") << QVariant() << 10;
    QTest::newRow("15") << QVariant(15) << 15;
    QTest::newRow("above 19") << QVariant(40) << 19;
    QTest::newRow("0 leaves it") << QVariant(0) << 0;
    QTest::newRow("text leaves it") << QVariant(QStringLiteral("low")) << 0;
}

void TestUpdaterPriority::everyThreadRunsNiced()
{
    QFETCH(QVariant, stored);
    QFETCH(int, level);
    TestEnvironment env;
    QVERIFY(env.isValid());
    const QString socketName = TestEnvironment::uniqueSocketName(QStringLiteral("e2e-priority"));
    QVariantMap keys{{QStringLiteral("app/folder"), env.path() + QStringLiteral("/app")},
                     {QStringLiteral("update/directory"), env.path() + QStringLiteral("/work")},
                     {QStringLiteral("update/download"), 0},
                     {QStringLiteral("localserver/name"), socketName}};
    if (stored.isValid())
        keys.insert(QStringLiteral("update/nice"), stored);
    QVERIFY(DeviceConfig(env).write(DeviceConfig::Updater, keys));
    // A nice value is inherited and can only grow without privileges.
    const int own = ::getpriority(PRIO_PROCESS, 0);
    const int expected = level > 0 ? qMax(own, level) : own;

    UpdaterRun run(env.processEnvironment());
    QVERIFY2(run.waitUntilReady(10000), run.output().constData());
    const QString task = QStringLiteral("/proc/%1/task").arg(run.process.processId());
    const QStringList threads = QDir(task).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QVERIFY(!threads.isEmpty());
    const QString mainThread = QString::number(run.process.processId());
    QCOMPARE(niceOf(task + QLatin1Char('/') + mainThread + QStringLiteral("/stat")), expected);
    if (ProcessHelpers::isEmulated(run.process.processId()))
        QSKIP("other threads not checked under qemu-user: the emulator's own threads, started before the "
              "program, are not the program's to renice");
    for (const QString &tid : threads)
        QCOMPARE(niceOf(task + QLatin1Char('/') + tid + QStringLiteral("/stat")), expected);
    QVERIFY2(run.output().contains("nice value"), run.output().constData());

    QVERIFY(run.terminate());
    QLocalServer::removeServer(socketName);
}

QTEST_GUILESS_MAIN(TestUpdaterPriority)
#include "tst_updaterpriority.moc"
