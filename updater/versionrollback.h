#ifndef VERSIONROLLBACK_H
#define VERSIONROLLBACK_H

#include "installjournal.h"

#include <QSet>
#include <QString>
#include <QStringList>

// Returns the application folder to the version before the last installation, from the files
// that installation kept (InstallJournal::keptPathIn and its backup folder), under a journal of
// its own kind. Such a journal is never undone: the old files have left the kept folder by then,
// and the old version is the goal anyway, so a cut-off return is carried through (rolled
// forward) by the next start. Logs each step with its own prefix.
class VersionRollback
{
public:
    enum class Result {
        NothingKept,    // no kept record, an unreadable one, or nothing it could put back
        RolledBack,     // the folder holds the previous version and its code is stored
        Failed          // the journal stays; the next start carries it through
    };

    explicit VersionRollback(const QString &folder);

    void setVersionStore(InstallJournal::VersionStore store);
    // Learns the version code that was left, so that it is never taken again.
    void setRefusalStore(InstallJournal::RefusalStore store);

    // Decides every move from the kept record and makes the backup folder for the version that
    // is left; false, with the reason in errorString(), when there is nothing to go back to.
    // The folder is unchanged either way.
    bool prepare();
    // Carries out what prepare() decided; prepares first if that was not done.
    Result run();
    QString errorString() const { return m_error; }
    const InstallJournal &journal() const { return m_journal; }

    // The moves of a return journal from any point at which they stopped: each file that is
    // still in the source is put in place (the file it replaces first gets a second name in the
    // backup), each added file goes into the backup, then the created folders go if empty.
    // Tries every entry even after a failure; may be run again.
    static bool rollForward(const InstallJournal &journal, QStringList *errors, QSet<QString> *touched);
    // What a start does with a return journal it finds: rolls it forward (unless done), stores
    // the version code, refuses the one left and removes the kept generation and the journal.
    // When it fails, reason (if given) says why.
    static bool finishCutOff(InstallJournal &journal, const InstallJournal::VersionStore &store,
                             const InstallJournal::RefusalStore &refuse, QString *reason = nullptr);

private:
    static void removeCreatedFolders(const InstallJournal &journal, QSet<QString> *touched);
    static bool finish(InstallJournal &journal, const InstallJournal::VersionStore &store,
                       const InstallJournal::RefusalStore &refuse, QString *reason);

    QString m_folder;
    InstallJournal m_journal;
    bool m_prepared = false;
    QString m_error;
    InstallJournal::VersionStore m_versionStore;
    InstallJournal::RefusalStore m_refusalStore;
};

#endif
