#include "decisioncarrier.h"
#include "supervisorstep.h"

#include <QStandardPaths>
#include <QTest>

using Step = SupervisorStep::Step;
using Reason = SupervisorStep::Reason;
using Update = SupervisorStep::Update;
using Action = SupervisorStep::Action;
using Note = SupervisorStep::Note;
using Event = SupervisorStep::Event;
using ProcessEvent = SupervisorStep::ProcessEvent;

namespace {
const QString mainPath = QStringLiteral("/opt/app/tovrel.exe");
const QString windowPath = QStringLiteral("/opt/window/plessa");
const QString settingsFile = QStringLiteral("/home/device/.config/tovrel/zorvan.conf");
const QString waitingText = QStringLiteral(" Идет обновление приложения, пожалуйста подождите.");
const QString updateErrorText = QStringLiteral(" Произошла ошибка при обновлении приложения.");
const QString unexpectedText = QStringLiteral("Приложение неожиданно завершилось, code: ");
const QString hint = QStringLiteral("Путь к файлу настроек:\n") + settingsFile;

struct Start
{
    QString program;
    QStringList arguments;
};

// Launch's way of carrying out a decision, on values: the "settings" are the fields below, the
// "child" is a flag and the events the test reports.
class World : public DecisionCarrier
{
public:
    bool mainIsFile = true;
    bool windowIsFile = true;
    int appActive = 1;
    int windowActive = 1;
    int fullscreen = 1;
    // the process error string a finished child leaves
    QString errorString = QStringLiteral("Unknown error");

    SupervisorStep::State state;
    SupervisorStep::Decision last;
    QString program;
    ProcessEvent processEvent = ProcessEvent::None;
    bool childRuns = false;
    int exitCode = 0;
    int exitStatus = 0;
    QString lastText;
    bool folderBusy = false;
    bool onProbation = false;
    bool rollbackWanted = false;
    bool failureEndsProbation = false;
    SupervisorStep::UpdateWindow updateWindow;
    QTime timeOfDay;

    QList<Start> starts;
    int updateRequests = 0;
    int rollbackRequests = 0;
    int terminates = 0;
    int kills = 0;
    int settingsReads = 0;

    void tick()
    {
        last = SupervisorStep::decide(state, Event::Tick, facts());
        carryOut(last);
    }
    void ticks(int count)
    {
        for (int i = 0; i < count; ++i)
            tick();
    }
    // Ticks until a child is started; false after 20 ticks.
    bool tickUntilStarted(const QString &expected)
    {
        const int before = starts.size();
        for (int i = 0; i < 20 && starts.size() == before; ++i)
            tick();
        return starts.size() == before + 1 && starts.last().program == expected;
    }
    void event(Event kind, const QString &text)
    {
        state = SupervisorStep::decide(state, kind, {}, text).state;
        if (kind == Event::StandardOutput || kind == Event::StandardError)
            lastText = text;
    }
    void started() { processEvent = ProcessEvent::Started; }
    void ended(int code = 0, int status = 0)
    {
        processEvent = ProcessEvent::Finished;
        childRuns = false;
        exitCode = code;
        exitStatus = status;
    }
    // From the first tick to a running main application.
    void reachRunningMain()
    {
        ticks(153);
        started();
        tick();
    }
    int step() const { return int(state.step); }

private:
    void childEnded(bool) override { lastText = errorString; }
    void takeState(const SupervisorStep::State &next) override { state = next; }
    void readSettings() override { ++settingsReads; }
    void selectProgram(SupervisorStep::Select select) override
    {
        program = select == SupervisorStep::Select::Main ? mainPath : windowPath;
    }
    void startMain() override { launch(SupervisorStep::mainArguments(fullscreen)); }
    void startWindow(const QStringList &arguments) override { launch(arguments); }
    void terminateChild() override { ++terminates; }
    void killChild() override { ++kills; }
    void requestUpdate() override { ++updateRequests; }
    void requestRollback() override { ++rollbackRequests; }
    void launch(const QStringList &arguments)
    {
        processEvent = ProcessEvent::None;
        childRuns = true;
        starts.append({program, arguments});
    }
    SupervisorStep::Facts facts() const
    {
        SupervisorStep::Facts f;
        f.processEvent = processEvent;
        f.childRuns = childRuns;
        f.programIsMain = program == mainPath;
        f.programIsWindow = program == windowPath;
        f.programIsFile = f.programIsMain ? mainIsFile : f.programIsWindow && windowIsFile;
        f.programActive = f.programIsMain ? appActive == 1 : f.programIsWindow && windowActive == 1;
        f.exitCode = exitCode;
        f.exitStatus = exitStatus;
        f.lastText = lastText;
        f.settingsFileName = settingsFile;
        f.generalAppPath = mainPath;
        f.folderBusy = folderBusy;
        f.onProbation = onProbation;
        f.rollbackWanted = rollbackWanted;
        f.failureEndsProbation = failureEndsProbation;
        f.updateWindow = updateWindow;
        f.timeOfDay = timeOfDay;
        return f;
    }
};

QStringList withText(const QString &text)
{
    return {QStringLiteral("--text"), text};
}
}

