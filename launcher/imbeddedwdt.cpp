#include "imbeddedwdt.h"
#include "childstopper.h"

#include "childprocess.h"
#include "logwriter.h"
#include "launchersettings.h"

#include <QDebug>
#include <QTimerEvent>

namespace {
constexpr int StartWaitTicks = 5;
// bash ends by itself once its input is closed; this only bounds a shell stuck in a command.
constexpr int ShellExitWaitMs = 2000;
}

ImbeddedWdt::ImbeddedWdt(QObject *parent)
    : QObject(parent)
{
}

ImbeddedWdt::~ImbeddedWdt()
{
    if (!shell)
        return;
    // Without this the shell would outlive the launcher as an orphan, still holding the tool.
    disconnect(shell, nullptr, this, nullptr);
    if (shell->state() != QProcess::NotRunning) {
        shell->closeWriteChannel();
        if (!shell->waitForFinished(ShellExitWaitMs) && hasOwnProcessId(shell)) {
            shell->kill();
            shell->waitForFinished(ShellExitWaitMs);
        }
    }
    delete shell;
}

void ImbeddedWdt::startWatchdog(LauncherSettings *s)
{
    if (!s || shell)
        return;
    settings = s;
    shell = new ChildProcess;
    connect(shell, &QProcess::readyReadStandardOutput, this, &ImbeddedWdt::slotReadyReadStandardOutput);
    connect(shell, &QProcess::readyReadStandardError, this, &ImbeddedWdt::slotReadyReadStandardError);
    connect(shell, &QProcess::started, this, &ImbeddedWdt::slotWdtStarted);
    connect(shell, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ImbeddedWdt::slotWdtFinished, Qt::DirectConnection);
    timerId = startTimer(TickMs, Qt::CoarseTimer);
}

void ImbeddedWdt::setAutoTick(bool on)
{
    if (on && timerId == 0 && shell) {
        timerId = startTimer(TickMs, Qt::CoarseTimer);
    } else if (!on && timerId != 0) {
        killTimer(timerId);
        timerId = 0;
    }
}

void ImbeddedWdt::writeCommand(const QString &command)
{
    if (shell)
        shell->write(command.toUtf8());
}

void ImbeddedWdt::feed()
{
    writeCommand(QStringLiteral("sudo yf_watchdog feed\n"));
    qDebug() << "WDT feed";
}

void ImbeddedWdt::setFeedTime(int seconds)
{
    const QString command = QStringLiteral("sudo yf_watchdog set_feed_time %1\n").arg(seconds);
    writeCommand(command);
    qDebug() << command;
}

void ImbeddedWdt::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == timerId)
        tick();
    else
        QObject::timerEvent(event);
}

void ImbeddedWdt::tick()
{
    if (!shell)
        return;
    switch (wdtStep) {
    case Step::StartShell:
        if (shell->state() == QProcess::NotRunning) {
            // The previous shell's "finished" must not be read as this shell's event.
            wdtEvent = Event::None;
            shell->start(QStringLiteral("/bin/bash"), QStringList(), QIODevice::ReadWrite);
        }
        qDebug() << "WDT:" << enumName(shell->state());
        if (shell->state() == QProcess::Running) {
            feed();
            wdtStep = Step::Feed;
        } else {
            wdtStep = Step::WaitForShell;
        }
        wdtCounter = StartWaitTicks;
        break;
    case Step::WaitForShell:
        if (wdtEvent == Event::Started) {
            const QString on = QStringLiteral("sudo yf_watchdog set_on\n");
            writeCommand(on);
            qDebug() << on;
            setFeedTime(settings->getWatchdogSetTime());
            wdtStep = Step::Feed;
        }
        if (wdtEvent == Event::Finished)
            wdtStep = Step::ShellEnded;
        if (wdtCounter != 0) {
            --wdtCounter;
        } else {
            qDebug() << "WDT proc not running!";
            wdtStep = Step::ShellMissing;
        }
        break;
    case Step::Feed:
        if (wdtEvent != Event::Finished && shell->state() == QProcess::Running) {
            if (wdtCounter != 0) {
                --wdtCounter;
            } else {
                feed();
                wdtCounter = settings->getWatchdogFeedTime();
            }
        } else {
            qDebug() << "WDT procces finished";
            wdtStep = Step::StartShell;
        }
        break;
    default:
        wdtStep = Step::StartShell;
        break;
    }
}

void ImbeddedWdt::slotReadyReadStandardOutput()
{
    qDebug() << "WDT std out:" << shell->readAllStandardOutput();
}

void ImbeddedWdt::slotReadyReadStandardError()
{
    qDebug() << "WDT err out:" << shell->readAllStandardError();
}

void ImbeddedWdt::slotWdtStarted()
{
    wdtEvent = Event::Started;
    qDebug() << "WDT process started";
}

void ImbeddedWdt::slotWdtFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    wdtEvent = Event::Finished;
    qDebug() << "WDT process finished" << "\n" << "exitCode:" << exitCode << ", exitStatus:" << enumName(exitStatus);
}
