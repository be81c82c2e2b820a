#ifndef FLEETAGGREGATOR_H
#define FLEETAGGREGATOR_H

#include "accesslogline.h"

#include <QByteArray>
#include <QHash>
#include <QStringList>
#include <QVector>

#include <limits>
#include <string_view>

// Folds access-log lines into what is known of each device: its latest request (by time, so files
// may come in any order), its latest version per day, and the bytes served per file. Memory grows
// with devices and days, never with lines: texts that repeat (states, lists) are kept once.
class FleetAggregator
{
public:
    struct Day
    {
        int day; // days since the epoch, UTC
        qint64 time;
        int version;
    };

    struct Device
    {
        qint64 lastTime = std::numeric_limits<qint64>::min();
        int version = 0;
        int state = 0; // index into texts()
        // From the latest line that has the two later fields; -1 while none had them.
        qint64 extendedTime = std::numeric_limits<qint64>::min();
        int probation = -1;
        int refused = -1;
        // The latest day apart from the others: most lines only touch it.
        Day today{std::numeric_limits<int>::min(), 0, 0};
        QVector<Day> earlier; // by day, all before today
        QVector<Day> days() const;
    };

    struct Served
    {
        qint64 bytes = 0;
        qint64 requests = 0;
    };

    struct Malformed
    {
        QString file;
        qint64 line;
        QByteArray text;
    };

    // Lines before notBefore (seconds since the epoch) are counted apart and otherwise left out.
    explicit FleetAggregator(qint64 notBefore = std::numeric_limits<qint64>::min());

    // The file name goes into the examples of malformed lines.
    void beginFile(const QString &name);
    void addLine(std::string_view line);

    const QHash<QByteArray, Device> &devices() const { return m_devices; }
    const QHash<QByteArray, Served> &served() const { return m_served; }
    const QByteArray &text(int index) const { return m_texts.at(index); }
    qint64 lines() const { return m_lines; }
    qint64 otherRequests() const { return m_other; }
    qint64 earlierLines() const { return m_earlier; }
    qint64 malformedCount() const { return m_malformed; }
    const QVector<Malformed> &malformedExamples() const { return m_examples; }
    qint64 firstTime() const { return m_firstTime; }
    qint64 lastTime() const { return m_lastTime; }

    static constexpr int MaxExamples = 10;

private:
    int intern(std::string_view text);
    // The index of text, looked up only when it differs from the one at current.
    int internChanged(int current, std::string_view text);
    void addServed(const AccessLogLine::Record &record);

    qint64 m_notBefore;
    QHash<QByteArray, Device> m_devices;
    QHash<QByteArray, Served> m_served;
    // Nodes of a Qt 5 hash stay where they are when it grows.
    QByteArray m_lastPath;
    Served *m_lastServed = nullptr;
    QHash<QByteArray, int> m_textIndex;
    QVector<QByteArray> m_texts;
    QVector<Malformed> m_examples;
    QString m_file;
    qint64 m_fileLine = 0;
    qint64 m_lines = 0;
    qint64 m_other = 0;
    qint64 m_earlier = 0;
    qint64 m_malformed = 0;
    qint64 m_firstTime = std::numeric_limits<qint64>::max();
    qint64 m_lastTime = std::numeric_limits<qint64>::min();
};

#endif
