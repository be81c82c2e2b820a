#ifndef CTLRUNNER_H
#define CTLRUNNER_H

#include "controlclient.h"
#include "ctlcommand.h"

#include <QTextStream>

// Carries out one parsed command against the updater and says what happened: results on out,
// complaints on err, the exit code as result.
class CtlRunner
{
public:
    CtlRunner(const CtlCommand &command, QTextStream &out, QTextStream &err);

    // socketName: what to connect to (see UpdaterLocation).
    int run(const QString &socketName);

private:
    int status();
    int check();
    int install();
    int get();
    int set();
    int fail(int code, const QString &message);
    int failed(ControlClient::Result result);

    const CtlCommand &command;
    QTextStream &out;
    QTextStream &err;
    ControlClient client;
};

#endif
