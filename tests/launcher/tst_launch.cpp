#include "launch.h"
#include "settingsstore.h"
#include "processhelpers.h"
#include "launchersettings.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QString waitingText = QStringLiteral(" Идет обновление приложения, пожалуйста подождите.");
const QString updateErrorText = QStringLiteral(" Произошла ошибка при обновлении приложения.");
const QString unexpectedText = QStringLiteral("Приложение неожиданно завершилось, code: ");
}

// The supervisor's step machine, driven tick by tick with real stand-in children.
class TestLaunch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstStartOn153rdTick_data();
    void firstStartOn153rdTick();
    void silentChildIsTerminatedOrKilled_data();
    void silentChildIsTerminatedOrKilled();
    void missingOrDisabledMainShowsWindow_data();
    void missingOrDisabledMainShowsWindow();
    void unexpectedExitText_data();
    void unexpectedExitText();
    void announcedEndTexts_data();
    void announcedEndTexts();
    void tokenChunks_data();
    void tokenChunks();
    void updateReadyAtStart();
    void updateWindowEndsAnApplicationThatNeverEnds();
    void installationTakesTheProbationTimeConfiguredNow();
    void failedStartTextWithBlanksAndQuotes();
    void manyAlternationsLeaveNothingBehind();
    void destructorStopsChild();

private:
    // Installs the two stand-ins and writes the settings store; extra keys override.
    void configure(const QStringList &mainOptions, const QStringList &windowOptions,
                   const QVariantMap &extra = QVariantMap());
    void startRig();
    void ticks(int count);
    bool waitEvent(int event, int timeoutMs = 10000);
    // Ticks (without waiting) until the supervisor has started the given program; false after 20 ticks.
    bool tickUntilStarted(const QString &program);
    // From the first tick to a running main application (step 5).
    void reachRunningMain();
    // From a running child that is about to end to the start of the next child.
    void finishAndStartNext(const QString &next);

    TestEnvironment env;
    std::unique_ptr<QTemporaryDir> dir;
    QString mainPath;
    QString windowPath;
    QString mainRecord;
    QString windowRecord;
    std::unique_ptr<LauncherSettings> settings;
    std::unique_ptr<Launch> launch;
};

void TestLaunch::initTestCase()
{
    QVERIFY(env.applyAs(QStringLiteral("zorvan")));
}

void TestLaunch::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    mainRecord = dir->filePath(QStringLiteral("main.records"));
    windowRecord = dir->filePath(QStringLiteral("window.records"));
    mainPath = dir->filePath(QStringLiteral("app/tovrel.exe"));
    windowPath = dir->filePath(QStringLiteral("window/plessa"));
}

void TestLaunch::cleanup()
{
    const qint64 pid = launch ? launch->getProcessId() : 0;
    launch.reset();
    settings.reset();
    QVERIFY2(!ProcessHelpers::processExists(pid), "a child outlived its supervisor");
    dir.reset();
}

void TestLaunch::configure(const QStringList &mainOptions, const QStringList &windowOptions, const QVariantMap &extra)
{
    const QFileInfo main(mainPath);
    const QFileInfo window(windowPath);
    QVERIFY(!ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), main.path(), main.fileName(),
                                            mainOptions + QStringList{QStringLiteral("--record"), mainRecord},
                                            QStringLiteral("7.1"))
                 .isEmpty());
    QVERIFY(!ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), window.path(), window.fileName(),
                                            windowOptions + QStringList{QStringLiteral("--record"), windowRecord})
                 .isEmpty());
    const auto storeOwner = SettingsStore::open();
    QSettings &store = *storeOwner;
    store.clear();
    store.setValue(QStringLiteral("application/folder"), main.path());
    store.setValue(QStringLiteral("application/name"), main.fileName());
    store.setValue(QStringLiteral("settingsapp/folder"), window.path());
    store.setValue(QStringLiteral("settingsapp/name"), window.fileName());
    store.setValue(QStringLiteral("application/log"), dir->filePath(QStringLiteral("log")));
    store.setValue(QStringLiteral("updaterapp/active"), 0);
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        store.setValue(it.key(), it.value());
    store.sync();
}

