#ifndef SUPERVISORSTEP_H
#define SUPERVISORSTEP_H

#include <QString>
#include <QStringList>
#include <QTime>

// The supervisor's decisions on values only: from what it remembers (State), what just happened
// (Event) and how the world looks right now (Facts), decide() returns what to remember next and
// the one thing to do. Launch owns the child process, the timer and the settings and only applies
// the Decision, so every turn of the step machine can be checked without a child process.
class SupervisorStep
{
public:
    // The numbers are those that getStep() and friends have always reported.
    enum class Step {
        Begin = 0,
        WaitForUpdate = 1,
        Start = 2,
        WaitForStart = 4,
        Running = 5,
        Terminate = 6,
        WaitForTerminate = 7,
        Finished = 8,
        WaitForKill = 9,
        Kill = 10,
        RetryDelay = 11
    };
    // Why the message window is shown; chooses its text.
    enum class Reason {
        Quit = 0,
        PlessaStart = 1,
        Updating = 2,
        AppMissing = 3,
        AppDisabled = 4,
        StartFailed = 5,
        UnexpectedExit = 6,
        RolledBack = 7
    };
    // Requested: the supervisor has asked for the installation of a ready update.
    enum class Update { None = 0, Ready = 1, Updating = 2, Updated = 3, Requested = 4, Error = 5 };
    enum class ProcessEvent { None = 0, Started = 3, Finished = 8 };

    // Tick: the 100 ms timer. StandardOutput, StandardError and UpdaterState carry a text: a chunk
    // of the child's output, or an update state name reported by the updater. UpdaterLost: the
    // connection to the updater dropped. ProbationState: a "state_probation" value of the updater.
    enum class Event { Tick, StandardOutput, StandardError, UpdaterState, UpdaterLost, ProbationState };

    // StartMain: re-read the settings, then start the chosen program with mainArguments().
    // StartWindow: start the chosen program with Decision::arguments.
    // ReadSettings: re-read the settings before the program is chosen.
    // RequestRollback: ask the updater to put the previous version back.
    enum class Action { None, RequestUpdate, StartMain, StartWindow, Terminate, Kill, ReadSettings, RequestRollback };
    // The program to turn to, taken from the settings after the action's re-read.
    enum class Select { Keep, Main, Window };
    // Log lines that go with a decision. ChildEnded and WindowFailed: the ended child is reported
    // before the action and the program chosen after it.
    // UpdaterSilent: an installation was reported but no updater has spoken for UpdaterSilenceTicks;
    // the main application is started all the same.
    // UpdateWindow: an update is ready inside the maintenance window; the running main application
    // is ended so that it can be installed.
    // JournalWait: the application folder holds an unfinished installation; the main application
    // waits until it is gone. RollbackSilent: a requested rollback has not been reported for
    // UpdaterSilenceTicks; it is asked for again. RollbackUnanswered: RollbackAsks requests in a
    // row went unanswered; the installed version runs and the rollback is asked for again later.
    enum class Note { None, Busy, StartTimeout, NoKill, ChildEnded, WindowFailed, UpdaterSilent, JournalWait,
                      RollbackSilent, RollbackUnanswered, UpdateWindow };
    // How a run of the main application ended, for the probation of a new version: a failure is a
    // start that failed, a crash, a non-zero exit code or a kill for silence; an exit with code 0 or
    // after "$QUIT" is not.
    enum class MainEnd { None, Normal, Failed };

    // Ticks of 100 ms
    static constexpr int UpdateWaitTicks = 150;
    static constexpr int StartTimeoutTicks = 50;
    static constexpr int AliveTicks = 600;
    static constexpr int TerminateTicks = 20;
    static constexpr int KillTicks = 100;
    static constexpr int RetryTicks = 150;
    static constexpr int UpdaterSilenceTicks = 6000;
    // Unanswered rollback requests after which the installed version runs rather than nothing.
    static constexpr int RollbackAsks = 3;
    // Once that has happened, how long a new request holds the main application: an updater that
    // is there answers at once, and one that is not must not darken the device every time.
    static constexpr int RollbackAnswerTicks = 100;

    // The daily time of local day in which a ready update may end a running main application, from
    // (inclusive) to (exclusive); a window whose end is before its start runs over midnight. Not set:
    // updates wait for the application to end by itself.
    struct UpdateWindow
    {
        QTime from;
        QTime to;
        bool isSet() const { return from.isValid() && to.isValid(); }
    };

