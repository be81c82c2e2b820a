#ifndef LOGFILEREADER_H
#define LOGFILEREADER_H

#include <QString>

#include <functional>
#include <string_view>

// Streams the lines of a log file, plain or gzip-compressed (a rotation), in 1 MiB reads: memory
// stays the same for any file size. A line longer than the limit is passed on cut to it, once.
class LogFileReader
{
public:
    using LineHandler = std::function<void(std::string_view)>;

    static constexpr int MaxLine = 64 * 1024;

    // False with a reason when the file cannot be opened, or breaks off (a truncated rotation):
    // the lines before the break have been handed on.
    static bool read(const QString &path, const LineHandler &handler, QString *error);
};

#endif