void TestLaunch::startRig()
{
    settings = std::make_unique<LauncherSettings>();
    settings->readSettings();
    launch = std::make_unique<Launch>();
    launch->setAutoTick(false);
    launch->init(settings.get());
}

void TestLaunch::ticks(int count)
{
    for (int i = 0; i < count; ++i)
        launch->tick();
}

bool TestLaunch::waitEvent(int event, int timeoutMs)
{
    return QTest::qWaitFor([&] { return launch->getProcessEvent() == event; }, timeoutMs);
}

bool TestLaunch::tickUntilStarted(const QString &program)
{
    for (int i = 0; i < 20; ++i) {
        launch->tick();
        if (launch->getStep() == 4 && launch->getProgram() == program)
            return launch->getProcessState() != QProcess::NotRunning;
    }
    return false;
}

void TestLaunch::reachRunningMain()
{
    ticks(153);
    QCOMPARE(launch->getStep(), 4);
    QVERIFY(waitEvent(int(SupervisorStep::ProcessEvent::Started)));
    launch->tick();
    QCOMPARE(launch->getStep(), 5);
    QCOMPARE(launch->getAliveCounter(), SupervisorStep::AliveTicks);
}

void TestLaunch::finishAndStartNext(const QString &next)
{
    QVERIFY(waitEvent(int(SupervisorStep::ProcessEvent::Finished)));
    QVERIFY(tickUntilStarted(next));
    // The new child's start has not been read yet: the old "finished" must not count for it.
    launch->tick();
    QVERIFY2(launch->getStep() == 4 || launch->getStep() == 5, qPrintable(QString::number(launch->getStep())));
}

void TestLaunch::firstStartOn153rdTick_data()
{
    QTest::addColumn<int>("fullscreen");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("fullscreen") << 1 << QStringList{QStringLiteral("--fullscreen")};
    QTest::newRow("windowed") << 0 << QStringList();
}

void TestLaunch::firstStartOn153rdTick()
{
    QFETCH(int, fullscreen);
    QFETCH(QStringList, arguments);
    configure({QStringLiteral("--alive"), QStringLiteral("30")}, {},
              {{QStringLiteral("application/fullscreen"), fullscreen}});
    startRig();

    ticks(152);
    QCOMPARE(launch->getStep(), 2);
    QCOMPARE(launch->getProcessState(), QProcess::NotRunning);
    launch->tick();
    QCOMPARE(launch->getStep(), 4);
    QCOMPARE(launch->getProgram(), mainPath);
    QVERIFY(launch->getProcessState() != QProcess::NotRunning);

    QVERIFY(ProcessHelpers::waitForRecords(mainRecord, 1, 10000));
    const QJsonObject record = ProcessHelpers::readRecords(mainRecord).first();
    QCOMPARE(ProcessHelpers::recordArguments(record), arguments);
    QCOMPARE(record.value(QStringLiteral("version")).toString(), QStringLiteral("7.1"));

    QVERIFY(waitEvent(int(SupervisorStep::ProcessEvent::Started)));
    launch->tick();
    QCOMPARE(launch->getStep(), 5);
}

void TestLaunch::silentChildIsTerminatedOrKilled_data()
{
    QTest::addColumn<bool>("ignoresTerm");
    QTest::newRow("ends on terminate") << false;
    QTest::newRow("ignores terminate") << true;
}

