#include "contentstream.h"

#include "streamhash.h"

#include <QFile>

#include <memory>
#include <zstd.h>

namespace {
const qint64 chunkSize = 128 * 1024;

struct DContextFree
{
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

QString zstdError(size_t code)
{
    return QString::fromLatin1(ZSTD_getErrorName(code));
}
}

// Stops as soon as the result would pass expectedSize: a hostile frame cannot fill the disk.
bool ContentStream::decode(QFile &in, QFile &out, const QByteArray *reference, int windowLog, qint64 expectedSize,
                           StreamHash *hash, QString *error)
{
    std::unique_ptr<ZSTD_DCtx, DContextFree> context(ZSTD_createDCtx());
    if (!context) {
        *error = QStringLiteral("cannot start zstd");
        return false;
    }
    size_t result = ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, windowLog);
    if (!ZSTD_isError(result) && reference)
        result = ZSTD_DCtx_refPrefix(context.get(), reference->constData(), size_t(reference->size()));
    if (ZSTD_isError(result)) {
        *error = zstdError(result);
        return false;
    }
    QByteArray output(int(ZSTD_DStreamOutSize()), Qt::Uninitialized);
    qint64 written = 0;
    size_t pending = 1;     // 0 once a frame ended
    size_t produced = 0;
    // One call of the decoder; what it gives is checked against the size, written and hashed.
    const auto step = [&](ZSTD_inBuffer &input) {
        ZSTD_outBuffer buffer{output.data(), size_t(output.size()), 0};
        pending = ZSTD_decompressStream(context.get(), &buffer, &input);
        if (ZSTD_isError(pending)) {
            *error = zstdError(pending);
            return false;
        }
        produced = buffer.pos;
        written += qint64(produced);
        if (written > expectedSize) {
            *error = QStringLiteral("larger than the %1 bytes announced").arg(expectedSize);
            return false;
        }
        if (out.write(output.constData(), qint64(produced)) != qint64(produced)) {
            *error = QStringLiteral("write failed: ") + out.errorString();
            return false;
        }
        hash->addData(output.constData(), qint64(produced));
        return true;
    };
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(chunkSize);
        if (chunk.isEmpty()) {
            *error = QStringLiteral("read failed: ") + in.errorString();
            return false;
        }
        ZSTD_inBuffer input{chunk.constData(), size_t(chunk.size()), 0};
        while (input.pos < input.size) {
            if (pending == 0) {
                *error = QStringLiteral("data after the end of the frame");
                return false;
            }
            if (!step(input))
                return false;
        }
    }
    // The decoder may still hold output once the input is consumed.
    while (pending != 0) {
        ZSTD_inBuffer input{nullptr, 0, 0};
        if (!step(input))
            return false;
        if (produced == 0)
            break;
    }
    if (pending != 0) {
        *error = QStringLiteral("truncated frame");
        return false;
    }
    return true;
}

bool ContentStream::copy(QFile &in, QFile &out, qint64 expectedSize, StreamHash *hash, QString *error)
{
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(chunkSize);
        if (chunk.isEmpty() || hash->bytesAdded() + chunk.size() > expectedSize) {
            *error = chunk.isEmpty() ? QStringLiteral("read failed: ") + in.errorString()
                                     : QStringLiteral("changed since it was hashed");
            return false;
        }
        if (out.write(chunk) != chunk.size()) {
            *error = QStringLiteral("write failed: ") + out.errorString();
            return false;
        }
        hash->addData(chunk);
    }
    return true;
}
