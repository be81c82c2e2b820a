#include "treehashcache.h"

#include "streamhash.h"

#include <QDataStream>
#include <QDateTime>
#include <QFile>
#include <QSaveFile>

namespace {
const char magic[] = "tovrel-hash-cache-1";
}

TreeHashCache::TreeHashCache(const QString &cacheFile)
    : m_file(cacheFile)
{
}

void TreeHashCache::load()
{
    m_known.clear();
    m_used.clear();
    QFile file(m_file);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QDataStream in(&file);
    in.setVersion(QDataStream::Qt_5_15);
    QByteArray tag;
    quint32 count = 0;
    in >> tag >> count;
    if (in.status() != QDataStream::Ok || tag != magic)
        return;
    QHash<QString, Entry> read;
    for (quint32 i = 0; i < count; ++i) {
        QString path;
        Entry entry;
        in >> path >> entry.stamp.size >> entry.stamp.modifiedNs >> entry.stamp.inode >> entry.stamp.device
            >> entry.sha256;
        if (in.status() != QDataStream::Ok || entry.sha256.size() != 64)
            return;
        read.insert(path, entry);
    }
    m_known = read;
}

bool TreeHashCache::save(QString *error)
{
    QSaveFile file(m_file);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    QDataStream out(&file);
    out.setVersion(QDataStream::Qt_5_15);
    out << QByteArray(magic) << quint32(m_used.size());
    for (auto it = m_used.cbegin(); it != m_used.cend(); ++it) {
        const Entry &e = it.value();
        out << it.key() << e.stamp.size << e.stamp.modifiedNs << e.stamp.inode << e.stamp.device << e.sha256;
    }
    if (out.status() != QDataStream::Ok || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

bool TreeHashCache::hash(const QString &root, const QString &relative, QByteArray *sha256, qint64 *size,
                         QString *error)
{
    const QString path = root + QLatin1Char('/') + relative;
    FileOps::Stamp before;
    if (!FileOps::stampOf(path, &before, error))
        return false;
    const auto known = m_known.constFind(relative);
    if (known != m_known.cend() && known.value().stamp == before) {
        m_used.insert(relative, known.value());
        *sha256 = known.value().sha256;
        *size = before.size;
        return true;
    }

    QFile file;
    if (!FileOps::openFileNoFollow(file, path, error))
        return false;
    ++m_filesRead;
    FileOps::Stamp opened;
    StreamHash digest(StreamHash::Sha256);
    if (!FileOps::stampOf(file, &opened, error))
        return false;
    if (!digest.addData(&file)) {
        *error = QStringLiteral("read failed: ") + file.errorString();
        return false;
    }
    FileOps::Stamp after;
    if (!FileOps::stampOf(file, &after, error))
        return false;
    if (after != opened || digest.bytesAdded() != opened.size) {
        *error = QStringLiteral("changed while it was read");
        return false;
    }
    const Entry entry{opened, digest.hexResult()};
    if (opened.modifiedNs < QDateTime::currentMSecsSinceEpoch() * 1000000 - settleNs)
        m_used.insert(relative, entry);
    else
        m_used.remove(relative);
    *sha256 = entry.sha256;
    *size = opened.size;
    return true;
}
