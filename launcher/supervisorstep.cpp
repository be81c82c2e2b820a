#include "supervisorstep.h"

#include "protocol.h"

namespace {
bool containsAny(const QString &chunk, const char *first, const char *second)
{
    return chunk.contains(QLatin1String(first)) || chunk.contains(QLatin1String(second));
}
}

SupervisorStep::Decision SupervisorStep::decide(const State &state, Event event, const Facts &facts,
                                                const QString &text)
{
    Decision decision;
    decision.state = state;
    switch (event) {
    case Event::StandardOutput:
        readStandardOutput(decision.state, text);
        break;
    case Event::StandardError:
        readStandardError(decision.state, text);
        break;
    case Event::UpdaterState:
        takeUpdateState(decision.state, text);
        break;
    case Event::UpdaterLost:
        decision.state.updaterLost = true;
        break;
    case Event::ProbationState:
        takeProbationState(decision.state, text);
        break;
    case Event::Tick:
        tick(decision, facts);
        break;
    }
    return decision;
}

QStringList SupervisorStep::mainArguments(int appFullscreen)
{
    return appFullscreen != 0 ? QStringList{QStringLiteral("--fullscreen")} : QStringList();
}

bool SupervisorStep::parseUpdateWindow(const QString &text, UpdateWindow *window)
{
    *window = UpdateWindow();
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return true;
    const QStringList parts = trimmed.split(QLatin1Char('-'));
    if (parts.size() != 2)
        return false;
    const auto timeOf = [](const QString &part) {
        const QString t = part.trimmed();
        // "H:mm" alone would also take "3:5"; minutes always have two digits.
        return t.length() >= 4 && t.length() <= 5 && t.at(t.length() - 3) == QLatin1Char(':')
            ? QTime::fromString(t, QStringLiteral("H:mm"))
            : QTime();
    };
    const UpdateWindow parsed{timeOf(parts.at(0)), timeOf(parts.at(1))};
    // A window of no length would never open; taking it for the whole day would end the
    // application at any time, which nobody who wrote a window asked for.
    if (!parsed.isSet() || parsed.from == parsed.to)
        return false;
    *window = parsed;
    return true;
}

bool SupervisorStep::insideUpdateWindow(const UpdateWindow &window, const QTime &timeOfDay)
{
    if (!window.isSet() || !timeOfDay.isValid())
        return false;
    if (window.from < window.to)
        return timeOfDay >= window.from && timeOfDay < window.to;
    return timeOfDay >= window.from || timeOfDay < window.to;
}

// A chunk is whatever one notification delivers; only the first token in this order counts.
void SupervisorStep::readStandardOutput(State &state, const QString &chunk)
{
    using namespace Protocol::Token;
    if (state.mainRun && containsAny(chunk, Quit, QuitLower))
        state.mainQuit = true;
    // The window says "$QUIT" at the end of every countdown: only the main application's own
    // tokens tell why the next window is shown.
    if (containsAny(chunk, Alive, AliveLower))
        state.aliveCounter = AliveTicks;
    else if (!state.mainRun)
        return;
    else if (containsAny(chunk, PlessaStart, PlessaStartBare))
        state.messageReason = Reason::PlessaStart;
    else if (chunk.contains(QLatin1String(Updating)))
        state.messageReason = Reason::Updating;
    else if (containsAny(chunk, Quit, QuitLower))
        state.messageReason = Reason::Quit;
}

void SupervisorStep::readStandardError(State &state, const QString &chunk)
{
    if (state.mainRun && containsAny(chunk, Protocol::Token::Quit, Protocol::Token::QuitLower)) {
        state.mainQuit = true;
        state.messageReason = Reason::Quit;
    }
}

void SupervisorStep::takeUpdateState(State &state, const QString &name)
{
    using namespace Protocol::State;
    // An installation ends with its result; an updater that was gone and reports anything else
    // is a new one, and the installation it left is no longer running.
    if (name == QLatin1String(Updating))
        state.installing = true;
    else if (name == QLatin1String(Updated) || name == QLatin1String(Error) || state.updaterLost)
        state.installing = false;
    state.updaterLost = false;
    state.updaterSilentTicks = 0;

    if (name == QLatin1String(Ready))
        state.updateState = Update::Ready;
    else if (name == QLatin1String(Updating))
        state.updateState = Update::Updating;
    else if (name == QLatin1String(Updated))
        state.updateState = Update::Updated;
    else if (name == QLatin1String(Error))
        state.updateState = Update::Error;
}

