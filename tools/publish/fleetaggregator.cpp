#include "fleetaggregator.h"

#include <cstring>

namespace {

// A view for lookups only: no copy of the bytes.
QByteArray view(std::string_view text)
{
    return QByteArray::fromRawData(text.data(), int(text.size()));
}

qint64 dayOf(qint64 time)
{
    return time >= 0 ? time / 86400 : (time - 86399) / 86400;
}

} // namespace

FleetAggregator::FleetAggregator(qint64 notBefore)
    : m_notBefore(notBefore)
{
    intern(std::string_view()); // index 0: no text
}

void FleetAggregator::beginFile(const QString &name)
{
    m_file = name;
    m_fileLine = 0;
}

int FleetAggregator::intern(std::string_view text)
{
    const auto found = m_textIndex.constFind(view(text));
    if (found != m_textIndex.constEnd())
        return found.value();
    const QByteArray copy(text.data(), int(text.size()));
    m_texts.append(copy);
    m_textIndex.insert(copy, m_texts.size() - 1);
    return m_texts.size() - 1;
}

int FleetAggregator::internChanged(int current, std::string_view text)
{
    if (current >= 0) {
        const QByteArray &known = m_texts.at(current);
        if (std::size_t(known.size()) == text.size() && std::memcmp(known.constData(), text.data(), text.size()) == 0)
            return current;
    }
    return intern(text);
}

QVector<FleetAggregator::Day> FleetAggregator::Device::days() const
{
    QVector<Day> all = earlier;
    if (today.day != std::numeric_limits<int>::min())
        all.append(today);
    return all;
}

void FleetAggregator::addServed(const AccessLogLine::Record &record)
{
    std::string_view path = record.path;
    const std::size_t slash = path.rfind('/');
    if (slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    if (!m_lastServed || std::size_t(m_lastPath.size()) != path.size()
        || std::memcmp(m_lastPath.constData(), path.data(), path.size()) != 0) {
        auto found = m_served.find(view(path));
        if (found == m_served.end())
            found = m_served.insert(QByteArray(path.data(), int(path.size())), Served());
        m_lastPath = found.key();
        m_lastServed = &found.value();
    }
    m_lastServed->bytes += record.bytes;
    ++m_lastServed->requests;
}

void FleetAggregator::addLine(std::string_view line)
{
    ++m_fileLine;
    if (line.empty() || (line.size() == 1 && line[0] == '\r'))
        return;
    ++m_lines;
    AccessLogLine::Record record;
    const AccessLogLine::Kind kind = AccessLogLine::parse(line, &record);
    if (kind == AccessLogLine::Kind::Malformed) {
        ++m_malformed;
        if (m_examples.size() < MaxExamples)
            m_examples.append({m_file, m_fileLine, QByteArray(line.data(), int(qMin<std::size_t>(line.size(), 300)))});
        return;
    }
    if (record.time < m_notBefore) {
        ++m_earlier;
        return;
    }
    m_firstTime = qMin(m_firstTime, record.time);
    m_lastTime = qMax(m_lastTime, record.time);
    if (kind == AccessLogLine::Kind::Other) {
        ++m_other;
        return;
    }
    addServed(record);

    auto found = m_devices.find(view(record.device));
    if (found == m_devices.end())
        found = m_devices.insert(QByteArray(record.device.data(), int(record.device.size())), Device());
    Device &device = found.value();
    // Equal times: the later line wins, as it would in a log read in order.
    if (record.time >= device.lastTime) {
        device.lastTime = record.time;
        device.version = record.version;
        device.state = internChanged(device.state, record.state);
    }
    if (record.extended && record.time >= device.extendedTime) {
        device.extendedTime = record.time;
        device.probation = internChanged(device.probation, record.probation);
        device.refused = internChanged(device.refused, record.refused);
    }
    const int day = int(dayOf(record.time));
    Day &today = device.today;
    if (day == today.day) {
        if (record.time >= today.time) {
            today.time = record.time;
            today.version = record.version;
        }
        return;
    }
    if (day > today.day) {
        if (today.day != std::numeric_limits<int>::min())
            device.earlier.append(today);
        today = Day{day, record.time, record.version};
        return;
    }
    // An older file read after a newer one.
    for (int i = device.earlier.size() - 1; i >= 0; --i) {
        Day &known = device.earlier[i];
        if (known.day == day) {
            if (record.time >= known.time) {
                known.time = record.time;
                known.version = record.version;
            }
            return;
        }
        if (known.day < day) {
            device.earlier.insert(i + 1, Day{day, record.time, record.version});
            return;
        }
    }
    device.earlier.prepend(Day{day, record.time, record.version});
}
