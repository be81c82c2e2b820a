#ifndef STAGEDINSTALL_H
#define STAGEDINSTALL_H

#include "installjournal.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QTemporaryDir;

// Moves a tree staged inside a folder into that folder under a journal (InstallJournal), so that
// a failure, a crash or a power cut at any point leaves the folder wholly old or wholly new. The
// staging folder is filled by its owner (from a package, or from any other source) and each of
// its folders and files is announced in order. The steps run in this order, each only when the
// one before succeeded: prepare(), dropKeptGeneration(), createStaging(), fill and announce,
// moveIntoPlace(); removeWorkFolders() in every case. It logs only through setLogger.
class StagedInstall
{
public:
    enum RollBack {
        NothingToRollBack,      // the folder was never changed
        RolledBack,             // the folder is as it was before
        RollBackIncomplete      // some changes could not be undone
    };
    using Logger = std::function<void(const QString &line)>;

    explicit StagedInstall(const QString &destination);
    ~StagedInstall();
    StagedInstall(const StagedInstall &) = delete;
    StagedInstall &operator=(const StagedInstall &) = delete;

    void setVersionCodes(int installed, int incoming);
    // Called with the incoming version code once every new file is on disk and before the
    // journal goes; when it fails the journal stays for the next start.
    void setVersionStore(InstallJournal::VersionStore store);
    void setLogger(Logger logger);
    // Keeps the journal as the kept record and the replaced files in its backup folder.
    void setKeepReplaced(bool keep);
    // The staged tree is the whole version: files that the previous complete installation
    // recorded and this one lacks are removed, and the record names this one's files.
    void setComplete(bool complete);

    // Refuses a folder that holds an unfinished installation, and removes the work folders of
    // an earlier run that was cut off.
    bool prepare();
    // One generation is kept at most: the kept one goes, unless this installation repeats it.
    bool dropKeptGeneration();
    bool createStaging();
    QString stagingPath() const;
    // Relative '/' separated paths below the staging folder, in the order they were staged.
    void addFolder(const QString &relativePath);
    void addFile(const QString &relativePath);
    // A file of this version that is in the folder already with its content and mode: it is not
    // staged and not moved, but it counts as brought for a complete installation.
    void addUnchanged(const QString &relativePath);
    // Staged files that were left out of the moves because the folder held them already.
    int unchangedFiles() const { return m_unchangedFiles; }
    int stagedFiles() const;
    bool moveIntoPlace();
    // Removes the staging folder, and the backup unless it is kept or still needed for an undo.
    void removeWorkFolders();

    QString destination() const;
    bool failed() const;
    QStringList errorLines() const;
    QStringList warnings() const;
    RollBack rollBack() const;

private:
    struct Item
    {
        QString path;
        bool isDir = false;
        bool inPlace = false;   // announced by addUnchanged()
    };

    template <typename... Items>
    bool fail(const Items &...items);
    void log(const QString &line) const;
    bool planMoves();
    bool planFolder(const QString &relativeDir);
    bool planRemovals(QSet<QString> *backupDirs);
    bool planRecord();
    bool move();
    void undoMoves();
    QStringList files() const;

    QString m_dest;
    QString m_canonicalDest;
    bool m_failed = false;
    QStringList m_errorLines;
    QStringList m_warnings;
    RollBack m_rollBack = NothingToRollBack;
    InstallJournal::VersionStore m_versionStore;
    Logger m_logger;
    std::vector<Item> m_items;
    int m_stagedFiles = 0;
    int m_unchangedFiles = 0;
    // Removed by removeWorkFolders(): after a failed undo the old files in the backup must stay.
    std::unique_ptr<QTemporaryDir> m_staging;
    std::unique_ptr<QTemporaryDir> m_backup;
    bool m_keepWorkFolders = false;
    // The backup folder outlives the installation: kept for a return, or named by a journal left for the next start.
    bool m_keepBackup = false;
    bool m_keepReplaced = false;
    bool m_complete = false;
    InstallJournal m_journal;
    QSet<QString> m_destDirs;           // relative folders that exist or will be created
};

#endif