void SupervisorStep::takeProbationState(State &state, const QString &name)
{
    using namespace Protocol::Probation;
    if (name == QLatin1String(RollingBack)) {
        state.rollingBack = true;
        state.rollbackTicks = 0;
        state.rollbackUnanswered = 0;
    } else if (name == QLatin1String(RolledBack)) {
        state.rollingBack = false;
        state.rolledBack = true;
        state.rollbackUnanswered = 0;
    } else if (name == QLatin1String(RollbackError)) {
        state.rollingBack = false;
        state.rollbackPauseTicks = UpdaterSilenceTicks;
        state.rollbackUnanswered = 0;
    } else if (name == QLatin1String(None) && state.rollingBack) {
        // A new updater that finished a rollback cut off in the one before reports no kept files.
        state.rollingBack = false;
        state.rolledBack = true;
        state.rollbackUnanswered = 0;
    }
}

void SupervisorStep::tick(Decision &decision, const Facts &facts)
{
    State &s = decision.state;
    const bool childEnded = facts.processEvent == ProcessEvent::Finished || !facts.childRuns;
    countTick(s, facts);
    switch (s.step) {
    case Step::Begin:
        s.tickCounter = UpdateWaitTicks;
        decision.select = Select::Main;
        s.messageReason = Reason::UnexpectedExit;
        s.step = Step::WaitForUpdate;
        break;
    case Step::WaitForUpdate:
        waitForUpdate(decision, facts);
        break;
    case Step::Start:
        start(decision, facts);
        break;
    case Step::WaitForStart:
        waitForStart(decision, facts);
        break;
    case Step::Running:
        running(decision, facts, childEnded);
        break;
    case Step::Terminate:
        decision.action = Action::Terminate;
        s.tickCounter = TerminateTicks;
        s.step = Step::WaitForTerminate;
        break;
    case Step::WaitForTerminate:
        if (childEnded)
            s.step = Step::Finished;
        if (s.tickCounter != 0)
            --s.tickCounter;
        else
            s.step = Step::Kill;
        break;
    case Step::Finished:
        finished(decision, facts);
        break;
    case Step::WaitForKill:
        // A child that never started reports no "finished"; without the state check it would be
        // killed again every 10 s for ever.
        if (childEnded)
            s.step = Step::Finished;
        if (s.tickCounter != 0) {
            --s.tickCounter;
        } else {
            s.step = Step::Kill;
            decision.note = Note::NoKill;
        }
        break;
    case Step::Kill:
        decision.action = Action::Kill;
        s.tickCounter = KillTicks;
        s.step = Step::WaitForKill;
        break;
    case Step::RetryDelay:
        if (s.tickCounter != 0) {
            --s.tickCounter;
        } else {
            decision.action = Action::ReadSettings;
            decision.select = Select::Main;
            s.step = Step::Start;
        }
        break;
    }
}

void SupervisorStep::countTick(State &s, const Facts &facts)
{
    if (s.installing && s.updaterSilentTicks < UpdaterSilenceTicks)
        ++s.updaterSilentTicks;
    if (s.rollingBack && s.rollbackTicks < UpdaterSilenceTicks)
        ++s.rollbackTicks;
    if (s.rollbackPauseTicks > 0)
        --s.rollbackPauseTicks;
    if (!insideUpdateWindow(facts.updateWindow, facts.timeOfDay))
        s.windowUsed = false;
}

void SupervisorStep::waitForUpdate(Decision &decision, const Facts &facts)
{
    State &s = decision.state;
    // A version on probation is not replaced; the ready update waits for the verdict.
    if (s.updateState == Update::Ready && !facts.onProbation) {
        s.tickCounter = 0;
        decision.select = Select::Window;
        s.messageReason = Reason::Updating;
        s.step = Step::Start;
        s.updateState = Update::Requested;
        s.updateRequested = true;
        decision.action = Action::RequestUpdate;
    } else if (s.tickCounter < 1) {
        s.step = Step::Start;
    } else {
        --s.tickCounter;
    }
}

void SupervisorStep::waitForStart(Decision &decision, const Facts &facts)
{
    State &s = decision.state;
    if (facts.processEvent == ProcessEvent::Started) {
        s.runStarted = true;
        s.aliveCounter = AliveTicks;
        s.step = Step::Running;
    } else if (facts.processEvent == ProcessEvent::Finished) {
        s.messageReason = Reason::StartFailed;
        s.step = Step::Finished;
    }
    // Only while neither start nor end has been seen: a child whose start arrives on the
    // last tick is running and must not be killed as "not running".
    if (s.step != Step::WaitForStart)
        return;
    if (s.tickCounter != 0) {
        --s.tickCounter;
        return;
    }
    decision.note = Note::StartTimeout;
    if (facts.childRuns) {
        s.step = Step::Kill;
    } else {
        s.messageReason = Reason::StartFailed;
        s.step = Step::Finished;
    }
}

