// Preloaded into the programs of a test run under qemu-user (cross builds only, never shipped).
// qemu 7.2 refuses clone(CLONE_PIDFD), but passes waitid(P_PIDFD) to the host kernel, which has
// it; Qt's QProcess takes that answer, starts every child with clone(CLONE_PIDFD), fails, and keeps
// -1 as the child's process id, so that terminate() becomes kill(-1, SIGTERM). Answering "no
// pidfd" to that one probe makes Qt start children with a plain fork.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <sys/syscall.h>

namespace {
const long PidFdIdType = 3; // P_PIDFD
}

extern "C" long syscall(long number, ...)
{
    // Forwarded word by word: the callee sees the registers and stack words the caller set.
    long args[6];
    va_list list;
    va_start(list, number);
    for (long &arg : args)
        arg = va_arg(list, long);
    va_end(list);
    if (number == SYS_waitid && args[0] == PidFdIdType) {
        errno = ENOSYS;
        return -1;
    }
    using Syscall = long (*)(long, ...);
    static const Syscall next = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
    return next(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}
