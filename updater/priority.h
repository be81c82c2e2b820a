#ifndef PRIORITY_H
#define PRIORITY_H

#include <QString>

// The updater's own CPU priority. On Linux a nice value belongs to one thread and is inherited by the
// threads it starts, so this must run before Qt starts any thread (before QCoreApplication exists).
namespace Priority {

// Raises the calling thread's nice value to `level` (at most 19) unless it is already that high;
// 0 leaves it as it is. False when the system refused; `report` says what happened, for the log.
bool lower(int level, QString *report);

}

#endif
