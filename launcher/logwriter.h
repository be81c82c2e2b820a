#ifndef LOGWRITER_H
#define LOGWRITER_H

#include <QDate>
#include <QDateTime>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QString>

// The launcher's log back end: one file per day (a new one at midnight while the launcher runs),
// old days' files removed after a number of days, the application's output capped per day; every
// line also echoed to stdout.

Q_DECLARE_LOGGING_CATEGORY(lcCritical)
Q_DECLARE_LOGGING_CATEGORY(lcDeb)
Q_DECLARE_LOGGING_CATEGORY(lcErr)
Q_DECLARE_LOGGING_CATEGORY(lcStd)

// The bare name of a registered enumerator ("Running", not "QProcess::Running"), as log lines print it.
template<typename E>
const char *enumName(E value)
{
    const char *key = QMetaEnum::fromType<E>().valueToKey(int(value));
    return key ? key : "?";
}

// "<folder>/<baseName>-dd.MM.yy.log"
QString logFileName(const QString &folder, const QString &baseName, const QDate &date);

// "INF", "WRN", "ERR", "FTL", and "DBG" for debug and anything else.
QString logLevelTag(QtMsgType type);

// One line of the log file, without the line end.
QString logFileLine(QtMsgType type, const char *category, const QString &message, const QDateTime &when);

// Creates the folder if needed, makes today's file the current log file (appending) and writes
// the comma-separated list of "*.log" files in the folder to stdout.
void openLogFile(const QString &folder, const QString &baseName);

// Days to keep files named like "<baseName>-dd.MM.yy.log" (by the date in the name; 0 keeps all)
// and megabytes of one day's file past which the application's output is counted instead of
// written (0: no cap). Takes effect at the next openLogFile or day change.
void setLogLimits(int keepDays, int dayCapMb);

// The clock of the log (time stamps, day changes, the once-a-minute count); nullptr restores the
// system clock. Lets tests cross midnight without waiting for it.
void setLogClock(QDateTime (*clock)());

// Lines logged between true and false are the application's output, subject to the day's cap.
void setLoggingApplicationOutput(bool applicationOutput);

// Removes the files of the given name pattern in the folder whose date is more than keepDays
// before today; returns the names removed. Nothing else in the folder is touched.
QStringList removeOldLogFiles(const QString &folder, const QString &baseName, const QDate &today, int keepDays);

// Path of the current log file; empty before openLogFile.
QString currentLogFilePath();

// Writes the message to the current log file and echoes "<type> <message>" to stdout. The echo
// never waits: what stdout cannot take at once is dropped, and the drops are counted in the file.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Platform part (logwriter_<platform>.cpp): writes as much of the bytes to standard output as it
// can take without waiting and returns how many were written.
qint64 writeStandardOutputNow(const char *data, qint64 size);

#endif
