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

QString ChildProcess::privateFolder()
{
    const uid_t uid = ::getuid();
    struct stat info = {};
    const QByteArray runtime = "/run/user/" + QByteArray::number(uid);
    if (::lstat(runtime.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid)
        return QString::fromLocal8Bit(runtime);
    const QByteArray own = "/tmp/tovrel-" + QByteArray::number(uid);
    if (::mkdir(own.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    // Anyone may create names in /tmp: take the folder only if it is ours, private and no link.
    if (::lstat(own.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid
        || (info.st_mode & 0777) != 0700)
        return QString();
    return QString::fromLocal8Bit(own);
}
