#include "deviceconfig.h"
#include "processhelpers.h"
#include "testfiles.h"
#include "testenvironment.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <memory>

// The real zorvan binary with private settings, log folder and stand-in children.
class TestZorvan : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void disabledLauncherLogsQuitAndStartsNothing();
    void stopSignalBeforeFirstStart();
    void supervisesAndEndsChildOnSigterm();
    void survivesClosedStandardOutput();
    void childrenEndWhenZorvanIsKilled();
    void restartEndsTheGroupLeftByAKilledZorvan();

private:
    void writeSettings(const QVariantMap &values);
    void startZorvan();
    QString logFile() const;
    QStringList logLines() const;

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<QProcess> zorvan;
    QString logFolder;
    QString mainRecord;
    QString windowRecord;
};

void TestZorvan::init()
{
    env = std::make_unique<TestEnvironment>();
    QVERIFY(env->isValid());
    logFolder = env->path() + QStringLiteral("/var/log levels/zorvan");
    mainRecord = env->path() + QStringLiteral("/main.records");
    windowRecord = env->path() + QStringLiteral("/window.records");
}

void TestZorvan::cleanup()
{
    if (zorvan && zorvan->state() != QProcess::NotRunning) {
        zorvan->kill();
        zorvan->waitForFinished(5000);
    }
    zorvan.reset();
    // Never leave a stand-in behind, whatever failed above.
    for (const QString &file : {mainRecord, windowRecord}) {
        for (const QJsonObject &record : ProcessHelpers::readRecords(file)) {
            const qint64 pid = record.value(QStringLiteral("pid")).toVariant().toLongLong();
            if (ProcessHelpers::processExists(pid))
                ::kill(pid_t(pid), SIGKILL);
        }
    }
    env.reset();
}

void TestZorvan::writeSettings(const QVariantMap &values)
{
    QVariantMap keys{{QStringLiteral("application/log"), logFolder},
                     {QStringLiteral("updaterapp/active"), 0},
                     {QStringLiteral("watchdog/active"), 0}};
    keys.insert(values);
    QVERIFY(DeviceConfig(*env).write(DeviceConfig::Launcher, keys));
}

void TestZorvan::startZorvan()
{
    zorvan = std::make_unique<QProcess>();
    zorvan->setProcessEnvironment(env->processEnvironment());
    zorvan->setWorkingDirectory(env->path());
    zorvan->start(QStringLiteral(ZORVAN_BIN), QStringList());
    QVERIFY(zorvan->waitForStarted(10000));
}

QString TestZorvan::logFile() const
{
    return QStringLiteral("%1/zorvan-%2.log").arg(logFolder, QDate::currentDate().toString(QStringLiteral("dd.MM.yy")));
}

QStringList TestZorvan::logLines() const
{
    return QString::fromUtf8(TestFiles::read(logFile())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestZorvan::disabledLauncherLogsQuitAndStartsNothing()
{
    const QString app = ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), env->path() + QStringLiteral("/app"),
                                                       QStringLiteral("tovrel.exe"),
                                                       {QStringLiteral("--record"), mainRecord});
    QVERIFY(!app.isEmpty());
    writeSettings({{QStringLiteral("launcher/active"), 0},
                   {QStringLiteral("application/folder"), QFileInfo(app).path()},
                   {QStringLiteral("application/name"), QStringLiteral("tovrel.exe")}});

    for (int run = 1; run <= 2; ++run) {
        startZorvan();
        QVERIFY(zorvan->waitForFinished(10000));
        QCOMPARE(zorvan->exitStatus(), QProcess::NormalExit);
        QCOMPARE(zorvan->exitCode(), 0);

        const QStringList out = QString::fromUtf8(zorvan->readAllStandardOutput()).split(QLatin1Char('\n'));
        QCOMPARE(out.value(0), QFileInfo(logFile()).fileName());
        QCOMPARE(out.value(1), QStringLiteral("0 zorvan quit"));
        // The first settings read happens before the log handler: default output only.
        QVERIFY(zorvan->readAllStandardError().contains("[Settings]"));

        const QStringList lines = logLines();
        QCOMPARE(lines.size(), run);
        QVERIFY2(lines.last().endsWith(QLatin1String(" DBG default: zorvan quit")), qPrintable(lines.last()));
    }

    QVERIFY(!QFile::exists(mainRecord));
    // The defaults of the first read were persisted on the way out.
    QSettings store(env->settingsFile(QStringLiteral("zorvan")), QSettings::IniFormat);
    QCOMPARE(store.allKeys().size(), 21);
    QCOMPARE(store.value(QStringLiteral("settingsapp/name")).toString(), QStringLiteral("plessa.exe"));
}

