#ifndef REPORTJSONWRITER_H
#define REPORTJSONWRITER_H

#include <QJsonObject>
#include <QStringList>

class FleetAggregator;

// The facts of a fleet report as one JSON object: what monitoring reads and what the HTML page
// shows. Times are UTC ("2026-12-07T14:40:01Z"), device ids as the devices have them.
class ReportJsonWriter
{
public:
    struct Context
    {
        qint64 now = 0; // seconds since the epoch
        int sinceDays = 0; // 0: the whole log
        double silentAfterHours = 24;
        QJsonObject info; // the update information, empty without --info
        QStringList files;
        QStringList fileProblems;
    };

    static QJsonObject facts(const FleetAggregator &fleet, const Context &context);
    static QByteArray toJson(const QJsonObject &facts);
    static QString timeText(qint64 seconds);
};

#endif
