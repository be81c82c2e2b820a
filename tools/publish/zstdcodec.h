#ifndef ZSTDCODEC_H
#define ZSTDCODEC_H

#include <QByteArray>
#include <QString>

// One zstd frame per file content: a file object compressed on its own, or a patch made with an
// earlier content as reference, so that a device holding that content needs only the patch.
class ZstdCodec
{
public:
    // Compresses the file at `from` into a new file `to` in pieces (an object may be larger than
    // memory allows); `written` is the size of the frame, `sha256` the digest of the bytes read.
    static bool compressFile(const QString &from, const QString &to, int level, qint64 *written,
                             QByteArray *sha256, QString *error);
    // A frame of `data` that decompresses only with `reference` as its prefix. The window covers
    // both, so that any part of the reference can be matched.
    static QByteArray compressWithReference(const QByteArray &reference, const QByteArray &data, int level,
                                            QString *error);
    // The content of one frame (with `reference` as prefix when it is a patch); refuses a content
    // larger than maxSize.
    static bool decompress(const QByteArray &frame, const QByteArray &reference, qint64 maxSize, QByteArray *out,
                           QString *error);
    // The window (log2 bytes) a patch between contents of these sizes needs.
    static int windowLogFor(qint64 referenceSize, qint64 dataSize);
};

#endif