void TestZorvan::stopSignalBeforeFirstStart()
{
    const QString app = ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), env->path() + QStringLiteral("/app"),
                                                       QStringLiteral("tovrel.exe"),
                                                       {QStringLiteral("--record"), mainRecord});
    writeSettings({{QStringLiteral("application/folder"), QFileInfo(app).path()},
                   {QStringLiteral("application/name"), QStringLiteral("tovrel.exe")}});
    startZorvan();
    // The listing is written once the log handler is about to be installed.
    QVERIFY(QTest::qWaitFor([&] { return zorvan->canReadLine(); }, 10000));
    ::kill(pid_t(zorvan->processId()), SIGINT);
    QVERIFY(zorvan->waitForFinished(10000));
    QCOMPARE(zorvan->exitStatus(), QProcess::NormalExit);
    QCOMPARE(zorvan->exitCode(), 0);
    QVERIFY(!QFile::exists(mainRecord));
}

void TestZorvan::supervisesAndEndsChildOnSigterm()
{
    const QString base = env->path() + QStringLiteral("/device root");
    const QString app = ProcessHelpers::installStandin(
        QStringLiteral(STANDIN_BIN), base + QStringLiteral("/app"), QStringLiteral("tovrel.exe"),
        {QStringLiteral("--alive"), QStringLiteral("0.2"), QStringLiteral("--exit-after"), QStringLiteral("0.5"),
         QStringLiteral("--record"), mainRecord},
        QStringLiteral("3.0"));
    // A window that ignores SIGTERM: zorvan must still leave nothing behind.
    const QString window = ProcessHelpers::installStandin(
        QStringLiteral(STANDIN_BIN), base + QStringLiteral("/window"), QStringLiteral("plessa"),
        {QStringLiteral("--alive"), QStringLiteral("1"), QStringLiteral("--ignore-sigterm"), QStringLiteral("--record"),
         windowRecord});
    QVERIFY(!app.isEmpty() && !window.isEmpty());
    writeSettings({{QStringLiteral("application/folder"), QFileInfo(app).path()},
                   {QStringLiteral("application/name"), QStringLiteral("tovrel.exe")},
                   {QStringLiteral("settingsapp/folder"), QFileInfo(window).path()},
                   {QStringLiteral("settingsapp/name"), QStringLiteral("plessa")}});
    startZorvan();

    // 15 s update wait, then the main application.
    QVERIFY(ProcessHelpers::waitForRecords(mainRecord, 1, 30000));
    const QJsonObject mainStart = ProcessHelpers::readRecords(mainRecord).first();
    QCOMPARE(ProcessHelpers::recordArguments(mainStart), QStringList{QStringLiteral("--fullscreen")});
    QCOMPARE(mainStart.value(QStringLiteral("version")).toString(), QStringLiteral("3.0"));

    QVERIFY(ProcessHelpers::waitForRecords(windowRecord, 1, 10000));
    const QJsonObject windowStart = ProcessHelpers::readRecords(windowRecord).first();
    QCOMPARE(ProcessHelpers::recordArguments(windowStart),
             QStringList({QStringLiteral("--text"),
                          QStringLiteral("Приложение неожиданно завершилось, code: 0, 0, Unknown error")}));
    const qint64 windowPid = windowStart.value(QStringLiteral("pid")).toVariant().toLongLong();
    QVERIFY(ProcessHelpers::processExists(windowPid));
    QVERIFY(!ProcessHelpers::processExists(mainStart.value(QStringLiteral("pid")).toVariant().toLongLong()));

    ::kill(pid_t(zorvan->processId()), SIGTERM);
    QVERIFY(zorvan->waitForFinished(20000));
    QCOMPARE(zorvan->exitStatus(), QProcess::NormalExit);
    QCOMPARE(zorvan->exitCode(), 0);
    QVERIFY(!ProcessHelpers::processExists(windowPid));
    QCOMPARE(ProcessHelpers::readRecords(windowRecord).size(), 1);

    const QString log = logLines().join(QLatin1Char('\n'));
    QVERIFY(log.contains(QLatin1String(" DBG default: starting procces \"") + app + QLatin1Char('"')));
    QVERIFY(log.contains(QLatin1String(" DBG STD: \"$ALIVE\\n\"")));
    QVERIFY(log.contains(QLatin1String(" DBG DEB: select procces: \"") + window + QLatin1Char('"')));
    // Only the supervisor's re-read before the main application's start reaches the file; the
    // entry's first read happens before the log handler exists.
    QCOMPARE(log.count(QLatin1String(" DBG default: [Settings] \"") + env->settingsFile(QStringLiteral("zorvan"))), 1);
    const QByteArray out = zorvan->readAllStandardOutput();
    QVERIFY(out.contains("\n0 starting procces"));
}

