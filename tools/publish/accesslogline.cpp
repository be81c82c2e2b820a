#include "accesslogline.h"

namespace {

bool digits(std::string_view text, int count, int *value)
{
    if (int(text.size()) < count)
        return false;
    int v = 0;
    for (int i = 0; i < count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

template<typename T>
bool whole(std::string_view text, T max, T *value)
{
    if (text.empty() || text.size() > 18)
        return false;
    qint64 v = 0; // 19 digits at most, checked at each one: cannot overflow
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > qint64(max))
            return false;
    }
    *value = T(v);
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
qint64 daysFromCivil(int y, int m, int d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * unsigned(m + (m > 2 ? -3 : 9)) + 2) / 5 + unsigned(d) - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + qint64(doe) - 719468;
}

} // namespace

bool AccessLogLine::parseTime(std::string_view t, qint64 *seconds)
{
    int y, mo, d, h, mi, s;
    if (t.size() < 20 || !digits(t, 4, &y) || t[4] != '-' || !digits(t.substr(5), 2, &mo) || t[7] != '-'
        || !digits(t.substr(8), 2, &d) || t[10] != 'T' || !digits(t.substr(11), 2, &h) || t[13] != ':'
        || !digits(t.substr(14), 2, &mi) || t[16] != ':' || !digits(t.substr(17), 2, &s))
        return false;
    static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo < 1 || mo > 12 || d < 1 || d > monthDays[mo - 1] || (mo == 2 && d == 29 && !leap) || h > 23 || mi > 59
        || s > 60)
        return false;
    int offset = 0;
    const std::string_view zone = t.substr(19);
    if (zone == "Z") {
        offset = 0;
    } else {
        int oh, om;
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || !digits(zone.substr(1), 2, &oh)
            || zone[3] != ':' || !digits(zone.substr(4), 2, &om) || oh > 23 || om > 59)
            return false;
        offset = (oh * 3600 + om * 60) * (zone[0] == '-' ? -1 : 1);
    }
    *seconds = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - offset;
    return true;
}

AccessLogLine::Kind AccessLogLine::parse(std::string_view line, Record *record)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    // Fields are split at single spaces, so an empty REFUSED at the end still counts as a field;
    // the request is one field between quotes (nginx escapes quotes inside it).
    std::string_view fields[10];
    int count = 0;
    std::size_t pos = 0;
    while (pos <= line.size()) {
        if (count == 10)
            return Kind::Malformed;
        std::size_t end;
        if (count == 4) {
            if (pos >= line.size() || line[pos] != '"')
                return Kind::Malformed;
            const std::size_t close = line.find('"', pos + 1);
            if (close == std::string_view::npos)
                return Kind::Malformed;
            end = close + 1;
            if (end < line.size() && line[end] != ' ')
                return Kind::Malformed;
        } else {
            end = line.find(' ', pos);
            if (end == std::string_view::npos)
                end = line.size();
        }
        fields[count++] = line.substr(pos, end - pos);
        pos = end + 1;
    }
    if (count != 8 && count != 10)
        return Kind::Malformed;

    Record r;
    if (!parseTime(fields[0], &r.time) || fields[1].empty() || fields[2].empty() || fields[3].empty())
        return Kind::Malformed;
    const std::string_view request = fields[4].substr(1, fields[4].size() - 2);
    const std::size_t space = request.find(' ');
    if (space != std::string_view::npos) {
        std::string_view path = request.substr(space + 1);
        path = path.substr(0, path.find(' '));
        r.path = path.substr(0, path.find('?'));
    }
    if (!whole<int>(fields[5], 999, &r.status)
        || !(fields[6] == "-" ? (r.bytes = 0, true) : whole<qint64>(fields[6], Q_INT64_C(999999999999999), &r.bytes))
        || fields[7].empty())
        return Kind::Malformed;
    if (count == 10) {
        r.extended = true;
        // nginx writes "-" for a header that was not sent.
        r.probation = fields[8] == "-" ? std::string_view() : fields[8];
        r.refused = fields[9] == "-" ? std::string_view() : fields[9];
    }
    if (fields[1] == "-") {
        *record = r;
        return Kind::Other;
    }
    // An updater always sends its version code and state; anything else under its header is not one of ours.
    r.device = fields[1];
    r.state = fields[3];
    if (!whole<int>(fields[2], 2147483647, &r.version) || r.state == "-")
        return Kind::Malformed;
    *record = r;
    return Kind::Device;
}
