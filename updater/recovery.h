#ifndef RECOVERY_H
#define RECOVERY_H

#include "installjournal.h"

#include <QString>

// What a start does with the application folder before anything looks at it: finishes or undoes
// the journal a crash or power loss left (an installation's own, or VersionRollback's return to
// the kept version), stores the version code the folder then holds and removes stale working
// folders. It sits above both the journal and the rollback, which know nothing of it.
class Recovery
{
public:
    enum class Result { Nothing, Undone, Finished, RolledBack, Failed };

    // Run at every start before anything looks at the folder; logs each step. A finished
    // installation is kept; an unfinished return to the kept version is finished, and refuse
    // learns the version code it left. When it fails, reason (if given) says why, as the log does.
    static Result recover(const QString &folder, const InstallJournal::VersionStore &store,
                          const InstallJournal::RefusalStore &refuse = {}, QString *reason = nullptr);

private:
    // An installation's journal: undone unless every file is in place, then kept or discarded.
    static Result finishInstallation(InstallJournal &journal, const InstallJournal::VersionStore &store,
                                     QString *why);
    static void removeStaleFolders(const QString &folder);
};

#endif