// The supervisor's step machine on values, tick by tick, without child processes.
class TestSupervisorStep : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void firstStartOn153rdTick_data();
    void firstStartOn153rdTick();
    void silentChildIsTerminatedOrKilled_data();
    void silentChildIsTerminatedOrKilled();
    void busyChildIsTerminatedFirst();
    void missingOrDisabledMainShowsWindow_data();
    void missingOrDisabledMainShowsWindow();
    void failingWindowPacesTheRetries_data();
    void failingWindowPacesTheRetries();
    void endOfMainTexts_data();
    void endOfMainTexts();
    void tokenChunks_data();
    void tokenChunks();
    void updaterStates_data();
    void updaterStates();
    void updateReadyAtStart();
    void updateReadyDuringRunWaitsForTheEnd();
    void updateDoneBeforeWindowStillShowsWaitingText();
    void requestedUpdateWithoutWindowLeavesNoWaitingText();
    void disabledWindowGivesRetryDelay();
    void startEndsBeforeItIsSeen_data();
    void startEndsBeforeItIsSeen();
    void startSeenOnLastTickIsNotKilled();
    void mainWaitsForARunningInstallation_data();
    void mainWaitsForARunningInstallation();
    void endOfMainForProbation_data();
    void endOfMainForProbation();
    void failedProbationBringsThePreviousVersionBack();
    void unansweredRollbackLetsTheInstalledVersionRun();
    void unfinishedInstallationHoldsTheMain();
    void noInstallationDuringProbation();
    void updateWindowEndsTheApplication_data();
    void updateWindowEndsTheApplication();
};

void TestSupervisorStep::firstStartOn153rdTick_data()
{
    QTest::addColumn<int>("fullscreen");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("fullscreen") << 1 << QStringList{QStringLiteral("--fullscreen")};
    QTest::newRow("windowed") << 0 << QStringList();
}

void TestSupervisorStep::firstStartOn153rdTick()
{
    QFETCH(int, fullscreen);
    QFETCH(QStringList, arguments);
    World world;
    world.fullscreen = fullscreen;
    world.tick();
    QCOMPARE(world.step(), 1);
    QCOMPARE(world.state.tickCounter, SupervisorStep::UpdateWaitTicks);
    QCOMPARE(world.program, mainPath);
    world.ticks(151);
    QCOMPARE(world.step(), 2);
    QVERIFY(world.starts.isEmpty());
    world.tick();
    QCOMPARE(world.step(), 4);
    QCOMPARE(world.starts.size(), 1);
    QCOMPARE(world.starts.first().program, mainPath);
    QCOMPARE(world.starts.first().arguments, arguments);
    QCOMPARE(world.state.tickCounter, SupervisorStep::StartTimeoutTicks);
    QCOMPARE(world.settingsReads, 1);

    world.started();
    world.tick();
    QCOMPARE(world.step(), 5);
    QCOMPARE(world.state.aliveCounter, SupervisorStep::AliveTicks);
}

void TestSupervisorStep::silentChildIsTerminatedOrKilled_data()
{
    QTest::addColumn<int>("survives");
    QTest::newRow("ends on terminate") << 0;
    QTest::newRow("ignores terminate") << 1;
    QTest::newRow("survives the first kill") << 2;
}

void TestSupervisorStep::silentChildIsTerminatedOrKilled()
{
    QFETCH(int, survives);
    World world;
    world.reachRunningMain();

    world.ticks(SupervisorStep::AliveTicks);
    QCOMPARE(world.step(), 5);
    QCOMPARE(world.state.aliveCounter, 0);
    world.tick();
    QCOMPARE(world.step(), 6);
    QCOMPARE(world.terminates, 0);
    world.tick();
    QCOMPARE(world.step(), 7);
    QCOMPARE(world.last.action, Action::Terminate);

    if (survives == 0) {
        world.ended(0, 0);
        world.tick();
        QCOMPARE(world.step(), 8);
        QCOMPARE(world.kills, 0);
    } else {
        world.ticks(SupervisorStep::TerminateTicks + 1);
        QCOMPARE(world.step(), 10);
        world.tick();
        QCOMPARE(world.step(), 9);
        QCOMPARE(world.kills, 1);
        if (survives == 2) {
            world.ticks(SupervisorStep::KillTicks);
            QCOMPARE(world.step(), 9);
            world.tick();
            QCOMPARE(world.step(), 10);
            QCOMPARE(world.last.note, Note::NoKill);
            world.tick();
            QCOMPARE(world.kills, 2);
        }
        world.ended(9, 1);
        world.tick();
        QCOMPARE(world.step(), 8);
    }
    QCOMPARE(world.terminates, 1);
    world.tick();
    QCOMPARE(world.last.note, Note::ChildEnded);
    QCOMPARE(world.step(), 1);
    QCOMPARE(world.program, windowPath);
}

void TestSupervisorStep::busyChildIsTerminatedFirst()
{
    World world;
    world.ticks(152);
    world.childRuns = true;
    world.tick();
    QCOMPARE(world.last.note, Note::Busy);
    QCOMPARE(world.step(), 6);
    QVERIFY(world.starts.isEmpty());
}

