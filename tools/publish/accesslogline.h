#ifndef ACCESSLOGLINE_H
#define ACCESSLOGLINE_H

#include <QtGlobal>

#include <string_view>

// One line of the server's access log in the fleet's log format:
//   TIME DEVICE VERSION STATE "REQUEST" STATUS BYTES ADDRESS [PROBATION REFUSED]
// The last two fields came later; lines written before them still read. Views point into the line.
class AccessLogLine
{
public:
    enum class Kind { Device, Other, Malformed };

    struct Record
    {
        qint64 time = 0; // seconds since the epoch, UTC
        std::string_view device; // percent-encoded as sent
        int version = 0;
        std::string_view state;
        std::string_view path; // of the request, without its query
        int status = 0;
        qint64 bytes = 0;
        bool extended = false; // the line has PROBATION and REFUSED
        std::string_view probation;
        std::string_view refused; // comma-separated version codes, may be empty
    };

    // Device: a request of an updater. Other: a well-formed line of anybody else ("-" for the device).
    static Kind parse(std::string_view line, Record *record);
    // "2026-12-07T14:40:01+00:00" or with "Z"; false for anything else.
    static bool parseTime(std::string_view text, qint64 *seconds);
};

#endif
