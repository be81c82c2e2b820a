#ifndef INSTALLJOURNAL_H
#define INSTALLJOURNAL_H

#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// The record of one set of moves into the application folder (an installation, or later the
// return of kept files), written durably into that folder before the first move, so that a start
// after a crash or a power loss can finish or undo them. The file itself is the marker the
// launcher looks for: while it exists the folder may hold parts of two versions.
class InstallJournal
{
public:
    enum class State { Moving, Done };
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
    enum class Recovery { Nothing, Undone, Finished, Failed };
    // Stores the version code now in the folder; false when the store could not be written.
    using VersionStore = std::function<bool(int versionCode)>;

    // The journal's file name in the application folder; no package may contain it.
    static QString fileName();
    static QString pathIn(const QString &folder);
    static bool existsIn(const QString &folder);
    // Names of our own working folders inside the application folder.
    static QString stagingPrefix();
    static QString backupPrefix();
    // True when a package's top-level name would collide with our own files or folders.
    static bool isReservedName(const QString &topLevelName);

    QString folder;             // the application folder, cleaned
    QString source;             // folder inside `folder` that holds the incoming files
    QString backup;             // folder inside `folder` that receives what is replaced or removed
    int fromVersion = -1;       // version code of the folder before the moves; -1: not known
    int toVersion = -1;         // version code of the folder after them; -1: not known
    State state = State::Moving;
    QStringList createdFolders; // relative, parents first; made by the moves
    std::vector<Entry> entries;

    // Written beside the journal, synced and renamed onto it, and the folder synced.
    bool save(QString *error) const;
    bool load(const QString &folder, QString *error);
    // Removes the journal file and syncs the folder.
    bool discard(QString *error) const;

    // The moves in order; stops at the first failure. Every folder whose entries changed is
    // added to touched.
    bool apply(QString *error, QSet<QString> *touched);
    // Puts back whatever apply() did, from any point at which it stopped (even when cut off by a
    // crash); may be run again.
    bool undo(QStringList *errors, QSet<QString> *touched);
    // Makes the moves durable: one syncfs for the file system and an fsync per touched folder.
    bool sync(const QSet<QString> &touched, QString *error) const;
    // Removes the source and backup folders (their content is no longer needed).
    void removeWorkFolders() const;

    // Finishes or undoes an unfinished journal in folder, stores the version code the folder now
    // holds, and removes stale working folders; logs each step. Run at every start before
    // anything looks at the folder.
    static Recovery recover(const QString &folder, const VersionStore &store);

private:
    QString full(const QString &relative) const;
};

#endif
