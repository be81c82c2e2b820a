#ifndef UPDATERRUN_H
#define UPDATERRUN_H

#include "childrun.h"

// The real updater binary as a child, started at once with standard error merged into the output.
class UpdaterRun : public ChildRun
{
public:
    explicit UpdaterRun(const QProcessEnvironment &environment, const QStringList &arguments = QStringList());

    // Until the control socket listens ("$UPDATER_SERVER_READY"); a loaded machine needs the margin.
    bool waitUntilReady(int ms = 20000);
    // The "$..." lines so far, in order.
    QStringList tokens();
    bool waitForToken(const QString &token, int ms);
    // Ends it as a service manager would; true when it ended by itself with exit code 0.
    bool terminate(int ms = 10000);
};

#endif
