#include "childrun.h"
#include "settingsstore.h"
#include "testenvironment.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
// One run of the real updater binary with a private settings store.
struct Run : ChildRun
{
    explicit Run(const TestEnvironment &env)
        : ChildRun(privateTmp(env))
    {
    }
    // A private temporary folder gives the default local server name a socket of its own.
    static QProcessEnvironment privateTmp(const TestEnvironment &env)
    {
        QProcessEnvironment environment = env.processEnvironment();
        QDir().mkpath(env.path() + QStringLiteral("/tmp"));
        environment.insert(QStringLiteral("TMPDIR"), env.path() + QStringLiteral("/tmp"));
        return environment;
    }
    void start(const QStringList &arguments) { process.start(QStringLiteral(UPDATER_BIN), arguments); }
    bool signalAndWait(int signal)
    {
        ::kill(pid_t(process.processId()), signal);
        return process.waitForFinished(10000);
    }
};

const QString settingsLinePrefix = QStringLiteral("updater settings: ");
}

class TestEntry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void optionsAreStoredAndSigtermEndsCleanly();
    void nonNumericValuesCountAsZero();
    void usageErrorsLeaveSettingsUntouched_data();
    void usageErrorsLeaveSettingsUntouched();
    void updateOneEndsAfterOneInstallation();
    void updateTwoStaysResident();
    void downloadAndUpdateTakesTheDownloadPath();
    void helpAndVersion();
    void survivesClosedStandardOutput();
};

void TestEntry::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(QFile::exists(QStringLiteral(UPDATER_BIN)));
}

void TestEntry::optionsAreStoredAndSigtermEndsCleanly()
{
    TestEnvironment env;
    Run run(env);
    run.start({QStringLiteral("--download"), QStringLiteral("1"), QStringLiteral("--update"), QStringLiteral("0"),
               QStringLiteral("--versioncode"), QStringLiteral("500"), QStringLiteral("--link"),
               QStringLiteral("http://127.0.0.1:9/up"), QStringLiteral("--dir"), QStringLiteral("/opt/tovrel app")});
    QVERIFY(run.waitForLine(QStringLiteral("[Debug] check download app only")));
    QVERIFY(run.signalAndWait(SIGTERM));
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), 0);

    const QStringList lines = run.lines();
    QVERIFY(lines.first().startsWith(settingsLinePrefix));
    QCOMPARE(lines.first().mid(settingsLinePrefix.size()), env.settingsFile(QStringLiteral("updater")));
    QCOMPARE(lines.at(1), QStringLiteral("[Debug] [Settings] set appFolder"));
    QCOMPARE(lines.last(), QStringLiteral("[Debug] exit handler code: 15"));

    const auto storeOwner = SettingsStore::openFile(env.settingsFile(QStringLiteral("updater")));
    QSettings &stored = *storeOwner;
    QCOMPARE(stored.value(QStringLiteral("update/download")).toInt(), 1);
    QCOMPARE(stored.value(QStringLiteral("update/update")).toInt(), 0);
    QCOMPARE(stored.value(QStringLiteral("app/version")).toInt(), 500);
    QCOMPARE(stored.value(QStringLiteral("update/link")).toString(), QStringLiteral("http://127.0.0.1:9/up"));
    QCOMPARE(stored.value(QStringLiteral("app/folder")).toString(), QStringLiteral("/opt/tovrel app"));
    QCOMPARE(stored.value(QStringLiteral("localserver/name")).toString(), QStringLiteral("tovrelupdater"));

    // A second run without options keeps what the first one stored and completes nothing.
    Run again(env);
    again.start({});
    QVERIFY(again.waitForLine(settingsLinePrefix + env.settingsFile(QStringLiteral("updater"))));
    QVERIFY(again.signalAndWait(SIGINT));
    QCOMPARE(again.process.exitCode(), 0);
    const QStringList againLines = again.lines();
    QCOMPARE(againLines.first(), settingsLinePrefix + env.settingsFile(QStringLiteral("updater")));
    QCOMPARE(againLines.last(), QStringLiteral("[Debug] exit handler code: 2"));
    QVERIFY(againLines.contains(QStringLiteral("$UPDATER_SERVER_READY")));
    for (const QString &line : againLines)
        QVERIFY2(!line.contains(QStringLiteral("[Settings] set")), qPrintable(line));
    stored.sync();
    QCOMPARE(stored.value(QStringLiteral("app/version")).toInt(), 500);
}

void TestEntry::nonNumericValuesCountAsZero()
{
    TestEnvironment env;
    Run run(env);
    run.start({QStringLiteral("--download"), QStringLiteral("yes"), QStringLiteral("--versioncode"),
               QStringLiteral("v9")});
    QVERIFY(run.waitForLine(QStringLiteral("[Debug] [Settings] set serverName")));
    QVERIFY(run.signalAndWait(SIGTERM));
    QCOMPARE(run.process.exitCode(), 0);
    QVERIFY(!run.lines().contains(QStringLiteral("[Debug] check download app only")));
    const auto storeOwner = SettingsStore::openFile(env.settingsFile(QStringLiteral("updater")));
    QSettings &stored = *storeOwner;
    QCOMPARE(stored.value(QStringLiteral("update/download")).toInt(), 0);
    QCOMPARE(stored.value(QStringLiteral("app/version")).toString(), QStringLiteral("0"));
}

