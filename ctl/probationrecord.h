#ifndef PROBATIONRECORD_H
#define PROBATIONRECORD_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// What the launcher has counted for the version on probation, for status. The launcher keeps the
// count in a record of its own; this only reads it, and the limits from the launcher's settings.
class ProbationRecord
{
public:
    // Keys added to the status values.
    static const char PassedSeconds[];
    static const char NeededSeconds[];
    static const char Failures[];
    static const char FailuresAllowed[];

    // The status values for `version` from the record's bytes. A run still going adds the time
    // since the record was written (the launcher writes it when the run starts). A record of
    // another version, or none, is a count not begun.
    static QJsonObject values(const QByteArray &record, int version, qint64 msSinceWritten, int neededSeconds,
                              int failuresAllowed);

    // Reads the launcher's settings and record of this user for `version`.
    static QJsonObject read(int version);

    // The record file the launcher with settings file `launcherSettingsFile` keeps.
    static QString pathFor(const QString &launcherSettingsFile);
};

#endif
