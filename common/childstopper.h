#ifndef CHILDSTOPPER_H
#define CHILDSTOPPER_H

class QProcess;

// Ends a running child for an owner that is going away: asks it to terminate, waits up to
// terminateWaitMs, then kills it and waits up to killWaitMs. The waits block; the owner's event
// loop is over by then. Returns true when the child is no longer running (also when it never ran).
bool stopChild(QProcess *process, int terminateWaitMs, int killWaitMs);

#endif