void SupervisorStep::running(Decision &decision, const Facts &facts, bool childEnded)
{
    State &s = decision.state;
    if (childEnded)
        s.step = Step::Finished;
    if (s.aliveCounter != 0) {
        --s.aliveCounter;
    } else {
        s.step = Step::Terminate;
        s.silenceKill = !childEnded;
    }
    // Ended as for silence, but it is no failure; the installation follows as after any end.
    if (s.step == Step::Running && s.mainRun && s.runStarted && updateDueInWindow(s, facts)) {
        decision.note = Note::UpdateWindow;
        s.windowStop = true;
        s.step = Step::Terminate;
    }
}

void SupervisorStep::start(Decision &decision, const Facts &facts)
{
    State &s = decision.state;
    if (facts.childRuns) {
        decision.note = Note::Busy;
        s.step = Step::Terminate;
        return;
    }
    s.aliveCounter = 0;
    s.tickCounter = StartTimeoutTicks;

    if (!(facts.programIsFile && facts.programActive)) {
        if (!facts.programIsWindow) {
            s.messageReason = facts.programActive ? Reason::AppMissing : Reason::AppDisabled;
            decision.select = Select::Window;
            return;
        }
        if (!facts.programIsMain) {
            s.tickCounter = RetryTicks;
            s.step = Step::RetryDelay;
            return;
        }
    }

    if (facts.programIsMain && !mainMayStart(decision, facts)) {
        decision.select = Select::Window;
        return;
    }
    if (facts.programIsMain && s.installing) {
        if (s.updaterSilentTicks < UpdaterSilenceTicks) {
            // Back to the window that asks the user to wait; the next tick starts it.
            s.messageReason = Reason::Updating;
            decision.select = Select::Window;
            return;
        }
        // No updater (disabled, missing, crashing) has spoken for long: rather a possibly
        // damaged application than a device that waits for ever.
        decision.note = Note::UpdaterSilent;
        s.installing = false;
    }
    // The window is open and the update ready: install it before the application starts rather
    // than end the application a moment after its start.
    if (facts.programIsMain && decision.note == Note::None && decision.action == Action::None
        && updateDueInWindow(s, facts)) {
        decision.note = Note::UpdateWindow;
        s.tickCounter = 0;
        s.step = Step::WaitForUpdate;
        return;
    }
    if (facts.programIsMain) {
        s.messageText.clear();
        s.mainRun = true;
        s.runStarted = false;
        s.mainQuit = false;
        s.silenceKill = false;
        s.windowStop = false;
        // Whatever said why the last window was shown is used up; this run's own end decides.
        s.messageReason = Reason::UnexpectedExit;
        // No window has said so (it may be disabled); a later window is about something else.
        s.updateRequested = false;
        decision.action = Action::StartMain;
        // Both settings name the same file: it is started once, as the main application, but the
        // message is still composed, so the reason is used up as for a window.
        if (facts.programIsWindow)
            composeMessage(s, facts);
    } else if (facts.programIsWindow) {
        composeMessage(s, facts);
        s.mainRun = false;
        decision.action = Action::StartWindow;
        if (!s.messageText.isEmpty())
            decision.arguments = QStringList{QStringLiteral("--text"), s.messageText};
    }
    s.step = Step::WaitForStart;
}

bool SupervisorStep::updateDueInWindow(State &s, const Facts &facts)
{
    if (s.windowUsed || s.updateState != Update::Ready || facts.onProbation || s.installing || s.rollingBack
        || !insideUpdateWindow(facts.updateWindow, facts.timeOfDay))
        return false;
    s.windowUsed = true;
    return true;
}

