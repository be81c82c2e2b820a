#include "childstopper.h"

#include <QProcess>

bool stopChild(QProcess *process, int terminateWaitMs, int killWaitMs)
{
    if (!process || process->state() == QProcess::NotRunning)
        return true;
    process->terminate();
    if (process->waitForFinished(terminateWaitMs))
        return true;
    process->kill();
    return process->waitForFinished(killWaitMs) || process->state() == QProcess::NotRunning;
}
