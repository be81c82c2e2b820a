#include "zstdcodec.h"

#include "streamhash.h"

#include <QFile>

#include <limits>
#include <memory>
#include <zstd.h>

namespace {

struct CContextFree
{
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct DContextFree
{
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};
using CContext = std::unique_ptr<ZSTD_CCtx, CContextFree>;
using DContext = std::unique_ptr<ZSTD_DCtx, DContextFree>;

QString zstdError(size_t code)
{
    return QString::fromLatin1(ZSTD_getErrorName(code));
}

// The largest window zstd allows on every platform we build for (32-bit ARM included).
constexpr int maxWindowLog = 30;
constexpr int minWindowLog = 10;

}

int ZstdCodec::windowLogFor(qint64 referenceSize, qint64 dataSize)
{
    const qint64 span = referenceSize + dataSize;
    int log = minWindowLog;
    while (log < maxWindowLog && (qint64(1) << log) < span)
        ++log;
    return log;
}

bool ZstdCodec::compressFile(const QString &from, const QString &to, int level, qint64 *written,
                             QByteArray *sha256, QString *error)
{
    StreamHash hash(StreamHash::Sha256);
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read ") + from + QStringLiteral(": ") + in.errorString();
        return false;
    }
    QFile out(to);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString();
        return false;
    }
    CContext context(ZSTD_createCCtx());
    if (!context) {
        *error = QStringLiteral("cannot start zstd");
        return false;
    }
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
    // The content size in the frame header lets a reader size its buffer before it starts.
    ZSTD_CCtx_setPledgedSrcSize(context.get(), quint64(in.size()));
    QByteArray buffer(int(ZSTD_CStreamOutSize()), Qt::Uninitialized);
    qint64 total = 0;
    bool ended = false;
    while (!ended) {
        const QByteArray chunk = in.read(1 << 20);
        if (in.error() != QFileDevice::NoError) {
            *error = QStringLiteral("cannot read ") + from + QStringLiteral(": ") + in.errorString();
            return false;
        }
        hash.addData(chunk);
        const ZSTD_EndDirective mode = in.atEnd() || chunk.isEmpty() ? ZSTD_e_end : ZSTD_e_continue;
        ZSTD_inBuffer input{chunk.constData(), size_t(chunk.size()), 0};
        bool finished = false;
        while (!finished) {
            ZSTD_outBuffer output{buffer.data(), size_t(buffer.size()), 0};
            const size_t left = ZSTD_compressStream2(context.get(), &output, &input, mode);
            if (ZSTD_isError(left)) {
                // A file that changed size while it was read breaks the pledge: no half-true object.
                *error = QStringLiteral("cannot compress ") + from + QStringLiteral(": ") + zstdError(left);
                return false;
            }
            if (out.write(buffer.constData(), qint64(output.pos)) != qint64(output.pos)) {
                *error = QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString();
                return false;
            }
            total += qint64(output.pos);
            finished = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
        }
        ended = mode == ZSTD_e_end;
    }
    if (!out.flush()) {
        *error = QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString();
        return false;
    }
    *written = total;
    *sha256 = hash.hexResult();
    return true;
}

QByteArray ZstdCodec::compressWithReference(const QByteArray &reference, const QByteArray &data, int level,
                                            QString *error)
{
    CContext context(ZSTD_createCCtx());
    if (!context) {
        *error = QStringLiteral("cannot start zstd");
        return QByteArray();
    }
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLogFor(reference.size(), data.size()));
    // Long-distance matching finds the reference's blocks wherever they moved to.
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
    const size_t refSet = ZSTD_CCtx_refPrefix(context.get(), reference.constData(), size_t(reference.size()));
    if (ZSTD_isError(refSet)) {
        *error = QStringLiteral("cannot use the reference: ") + zstdError(refSet);
        return QByteArray();
    }
    QByteArray frame(int(ZSTD_compressBound(size_t(data.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(context.get(), frame.data(), size_t(frame.size()), data.constData(),
                                       size_t(data.size()));
    if (ZSTD_isError(size)) {
        *error = QStringLiteral("cannot compress: ") + zstdError(size);
        return QByteArray();
    }
    frame.truncate(int(size));
    return frame;
}

bool ZstdCodec::decompress(const QByteArray &frame, const QByteArray &reference, qint64 maxSize, QByteArray *out,
                           QString *error)
{
    const unsigned long long contentSize = ZSTD_getFrameContentSize(frame.constData(), size_t(frame.size()));
    if (contentSize == ZSTD_CONTENTSIZE_ERROR || contentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
        *error = QStringLiteral("not a zstd frame with its content size");
        return false;
    }
    if (contentSize > quint64(maxSize) || contentSize > quint64(std::numeric_limits<int>::max())) {
        *error = QStringLiteral("content larger than allowed");
        return false;
    }
    DContext context(ZSTD_createDCtx());
    if (!context) {
        *error = QStringLiteral("cannot start zstd");
        return false;
    }
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, maxWindowLog);
    if (!reference.isEmpty())
        ZSTD_DCtx_refPrefix(context.get(), reference.constData(), size_t(reference.size()));
    QByteArray content(int(contentSize), Qt::Uninitialized);
    const size_t size = ZSTD_decompressDCtx(context.get(), content.data(), size_t(content.size()),
                                            frame.constData(), size_t(frame.size()));
    if (ZSTD_isError(size) || size != contentSize) {
        *error = QStringLiteral("cannot decompress: ")
            + (ZSTD_isError(size) ? zstdError(size) : QStringLiteral("short content"));
        return false;
    }
    *out = content;
    return true;
}
