#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QMap>
#include <QString>

// Small file and content helpers that many tests need.
class TestFiles
{
public:
    // Writes content to path, creating the folder first; true when every byte was written.
    static bool write(const QString &path, const QByteArray &content);

    // The whole file, or an empty array when it cannot be read.
    static QByteArray read(const QString &path);

    // The lower-case hex MD5 digest of data.
    static QString md5(const QByteArray &data);

    // size bytes that look random and are the same for the same seed, so that a shifted or
    // repeated block does not compare equal by chance.
    static QByteArray pseudoRandom(int size, quint32 seed = 1);

    // Every entry below root, hidden ones included, by relative path: "<dir>" for a folder, the
    // MD5 digest of the content for anything else. Two trees compare equal when they hold the same.
    static QMap<QString, QByteArray> tree(const QString &root);

    // The inode of the file at path (a link itself), 0 when there is none: the same inode before and
    // after an installation means the file was neither moved nor copied.
    static quint64 inode(const QString &path);
};

#endif
