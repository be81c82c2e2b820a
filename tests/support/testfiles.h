#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>

// Small file and content helpers that many tests need.
class TestFiles
{
public:
    // Writes content to path, creating the folder first, and adds the extra permissions; true when
    // every byte was written and the permissions set.
    static bool write(const QString &path, const QByteArray &content, QFile::Permissions extra = {});

    // The whole file, or an empty array when it cannot be read.
    static QByteArray read(const QString &path);

    // The NUL-terminated strings of a file, as /proc/<pid>/cmdline holds a command line.
    static QStringList readArguments(const QString &path);

    // The last bytes of a file as text, for a failure message; "(no <path>)" when it cannot be read.
    static QString tail(const QString &path, int bytes = 4000);

    // The lower-case hex MD5 digest of data.
    static QString md5(const QByteArray &data);
    // The lower-case hex SHA-256 digest of data, as manifests name contents.
    static QByteArray sha256(const QByteArray &data);
    // The MD5 digest of a file, read in pieces; empty when it cannot be read.
    static QString fileMd5(const QString &path);

    // size bytes that look random and are the same for the same seed, so that a shifted or
    // repeated block does not compare equal by chance.
    static QByteArray pseudoRandom(int size, quint32 seed = 1);

    // Every entry below root, hidden ones included, by relative path: "<dir>" for a folder, the
    // MD5 digest of the content for anything else. Two trees compare equal when they hold the same.
    static QMap<QString, QByteArray> tree(const QString &root);
    // The tree of an application folder without the kept generation (the record and the backup
    // folder that an installation leaves for a return), which belongs to no version.
    static QMap<QString, QByteArray> versionTree(const QString &root);

    // The inode of the file at path (a link itself), 0 when there is none: the same inode before and
    // after an installation means the file was neither moved nor copied.
    static quint64 inode(const QString &path);
    // The permission bits of path (set-id and sticky included), -1 when it cannot be read.
    static int mode(const QString &path);
};

#endif
