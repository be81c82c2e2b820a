#ifndef PACKAGEINSTALLER_H
#define PACKAGEINSTALLER_H

#include <QString>

#include <QStringList>

#include <functional>
#include <memory>

class PackageInstallerPrivate;
class QFile;

// Installs one zip package into a folder: every file is first written into a staging folder on
// the same file system and then renamed into place under a journal (InstallJournal), so that a
// failure, a crash or a power cut at any point leaves the folder wholly old or wholly new. Files
// of the folder that the package does not contain are left alone, except that a complete package
// (setComplete) also removes the files the previous complete package brought and it lacks. One
// generation is kept at most:
// an installation first drops what an earlier one kept, and with setKeepReplaced() it keeps the
// files it replaced (its journal and backup folder) for a return to the previous version. It logs nothing itself; its
// owner reports the steps (setLogger), warnings(), errorString() and the roll-back's outcome.
class PackageInstaller
{
public:
    enum Error {
        NoError,
        OpenError,              // the package cannot be opened as a zip archive
        ReadError,              // its entry list or an entry's data cannot be read or is damaged
        UnsafePathError,        // an entry's name would land outside the folder or names nothing
        OutsideDestinationError, // an entry would be written through a link that leads out of the folder
        DestinationError,       // the folder cannot be created or resolved
        WriteError,             // a file or folder cannot be written or moved into place
        NoSpaceError            // the folder's volume cannot hold the unpacked files
    };

    enum RollBack {
        NothingToRollBack,      // the folder was never changed
        RolledBack,             // the folder is as it was before
        RollBackIncomplete      // some changes could not be undone
    };

    // Sets the permission bits of a written file (FileOps::setMode unless replaced).
    using ModeSetter = std::function<bool(QFile &file, unsigned mode, QString *error)>;
    // Free and total bytes of the volume that holds a folder; -1 where unknown.
    struct Space
    {
        qint64 available = -1;
        qint64 total = -1;
    };
    using SpaceProbe = std::function<Space(const QString &folder)>;

    PackageInstaller(const QString &package, const QString &destination);
    ~PackageInstaller();
    PackageInstaller(const PackageInstaller &) = delete;
    PackageInstaller &operator=(const PackageInstaller &) = delete;

    bool run();

    Error error() const;
    // One line per fault found; several when a package has more than one unsafe entry.
    QString errorString() const;
    // Lines worth a log entry that did not stop the installation.
    QStringList warnings() const;
    RollBack rollBack() const;
    // The destination folder as the installer uses it (cleaned).
    QString destination() const;

    // Lets a test stand in for a file system that refuses permission changes.
    void setModeSetter(ModeSetter setter);
    // Lets a test choose the free space (QStorageInfo of the destination unless replaced).
    void setSpaceProbe(SpaceProbe probe);

    // The version codes the journal records: the folder's now, and the package's.
    void setVersionCodes(int installed, int incoming);
    // Stores the package's version code once every new file is on disk and before the journal
    // goes, so that the stored code always names what is in the folder (a start after a crash
    // stores it from the journal). Returns false when the store could not be written.
    using VersionStore = std::function<bool(int versionCode)>;
    void setVersionStore(VersionStore store);
    // Receives one line per step while the installation runs, so that a log cut off by a crash
    // still shows how far it got.
    using Logger = std::function<void(const QString &line)>;
    void setLogger(Logger logger);
    // Reads the package from this open file (through a duplicate of the descriptor, which stays the
    // caller's) instead of opening its path again: what was checked is what is installed.
    void setPackageDescriptor(int descriptor);
    // Keeps the journal as the kept record and the replaced files in its backup folder after a
    // successful installation, instead of removing them.
    void setKeepReplaced(bool keep);
    // The package holds the whole version: files that the previous complete package brought
    // (InstallJournal::recordName) and this one lacks are removed under the same journal, and the
    // record names this package's files. Without a record nothing is removed.
    void setComplete(bool complete);

private:
    std::unique_ptr<PackageInstallerPrivate> d;
};

#endif
