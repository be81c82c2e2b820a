#include "logwriter.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

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

void writeFileLine(QtMsgType type, const char *category, const QString &message)
{
    if (!logFile || !logFile->isOpen())
        return;
    QTextStream stream(logFile);
    stream.setCodec("UTF-8");
    stream << logFileLine(type, category, message, QDateTime::currentDateTime()) << '\n';
    stream.flush();
}

// A reader that stops reading (a full pipe, a stopped terminal) must never stop the launcher: the
// log, the supervision and the watchdog feeding all run on this one thread.
void writeStdout(const QByteArray &bytes)
{
    if (writeStandardOutputNow(bytes.constData(), bytes.size()) == bytes.size()) {
        if (droppedEchoes != 0) {
            writeFileLine(QtWarningMsg, nullptr, QStringLiteral("stdout echo resumed, %1 lines dropped").arg(droppedEchoes));
            droppedEchoes = 0;
        }
        return;
    }
    ++droppedEchoes;
    if (droppedEchoes == 1)
        writeFileLine(QtWarningMsg, nullptr, QStringLiteral("stdout is not read, echo lines are dropped"));
    else if (droppedEchoes % DropReportInterval == 0)
        writeFileLine(QtWarningMsg, nullptr, QStringLiteral("stdout echo: %1 lines dropped so far").arg(droppedEchoes));
}
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

    auto *file = new QFile(logFileName(folder, baseName, QDate::currentDate()));
    delete logFile;
    logFile = file;
    if (!logFile->open(QIODevice::Append | QIODevice::Text)) {
        // Without a file the stdout echo is all that is left; say once why the file stays empty.
        const QString why = QStringLiteral("cannot open log file %1: %2\n").arg(logFile->fileName(), logFile->errorString());
        std::fputs(why.toLocal8Bit().constData(), stderr);
    }

    const QStringList names = dir.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Unsorted);
    writeStdout(names.join(QLatin1Char(',')).toUtf8() + '\n');
}

QString currentLogFilePath()
{
    return logFile ? logFile->fileName() : QString();
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    writeFileLine(type, context.category, message);
    writeStdout(QByteArray::number(int(type)) + ' ' + message.toUtf8() + '\n');
}