void TestSupervisorStep::missingOrDisabledMainShowsWindow_data()
{
    QTest::addColumn<bool>("mainIsFile");
    QTest::addColumn<int>("appActive");
    QTest::addColumn<int>("reason");
    QTest::addColumn<QString>("textStart");
    QTest::newRow("missing") << false << 1 << 3 << QStringLiteral("Задайте путь к приложению. ");
    QTest::newRow("disabled") << true << 0 << 4 << QStringLiteral("Приложение отключено. ");
    QTest::newRow("missing and disabled") << false << 0 << 4 << QStringLiteral("Приложение отключено. ");
}

void TestSupervisorStep::missingOrDisabledMainShowsWindow()
{
    QFETCH(bool, mainIsFile);
    QFETCH(int, appActive);
    QFETCH(int, reason);
    QFETCH(QString, textStart);
    World world;
    world.mainIsFile = mainIsFile;
    world.appActive = appActive;

    world.ticks(153);
    QCOMPARE(world.step(), 2);
    QCOMPARE(world.program, windowPath);
    QCOMPARE(int(world.state.messageReason), reason);
    QVERIFY(world.starts.isEmpty());
    world.tick();
    QCOMPARE(world.step(), 4);
    QCOMPARE(world.starts.size(), 1);
    QCOMPARE(world.starts.first().arguments, withText(textStart + hint));
    QCOMPARE(int(world.state.messageReason), 6);

    // Repaired while the window shows: the settings are read again before the main application.
    world.mainIsFile = true;
    world.appActive = 1;
    world.started();
    world.tick();
    QCOMPARE(world.step(), 5);
    world.ended();
    world.tick();
    QCOMPARE(world.step(), 8);
    const int reads = world.settingsReads;
    world.tick();
    QCOMPARE(world.last.action, Action::ReadSettings);
    QCOMPARE(world.settingsReads, reads + 1);
    QCOMPARE(world.step(), 2);
    QVERIFY(world.tickUntilStarted(mainPath));
    QCOMPARE(world.starts.last().arguments, QStringList{QStringLiteral("--fullscreen")});
}

void TestSupervisorStep::failingWindowPacesTheRetries_data()
{
    QTest::addColumn<int>("event");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<bool>("failed");
    QTest::newRow("exit code 1") << 8 << 1 << 0 << true;
    QTest::newRow("crash") << 8 << 6 << 1 << true;
    QTest::newRow("given up without an end") << 3 << 0 << 0 << true;
    QTest::newRow("normal end") << 8 << 0 << 0 << false;
}

// A window that cannot come up (no display, a broken installation) ends at once; with the main
// application missing as well the two would take turns several times a second, each turn
// re-reading and logging the settings, for as long as nobody repairs the device.
void TestSupervisorStep::failingWindowPacesTheRetries()
{
    QFETCH(int, event);
    QFETCH(int, exitCode);
    QFETCH(int, exitStatus);
    QFETCH(bool, failed);
    World world;
    world.mainIsFile = false;
    world.ticks(154);
    QCOMPARE(world.starts.size(), 1);
    QCOMPARE(world.starts.first().program, windowPath);
    world.ended(exitCode, exitStatus);
    world.processEvent = ProcessEvent(event);
    for (int i = 0; i < 3 && world.step() != 8; ++i)
        world.tick();
    QCOMPARE(world.step(), 8);
    world.tick();
    QCOMPARE(world.program, mainPath);
    if (!failed) {
        QCOMPARE(world.last.note, Note::ChildEnded);
        QCOMPARE(world.last.action, Action::ReadSettings);
        QCOMPARE(world.step(), 2);
        return;
    }
    QCOMPARE(world.last.note, Note::WindowFailed);
    QCOMPARE(world.step(), 11);
    const int reads = world.settingsReads;
    world.ticks(SupervisorStep::RetryTicks);
    QCOMPARE(world.step(), 11);
    world.tick();
    QCOMPARE(world.step(), 2);
    QCOMPARE(world.settingsReads, reads + 1);
    QCOMPARE(world.starts.size(), 1);
}

void TestSupervisorStep::endOfMainTexts_data()
{
    QTest::addColumn<int>("stream");
    QTest::addColumn<QString>("chunk");
    QTest::addColumn<QString>("updateState");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("arguments");

    const int out = int(Event::StandardOutput);
    const int err = int(Event::StandardError);
    const QString unknown = QStringLiteral("Unknown error");
    QTest::newRow("exit code 3") << out << QString() << QString() << 3 << 0 << unknown
                                 << withText(unexpectedText + QStringLiteral("3, 0, Unknown error"));
    QTest::newRow("crash") << out << QString() << QString() << 6 << 1 << QStringLiteral("Process crashed")
                           << withText(unexpectedText + QStringLiteral("6, 1, Process crashed"));
    QTest::newRow("$QUIT") << out << "$QUIT\n" << QString() << 0 << 0 << unknown << withText(hint);
    QTest::newRow("$QUIT on stderr") << err << "$QUIT\n" << QString() << 0 << 0 << unknown << withText(hint);
    QTest::newRow("quit in a line") << out << "will quit now\n" << QString() << 0 << 0 << unknown << withText(hint);
    QTest::newRow("$PLESSA_START") << out << "$PLESSA_START\n" << QString() << 0 << 0 << unknown << withText(hint);
    QTest::newRow("PLESSA_START") << out << "PLESSA_START\n" << QString() << 0 << 0 << unknown << withText(hint);
    QTest::newRow("$UPDATING") << out << "$UPDATING\n" << QString() << 0 << 0 << unknown << QStringList();
    QTest::newRow("$UPDATING on stderr") << err << "$UPDATING\n" << QString() << 0 << 0 << unknown
                                         << withText(unexpectedText + QStringLiteral("0, 0, Unknown error"));
    QTest::newRow("$PAUSE") << out << "$PAUSE\n" << QString() << 0 << 0 << unknown
                            << withText(unexpectedText + QStringLiteral("0, 0, Unknown error"));
    QTest::newRow("$QUIT after update error") << out << "$QUIT\n" << "error" << 0 << 0 << unknown
                                              << withText(hint + updateErrorText);
    QTest::newRow("$QUIT while updating") << out << "$QUIT\n" << "updating" << 0 << 0 << unknown
                                          << withText(hint + waitingText);
    QTest::newRow("$QUIT after update") << out << "$QUIT\n" << "updated" << 0 << 0 << unknown << withText(hint);
}