void TestEntry::usageErrorsLeaveSettingsUntouched_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")};
    QTest::newRow("missing value") << QStringList{QStringLiteral("--download")};
    QTest::newRow("missing value after others") << QStringList{QStringLiteral("--dir"), QStringLiteral("/x"),
                                                               QStringLiteral("--link")};
}

void TestEntry::usageErrorsLeaveSettingsUntouched()
{
    QFETCH(QStringList, arguments);
    TestEnvironment env;
    Run run(env);
    run.start(arguments);
    QVERIFY(run.process.waitForFinished(10000));
    QCOMPARE(run.process.exitCode(), 1);
    QVERIFY(!QFile::exists(env.settingsFile(QStringLiteral("updater"))));
    QVERIFY(run.lines().isEmpty());
    QVERIFY(!run.process.readAllStandardError().isEmpty());
}

void TestEntry::updateOneEndsAfterOneInstallation()
{
    TestEnvironment env;
    Run run(env);
    QElapsedTimer clock;
    clock.start();
    run.start({QStringLiteral("--update"), QStringLiteral("1")});
    QVERIFY(run.process.waitForFinished(10000));
    QVERIFY(clock.elapsed() >= 100);
    QCOMPARE(run.process.exitCode(), 0);
    const QStringList lines = run.lines();
    const int decision = lines.indexOf(QStringLiteral("[Debug] unconditional update app dir"));
    QVERIFY(decision > 0);
    QCOMPARE(lines.last(), QStringLiteral("[Debug] exit handler code: 0"));
    const auto storeOwner = SettingsStore::openFile(env.settingsFile(QStringLiteral("updater")));
    QSettings &stored = *storeOwner;
    QCOMPARE(stored.value(QStringLiteral("update/update")).toInt(), 1);
}

void TestEntry::updateTwoStaysResident()
{
    TestEnvironment env;
    Run run(env);
    run.start({QStringLiteral("--update"), QStringLiteral("2")});
    QVERIFY(run.waitForLine(QStringLiteral("[Debug] [Settings] set serverName")));
    // The one-shot installation would end the program 100 ms after start.
    QVERIFY(!run.process.waitForFinished(1000));
    QVERIFY(run.signalAndWait(SIGTERM));
    QVERIFY(!run.lines().contains(QStringLiteral("[Debug] unconditional update app dir")));
    const auto storeOwner = SettingsStore::openFile(env.settingsFile(QStringLiteral("updater")));
    QSettings &stored = *storeOwner;
    QCOMPARE(stored.value(QStringLiteral("update/update")).toInt(), 0);
}

void TestEntry::downloadAndUpdateTakesTheDownloadPath()
{
    TestEnvironment env;
    Run run(env);
    run.start({QStringLiteral("--update"), QStringLiteral("1"), QStringLiteral("--download"), QStringLiteral("1")});
    QVERIFY(run.waitForLine(QStringLiteral("[Debug] check download and update app")));
    QVERIFY(!run.process.waitForFinished(1000));
    QVERIFY(run.signalAndWait(SIGTERM));
    QCOMPARE(run.process.exitCode(), 0);
    QVERIFY(!run.lines().contains(QStringLiteral("[Debug] unconditional update app dir")));
    QCOMPARE(run.lines().last(), QStringLiteral("[Debug] exit handler code: 15"));
}

void TestEntry::helpAndVersion()
{
    TestEnvironment env;
    Run help(env);
    help.start({QStringLiteral("--help")});
    QVERIFY(help.process.waitForFinished(10000));
    QCOMPARE(help.process.exitCode(), 0);
    const QString usage = help.lines().join(QLatin1Char('\n'));
    QVERIFY(usage.contains(QStringLiteral("tovrel updater")));
    for (const char *option : {"--download <download>", "--update <update>", "--versioncode <versioncode>",
                               "--link <link>", "--dir <dir>"})
        QVERIFY2(usage.contains(QLatin1String(option)), option);
    QVERIFY(usage.indexOf(QStringLiteral("--download")) < usage.indexOf(QStringLiteral("--dir")));

    Run version(env);
    version.start({QStringLiteral("--version")});
    QVERIFY(version.process.waitForFinished(10000));
    QCOMPARE(version.lines(), QStringList{QStringLiteral("updater 1.2.3")});
    QVERIFY(!QFile::exists(env.settingsFile(QStringLiteral("updater"))));
}

void TestEntry::survivesClosedStandardOutput()
{
    TestEnvironment env;
    Run run(env);
    // stdout is a pipe whose reading end is gone before the first line, as when the launcher died.
    int fds[2];
    QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
    run.process.setStandardOutputFile(QStringLiteral("/proc/self/fd/%1").arg(fds[1]));
    ::close(fds[0]);
    run.start({});
    ::close(fds[1]);
    QVERIFY(run.process.waitForStarted(10000));
    // The settings line and the server's lines are written at once; SIGPIPE would end it here.
    QVERIFY(!run.process.waitForFinished(1500));
    QVERIFY(run.signalAndWait(SIGTERM));
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestEntry)
#include "tst_entry.moc"
