#include "logwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>

Q_LOGGING_CATEGORY(lcCritical, "CRITICAL")
Q_LOGGING_CATEGORY(lcDeb, "DEB")
Q_LOGGING_CATEGORY(lcErr, "ERR")
Q_LOGGING_CATEGORY(lcStd, "STD")

namespace {
// Deliberately never freed: messages may still be logged while static objects are destroyed.
QFile *logFile = nullptr;
// Echo lines dropped (wholly or in part) since the echo last went through.
quint64 droppedEchoes = 0;
constexpr quint64 DropReportInterval = 1000;

// The current day's file and the limits it is kept under.
struct LogState
{
    QString folder;
    QString baseName;
    QDate date;
    qint64 dayBytes = 0;
    int keepDays = 0;
    qint64 dayCapBytes = 0;
    QDateTime (*clock)() = nullptr;
    bool applicationOutput = false;
    // Application lines not written since the last report, and when the cap was reached or last reported.
    qint64 uncountedLines = 0;
    bool capReached = false;
    QDateTime lastCapReport;
};

// Never freed either, for the same reason as the file.
LogState &state()
{
    static auto *const instance = new LogState;
    return *instance;
}

constexpr qint64 CapReportMs = 60 * 1000;


QDateTime now()
{
    return state().clock ? state().clock() : QDateTime::currentDateTime();
}

void writeFileLine(const QString &line)
{
    if (!logFile || !logFile->isOpen())
        return;
    const QByteArray bytes = line.toUtf8() + '\n';
    logFile->write(bytes);
    logFile->flush();
    state().dayBytes += bytes.size();
}

// A reader that stops reading (a full pipe, a stopped terminal) must never stop the launcher: the
// log, the supervision and the watchdog feeding all run on this one thread.
void writeStdout(const QByteArray &bytes)
{
    if (writeStandardOutputNow(bytes.constData(), bytes.size()) == bytes.size()) {
        if (droppedEchoes != 0) {
            writeFileLine(logFileLine(QtWarningMsg, "default", QStringLiteral("stdout echo resumed, %1 lines dropped").arg(droppedEchoes), now()));
            droppedEchoes = 0;
        }
        return;
    }
    ++droppedEchoes;
    if (droppedEchoes == 1)
        writeFileLine(logFileLine(QtWarningMsg, "default", QStringLiteral("stdout is not read, echo lines are dropped"), now()));
    else if (droppedEchoes % DropReportInterval == 0)
        writeFileLine(logFileLine(QtWarningMsg, "default", QStringLiteral("stdout echo: %1 lines dropped so far").arg(droppedEchoes), now()));
}

// The log writer's own lines: never capped, echoed like any other line.
void writeOwnLine(QtMsgType type, const QString &text, const QDateTime &when)
{
    writeFileLine(logFileLine(type, "default", text, when));
    writeStdout(QByteArray::number(int(type)) + ' ' + text.toUtf8() + '\n');
}

void reportUncounted(const QDateTime &when)
{
    if (state().uncountedLines > 0) {
        writeOwnLine(QtWarningMsg, QStringLiteral("[LogWriter] application output over the day's cap: %1 lines not written")
                                       .arg(state().uncountedLines), when);
    }
    state().uncountedLines = 0;
    state().lastCapReport = when;
}

void reportUncountedIfDue(const QDateTime &when)
{
    // A clock set back (time sync after boot) must not hold the count back until it catches up.
    if (state().uncountedLines > 0 && qAbs(state().lastCapReport.msecsTo(when)) >= CapReportMs)
        reportUncounted(when);
}

// Lines counted just before the application fell silent are reported on time even when nothing
// else is logged; the check runs with the event loop, never freed like the file.
void watchUncounted()
{
    static QTimer *timer = nullptr;
    if (timer || !QCoreApplication::instance())
        return;
    timer = new QTimer;
    timer->setInterval(5000);
    QObject::connect(timer, &QTimer::timeout, []() { reportUncountedIfDue(now()); });
    timer->start();
}

void openDayFile(const QDate &date)
{
    auto *file = new QFile(logFileName(state().folder, state().baseName, date));
    delete logFile;
    logFile = file;
    state().date = date;
    state().capReached = false;
    state().uncountedLines = 0;
    if (!logFile->open(QIODevice::Append | QIODevice::Text)) {
        // Without a file the stdout echo is all that is left; say once why the file stays empty.
        const QString why = QStringLiteral("cannot open log file %1: %2\n").arg(logFile->fileName(), logFile->errorString());
        std::fputs(why.toLocal8Bit().constData(), stderr);
    }
    state().dayBytes = logFile->isOpen() ? logFile->size() : 0;
}

void removeOldFiles(const QDateTime &when)
{
    const QStringList removed = removeOldLogFiles(state().folder, state().baseName, when.date(), state().keepDays);
    if (!removed.isEmpty())
        writeOwnLine(QtDebugMsg, QStringLiteral("[LogWriter] removed old log files: ") + removed.join(QStringLiteral(", ")), when);
}

// The first line of a new day goes to that day's file, opened on the spot.
void startNewDay(const QDateTime &when)
{
    reportUncounted(when);
    openDayFile(when.date());
    removeOldFiles(when);
}
}