void TestSupervisorStep::endOfMainTexts()
{
    QFETCH(int, stream);
    QFETCH(QString, chunk);
    QFETCH(QString, updateState);
    QFETCH(int, exitCode);
    QFETCH(int, exitStatus);
    QFETCH(QString, error);
    QFETCH(QStringList, arguments);
    World world;
    world.errorString = error;
    world.reachRunningMain();
    if (!chunk.isEmpty())
        world.event(Event(stream), chunk);
    if (!updateState.isEmpty())
        world.event(Event::UpdaterState, updateState);
    world.ended(exitCode, exitStatus);
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.starts.last().arguments, arguments);
    QCOMPARE(int(world.state.messageReason), 6);
}

void TestSupervisorStep::tokenChunks_data()
{
    QTest::addColumn<int>("stream");
    QTest::addColumn<QString>("chunk");
    QTest::addColumn<bool>("aliveReset");
    QTest::addColumn<int>("reason");

    const int out = int(Event::StandardOutput);
    const int err = int(Event::StandardError);
    QTest::newRow("$ALIVE then $QUIT: quit lost") << out << "$ALIVE\n$QUIT\n" << true << 6;
    QTest::newRow("$QUIT then $ALIVE: order of the table wins") << out << "$QUIT\n$ALIVE\n" << true << 6;
    QTest::newRow("$PLESSA_START before $QUIT") << out << "$PLESSA_START\n$QUIT\n" << false << 1;
    QTest::newRow("$UPDATING before $QUIT") << out << "$QUIT\n$UPDATING\n" << false << 2;
    QTest::newRow("$PLESSA_START before $UPDATING") << out << "$UPDATING\n$PLESSA_START\n" << false << 1;
    QTest::newRow("alive in a diagnostic line") << out << "still alive here\n" << true << 6;
    QTest::newRow("$PAUSE is only logged") << out << "$PAUSE\n" << false << 6;
    QTest::newRow("unknown token") << out << "$SOMETHING\n" << false << 6;
    QTest::newRow("lower-case $alive is not a token but contains alive") << out << "$alive\n" << true << 6;
    QTest::newRow("$ALIVE on stderr ignored") << err << "$ALIVE\n" << false << 6;
    QTest::newRow("$UPDATING on stderr ignored") << err << "$UPDATING\n" << false << 6;
    QTest::newRow("$QUIT on stderr") << err << "$QUIT\n" << false << 0;
    QTest::newRow("quit on stderr") << err << "cannot quit\n" << false << 0;
    QTest::newRow("split token") << out << "$ALI" << false << 6;
}

void TestSupervisorStep::tokenChunks()
{
    QFETCH(int, stream);
    QFETCH(QString, chunk);
    QFETCH(bool, aliveReset);
    QFETCH(int, reason);
    World world;
    // After the start tick the liveness counter is 0 until the start is seen.
    world.ticks(153);
    QCOMPARE(world.step(), 4);
    QCOMPARE(world.state.aliveCounter, 0);
    const SupervisorStep::State before = world.state;
    const SupervisorStep::Decision decision = SupervisorStep::decide(before, Event(stream), {}, chunk);
    QCOMPARE(decision.action, Action::None);
    QCOMPARE(decision.state.step, before.step);
    QCOMPARE(decision.state.aliveCounter, aliveReset ? SupervisorStep::AliveTicks : 0);
    QCOMPARE(int(decision.state.messageReason), reason);
}

void TestSupervisorStep::updaterStates_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("after");
    QTest::newRow("ready") << 0 << "ready" << 1;
    QTest::newRow("updating") << 4 << "updating" << 2;
    QTest::newRow("updated") << 2 << "updated" << 3;
    QTest::newRow("error") << 2 << "error" << 5;
    QTest::newRow("other names change nothing") << 2 << "downloading" << 2;
    QTest::newRow("unknown name") << 5 << "bogus" << 5;
    QTest::newRow("case counts") << 0 << "Ready" << 0;
}

void TestSupervisorStep::updaterStates()
{
    QFETCH(int, before);
    QFETCH(QString, name);
    QFETCH(int, after);
    SupervisorStep::State state;
    state.updateState = Update(before);
    QCOMPARE(int(SupervisorStep::decide(state, Event::UpdaterState, {}, name).state.updateState), after);
}

