#ifndef INSTALLJOURNAL_H
#define INSTALLJOURNAL_H

#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// The record of one set of moves into the application folder (an installation, or the return of
// the files an installation kept), written durably into that folder before the first move, so that
// a start after a crash or a power loss can finish or undo them. The file itself is the marker the
// launcher looks for: while it exists the folder may hold parts of two versions. A finished
// installation's record is kept under another name (keptPathIn) with its backup folder: the
// previous version, to which VersionRollback can return.
class InstallJournal
{
public:
    enum class State { Moving, Done };
    enum class Kind {
        Installation,   // source is a staging folder; a cut-off is undone
        Rollback        // source is the backup of the kept generation; a cut-off is finished
    };
    enum class Action {
        Put,        // the file at source/path replaces or adds path
        Remove      // path goes away (into the backup)
    };
    struct Entry
    {
        QString path;               // relative to the folder, '/' separated
        Action action = Action::Put;
        bool hadOld = false;        // something stood at path when the journal was written
    };
    // Stores the version code now in the folder; false when the store could not be written.
    using VersionStore = std::function<bool(int versionCode)>;
    // Stores a version code that was rolled back, so that it is never taken again.
    using RefusalStore = std::function<bool(int versionCode)>;

    // The journal's file name in the application folder; no package may contain it.
    static QString fileName();
    static QString pathIn(const QString &folder);
    static bool existsIn(const QString &folder);
    // Names of our own working folders inside the application folder.
    static QString stagingPrefix();
    static QString backupPrefix();
    // True when a package's top-level name would collide with our own files or folders.
    static bool isReservedName(const QString &topLevelName);
    // The record of the last installation, kept with its backup folder until the version it
    // installed is committed or rolled back.
    static QString keptPathIn(const QString &folder);
    static bool keptExistsIn(const QString &folder);
    // The backup folder named by a readable kept record in folder; empty when there is none.
    static QString keptBackupIn(const QString &folder);
    // Drops the kept generation: the record goes first (unlink, folder fsync), then its backup
    // folder. Nothing kept is no failure.
    static bool dropKept(const QString &folder, QString *error);
    // True when an installation from one version code to the same one repeats the version that the
    // kept generation in folder led to: it changes nothing that the kept record does not describe,
    // so that generation stays and the repeat keeps nothing of its own.
    static bool repeatsKept(const QString &folder, int fromVersion, int toVersion);

    // The record of the files that the last complete package brought (relative paths), which the
    // next complete package removes where it lacks them. Written only through a journal, as one of
    // its moves, so a rollback or an undo puts the previous record back with the files.
    static QString recordName();
    // The paths of folder's record that are safe to act on; found is false when there is no
    // readable record (nothing may then be removed).
    static QStringList recordedFiles(const QString &folder, bool *found);
    static QByteArray recordText(const QStringList &files, int versionCode);
    // True when relativeDir below folder, as far as it exists, resolves inside folder (whose
    // canonical path is canonicalFolder): a link to a folder inside is accepted, one that leads
    // out, or a dangling one, is not.
    static bool staysInside(const QString &folder, const QString &canonicalFolder, const QString &relativeDir);
    // Removes one of our working folders with its content; a link in its place is removed
    // itself, never what it points to.
    static void removeWorkFolder(const QString &path);

    QString folder;             // the application folder, cleaned
    QString source;             // folder inside `folder` that holds the incoming files
    QString backup;             // folder inside `folder` that receives what is replaced or removed
    int fromVersion = -1;       // version code of the folder before the moves; -1: not known
    int toVersion = -1;         // version code of the folder after them; -1: not known
    State state = State::Moving;
    Kind kind = Kind::Installation;
    QStringList createdFolders; // relative, parents first; made by the moves
    std::vector<Entry> entries;

    // Written beside the journal, synced and renamed onto it, and the folder synced.
    bool save(QString *error) const;
    bool load(const QString &folder, QString *error);
    // Reads the kept record of folder instead of its journal.
    bool loadKept(const QString &folder, QString *error);
    // Removes the journal file and syncs the folder.
    bool discard(QString *error) const;
    // Renames the journal onto the kept record and syncs the folder.
    bool keep(QString *error) const;

    // The moves in order; stops at the first failure. Every folder whose entries changed is
    // added to touched.
    bool apply(QString *error, QSet<QString> *touched);
    // Puts back whatever apply() did, from any point at which it stopped (even when cut off by a
    // crash); may be run again.
    bool undo(QStringList *errors, QSet<QString> *touched);
    // Refuses moves that would leave the folder: the source and backup must be real folders (or
    // missing), no path below them may pass a link, and every target must stay inside the folder.
    // One line per fault in errors.
    bool checkPaths(QStringList *errors) const;
    // Makes the moves durable: one syncfs for the file system and an fsync per touched folder.
    bool sync(const QSet<QString> &touched, QString *error) const;
    // Removes the source and backup folders (their content is no longer needed).
    void removeWorkFolders() const;
    // Removes only the source folder: the backup of a kept installation stays.
    void removeSourceFolder() const;

    QString full(const QString &relative) const;

private:
    bool loadFile(const QString &path, QString *error);
};

#endif