void TestLaunch::silentChildIsTerminatedOrKilled()
{
    QFETCH(bool, ignoresTerm);
    configure(ignoresTerm ? QStringList{QStringLiteral("--ignore-sigterm")} : QStringList(), {});
    startRig();
    reachRunningMain();
    const qint64 pid = launch->getProcessId();
    // The stand-in writes its record after it has set SIGTERM aside; the ticks below take no real
    // time, and a slow start (under the sanitizers) would otherwise still die of the request.
    QVERIFY(ProcessHelpers::waitForRecords(mainRecord, 1, 10000));

    ticks(SupervisorStep::AliveTicks);
    QCOMPARE(launch->getStep(), 5);
    QCOMPARE(launch->getAliveCounter(), 0);
    launch->tick();
    QCOMPARE(launch->getStep(), 6);
    launch->tick();
    QCOMPARE(launch->getStep(), 7);

    if (!ignoresTerm) {
        QVERIFY(waitEvent(int(SupervisorStep::ProcessEvent::Finished)));
        launch->tick();
        QCOMPARE(launch->getStep(), 8);
    } else {
        for (int i = 0; i <= SupervisorStep::TerminateTicks; ++i) {
            QCoreApplication::processEvents();
            launch->tick();
        }
        QCOMPARE(launch->getStep(), 10);
        QVERIFY(ProcessHelpers::processExists(pid));
        launch->tick();
        QCOMPARE(launch->getStep(), 9);
        QVERIFY(waitEvent(int(SupervisorStep::ProcessEvent::Finished)));
        launch->tick();
        QCOMPARE(launch->getStep(), 8);
    }
    QVERIFY(ProcessHelpers::waitForProcessGone(pid, 5000));
    launch->tick();
    QCOMPARE(launch->getStep(), 1);
    QCOMPARE(launch->getProgram(), windowPath);
}

void TestLaunch::missingOrDisabledMainShowsWindow_data()
{
    QTest::addColumn<QVariantMap>("extra");
    QTest::addColumn<QString>("textStart");
    QTest::newRow("missing") << QVariantMap{{QStringLiteral("application/name"), QStringLiteral("absent.bin")}}
                             << QStringLiteral("Задайте путь к приложению. Путь к файлу настроек:\n");
    QTest::newRow("disabled") << QVariantMap{{QStringLiteral("application/active"), 0}}
                              << QStringLiteral("Приложение отключено. Путь к файлу настроек:\n");
}

void TestLaunch::missingOrDisabledMainShowsWindow()
{
    QFETCH(QVariantMap, extra);
    QFETCH(QString, textStart);
    configure({QStringLiteral("--alive"), QStringLiteral("30")},
              {QStringLiteral("--exit-after"), QStringLiteral("0.5"), QStringLiteral("--say-before-exit"),
               QStringLiteral("$QUIT")},
              extra);
    startRig();

    ticks(153);
    QCOMPARE(launch->getStep(), 2);
    QCOMPARE(launch->getProgram(), windowPath);
    QCOMPARE(launch->getProcessState(), QProcess::NotRunning);
    launch->tick();
    QCOMPARE(launch->getStep(), 4);
    QVERIFY(ProcessHelpers::waitForRecords(windowRecord, 1, 10000));
    QCOMPARE(ProcessHelpers::recordArguments(ProcessHelpers::readRecords(windowRecord).first()),
             QStringList({QStringLiteral("--text"), textStart + settings->settingsFileName}));

    // Repaired while the window shows: the settings are read again before the main application.
    const auto storeOwner = SettingsStore::open();
    QSettings &store = *storeOwner;
    store.setValue(QStringLiteral("application/active"), 1);
    store.setValue(QStringLiteral("application/name"), QFileInfo(mainPath).fileName());
    store.sync();
    QVERIFY(waitEvent(int(SupervisorStep::ProcessEvent::Started)));
    launch->tick();
    QCOMPARE(launch->getStep(), 5);
    finishAndStartNext(mainPath);
    QVERIFY(ProcessHelpers::waitForRecords(mainRecord, 1, 10000));
    QCOMPARE(ProcessHelpers::recordArguments(ProcessHelpers::readRecords(mainRecord).first()),
             QStringList{QStringLiteral("--fullscreen")});
}

void TestLaunch::unexpectedExitText_data()
{
    QTest::addColumn<QStringList>("mainOptions");
    QTest::addColumn<QString>("text");
    QTest::newRow("exit code 3") << QStringList{QStringLiteral("--exit-after"), QStringLiteral("0.3"),
                                                QStringLiteral("--exit-code"), QStringLiteral("3")}
                                 << unexpectedText + QStringLiteral("3, 0, Unknown error");
    QTest::newRow("crash") << QStringList{QStringLiteral("--crash-after"), QStringLiteral("0.3")}
                           << unexpectedText + QStringLiteral("6, 1, Process crashed");
}