void TestSupervisorStep::updateReadyAtStart()
{
    World world;
    world.ticks(20);
    QCOMPARE(world.step(), 1);
    world.event(Event::UpdaterState, QStringLiteral("ready"));
    QCOMPARE(int(world.state.updateState), 1);
    world.tick();
    QCOMPARE(world.last.action, Action::RequestUpdate);
    QCOMPARE(world.updateRequests, 1);
    QCOMPARE(int(world.state.updateState), 4);
    QCOMPARE(world.step(), 2);
    QCOMPARE(world.program, windowPath);
    world.tick();
    QCOMPARE(world.step(), 4);
    QCOMPARE(world.starts.size(), 1);
    QCOMPARE(world.starts.first().arguments, withText(waitingText));

    // The updater reports its progress; when the window ends the (updated) main application runs.
    world.event(Event::UpdaterState, QStringLiteral("updating"));
    world.event(Event::UpdaterState, QStringLiteral("updated"));
    world.started();
    world.tick();
    world.ended();
    QVERIFY(world.tickUntilStarted(mainPath));
    QCOMPARE(world.updateRequests, 1);
}

void TestSupervisorStep::updateReadyDuringRunWaitsForTheEnd()
{
    World world;
    world.reachRunningMain();
    world.event(Event::UpdaterState, QStringLiteral("ready"));
    for (int i = 0; i < 3 * SupervisorStep::AliveTicks; ++i) {
        if (i % 100 == 0)
            world.event(Event::StandardOutput, QStringLiteral("$ALIVE\n"));
        world.tick();
    }
    QCOMPARE(world.step(), 5);
    QCOMPARE(world.updateRequests, 0);
    world.ended();
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.updateRequests, 1);
    QCOMPARE(world.starts.last().arguments, withText(waitingText));
}

// The updater may finish a small installation between the tick that requests it and the tick that
// starts the window.
void TestSupervisorStep::updateDoneBeforeWindowStillShowsWaitingText()
{
    World world;
    world.ticks(2);
    world.event(Event::UpdaterState, QStringLiteral("ready"));
    world.tick();
    QCOMPARE(world.step(), 2);
    world.event(Event::UpdaterState, QStringLiteral("updating"));
    world.event(Event::UpdaterState, QStringLiteral("updated"));
    world.tick();
    QCOMPARE(world.starts.size(), 1);
    QCOMPARE(world.starts.first().arguments, withText(waitingText));

    // the next window, not tied to a requested update, no longer says so
    world.started();
    world.tick();
    world.ended();
    QVERIFY(world.tickUntilStarted(mainPath));
    world.started();
    world.tick();
    QCOMPARE(world.step(), 5);
    world.ended();
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.starts.last().arguments, withText(unexpectedText + QStringLiteral("0, 0, Unknown error")));
}

// Without a window to show it, the waiting text of a requested update must not turn up in the
// window of some later, unrelated end of the application.
void TestSupervisorStep::requestedUpdateWithoutWindowLeavesNoWaitingText()
{
    World world;
    world.windowActive = 0;
    world.ticks(2);
    world.event(Event::UpdaterState, QStringLiteral("ready"));
    world.tick();
    QCOMPARE(world.updateRequests, 1);
    world.tick();
    QCOMPARE(world.step(), 11);
    world.event(Event::UpdaterState, QStringLiteral("updating"));
    world.event(Event::UpdaterState, QStringLiteral("updated"));

    // the window is switched back on while the supervisor waits
    world.windowActive = 1;
    world.ticks(SupervisorStep::RetryTicks + 1);
    QCOMPARE(world.step(), 2);
    QVERIFY(world.tickUntilStarted(mainPath));
    world.started();
    world.tick();
    QCOMPARE(world.step(), 5);
    world.ended();
    QVERIFY(world.tickUntilStarted(windowPath));
    // The reason of the requested update ended with the run of the application: the window is
    // about how that run ended, and says nothing of the update.
    QCOMPARE(world.starts.last().arguments, withText(unexpectedText + QStringLiteral("0, 0, Unknown error")));
}

void TestSupervisorStep::disabledWindowGivesRetryDelay()
{
    World world;
    world.windowActive = 0;
    world.reachRunningMain();
    world.ended();
    world.tick();
    QCOMPARE(world.step(), 8);
    world.tick();
    QCOMPARE(world.step(), 1);
    world.ticks(2);
    QCOMPARE(world.step(), 2);
    world.tick();
    QCOMPARE(world.step(), 11);
    world.ticks(SupervisorStep::RetryTicks);
    QCOMPARE(world.step(), 11);
    world.tick();
    QCOMPARE(world.step(), 2);
    QCOMPARE(world.program, mainPath);
    world.tick();
    QCOMPARE(world.step(), 4);
    QCOMPARE(world.starts.size(), 2);
    QCOMPARE(world.starts.last().program, mainPath);
}

void TestSupervisorStep::startEndsBeforeItIsSeen_data()
{
    QTest::addColumn<bool>("finishedSeen");
    QTest::newRow("finished before the start was seen") << true;
    QTest::newRow("never started, confirmation ran out") << false;
}