void setLogLimits(int days, int dayCapMb)
{
    state().keepDays = qMax(0, days);
    state().dayCapBytes = qMax(0, dayCapMb) * qint64(1024 * 1024);
}

void setLogClock(QDateTime (*clock)())
{
    state().clock = clock;
}

void setLoggingApplicationOutput(bool on)
{
    state().applicationOutput = on;
}

QStringList removeOldLogFiles(const QString &folder, const QString &baseName, const QDate &today, int days)
{
    QStringList removed;
    if (days <= 0 || !today.isValid())
        return removed;
    // The date comes from the name, not the file time: copying or touching a file does not keep it.
    const QRegularExpression pattern(QStringLiteral("^") + QRegularExpression::escape(baseName)
                                     + QStringLiteral("-(\\d\\d)\\.(\\d\\d)\\.(\\d\\d)\\.log$"));
    const QDir dir(folder);
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        const QDate date(2000 + match.captured(3).toInt(), match.captured(2).toInt(), match.captured(1).toInt());
        if (date.isValid() && date.daysTo(today) > days && QFile::remove(dir.filePath(name)))
            removed.append(name);
    }
    return removed;
}

QString logFileName(const QString &folder, const QString &baseName, const QDate &date)
{
    return QStringLiteral("%1/%2-%3.log").arg(folder, baseName, date.toString(QStringLiteral("dd.MM.yy")));
}

QString logLevelTag(QtMsgType type)
{
    switch (type) {
    case QtInfoMsg:
        return QStringLiteral("INF");
    case QtWarningMsg:
        return QStringLiteral("WRN");
    case QtCriticalMsg:
        return QStringLiteral("ERR");
    case QtFatalMsg:
        return QStringLiteral("FTL");
    default:
        return QStringLiteral("DBG");
    }
}

QString logFileLine(QtMsgType type, const char *category, const QString &message, const QDateTime &when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")) + QLatin1Char(' ') + logLevelTag(type)
        + QLatin1Char(' ') + QString::fromUtf8(category ? category : "default") + QStringLiteral(": ") + message;
}

void openLogFile(const QString &folder, const QString &baseName)
{
    QDir dir(folder);
    if (!dir.exists())
        QDir().mkpath(folder);

    const QDateTime when = now();
    if (logFile && logFile->isOpen())
        reportUncounted(when);
    state().folder = folder;
    state().baseName = baseName;
    openDayFile(when.date());
    const QStringList removed = removeOldLogFiles(folder, baseName, when.date(), state().keepDays);

    const QStringList names = dir.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Unsorted);
    writeStdout(names.join(QLatin1Char(',')).toUtf8() + '\n');
    if (!removed.isEmpty())
        writeOwnLine(QtDebugMsg, QStringLiteral("[LogWriter] removed old log files: ") + removed.join(QStringLiteral(", ")), when);
}

QString currentLogFilePath()
{
    return logFile ? logFile->fileName() : QString();
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QDateTime when = now();
    if (logFile && when.date() != state().date)
        startNewDay(when);
    if (state().applicationOutput && state().dayCapBytes > 0 && state().dayBytes >= state().dayCapBytes) {
        if (!state().capReached) {
            state().capReached = true;
            state().lastCapReport = when;
            watchUncounted();
            writeOwnLine(QtWarningMsg, QStringLiteral("[LogWriter] today's log file reached %1 MB: the application's "
                                                      "output is counted, not written, until tomorrow")
                                           .arg(state().dayCapBytes / (1024 * 1024)), when);
        }
        ++state().uncountedLines;
    } else {
        writeFileLine(logFileLine(type, context.category, message, when));
    }
    reportUncountedIfDue(when);
    writeStdout(QByteArray::number(int(type)) + ' ' + message.toUtf8() + '\n');
}