    struct State
    {
        Step step = Step::Begin;
        Reason messageReason = Reason::UnexpectedExit;
        int tickCounter = 0;
        int aliveCounter = 0;
        Update updateState = Update::None;
        // Set when an installation is requested, until the window that waits for it is composed.
        bool updateRequested = false;
        QString messageText;
        // The updater reported "updating" and has not reported the end of it; the main application
        // must not start on files that are being replaced.
        bool installing = false;
        // The updater's connection dropped; whatever updater reports next is a new one.
        bool updaterLost = false;
        // Ticks since the updater last reported, counted while an installation is pending.
        int updaterSilentTicks = 0;
        // Of the current run of the main application: it is the child now, its start was seen, it
        // said "$QUIT", and it was ended for falling silent.
        bool mainRun = false;
        bool runStarted = false;
        bool mainQuit = false;
        bool silenceKill = false;
        // A rollback was asked for and has not been reported as ended; ticks since then.
        bool rollingBack = false;
        int rollbackTicks = 0;
        // Ticks until a rollback the updater refused is asked for again; meanwhile the installed
        // version runs, as it is all there is.
        int rollbackPauseTicks = 0;
        // Rollback requests in a row that no report answered.
        int rollbackUnanswered = 0;
        // The previous version is back; the next start of the main application first says so.
        bool rolledBack = false;
        // The main application is being held back by an unfinished installation in its folder.
        bool heldByJournal = false;
        // This run of the main application was ended for the maintenance window, which is no failure.
        bool windowStop = false;
        // The maintenance window has ended the application once; not again before the next window,
        // so that an update that does not get installed cannot end it over and over.
        bool windowUsed = false;
    };

    struct Facts
    {
        ProcessEvent processEvent = ProcessEvent::None;
        bool childRuns = false;
        // The chosen program names an existing regular file.
        bool programIsFile = false;
        // The chosen program's "active" setting is 1.
        bool programActive = false;
        // The chosen program is the main application / the message window as the settings name them now.
        bool programIsMain = false;
        bool programIsWindow = false;
        int exitCode = 0;
        int exitStatus = 0;
        QString lastText;
        QString settingsFileName;
        QString generalAppPath;
        // The application folder holds the marker of an unfinished installation or rollback.
        bool folderBusy = false;
        // The installed version is on probation: no installation may be requested.
        bool onProbation = false;
        // The installed version has failed its probation and the previous one must come back.
        bool rollbackWanted = false;
        // One more failure of the main application ends the probation of its version.
        bool failureEndsProbation = false;
        UpdateWindow updateWindow;
        // Local time of day now; invalid when unknown.
        QTime timeOfDay;
    };

    struct Decision
    {
        State state;
        Action action = Action::None;
        Select select = Select::Keep;
        Note note = Note::None;
        MainEnd mainEnd = MainEnd::None;
        QStringList arguments;
    };

    static Decision decide(const State &state, Event event, const Facts &facts, const QString &text = QString());

    // The main application's command line after the settings were re-read.
    static QStringList mainArguments(int appFullscreen);

    // "HH:MM-HH:MM" (hours may have one digit, blanks around the dash are allowed). An empty text
    // gives a window that is not set; false for anything else that is not a window.
    static bool parseUpdateWindow(const QString &text, UpdateWindow *window);
    static bool insideUpdateWindow(const UpdateWindow &window, const QTime &timeOfDay);

private:
    static void readStandardOutput(State &state, const QString &chunk);
    static void readStandardError(State &state, const QString &chunk);
    static void takeUpdateState(State &state, const QString &name);
    static void takeProbationState(State &state, const QString &name);
    // False when the main application must not start now; the decision then shows the window.
    static bool mainMayStart(Decision &decision, const Facts &facts);
    static void tick(Decision &decision, const Facts &facts);
    // The counters that run on every tick, whatever the step.
    static void countTick(State &state, const Facts &facts);
    static void waitForUpdate(Decision &decision, const Facts &facts);
    static void waitForStart(Decision &decision, const Facts &facts);
    static void running(Decision &decision, const Facts &facts, bool childEnded);
    // True (once per window) when a ready update is to be installed now, inside the window.
    static bool updateDueInWindow(State &state, const Facts &facts);
    static void start(Decision &decision, const Facts &facts);
    static void finished(Decision &decision, const Facts &facts);
    static void composeMessage(State &state, const Facts &facts);
};

#endif