void TestSupervisorStep::startEndsBeforeItIsSeen()
{
    QFETCH(bool, finishedSeen);
    World world;
    world.errorString = QStringLiteral("execve: Permission denied");
    world.ticks(153);
    QCOMPARE(world.step(), 4);
    world.childRuns = false;
    if (finishedSeen) {
        world.processEvent = ProcessEvent::Finished;
        world.tick();
    } else {
        world.ticks(SupervisorStep::StartTimeoutTicks);
        QCOMPARE(world.step(), 4);
        world.tick();
        QCOMPARE(world.last.note, Note::StartTimeout);
    }
    QCOMPARE(world.step(), 8);
    QCOMPARE(int(world.state.messageReason), 5);
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.starts.last().arguments,
             withText(QStringLiteral("Приложение не запустилось (execve: Permission denied). Путь к приложению:\n")
                      + mainPath));
}

void TestSupervisorStep::startSeenOnLastTickIsNotKilled()
{
    World world;
    world.ticks(153);
    // The start confirmation runs out before the start notification is read.
    world.ticks(SupervisorStep::StartTimeoutTicks);
    QCOMPARE(world.step(), 4);
    QCOMPARE(world.state.tickCounter, 0);
    world.started();
    world.tick();
    QCOMPARE(world.step(), 5);
    QCOMPARE(world.last.note, Note::None);
    // A child that runs but is never confirmed is killed.
    World silent;
    silent.ticks(153 + SupervisorStep::StartTimeoutTicks + 1);
    QCOMPARE(silent.last.note, Note::StartTimeout);
    QCOMPARE(silent.step(), 10);
}

void TestSupervisorStep::mainWaitsForARunningInstallation_data()
{
    QTest::addColumn<QStringList>("reports");
    QTest::addColumn<int>("silentTicks");
    QTest::addColumn<bool>("mainStarts");

    const QString lost = QStringLiteral("(lost)");
    QTest::newRow("installation running") << QStringList{"updating"} << 0 << false;
    QTest::newRow("updater gone mid-installation") << QStringList{"updating", lost} << 0 << false;
    QTest::newRow("gone, a new updater reports another state") << QStringList{"updating", lost, "init"} << 0 << true;
    QTest::newRow("gone, a new updater installs again") << QStringList{"updating", lost, "updating"} << 0 << false;
    QTest::newRow("the installing updater reports something else") << QStringList{"updating", "downloading"} << 0
                                                                   << false;
    QTest::newRow("updated") << QStringList{"updating", "updated"} << 0 << true;
    QTest::newRow("update error") << QStringList{"updating", "error"} << 0 << true;
    QTest::newRow("gone, silent for almost 10 minutes") << QStringList{"updating", lost} << 5990 << false;
    QTest::newRow("gone, silent for 10 minutes") << QStringList{"updating", lost} << 6000 << true;
}

// The window of a requested update ends (its countdown) while the updater still installs, or
// after the updater was killed half-way: the application must not start on half-replaced files.
void TestSupervisorStep::mainWaitsForARunningInstallation()
{
    QFETCH(QStringList, reports);
    QFETCH(int, silentTicks);
    QFETCH(bool, mainStarts);
    World world;
    world.ticks(2);
    world.event(Event::UpdaterState, QStringLiteral("ready"));
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.starts.last().arguments, withText(waitingText));
    world.started();
    world.tick();
    for (const QString &report : reports) {
        if (report == QLatin1String("(lost)"))
            world.event(Event::UpdaterLost, QString());
        else
            world.event(Event::UpdaterState, report);
    }
    for (int i = 0; i < silentTicks; ++i) {
        if (i % 100 == 0)
            world.event(Event::StandardOutput, QStringLiteral("$ALIVE\n"));
        world.tick();
    }
    QCOMPARE(world.step(), 5);
    world.ended();

    if (mainStarts) {
        QVERIFY(world.tickUntilStarted(mainPath));
        QCOMPARE(world.last.note, silentTicks > 0 ? Note::UpdaterSilent : Note::None);
        return;
    }
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.starts.last().arguments, withText(waitingText));
    QCOMPARE(world.starts.size(), 2);
}

void TestSupervisorStep::endOfMainForProbation_data()
{
    QTest::addColumn<QString>("windowOutput");
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<bool>("failed");
    const QString none;
    const QString quit = QStringLiteral("$QUIT\n");
    QTest::newRow("exit 0") << none << none << 0 << 0 << false << false;
    QTest::newRow("exit 3") << none << none << 3 << 0 << false << true;
    QTest::newRow("crash") << none << none << 0 << 1 << false << true;
    QTest::newRow("$QUIT, then exit 1") << none << quit << 1 << 0 << false << false;
    QTest::newRow("killed for silence, exit 0") << none << none << 0 << 0 << true << true;
    QTest::newRow("the window's $QUIT, then a crash") << quit << none << 0 << 1 << false << true;
    QTest::newRow("the window's $QUIT, then exit 3") << quit << none << 3 << 0 << false << true;
}