void TestLaunch::unexpectedExitText()
{
    QFETCH(QStringList, mainOptions);
    QFETCH(QString, text);
    configure(mainOptions, {QStringLiteral("--alive"), QStringLiteral("20")});
    startRig();
    reachRunningMain();
    finishAndStartNext(windowPath);
    QVERIFY(ProcessHelpers::waitForRecords(windowRecord, 1, 10000));
    QCOMPARE(ProcessHelpers::recordArguments(ProcessHelpers::readRecords(windowRecord).first()),
             QStringList({QStringLiteral("--text"), text}));
    QCOMPARE(launch->getMessageReason(), 6);
}

void TestLaunch::announcedEndTexts_data()
{
    QTest::addColumn<QStringList>("mainOptions");
    QTest::addColumn<QString>("updateState");
    QTest::addColumn<QString>("suffix");

    const QString out = QStringLiteral("--say-before-exit");
    const QString err = QStringLiteral("--say-before-exit-stderr");
    QTest::newRow("$QUIT") << QStringList{out, QStringLiteral("$QUIT")} << QString() << QString();
    QTest::newRow("$QUIT on stderr") << QStringList{err, QStringLiteral("$QUIT")} << QString() << QString();
    QTest::newRow("$QUIT after update error") << QStringList{out, QStringLiteral("$QUIT")} << "error" << updateErrorText;
}

// The settings file named in the window is the one the supervisor really reads.
void TestLaunch::announcedEndTexts()
{
    QFETCH(QStringList, mainOptions);
    QFETCH(QString, updateState);
    QFETCH(QString, suffix);
    configure(mainOptions + QStringList{QStringLiteral("--exit-after"), QStringLiteral("0.3")},
              {QStringLiteral("--alive"), QStringLiteral("20")});
    startRig();
    reachRunningMain();
    if (!updateState.isEmpty())
        launch->stateUpdateChanged(updateState);
    finishAndStartNext(windowPath);
    QVERIFY(ProcessHelpers::waitForRecords(windowRecord, 1, 10000));
    QVERIFY(!settings->settingsFileName.isEmpty());
    QCOMPARE(ProcessHelpers::recordArguments(ProcessHelpers::readRecords(windowRecord).first()),
             QStringList({QStringLiteral("--text"),
                          QStringLiteral("Путь к файлу настроек:\n") + settings->settingsFileName + suffix}));
}

void TestLaunch::tokenChunks_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("chunk");
    QTest::addColumn<bool>("aliveReset");
    QTest::addColumn<int>("reason");

    const QString out = QStringLiteral("--say");
    const QString err = QStringLiteral("--say-stderr");
    QTest::newRow("$ALIVE then $QUIT: quit lost") << out << "$ALIVE\\n$QUIT" << true << 6;
    QTest::newRow("$PLESSA_START before $QUIT") << out << "$PLESSA_START\\n$QUIT" << false << 1;
    QTest::newRow("$ALIVE on stderr ignored") << err << "$ALIVE" << false << 6;
    QTest::newRow("$QUIT on stderr") << err << "$QUIT" << false << 0;
}

void TestLaunch::tokenChunks()
{
    QFETCH(QString, option);
    QFETCH(QString, chunk);
    QFETCH(bool, aliveReset);
    QFETCH(int, reason);
    configure({option, chunk}, {});
    startRig();

    // After the start tick the liveness counter is 0 until the start is seen; no tick runs while
    // the chunk is read, so only the token can have set it.
    ticks(153);
    QCOMPARE(launch->getStep(), 4);
    QCOMPARE(launch->getAliveCounter(), 0);
    QVERIFY(QTest::qWaitFor([&] { return !launch->getLastText().isEmpty(); }, 10000));
    QString expected = chunk;
    expected.replace(QLatin1String("\\n"), QLatin1String("\n"));
    QCOMPARE(launch->getLastText(), expected + QLatin1Char('\n'));
    QCOMPARE(launch->getAliveCounter(), aliveReset ? SupervisorStep::AliveTicks : 0);
    QCOMPARE(launch->getMessageReason(), reason);
}

