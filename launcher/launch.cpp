#include "launch.h"
#include "childprocess.h"
#include "childstopper.h"
#include "logwriter.h"
#include "protocol.h"
#include "launchersettings.h"

#include <QDebug>
#include <QFileInfo>
#include <QTimerEvent>

Launch::Launch(QObject *parent)
    : QObject(parent)
{
}

Launch::~Launch()
{
    if (clock.isValid())
        probation.launcherStopping(clock.elapsed());
    stopChild(process, 5000, 5000);
    // Helpers of the child that outlive it
    if (process)
        process->endGroup(GroupEndWaitMs);
    delete process;
}

void Launch::setAutoTick(bool enabled)
{
    autoTick = enabled;
    if (!enabled && timerId) {
        killTimer(timerId);
        timerId = 0;
    } else if (enabled && !timerId && process) {
        timerId = startTimer(100, Qt::CoarseTimer);
    }
}

QProcess::ProcessState Launch::getProcessState() const
{
    return process ? process->state() : QProcess::NotRunning;
}

qint64 Launch::getProcessId() const
{
    return process ? process->processId() : 0;
}

void Launch::init(LauncherSettings *s)
{
    if (!s) {
        qCDebug(lcCritical) << "init without settings";
        return;
    }
    if (process)
        return;
    settings = s;
    machine.step = SupervisorStep::Step::Begin;
    clock.start();
    probationRecord = Probation::recordPathFor(settings->settingsFileName);
    refreshProbation();

    process = new ChildProcess(this);
    process->setOwnProcessGroup(true);
    const QString record = ChildProcess::groupRecordPath(settings->settingsFileName);
    if (record.isEmpty())
        qCDebug(lcCritical) << "no private folder for the child's process group record";
    // Before anything is started: a launcher killed outright may have left a main application
    // that ignores SIGTERM, and exactly one may run.
    ChildProcess::endRecordedGroup(record, GroupEndWaitMs);
    process->setGroupRecordFile(record);
    connect(process, &QProcess::readyReadStandardOutput, this, &Launch::slotReadyReadStandardOutput);
    connect(process, &QProcess::readyReadStandardError, this, &Launch::slotReadyReadStandardError);
    connect(process, &QProcess::started, this, &Launch::slotStarted);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &Launch::slotFinished,
            Qt::DirectConnection);

    if (autoTick)
        timerId = startTimer(100, Qt::CoarseTimer);
}

void Launch::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == timerId)
        tick();
    else
        QObject::timerEvent(event);
}

void Launch::slotStarted()
{
    processEvent = SupervisorStep::ProcessEvent::Started;
    qCDebug(lcDeb) << "slotStarted()" << program;
}

void Launch::slotFinished(int code, QProcess::ExitStatus status)
{
    exitCode = code;
    exitStatus = int(status);
    processEvent = SupervisorStep::ProcessEvent::Finished;
    qCDebug(lcDeb) << "slotFinished()," << program << "\n"
                   << "exitCode:" << exitCode << ", exitStatus:" << enumName(status) << "info:" << lastText;
}

void Launch::slotStateChanged(QProcess::ProcessState state)
{
    qDebug() << "slotStateChanged()," << program << "\n" << "state:" << enumName(state);
}

void Launch::stateUpdateChanged(const QString &state)
{
    machine = SupervisorStep::decide(machine, SupervisorStep::Event::UpdaterState, {}, state).state;
}

void Launch::updaterConnectionLost()
{
    machine = SupervisorStep::decide(machine, SupervisorStep::Event::UpdaterLost, {}).state;
}

void Launch::probationStateChanged(const QString &state)
{
    machine = SupervisorStep::decide(machine, SupervisorStep::Event::ProbationState, {}, state).state;
    refreshProbation();
}

