#ifndef FILEOPS_H
#define FILEOPS_H

#include <QString>

class QFile;

// The few file-system calls that Qt does not offer with the guarantees the installer and the
// folder clean-up rely on: no link is ever followed, a replacement lands in one step, and an
// old file can stay reachable under a second name. Each has one platform implementation
// (fileops_unix.cpp); every other updater source stays portable Qt. Functions that fail leave
// the system's error text in *error when error is not null.
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

} // namespace FileOps

#endif