void TestLaunch::updateReadyAtStart()
{
    configure({QStringLiteral("--alive"), QStringLiteral("20")},
              {QStringLiteral("--exit-after"), QStringLiteral("0.5")});
    startRig();
    QSignalSpy spy(launch.get(), &Launch::startUpdate);

    ticks(20);
    QCOMPARE(launch->getStep(), 1);
    launch->stateUpdateChanged(QStringLiteral("ready"));
    QCOMPARE(launch->getUpdateState(), 1);
    launch->tick();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(launch->getUpdateState(), 4);
    QCOMPARE(launch->getStep(), 2);
    QCOMPARE(launch->getProgram(), windowPath);
    launch->tick();
    QCOMPARE(launch->getStep(), 4);
    QVERIFY(ProcessHelpers::waitForRecords(windowRecord, 1, 10000));
    QCOMPARE(ProcessHelpers::recordArguments(ProcessHelpers::readRecords(windowRecord).first()),
             QStringList({QStringLiteral("--text"), waitingText}));

    // The updater reports its progress; when the window ends the (updated) main application runs.
    launch->stateUpdateChanged(QStringLiteral("updating"));
    QCOMPARE(launch->getUpdateState(), 2);
    launch->stateUpdateChanged(QStringLiteral("bogus"));
    QCOMPARE(launch->getUpdateState(), 2);
    launch->stateUpdateChanged(QStringLiteral("updated"));
    QCOMPARE(launch->getUpdateState(), 3);
    QVERIFY(waitEvent(int(SupervisorStep::ProcessEvent::Started)));
    launch->tick();
    finishAndStartNext(mainPath);
    QVERIFY(ProcessHelpers::waitForRecords(mainRecord, 1, 10000));
    QCOMPARE(spy.count(), 1);
}

void TestLaunch::updateWindowEndsAnApplicationThatNeverEnds()
{
    configure({QStringLiteral("--alive"), QStringLiteral("1")}, {QStringLiteral("--exit-after"), QStringLiteral("0.5")},
              {{QStringLiteral("application/updatewindow"), QStringLiteral("23:00-01:00")}});
    startRig();
    QTime now(22, 59);
    launch->setTimeOfDaySource([&now] { return now; });
    QSignalSpy spy(launch.get(), &Launch::startUpdate);
    reachRunningMain();
    // Its record first: a stand-in ended before it wrote one (a slow start under emulation) leaves
    // the second start counted as the first.
    QVERIFY(ProcessHelpers::waitForRecords(mainRecord, 1, 20000));
    launch->stateUpdateChanged(QStringLiteral("ready"));
    now = QTime(0, 10);
    ticks(2);
    QCOMPARE(launch->getStep(), 7);
    finishAndStartNext(windowPath);
    QCOMPARE(spy.count(), 1);
    QVERIFY(ProcessHelpers::waitForRecords(windowRecord, 1, 10000));
    QCOMPARE(ProcessHelpers::recordArguments(ProcessHelpers::readRecords(windowRecord).first()).value(1), waitingText);
    launch->stateUpdateChanged(QStringLiteral("updated"));
    finishAndStartNext(mainPath);
    QVERIFY(ProcessHelpers::waitForRecords(mainRecord, 2, 20000));
}

// The settings are read in full only before a start; the probation of a version installed later
// goes by the limits configured when the installation is reported, and the log says which.
void TestLaunch::installationTakesTheProbationTimeConfiguredNow()
{
    configure({}, {}, {{QStringLiteral("probation/time"), 600}});
    startRig();
    const auto store = SettingsStore::open();
    store->setValue(QStringLiteral("probation/time"), 120);
    store->sync();
    QFile kept(QFileInfo(mainPath).path() + QStringLiteral("/.update-kept"));
    QVERIFY(kept.open(QIODevice::WriteOnly) && kept.write(R"({"to":8})") > 0);
    kept.close();
    QTest::ignoreMessage(QtDebugMsg, "[Probation] version 8 is on probation: 120 s, 3 failures allowed");
    launch->probationStateChanged(QStringLiteral("kept"));
    store->setValue(QStringLiteral("probation/failures"), 2);
    store->sync();
    QTest::ignoreMessage(QtDebugMsg, "[Probation] version 8 is now on probation for 120 s, 2 failures allowed");
    launch->probationStateChanged(QStringLiteral("kept"));
}

