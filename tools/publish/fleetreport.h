#ifndef FLEETREPORT_H
#define FLEETREPORT_H

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The "report" command: reads access logs (any order, plain or .gz), the update information if
// given, and writes the HTML page and the JSON facts. Nothing is written when a log or the
// information cannot be read.
class FleetReport
{
public:
    struct Options
    {
        QStringList logs;
        QString infoPath;
        QString htmlPath;
        QString jsonPath;
        int sinceDays = 0;
        double silentAfterHours = 24;
        qint64 now = 0; // seconds since the epoch
    };

    // False with a reason when a log or the information cannot be read; a rotation that breaks
    // off counts as read up to the break and is named among the facts' problems.
    static bool collect(const Options &options, QJsonObject *facts, QString *error);
    static bool run(const Options &options, QString *error);
};

#endif
