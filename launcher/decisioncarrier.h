#ifndef DECISIONCARRIER_H
#define DECISIONCARRIER_H

#include "supervisorstep.h"

// Carries out one decision of SupervisorStep in the order the supervisor relies on: the ended
// child is reported, the state is taken, the end of a main application's run is counted, the
// settings are read again, the program is chosen, the action is done and the note is reported.
// Launch does each step on its child and settings; a test does them on values.
class DecisionCarrier
{
public:
    virtual ~DecisionCarrier() = default;

    void carryOut(const SupervisorStep::Decision &decision);

protected:
    // windowFailed: the ended child was a message window that could not come up.
    virtual void childEnded(bool windowFailed) = 0;
    virtual void childBusy() {}
    virtual void takeState(const SupervisorStep::State &state) = 0;
    virtual void mainEnded(bool failed) { Q_UNUSED(failed) }
    virtual void readSettings() = 0;
    // Main or Window; never called for Keep.
    virtual void selectProgram(SupervisorStep::Select select) = 0;
    virtual void startMain() = 0;
    virtual void startWindow(const QStringList &arguments) = 0;
    virtual void terminateChild() = 0;
    virtual void killChild() = 0;
    virtual void requestUpdate() = 0;
    virtual void requestRollback() = 0;
    // Last: the report of a note may name the program chosen by this decision.
    virtual void reportNote(const SupervisorStep::Decision &decision) { Q_UNUSED(decision) }
};

#endif
