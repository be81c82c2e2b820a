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
    case 0:
        if (shell->state() == QProcess::NotRunning) {
            // The previous shell's "finished" must not be read as this shell's event.
            wdtEvent = 0;
            shell->start(QStringLiteral("/bin/bash"), QStringList(), QIODevice::ReadWrite);
        }
        qDebug() << "WDT:" << enumName(shell->state());
        if (shell->state() == QProcess::Running) {
            feed();
            wdtStep = 3;
        } else {
            wdtStep = 2;
        }
        wdtCounter = StartWaitTicks;
        break;
    case 2:
        if (wdtEvent == 1) {
            const QString on = QStringLiteral("sudo yf_watchdog set_on\n");
            writeCommand(on);
            qDebug() << on;
            setFeedTime(settings->getWatchdogSetTime());
            wdtStep = 3;
        }
        if (wdtEvent == 6)
            wdtStep = 6;
        if (wdtCounter != 0) {
            --wdtCounter;
        } else {
            qDebug() << "WDT proc not running!";
            wdtStep = 8;
        }
        break;
    case 3:
        if (wdtEvent != 6 && shell->state() == QProcess::Running) {
            if (wdtCounter != 0) {
                --wdtCounter;
            } else {
                feed();
                wdtCounter = settings->getWatchdogFeedTime();
            }
        } else {
            qDebug() << "WDT procces finished";
            wdtStep = 0;
        }
        break;
    default:
        wdtStep = 0;
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
    wdtEvent = 1;
    qDebug() << "WDT process started";
}

void ImbeddedWdt::slotWdtFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    wdtEvent = 6;
    qDebug() << "WDT process finished" << "\n" << "exitCode:" << exitCode << ", exitStatus:" << enumName(exitStatus);
}