// What counts against a new version: only the ends a user would call a failure. The window then
// shows the settings file only after the application's own "$QUIT", else how it ended.
void TestSupervisorStep::endOfMainForProbation()
{
    QFETCH(QString, windowOutput);
    QFETCH(QString, output);
    QFETCH(int, exitCode);
    QFETCH(int, exitStatus);
    QFETCH(bool, silent);
    QFETCH(bool, failed);
    World world;
    world.appActive = 0;
    world.ticks(150);
    QVERIFY(world.tickUntilStarted(windowPath));
    world.started();
    world.tick();
    if (!windowOutput.isEmpty())
        world.event(Event::StandardOutput, windowOutput);
    world.appActive = 1;
    world.ended();
    QVERIFY(world.tickUntilStarted(mainPath));
    world.started();
    world.tick();
    if (!output.isEmpty())
        world.event(Event::StandardOutput, output);
    if (silent) {
        for (int i = 0; i < SupervisorStep::AliveTicks + 5 && world.terminates == 0; ++i)
            world.tick();
        QCOMPARE(world.terminates, 1);
    }
    world.ended(exitCode, exitStatus);
    for (int i = 0; i < 3 && world.last.note != Note::ChildEnded; ++i)
        world.tick();
    QCOMPARE(world.last.note, Note::ChildEnded);
    QCOMPARE(world.last.mainEnd, failed ? SupervisorStep::MainEnd::Failed : SupervisorStep::MainEnd::Normal);
    QVERIFY(world.tickUntilStarted(windowPath));
    QVERIFY(world.starts.last().arguments.value(1).startsWith(output.isEmpty() ? unexpectedText : hint));

    // A start that never happens fails too.
    World never;
    never.ticks(153);
    never.ended(255, 0);
    never.ticks(2);
    QCOMPARE(never.last.mainEnd, SupervisorStep::MainEnd::Failed);
}

// The failure that ends the probation asks for the previous version at once; the main application
// waits for it behind the window, and the window then says what happened, once.
void TestSupervisorStep::failedProbationBringsThePreviousVersionBack()
{
    World world;
    world.failureEndsProbation = true;
    world.reachRunningMain();
    world.ended(0, 1);
    for (int i = 0; i < 3 && world.last.note != Note::ChildEnded; ++i)
        world.tick();
    QCOMPARE(world.last.action, Action::RequestRollback);
    QCOMPARE(world.rollbackRequests, 1);
    world.failureEndsProbation = false;
    world.rollbackWanted = true;
    QVERIFY(world.tickUntilStarted(windowPath));
    QVERIFY(world.starts.last().arguments.value(1).startsWith(unexpectedText));
    QVERIFY(world.starts.last().arguments.value(1).endsWith(waitingText));

    // The window's countdown ends before the updater reports: the main application still waits.
    world.event(Event::ProbationState, QStringLiteral("rolling_back"));
    world.ended();
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.starts.last().arguments, withText(waitingText));
    QCOMPARE(world.rollbackRequests, 1);

    world.rollbackWanted = false;
    world.event(Event::ProbationState, QStringLiteral("rolled_back"));
    world.ended();
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.starts.last().arguments,
             withText(QStringLiteral("Обновление отменено, восстановлена предыдущая версия приложения.")));
    world.ended();
    QVERIFY(world.tickUntilStarted(mainPath));
    QCOMPARE(world.rollbackRequests, 1);

    // A rollback that the updater refuses lets the version run again for ten minutes before it is
    // asked for again; one that is never reported is asked for again after ten minutes.
    World refused;
    refused.rollbackWanted = true;
    refused.ticks(153);
    QCOMPARE(refused.rollbackRequests, 1);
    refused.event(Event::ProbationState, QStringLiteral("rollback_error"));
    QVERIFY(refused.tickUntilStarted(windowPath));
    refused.ended();
    QVERIFY(refused.tickUntilStarted(mainPath));
    refused.started();
    refused.tick();
    refused.ended(0, 1);
    QVERIFY(refused.tickUntilStarted(windowPath));
    refused.ended();
    QVERIFY(refused.tickUntilStarted(mainPath));
    QCOMPARE(refused.rollbackRequests, 1);
    refused.ticks(SupervisorStep::UpdaterSilenceTicks);
    refused.ended(0, 1);
    refused.ticks(3);
    QVERIFY(refused.tickUntilStarted(windowPath));
    refused.ended();
    refused.ticks(3);
    QCOMPARE(refused.rollbackRequests, 2);

    World silent;
    silent.rollbackWanted = true;
    silent.ticks(153);
    QCOMPARE(silent.rollbackRequests, 1);
    QVERIFY(silent.tickUntilStarted(windowPath));
    silent.started();
    silent.ticks(SupervisorStep::UpdaterSilenceTicks);
    silent.ended();
    silent.ticks(3);
    QCOMPARE(silent.rollbackRequests, 2);
}

