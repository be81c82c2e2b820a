#ifndef TREEHASHCACHE_H
#define TREEHASHCACHE_H

#include "fileops.h"

#include <QByteArray>
#include <QHash>
#include <QString>

// SHA-256 digests of the installed files, remembered in a file of the work folder with each file's
// size, modification time and inode, so that comparing the installed tree with a new version reads
// only the files that changed since the last time.
class TreeHashCache
{
public:
    explicit TreeHashCache(const QString &cacheFile);

    // Reads the remembered digests; a missing, foreign or damaged file leaves the cache empty
    // (every file is then read once more), which is no failure.
    void load();
    // Writes the digests of the files looked up since load(), so that files that went are
    // forgotten; through a temporary file, so a cut-off write leaves the old cache.
    bool save(QString *error);

    // The lower-case hex SHA-256 and size of root/relative; false (with error) when it is missing,
    // not a regular file (a link is not followed) or cannot be read.
    bool hash(const QString &root, const QString &relative, QByteArray *sha256, qint64 *size, QString *error);

    // Files read since construction: what the cache did not save.
    int filesRead() const { return m_filesRead; }

    // A file modified this close to its hashing could change again within the same time-stamp
    // tick without its stamp showing it; such a digest is used but not remembered.
    static constexpr qint64 settleNs = qint64(2) * 1000000000;

private:
    struct Entry
    {
        FileOps::Stamp stamp;
        QByteArray sha256;
    };
    QString m_file;
    QHash<QString, Entry> m_known;
    QHash<QString, Entry> m_used;
    int m_filesRead = 0;
};

#endif
