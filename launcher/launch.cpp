#include "launch.h"
#include "childprocess.h"
#include "logwriter.h"
#include "settings.h"
#include "tokens.h"

#include <QDebug>
#include <QFileInfo>
#include <QMetaEnum>
#include <QTimerEvent>

namespace {
template<typename E>
const char *enumName(E value)
{
    const char *key = QMetaEnum::fromType<E>().valueToKey(int(value));
    return key ? key : "?";
}
}

Launch::Launch(QObject *parent)
    : QObject(parent)
{
}

Launch::~Launch()
{
    if (process && process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
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

void Launch::init(Settings *s)
{
    if (!s) {
        qCDebug(lcCritical) << "init without settings";
        return;
    }
    if (process)
        return;
    settings = s;
    step = 0;

    process = new ChildProcess(this);
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
    processEvent = EventStarted;
    qCDebug(lcDeb) << "slotStarted()" << program;
}

void Launch::slotFinished(int code, QProcess::ExitStatus status)
{
    exitCode = code;
    exitStatus = int(status);
    processEvent = EventFinished;
    qCDebug(lcDeb) << "slotFinished()," << program << "\n"
                   << "exitCode:" << exitCode << ", exitStatus:" << enumName(status) << "info:" << lastText;
}

void Launch::slotStateChanged(QProcess::ProcessState state)
{
    qDebug() << "slotStateChanged()," << program << "\n" << "state:" << enumName(state);
}

void Launch::stateUpdateChanged(const QString &state)
{
    if (state == QLatin1String("ready"))
        updateState = 1;
    else if (state == QLatin1String("updating"))
        updateState = 2;
    else if (state == QLatin1String("updated"))
        updateState = 3;
    else if (state == QLatin1String("error"))
        updateState = 5;
}

// A chunk is whatever one notification delivers; only the first token in this order counts.
void Launch::slotReadyReadStandardOutput()
{
    lastText = QString::fromUtf8(process->readAllStandardOutput());
    if (lastText.contains(QLatin1String(Tokens::Alive)) || lastText.contains(QLatin1String(Tokens::AliveLower)))
        aliveCounter = AliveTicks;
    else if (lastText.contains(QLatin1String(Tokens::PlessaStart))
             || lastText.contains(QLatin1String(Tokens::PlessaStartBare)))
        messageReason = 1;
    else if (lastText.contains(QLatin1String(Tokens::Updating)))
        messageReason = 2;
    else if (lastText.contains(QLatin1String(Tokens::Quit)) || lastText.contains(QLatin1String(Tokens::QuitLower)))
        messageReason = 0;
    setLoggingApplicationOutput(true);
    qCDebug(lcStd) << lastText;
    setLoggingApplicationOutput(false);
}

void Launch::slotReadyReadStandardError()
{
    lastText = QString::fromUtf8(process->readAllStandardError());
    if (lastText.contains(QLatin1String(Tokens::Quit)) || lastText.contains(QLatin1String(Tokens::QuitLower)))
        messageReason = 0;
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

bool Launch::childRuns() const
{
    return process->state() != QProcess::NotRunning;
}

void Launch::composeMessage()
{
    const QString settingsHint = QStringLiteral("Путь к файлу настроек:\n") + settings->settingsFileName;
    switch (messageReason) {
    case 0:
    case 1:
        messageText = settingsHint;
        break;
    case 3:
        messageText = QStringLiteral("Задайте путь к приложению. ") + settingsHint;
        break;
    case 4:
        messageText = QStringLiteral("Приложение отключено. ") + settingsHint;
        break;
    case 5:
        messageText = QStringLiteral("Приложение не запустилось (") + lastText + QStringLiteral("). Путь к приложению:\n")
            + settings->generalAppPath;
        break;
    case 6:
        messageText = QStringLiteral("Приложение неожиданно завершилось, code: ") + QString::number(exitCode)
            + QStringLiteral(", ") + QString::number(exitStatus) + QStringLiteral(", ") + lastText;
        break;
    default:
        messageText.clear();
        break;
    }
    // A small package is often installed before the tick that starts the window; the window of a
    // requested update still says so, unless the installation has already failed.
    if (updateState == 5)
        messageText += QStringLiteral(" Произошла ошибка при обновлении приложения.");
    else if (updateState == 4 || updateState == 2 || updateRequested)
        messageText += QStringLiteral(" Идет обновление приложения, пожалуйста подождите.");
    updateRequested = false;
    messageReason = 6;
}

void Launch::startChild(const QStringList &arguments)
{
    // A previous child's "finished" must not be taken for this child's.
    processEvent = EventNone;
    // Program and arguments go as a list: blanks, quotes and line breaks reach the child unchanged.
    process->start(program, arguments, QIODevice::ReadWrite);
    qDebug() << "starting procces" << program;
}

void Launch::stepStart()
{
    if (childRuns()) {
        qCDebug(lcCritical) << "busy! ProcessState:" << enumName(process->state());
        step = 6;
        return;
    }
    aliveCounter = 0;
    tickCounter = StartTimeoutTicks;

    if (!(QFileInfo(program).isFile() && isProgramActive(program))) {
        if (program != settings->settingsAppPath) {
            messageReason = isProgramActive(program) ? 3 : 4;
            program = settings->settingsAppPath;
            return;
        }
        if (program != settings->generalAppPath) {
            tickCounter = RetryTicks;
            step = 11;
            return;
        }
    }

    if (program == settings->generalAppPath) {
        messageText.clear();
        // No window has said so (it may be disabled); a later window is about something else.
        updateRequested = false;
        settings->readSettings();
        startChild(settings->appFullscreen != 0 ? QStringList{QStringLiteral("--fullscreen")} : QStringList());
    } else if (program == settings->settingsAppPath) {
        // Only one start per tick, even when both settings name the same program.
        composeMessage();
        startChild(messageText.isEmpty() ? QStringList() : QStringList{QStringLiteral("--text"), messageText});
    }
    step = 4;
}

void Launch::stepFinished()
{
    qCDebug(lcDeb) << "finished procces:" << program;
    lastText = process->errorString();
    qCDebug(lcCritical) << "error:" << enumName(process->error());
    qCDebug(lcCritical) << "errorString:" << lastText;
    if (program == settings->generalAppPath) {
        program = settings->settingsAppPath;
        tickCounter = 1;
        step = 1;
    } else if (program == settings->settingsAppPath
               && (processEvent != EventFinished || exitStatus != QProcess::NormalExit || exitCode != 0)) {
        // A window that cannot come up (no display, broken files) would otherwise take turns with
        // a missing or failing application several times a second, for as long as nobody comes;
        // wait as for a missing window. The retry delay reads the settings again.
        qCDebug(lcCritical) << "message window failed, retry in 15 s";
        program = settings->generalAppPath;
        tickCounter = RetryTicks;
        step = 11;
    } else {
        settings->readSettings();
        program = settings->generalAppPath;
        step = 2;
    }
    qCDebug(lcDeb) << "select procces:" << program;
}

void Launch::tick()
{
    if (!settings)
        return;

    switch (step) {
    case 0:
        tickCounter = UpdateWaitTicks;
        program = settings->generalAppPath;
        messageReason = 6;
        step = 1;
        break;
    case 1:
        if (updateState == 1) {
            tickCounter = 0;
            program = settings->settingsAppPath;
            messageReason = 2;
            step = 2;
            updateState = 4;
            updateRequested = true;
            emit startUpdate();
        } else if (tickCounter < 1) {
            step = 2;
        } else {
            --tickCounter;
        }
        break;
    case 2:
        stepStart();
        break;
    case 4:
        if (processEvent == EventStarted) {
            aliveCounter = AliveTicks;
            step = 5;
        } else if (processEvent == EventFinished) {
            messageReason = 5;
            step = 8;
        }
        // Only while neither start nor end has been seen: a child whose start arrives on the
        // last tick is running and must not be killed as "not running".
        if (step == 4) {
            if (tickCounter != 0) {
                --tickCounter;
            } else {
                qCDebug(lcCritical) << "App timeout not running!";
                if (childRuns()) {
                    step = 10;
                } else {
                    messageReason = 5;
                    step = 8;
                }
            }
        }
        break;
    case 5:
        if (processEvent == EventFinished || !childRuns())
            step = 8;
        if (aliveCounter != 0)
            --aliveCounter;
        else
            step = 6;
        break;
    case 6:
        process->terminate();
        tickCounter = TerminateTicks;
        qCDebug(lcDeb) << "terminate procces:" << program;
        step = 7;
        break;
    case 7:
        if (processEvent == EventFinished || !childRuns())
            step = 8;
        if (tickCounter != 0)
            --tickCounter;
        else
            step = 10;
        break;
    case 8:
        stepFinished();
        break;
    case 9:
        // A child that never started reports no "finished"; without the state check it would be
        // killed again every 10 s for ever.
        if (processEvent == EventFinished || !childRuns())
            step = 8;
        if (tickCounter != 0) {
            --tickCounter;
        } else {
            step = 10;
            qCDebug(lcCritical) << "procces no kill, to reboot command";
        }
        break;
    case 10:
        process->kill();
        tickCounter = KillTicks;
        qCDebug(lcErr) << "kill procces" << program;
        step = 9;
        break;
    case 11:
        if (tickCounter != 0) {
            --tickCounter;
        } else {
            settings->readSettings();
            program = settings->generalAppPath;
            step = 2;
        }
        break;
    default:
        break;
    }
}