// Without an updater the failed version is all there is: after three requests nobody answered it
// runs (a blank device helps nobody), and the rollback is asked for again ten minutes later.
void TestSupervisorStep::unansweredRollbackLetsTheInstalledVersionRun()
{
    World world;
    world.rollbackWanted = true;
    world.ticks(153);
    for (int request = 1; request <= SupervisorStep::RollbackAsks; ++request) {
        QVERIFY(world.tickUntilStarted(windowPath));
        QCOMPARE(world.rollbackRequests, request);
        world.started();
        world.ticks(SupervisorStep::UpdaterSilenceTicks);
        world.ended();
    }
    QVERIFY(world.tickUntilStarted(mainPath));
    QCOMPARE(world.last.note, Note::RollbackUnanswered);
    QCOMPARE(world.rollbackRequests, SupervisorStep::RollbackAsks);

    // Ten minutes later the next end of the application asks again and waits one window for an
    // answer; an updater that answers is waited for as long as ever.
    for (const bool answered : {false, true}) {
        world.started();
        world.ticks(SupervisorStep::UpdaterSilenceTicks);
        world.ended(0, 1);
        QVERIFY(world.tickUntilStarted(windowPath));
        world.ended();
        QVERIFY(world.tickUntilStarted(windowPath));
        if (answered)
            world.event(Event::ProbationState, QStringLiteral("rolling_back"));
        world.started();
        world.ticks(SupervisorStep::RollbackAnswerTicks);
        world.ended();
        QVERIFY(world.tickUntilStarted(answered ? windowPath : mainPath));
    }
    QCOMPARE(world.rollbackRequests, SupervisorStep::RollbackAsks + 2);
}

void TestSupervisorStep::unfinishedInstallationHoldsTheMain()
{
    World world;
    world.folderBusy = true;
    world.ticks(150);
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.starts.last().arguments, withText(waitingText));
    world.ended();
    QVERIFY(world.tickUntilStarted(windowPath));
    world.folderBusy = false;
    world.ended();
    QVERIFY(world.tickUntilStarted(mainPath));
}

void TestSupervisorStep::noInstallationDuringProbation()
{
    World world;
    world.onProbation = true;
    world.ticks(2);
    world.event(Event::UpdaterState, QStringLiteral("ready"));
    world.ticks(148);
    QVERIFY(world.tickUntilStarted(mainPath));
    QCOMPARE(world.updateRequests, 0);
    // Once the verdict is in, the next end of the application lets the update in.
    world.onProbation = false;
    world.started();
    world.tick();
    world.ended();
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.updateRequests, 1);
}

void TestSupervisorStep::updateWindowEndsTheApplication_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("now");
    QTest::addColumn<bool>("ready");
    QTest::addColumn<bool>("onProbation");
    QTest::addColumn<bool>("ends");
    QTest::newRow("inside") << "03:00-05:00" << "04:10" << true << false << true;
    QTest::newRow("at its start, one-digit hours") << " 3:00 - 5:00 " << "03:00" << true << false << true;
    QTest::newRow("at its end") << "03:00-05:00" << "05:00" << true << false << false;
    QTest::newRow("before") << "03:00-05:00" << "02:59" << true << false << false;
    QTest::newRow("over midnight, before it") << "23:00-01:00" << "23:30" << true << false << true;
    QTest::newRow("over midnight, after it") << "23:00-01:00" << "00:30" << true << false << true;
    QTest::newRow("over midnight, at noon") << "23:00-01:00" << "12:00" << true << false << false;
    QTest::newRow("no window") << "" << "04:10" << true << false << false;
    QTest::newRow("malformed: one time") << "04:00" << "04:10" << true << false << false;
    QTest::newRow("malformed: no length") << "04:00-04:00" << "04:10" << true << false << false;
    QTest::newRow("malformed: hour 25") << "25:00-05:00" << "04:10" << true << false << false;
    QTest::newRow("nothing ready") << "03:00-05:00" << "04:10" << false << false << false;
    QTest::newRow("on probation") << "03:00-05:00" << "04:10" << true << true << false;
}

// A ready update inside the window ends the running application as silence does, is installed
// behind the waiting window, and the application starts again; the end is no failure. Once per
// window: an update that is ready again (its installation failed) must not end it over and over.
void TestSupervisorStep::updateWindowEndsTheApplication()
{
    QFETCH(QString, window);
    QFETCH(QString, now);
    QFETCH(bool, ready);
    QFETCH(bool, onProbation);
    QFETCH(bool, ends);
    World world;
    const bool valid = SupervisorStep::parseUpdateWindow(window, &world.updateWindow);
    QCOMPARE(valid, !QByteArray(QTest::currentDataTag()).startsWith("malformed"));
    world.timeOfDay = QTime::fromString(now, QStringLiteral("HH:mm"));
    world.onProbation = onProbation;
    world.reachRunningMain();
    if (ready)
        world.event(Event::UpdaterState, QStringLiteral("ready"));
    world.ticks(3);
    QCOMPARE(world.terminates, ends ? 1 : 0);
    if (!ends)
        return;
    // SIGTERM ends the application with a crash exit: still no failure.
    world.ended(0, 1);
    for (int i = 0; i < 3 && world.last.note != Note::ChildEnded; ++i)
        world.tick();
    QCOMPARE(world.last.mainEnd, SupervisorStep::MainEnd::Normal);
    QVERIFY(world.tickUntilStarted(windowPath));
    QCOMPARE(world.updateRequests, 1);
    QCOMPARE(world.starts.last().arguments, withText(waitingText));
    world.event(Event::UpdaterState, QStringLiteral("error"));
    world.started();
    world.tick();
    world.ended();
    QVERIFY(world.tickUntilStarted(mainPath));
    world.started();
    world.event(Event::UpdaterState, QStringLiteral("ready"));
    world.ticks(5);
    QCOMPARE(world.terminates, 1);
}

QTEST_GUILESS_MAIN(TestSupervisorStep)
#include "tst_supervisorstep.moc"
