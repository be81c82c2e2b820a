#include "childprocess.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

// Runs in the forked child before exec: only async-signal-safe calls here.
void ChildProcess::setupChildProcess()
{
    // The launcher's own stop handlers are inherited until exec; a SIGTERM caught by them here
    // would be lost and would poke the launcher's signal pipe instead of ending this child.
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    if (ownGroup)
        ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The launcher may have died between fork and prctl; then no signal will ever come.
    if (::getppid() != pid_t(launcherPid))
        ::raise(SIGTERM);
}

bool ChildProcess::signalGroup(qint64 groupId, bool kill)
{
    // Never 0 or 1: that would be our own group or every process we may signal.
    if (groupId <= 1)
        return false;
    return ::kill(-pid_t(groupId), kill ? SIGKILL : SIGTERM) == 0;
}

bool ChildProcess::groupExists(qint64 groupId)
{
    return groupId > 1 && ::kill(-pid_t(groupId), 0) == 0;
}

quint64 ChildProcess::startTimeOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return 0;
    // "pid (comm) state ppid ...": the name may hold blanks and brackets, so count after its last
    // ")"; the start time is field 22, the 20th after it.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.value(19).toULongLong();
}

void ChildProcess::pause(int ms)
{
    const timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
    ::nanosleep(&delay, nullptr);
}

