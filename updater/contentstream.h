#ifndef CONTENTSTREAM_H
#define CONTENTSTREAM_H

#include <QByteArray>
#include <QString>

class QFile;
class StreamHash;

// Writes one file's content into a stage, from a compressed object, a patch or a plain copy,
// hashing it on the way and stopping as soon as it would pass the size the manifest announces.
class ContentStream
{
public:
    // Decompresses the one zstd frame of in into out, with reference as the frame's prefix when
    // given (a patch), or nullptr (a whole object).
    static bool decode(QFile &in, QFile &out, const QByteArray *reference, int windowLog, qint64 expectedSize,
                       StreamHash *hash, QString *error);
    // Plain copy, for a kept file whose mode changes: the installation replaces it, the content is ours.
    static bool copy(QFile &in, QFile &out, qint64 expectedSize, StreamHash *hash, QString *error);
};

#endif