// Whoever reads the echo (a console, a pipe to a logger) may go away; supervision must go on.
void TestZorvan::survivesClosedStandardOutput()
{
    // The updater child is started about 100 ms after the loop runs, and all it writes is logged.
    const QString updaterRecord = env->path() + QStringLiteral("/updater.records");
    const QString updater = ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), env->path() + QStringLiteral("/updater"),
                                                           QStringLiteral("updater"),
                                                           {QStringLiteral("--alive"), QStringLiteral("0.1"),
                                                            QStringLiteral("--record"), updaterRecord});
    QVERIFY(!updater.isEmpty());
    writeSettings({{QStringLiteral("updaterapp/active"), 1},
                   {QStringLiteral("updaterapp/folder"), QFileInfo(updater).path()},
                   {QStringLiteral("updaterapp/name"), QStringLiteral("updater")},
                   {QStringLiteral("updaterapp/localserver"), TestEnvironment::uniqueSocketName(QStringLiteral("sigpipe"))},
                   {QStringLiteral("application/folder"), env->path() + QStringLiteral("/none")}});

    // zorvan's stdout is a pipe whose reading end is gone before its first line.
    int fds[2];
    QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
    zorvan = std::make_unique<QProcess>();
    zorvan->setProcessEnvironment(env->processEnvironment());
    zorvan->setWorkingDirectory(env->path());
    zorvan->setStandardOutputFile(QStringLiteral("/proc/self/fd/%1").arg(fds[1]));
    ::close(fds[0]);
    zorvan->start(QStringLiteral(ZORVAN_BIN), QStringList());
    ::close(fds[1]);
    QVERIFY(zorvan->waitForStarted(10000));

    QVERIFY(QTest::qWaitFor([&] {
        return zorvan->state() == QProcess::NotRunning || !ProcessHelpers::readRecords(updaterRecord).isEmpty();
    }, 10000));
    QVERIFY2(zorvan->state() == QProcess::Running,
             qPrintable(QStringLiteral("zorvan ended: status %1, code %2").arg(zorvan->exitStatus()).arg(zorvan->exitCode())));
    const qint64 childPid = ProcessHelpers::readRecords(updaterRecord).first().value(QStringLiteral("pid")).toVariant().toLongLong();
    // Each "$ALIVE" of the child is logged and echoed into the closed pipe.
    QVERIFY(QTest::qWaitFor([&] { return logLines().join(QLatin1Char('\n')).count(QLatin1String("appReadyRead")) >= 5; },
                            10000));
    QCOMPARE(zorvan->state(), QProcess::Running);

    // The child must not inherit the launcher's indifference to SIGPIPE.
    QFile status(QStringLiteral("/proc/%1/status").arg(childPid));
    QVERIFY(status.open(QIODevice::ReadOnly | QIODevice::Text));
    const QByteArrayList statusLines = status.readAll().split('\n');
    const auto sigIgn = std::find_if(statusLines.cbegin(), statusLines.cend(),
                                     [](const QByteArray &line) { return line.startsWith("SigIgn:"); });
    QVERIFY(sigIgn != statusLines.cend());
    bool ok = false;
    const qulonglong ignored = sigIgn->mid(7).trimmed().toULongLong(&ok, 16);
    QVERIFY(ok);
    QCOMPARE(ignored & (1ull << (SIGPIPE - 1)), 0ull);

    ::kill(pid_t(zorvan->processId()), SIGTERM);
    QVERIFY(zorvan->waitForFinished(20000));
    QCOMPARE(zorvan->exitStatus(), QProcess::NormalExit);
    QCOMPARE(zorvan->exitCode(), 0);
    QVERIFY(ProcessHelpers::waitForProcessGone(childPid, 5000));
}

