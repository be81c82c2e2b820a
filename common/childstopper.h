#ifndef CHILDSTOPPER_H
#define CHILDSTOPPER_H

class QProcess;

// Ends a running child for an owner that is going away: asks it to terminate, waits up to
// terminateWaitMs, then kills it and waits up to killWaitMs. The waits block; the owner's event
// loop is over by then. Returns true when the child is no longer running (also when it never ran).
bool stopChild(QProcess *process, int terminateWaitMs, int killWaitMs);

// Whether signalling the child reaches that child alone. A QProcess that believes it started a child
// whose id it never learnt (seen under user-mode emulation, where the fork fails in a way Qt does not
// notice) holds -1, and its terminate() or kill() would then signal every process we may signal.
bool hasOwnProcessId(const QProcess *process);

#endif