void TestLaunch::failedStartTextWithBlanksAndQuotes()
{
    mainPath = dir->filePath(QStringLiteral("app \"quoted\" dir/my app"));
    windowPath = dir->filePath(QStringLiteral("window dir/the \"window\""));
    configure({}, {QStringLiteral("--alive"), QStringLiteral("20")});
    // A regular file that cannot be executed: the start itself fails.
    QVERIFY(QFile::setPermissions(mainPath, QFile::ReadOwner | QFile::WriteOwner));
    startRig();

    ticks(153);
    QCOMPARE(launch->getStep(), 4);
    QVERIFY(QTest::qWaitFor([&] { return launch->getProcessState() == QProcess::NotRunning; }, 5000));
    ticks(SupervisorStep::StartTimeoutTicks);
    QCOMPARE(launch->getStep(), 4);
    launch->tick();
    QCOMPARE(launch->getStep(), 8);
    QCOMPARE(launch->getMessageReason(), 5);
    launch->tick();
    const QString error = launch->getLastText();
    QVERIFY(!error.isEmpty());
    QVERIFY(tickUntilStarted(windowPath));
    QVERIFY(ProcessHelpers::waitForRecords(windowRecord, 1, 10000));
    const QJsonObject record = ProcessHelpers::readRecords(windowRecord).first();
    QCOMPARE(record.value(QStringLiteral("program")).toString(), windowPath);
    QCOMPARE(ProcessHelpers::recordArguments(record),
             QStringList({QStringLiteral("--text"), QStringLiteral("Приложение не запустилось (") + error
                                                        + QStringLiteral("). Путь к приложению:\n") + mainPath}));
}

namespace {
int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

// Children of this process that have ended but were never reaped.
int zombieChildren()
{
    int zombies = 0;
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid ...": the name may hold blanks, so read after its ")".
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(0) == "Z" && fields.at(1) == self.toLatin1())
            ++zombies;
    }
    return zombies;
}
}

// The launcher runs for months; each start of a child must give back what it took.
void TestLaunch::manyAlternationsLeaveNothingBehind()
{
    configure({QStringLiteral("--exit-after"), QStringLiteral("0")}, {QStringLiteral("--exit-after"), QStringLiteral("0")});
    startRig();
    ticks(152);
    QCOMPARE(launch->getStep(), 2);
    int starts = 0;
    int descriptorsAfterWarmUp = 0;
    QElapsedTimer clock;
    clock.start();
    while (starts < 120 && clock.elapsed() < 60000) {
        const int before = launch->getStep();
        // counted between two children, when no pipe is open
        if (before == 2 && starts == 20 && descriptorsAfterWarmUp == 0)
            descriptorsAfterWarmUp = openDescriptors();
        launch->tick();
        if (before == 2 && launch->getStep() == 4)
            ++starts;
        // Let the child's start and end arrive while the supervisor waits for them.
        if (launch->getStep() == 4 || launch->getStep() == 5)
            QTest::qWait(2);
    }
    QCOMPARE(starts, 120);
    QVERIFY(QTest::qWaitFor([&] { return launch->getProcessState() == QProcess::NotRunning; }, 5000));
    QCoreApplication::processEvents();
    QCOMPARE(openDescriptors(), descriptorsAfterWarmUp);
    QCOMPARE(zombieChildren(), 0);
    // Both programs took turns.
    QCOMPARE(ProcessHelpers::readRecords(mainRecord).size() + ProcessHelpers::readRecords(windowRecord).size(), 120);
    QVERIFY(ProcessHelpers::readRecords(windowRecord).size() >= 59);
}

// A child that ignores the request is covered by the stopper's own test.
void TestLaunch::destructorStopsChild()
{
    configure({}, {});
    startRig();
    reachRunningMain();
    const qint64 pid = launch->getProcessId();
    QVERIFY(ProcessHelpers::processExists(pid));

    QElapsedTimer timer;
    timer.start();
    launch.reset();
    QVERIFY(!ProcessHelpers::processExists(pid));
    QVERIFY(timer.elapsed() < 12000);
}

QTEST_GUILESS_MAIN(TestLaunch)
#include "tst_launch.moc"
