#include "childprocess.h"

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

// Runs in the forked child before exec: only async-signal-safe calls here.
void ChildProcess::setupChildProcess()
{
    // The launcher's own stop handlers are inherited until exec; a SIGTERM caught by them here
    // would be lost and would poke the launcher's signal pipe instead of ending this child.
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The launcher may have died between fork and prctl; then no signal will ever come.
    if (::getppid() != pid_t(launcherPid))
        ::raise(SIGTERM);
}