// A launcher killed outright (SIGKILL, the OOM killer) must not leave its children running: the next
// launcher would start a second full-screen application beside the orphan.
void TestZorvan::childrenEndWhenZorvanIsKilled()
{
    const QString updaterRecord = env->path() + QStringLiteral("/updater.records");
    const QString updater = ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), env->path() + QStringLiteral("/updater"),
                                                           QStringLiteral("updater"),
                                                           {QStringLiteral("--record"), updaterRecord});
    const QString app = ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), env->path() + QStringLiteral("/app"),
                                                       QStringLiteral("tovrel.exe"),
                                                       {QStringLiteral("--record"), mainRecord});
    QVERIFY(!updater.isEmpty() && !app.isEmpty());
    writeSettings({{QStringLiteral("updaterapp/active"), 1},
                   {QStringLiteral("updaterapp/folder"), QFileInfo(updater).path()},
                   {QStringLiteral("updaterapp/name"), QStringLiteral("updater")},
                   {QStringLiteral("updaterapp/localserver"), TestEnvironment::uniqueSocketName(QStringLiteral("orphans"))},
                   {QStringLiteral("application/folder"), QFileInfo(app).path()},
                   {QStringLiteral("application/name"), QStringLiteral("tovrel.exe")}});
    startZorvan();

    // 15 s update wait, then the main application.
    QVERIFY(ProcessHelpers::waitForRecords(mainRecord, 1, 30000));
    QVERIFY(ProcessHelpers::waitForRecords(updaterRecord, 1, 10000));
    const qint64 mainPid = ProcessHelpers::readRecords(mainRecord).first().value(QStringLiteral("pid")).toVariant().toLongLong();
    const qint64 updaterPid =
        ProcessHelpers::readRecords(updaterRecord).first().value(QStringLiteral("pid")).toVariant().toLongLong();
    QVERIFY(ProcessHelpers::processExists(mainPid));
    QVERIFY(ProcessHelpers::processExists(updaterPid));
    // cleanup() only knows the main application and the window.
    const auto killUpdater = qScopeGuard([updaterPid] {
        if (ProcessHelpers::processExists(updaterPid))
            ::kill(pid_t(updaterPid), SIGKILL);
    });

    // Neither child writes anything, so none can die of SIGPIPE on the dead launcher's pipes.
    ::kill(pid_t(zorvan->processId()), SIGKILL);
    QVERIFY(zorvan->waitForFinished(10000));
    QCOMPARE(zorvan->exitStatus(), QProcess::CrashExit);
    QVERIFY2(ProcessHelpers::waitForProcessGone(mainPid, 5000), "the main application outlived zorvan");
    QVERIFY2(ProcessHelpers::waitForProcessGone(updaterPid, 5000), "the updater outlived zorvan");
    QCOMPARE(ProcessHelpers::readRecords(mainRecord).size(), 1);
}

