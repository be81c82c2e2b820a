#include "logfilereader.h"

#include <QFile>

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

bool LogFileReader::read(const QString &path, const LineHandler &handler, QString *error)
{
    // gzread reads a file without the gzip magic as it is, so one path serves both kinds.
    gzFile file = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!file) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const std::unique_ptr<gzFile_s, int (*)(gzFile)> closer(file, gzclose);
    gzbuffer(file, 256 * 1024);

    constexpr int chunk = 1024 * 1024;
    std::vector<char> buffer(chunk + MaxLine);
    std::size_t kept = 0; // start of an unfinished line moved to the front
    bool skipping = false; // inside an over-long line that has been handed on already
    for (;;) {
        const int got = gzread(file, buffer.data() + kept, chunk);
        if (got < 0) {
            int code = 0;
            const char *text = gzerror(file, &code);
            *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(code == Z_ERRNO ? std::strerror(errno) : text));
            return false;
        }
        const std::size_t end = kept + std::size_t(got);
        std::size_t start = 0;
        while (start < end) {
            const char *nl = static_cast<const char *>(std::memchr(buffer.data() + start, '\n', end - start));
            if (!nl)
                break;
            const std::size_t length = std::size_t(nl - buffer.data()) - start;
            if (!skipping)
                handler(std::string_view(buffer.data() + start, length));
            skipping = false;
            start += length + 1;
        }
        std::size_t rest = end - start;
        if (rest >= std::size_t(MaxLine)) {
            if (!skipping)
                handler(std::string_view(buffer.data() + start, MaxLine));
            skipping = true;
            rest = 0;
        }
        std::memmove(buffer.data(), buffer.data() + start, rest);
        kept = rest;
        if (got == 0)
            break;
    }
    if (kept > 0 && !skipping)
        handler(std::string_view(buffer.data(), kept));
    // A rotation cut short ends without its trailer: gzread reports that only through gzerror.
    int code = Z_OK;
    const char *text = gzerror(file, &code);
    if (code != Z_OK && code != Z_BUF_ERROR) {
        *error = QStringLiteral("%1: %2").arg(path, QString::fromLatin1(text));
        return false;
    }
    if (code == Z_BUF_ERROR) {
        *error = QStringLiteral("%1: compressed data ends early").arg(path);
        return false;
    }
    return true;
}