void Launch::refreshProbation()
{
    // The settings are read in full only before a start; an installation reported meanwhile must
    // begin its probation with the time that is configured now.
    settings->readProbationSettings();
    probation.configure(settings->generalAppFolder, probationRecord, qint64(settings->probationTime) * 1000,
                        settings->probationFailures);
    // Told again at every start until the updater has dropped the kept files.
    if (probation.refresh() == Probation::Verdict::Passed)
        emit versionAccepted();
}

void Launch::slotReadyReadStandardOutput()
{
    lastText = QString::fromUtf8(process->readAllStandardOutput());
    machine = SupervisorStep::decide(machine, SupervisorStep::Event::StandardOutput, {}, lastText).state;
    setLoggingApplicationOutput(true);
    qCDebug(lcStd) << lastText;
    setLoggingApplicationOutput(false);
}

void Launch::slotReadyReadStandardError()
{
    lastText = QString::fromUtf8(process->readAllStandardError());
    machine = SupervisorStep::decide(machine, SupervisorStep::Event::StandardError, {}, lastText).state;
    setLoggingApplicationOutput(true);
    qCDebug(lcErr) << lastText;
    setLoggingApplicationOutput(false);
}

bool Launch::isProgramActive(const QString &path) const
{
    if (path == settings->generalAppPath)
        return settings->appActive == 1;
    if (path == settings->settingsAppPath)
        return settings->settingsAppActive == 1;
    return false;
}

SupervisorStep::Facts Launch::facts() const
{
    SupervisorStep::Facts facts;
    facts.processEvent = processEvent;
    facts.childRuns = process->state() != QProcess::NotRunning;
    facts.programIsMain = program == settings->generalAppPath;
    facts.programIsWindow = program == settings->settingsAppPath;
    facts.programActive = isProgramActive(program);
    // Only the start step looks at the file; spare the other ticks the file system.
    facts.programIsFile = machine.step == SupervisorStep::Step::Start && QFileInfo(program).isFile();
    facts.exitCode = exitCode;
    facts.exitStatus = exitStatus;
    facts.lastText = lastText;
    facts.settingsFileName = settings->settingsFileName;
    facts.generalAppPath = settings->generalAppPath;
    const bool mainStart = facts.programIsMain && machine.step == SupervisorStep::Step::Start;
    facts.folderBusy = mainStart
        && QFileInfo::exists(settings->generalAppFolder + QLatin1Char('/') + QLatin1String(Protocol::Folder::Journal));
    const Probation::Verdict verdict = probation.verdict();
    facts.onProbation = verdict == Probation::Verdict::Running || verdict == Probation::Verdict::Failed;
    facts.rollbackWanted = verdict == Probation::Verdict::Failed;
    facts.failureEndsProbation = probation.nextFailureEnds();
    facts.updateWindow = updateWindow;
    facts.timeOfDay = timeOfDay();
    return facts;
}

void Launch::takeUpdateWindow()
{
    if (settings->updateWindow == updateWindowText)
        return;
    updateWindowText = settings->updateWindow;
    // Once per value: the settings are read again before every start.
    if (!SupervisorStep::parseUpdateWindow(updateWindowText, &updateWindow))
        qWarning() << "[Launch]" << "application/updatewindow" << updateWindowText
                   << "is not a window like 03:00-05:00; updates wait until the application ends";
    else if (updateWindow.isSet())
        qDebug() << "[Launch]" << "update window" << updateWindowText
                 << "(local time): a ready update ends the application there";
}

void Launch::startChild(const QStringList &arguments)
{
    // A previous child's "finished" must not be taken for this child's.
    processEvent = SupervisorStep::ProcessEvent::None;
    // Helpers of the previous child that ignored the request to end have had their time.
    if (process->groupId() != 0)
        process->endGroup(0);
    // Program and arguments go as a list: blanks, quotes and line breaks reach the child unchanged.
    process->start(program, arguments, QIODevice::ReadWrite);
    process->recordGroup();
    qDebug() << "starting procces" << program;
}