namespace {
// The process group of a process, -1 when it does not exist.
qint64 processGroupOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ').value(2).toLongLong();
}
}

// A main application that ignores SIGTERM, with a helper of its own, outlives a launcher killed
// with SIGKILL; the next launcher must end them before it starts anything, so that exactly one
// application runs.
void TestZorvan::restartEndsTheGroupLeftByAKilledZorvan()
{
    const QString standin = ProcessHelpers::installStandin(
        QStringLiteral(STANDIN_BIN), env->path() + QStringLiteral("/bin"), QStringLiteral("stubborn"),
        {QStringLiteral("--ignore-sigterm"), QStringLiteral("--record"), mainRecord});
    QVERIFY(!standin.isEmpty());
    const QString helperFile = env->path() + QStringLiteral("/helper.pid");
    const QString app = env->path() + QStringLiteral("/app/tovrel.exe");
    QVERIFY(TestFiles::write(app,
                             QStringLiteral("#!/bin/sh\ntrap '' TERM\nsleep 300 &\necho $! > '%1'\nexec '%2'\n")
                                 .arg(helperFile, standin).toUtf8(),
                             QFile::ExeOwner));
    writeSettings({{QStringLiteral("application/folder"), QFileInfo(app).path()},
                   {QStringLiteral("application/name"), QStringLiteral("tovrel.exe")},
                   {QStringLiteral("settingsapp/folder"), env->path() + QStringLiteral("/none")}});

    qint64 helperPid = 0;
    const auto killHelper = qScopeGuard([&helperPid] {
        if (ProcessHelpers::processExists(helperPid))
            ::kill(pid_t(helperPid), SIGKILL);
    });
    startZorvan();
    QVERIFY(ProcessHelpers::waitForRecords(mainRecord, 1, 30000));
    const qint64 mainPid = ProcessHelpers::readRecords(mainRecord).first().value(QStringLiteral("pid")).toVariant().toLongLong();
    QVERIFY(QTest::qWaitFor([&] {
        QFile file(helperFile);
        return file.open(QIODevice::ReadOnly) && (helperPid = file.readAll().trimmed().toLongLong()) > 0;
    }, 10000));
    // The application leads a group of its own, and its helper is in it.
    QCOMPARE(processGroupOf(mainPid), mainPid);
    QCOMPARE(processGroupOf(helperPid), mainPid);

    // Neither writes anything, so neither can die of SIGPIPE on the dead launcher's pipes.
    ::kill(pid_t(zorvan->processId()), SIGKILL);
    QVERIFY(zorvan->waitForFinished(10000));
    QVERIFY(ProcessHelpers::processExists(mainPid));
    QVERIFY(ProcessHelpers::processExists(helperPid));

    startZorvan();
    QVERIFY2(ProcessHelpers::waitForProcessGone(mainPid, 20000),
             qPrintable(QStringLiteral("the left application still runs; log:\n") + logLines().join(QLatin1Char('\n')).right(3000)));
    QVERIFY2(ProcessHelpers::waitForProcessGone(helperPid, 20000), "the left helper still runs");
    QCOMPARE(ProcessHelpers::readRecords(mainRecord).size(), 1);
    QVERIFY(logLines().join(QLatin1Char('\n')).contains(QStringLiteral("ending process group %1 left by an earlier launcher").arg(mainPid)));

    ::kill(pid_t(zorvan->processId()), SIGTERM);
    QVERIFY(zorvan->waitForFinished(30000));
    QCOMPARE(zorvan->exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestZorvan)
#include "tst_zorvan.moc"
