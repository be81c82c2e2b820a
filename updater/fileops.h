#ifndef FILEOPS_H
#define FILEOPS_H

#include <QByteArray>
#include <QString>

class QFile;

// The few file-system calls that Qt does not offer with the guarantees the installer and the
// folder clean-up rely on: no link is ever followed, a replacement lands in one step, an old
// file can stay reachable under a second name, and written data reaches the disk when asked.
// Each has one platform implementation (fileops_unix.cpp); every other updater source stays
// portable Qt. Functions that fail leave the system's error text in *error when error is not null.
namespace FileOps {

enum class Kind { Missing, File, Folder, Link, Other };

// What the path itself is; a link is reported as a link, never as what it points to.
Kind kindOf(const QString &path);

// Creates one folder (its parent must exist), writable by its owner only (0755).
bool makeFolder(const QString &path, QString *error = nullptr);

// Makes the file at from reachable at to as well (a hard link); where that is impossible,
// moves it there instead.
bool keepAs(const QString &from, const QString &to, QString *error = nullptr);

// Moves from onto to in one step, replacing a file that is already there.
bool replace(const QString &from, const QString &to, QString *error = nullptr);

// Removes a file or a link itself (a link to a folder included), never what a link points to.
bool removeEntry(const QString &path, QString *error = nullptr);

// Sets the permission bits of an open file.
bool setMode(QFile &file, unsigned mode, QString *error = nullptr);

// Writes data to a new or truncated file and waits until it is on disk.
bool writeSynced(const QString &path, const QByteArray &data, QString *error = nullptr);

// Waits until the entries of one folder (names added, removed, renamed) are on disk.
bool syncFolder(const QString &path, QString *error = nullptr);

// Waits until everything written to the file system that holds path is on disk: one call
// instead of one per file.
bool syncFileSystem(const QString &path, QString *error = nullptr);

// Opens a regular file for reading into `file` without following a link at its last step.
bool openFileNoFollow(QFile &file, const QString &path, QString *error = nullptr);

// A second descriptor of the same open file, or -1 (with *error); closeDescriptor() ends it.
int duplicate(int descriptor, QString *error = nullptr);
void closeDescriptor(int descriptor);

// What tells one version of a file from another without reading it.
struct Stamp
{
    qint64 size = -1;
    qint64 modifiedNs = 0;      // modification time, nanoseconds since the epoch
    quint64 inode = 0;
    quint64 device = 0;
    unsigned mode = 0;          // permission bits; not part of the comparison
    bool operator==(const Stamp &o) const
    {
        return size == o.size && modifiedNs == o.modifiedNs && inode == o.inode && device == o.device;
    }
    bool operator!=(const Stamp &o) const { return !(*this == o); }
};

// The stamp of a regular file at path (a link is not followed), or of an open file; false for
// anything else.
bool stampOf(const QString &path, Stamp *stamp, QString *error = nullptr);
bool stampOf(QFile &file, Stamp *stamp, QString *error = nullptr);

} // namespace FileOps

#endif