bool SupervisorStep::mainMayStart(Decision &decision, const Facts &facts)
{
    State &s = decision.state;
    const int answerTicks = s.rollbackUnanswered >= RollbackAsks ? RollbackAnswerTicks : UpdaterSilenceTicks;
    if (s.rollingBack && s.rollbackTicks >= answerTicks) {
        s.rollingBack = false;
        if (++s.rollbackUnanswered >= RollbackAsks) {
            // No updater (missing, disabled, crashing) takes the request: the version that failed
            // is all there is, and a device that shows nothing helps nobody. Asked again later.
            s.rollbackUnanswered = RollbackAsks;
            s.rollbackPauseTicks = UpdaterSilenceTicks;
            decision.note = Note::RollbackUnanswered;
        } else {
            decision.note = Note::RollbackSilent;
        }
    }
    // Parts of two versions may be in the folder until the updater has finished or undone the moves.
    if (facts.folderBusy) {
        if (!s.heldByJournal)
            decision.note = Note::JournalWait;
        s.heldByJournal = true;
        s.messageReason = Reason::Updating;
        return false;
    }
    s.heldByJournal = false;
    if (facts.rollbackWanted && !s.rollingBack && s.rollbackPauseTicks == 0) {
        decision.action = Action::RequestRollback;
        s.rollingBack = true;
        s.rollbackTicks = 0;
    }
    if (s.rollingBack) {
        s.messageReason = Reason::Updating;
        return false;
    }
    if (s.rolledBack) {
        s.rolledBack = false;
        s.messageReason = Reason::RolledBack;
        return false;
    }
    return true;
}

void SupervisorStep::finished(Decision &decision, const Facts &facts)
{
    State &s = decision.state;
    decision.note = Note::ChildEnded;
    if (facts.programIsMain) {
        const bool failed = !s.windowStop
            && (!s.runStarted || s.silenceKill
                || (!s.mainQuit
                    && (facts.processEvent != ProcessEvent::Finished || facts.exitStatus != 0
                        || facts.exitCode != 0)));
        // The window that follows is about the installation, not about how the run ended.
        if (s.windowStop)
            s.messageReason = Reason::Updating;
        decision.mainEnd = failed ? MainEnd::Failed : MainEnd::Normal;
        // Asked at once, so that the window shown now already waits for the previous version.
        if (failed && facts.failureEndsProbation && !s.rollingBack && s.rollbackPauseTicks == 0) {
            decision.action = Action::RequestRollback;
            s.rollingBack = true;
            s.rollbackTicks = 0;
        }
        decision.select = Select::Window;
        s.tickCounter = 1;
        s.step = Step::WaitForUpdate;
    } else if (facts.programIsWindow
               && (facts.processEvent != ProcessEvent::Finished || facts.exitStatus != 0 || facts.exitCode != 0)) {
        // A window that cannot come up (no display, broken files) would otherwise take turns with
        // a missing or failing application several times a second, for as long as nobody comes;
        // wait as for a missing window. The retry delay reads the settings again.
        decision.note = Note::WindowFailed;
        decision.select = Select::Main;
        s.tickCounter = RetryTicks;
        s.step = Step::RetryDelay;
    } else {
        decision.action = Action::ReadSettings;
        decision.select = Select::Main;
        s.step = Step::Start;
    }
}

void SupervisorStep::composeMessage(State &s, const Facts &facts)
{
    const QString settingsHint = QStringLiteral("Путь к файлу настроек:\n") + facts.settingsFileName;
    switch (s.messageReason) {
    case Reason::Quit:
    case Reason::PlessaStart:
        s.messageText = settingsHint;
        break;
    case Reason::AppMissing:
        s.messageText = QStringLiteral("Задайте путь к приложению. ") + settingsHint;
        break;
    case Reason::AppDisabled:
        s.messageText = QStringLiteral("Приложение отключено. ") + settingsHint;
        break;
    case Reason::StartFailed:
        s.messageText = QStringLiteral("Приложение не запустилось (") + facts.lastText
            + QStringLiteral("). Путь к приложению:\n") + facts.generalAppPath;
        break;
    case Reason::UnexpectedExit:
        s.messageText = QStringLiteral("Приложение неожиданно завершилось, code: ") + QString::number(facts.exitCode)
            + QStringLiteral(", ") + QString::number(facts.exitStatus) + QStringLiteral(", ") + facts.lastText;
        break;
    case Reason::Updating:
        s.messageText.clear();
        break;
    case Reason::RolledBack:
        s.messageText = QStringLiteral("Обновление отменено, восстановлена предыдущая версия приложения.");
        break;
    }
    // A small package is often installed before the tick that starts the window; the window of a
    // requested update still says so, unless the installation has already failed.
    if (s.updateState == Update::Error)
        s.messageText += QStringLiteral(" Произошла ошибка при обновлении приложения.");
    else if (s.updateState == Update::Requested || s.updateState == Update::Updating || s.updateRequested
             || s.installing || s.rollingBack || s.heldByJournal)
        s.messageText += QStringLiteral(" Идет обновление приложения, пожалуйста подождите.");
    s.updateRequested = false;
    s.messageReason = Reason::UnexpectedExit;
}