void Launch::childEnded(bool windowFailed)
{
    qCDebug(lcDeb) << "finished procces:" << program;
    lastText = process->errorString();
    // QProcess has no "no error": after a normal exit with 0 it reports UnknownError.
    if (process->error() != QProcess::UnknownError || exitStatus != int(QProcess::NormalExit) || exitCode != 0) {
        qCDebug(lcCritical) << "error:" << enumName(process->error());
        qCDebug(lcCritical) << "errorString:" << lastText;
    }
    if (windowFailed)
        qCDebug(lcCritical) << "message window failed, retry in 15 s";
}

void Launch::childBusy()
{
    qCDebug(lcCritical) << "busy! ProcessState:" << enumName(process->state());
}

void Launch::mainEnded(bool failed)
{
    probation.mainEnded(failed, clock.elapsed());
}

void Launch::readSettings()
{
    settings->readSettings();
}

void Launch::selectProgram(SupervisorStep::Select select)
{
    program = select == SupervisorStep::Select::Main ? settings->generalAppPath : settings->settingsAppPath;
}

void Launch::startMain()
{
    emit rollbackWithdrawn();
    startChild(SupervisorStep::mainArguments(settings->appFullscreen));
    probation.mainStarted(clock.elapsed());
}

void Launch::startWindow(const QStringList &arguments)
{
    startChild(arguments);
    qDebug() << "message window text:" << machine.messageText;
}

void Launch::terminateChild()
{
    process->terminateGroup();
    qCDebug(lcDeb) << "terminate procces:" << program;
}

void Launch::killChild()
{
    process->killGroup();
    qCDebug(lcErr) << "kill procces" << program;
}

void Launch::requestRollback()
{
    qCDebug(lcCritical) << "[Probation] asking the updater to put back the version before" << probation.version();
    emit rollbackRequested();
}

void Launch::reportNote(const SupervisorStep::Decision &decision)
{
    using Note = SupervisorStep::Note;
    if (decision.note == Note::StartTimeout)
        qCDebug(lcCritical) << "App timeout not running!";
    else if (decision.note == Note::NoKill)
        qCDebug(lcCritical) << "procces no kill, to reboot command";
    else if (decision.note == Note::UpdaterSilent)
        qCDebug(lcCritical) << "no update state from the updater for 10 minutes after \"updating\", starting"
                            << program;
    else if (decision.note == Note::JournalWait)
        qCDebug(lcCritical) << "unfinished installation in" << settings->generalAppFolder
                            << "- the application waits until the updater has finished or undone it";
    else if (decision.note == Note::UpdateWindow && machine.step == SupervisorStep::Step::Terminate)
        qInfo() << "[Launch]" << "update ready inside the update window" << updateWindowText << "- ending"
                << program << "to install it, then starting it again";
    else if (decision.note == Note::UpdateWindow)
        qInfo() << "[Launch]" << "update ready inside the update window" << updateWindowText << "- installing it before"
                << program << "starts";
    else if (decision.note == Note::RollbackSilent)
        qCDebug(lcCritical) << "[Probation] no report of the rollback for 10 minutes, asking again";
    else if (decision.note == Note::RollbackUnanswered)
        qCDebug(lcCritical) << "[Probation] no updater answered" << SupervisorStep::RollbackAsks
                            << "rollback requests, running the installed version" << probation.version()
                            << "and asking again in 10 minutes";
    else if (decision.note == Note::ChildEnded || decision.note == Note::WindowFailed)
        qCDebug(lcDeb) << "select procces:" << program;
}

void Launch::tick()
{
    if (!settings)
        return;
    takeUpdateWindow();
    // The start of the main application is where a new version's trial is looked at.
    if (machine.step == SupervisorStep::Step::Start && program == settings->generalAppPath)
        refreshProbation();
    else if (machine.step == SupervisorStep::Step::Running && program == settings->generalAppPath
             && probation.tick(clock.elapsed()))
        emit versionAccepted();
    carryOut(SupervisorStep::decide(machine, SupervisorStep::Event::Tick, facts()));
}
