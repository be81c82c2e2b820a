#include "childstopper.h"

#include <QProcess>

bool stopChild(QProcess *process, int terminateWaitMs, int killWaitMs)
{
    if (!process || process->state() == QProcess::NotRunning)
        return true;
    if (!hasOwnProcessId(process))
        return false;
    process->terminate();
    if (process->waitForFinished(terminateWaitMs))
        return true;
    if (!hasOwnProcessId(process))
        return process->state() == QProcess::NotRunning;
    process->kill();
    return process->waitForFinished(killWaitMs) || process->state() == QProcess::NotRunning;
}

bool hasOwnProcessId(const QProcess *process)
{
    return process->processId() > 0;
}
