#include "logwriter.h"
#include "stdoutcapture.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

namespace {
QDateTime fakeNow;
QDateTime fakeClock()
{
    return fakeNow;
}

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}
}

class TestLogWriter : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void fileNameForDate();
    void createsMissingFoldersAndListsLogFiles();
    void appendsAcrossOpens();
    void lineAndEchoFormats_data();
    void lineAndEchoFormats();
    void throughQtMacros();
    void unopenableFileStillEchoes();

    void retention_data();
    void retention();
    void midnightStartsNewDayAndRemovesAgedFile();
    void capCountsApplicationOutputOnly();
    void countReportedWhenNothingMoreIsLogged();
    void echoNeverWaitsForAReader();
};

void TestLogWriter::cleanup()
{
    setLogLimits(0, 0);
    setLogClock(nullptr);
    setLoggingApplicationOutput(false);
}

void TestLogWriter::fileNameForDate()
{
    QCOMPARE(logFileName(QStringLiteral("/var/log/x"), QStringLiteral("zorvan"), QDate(2026, 12, 6)),
             QStringLiteral("/var/log/x/zorvan-06.12.26.log"));
    QCOMPARE(logFileName(QStringLiteral("logs"), QStringLiteral("zorvan"), QDate(2031, 1, 29)),
             QStringLiteral("logs/zorvan-29.01.31.log"));
}

void TestLogWriter::createsMissingFoldersAndListsLogFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("a/b/c"));
    QVERIFY(!QDir(folder).exists());

    StdoutCapture capture;
    openLogFile(folder, QStringLiteral("zorvan"));
    const QByteArray first = capture.finish();

    const QString expected = logFileName(folder, QStringLiteral("zorvan"), QDate::currentDate());
    QVERIFY(QFile::exists(expected));
    QCOMPARE(currentLogFilePath(), expected);
    QCOMPARE(first, QFileInfo(expected).fileName().toUtf8() + '\n');

    // Other log files are listed (unsorted, so compared as a set); other files and folders are not.
    QFile(folder + QStringLiteral("/zorvan-01.01.26.log")).open(QIODevice::WriteOnly);
    QFile(folder + QStringLiteral("/notes.txt")).open(QIODevice::WriteOnly);
    QVERIFY(QDir(folder).mkdir(QStringLiteral("old.log")));
    StdoutCapture second;
    openLogFile(folder, QStringLiteral("zorvan"));
    const QByteArray listing = second.finish();
    QVERIFY(listing.endsWith('\n'));
    const QStringList names = QString::fromUtf8(listing.trimmed()).split(QLatin1Char(','));
    QCOMPARE(QSet<QString>(names.begin(), names.end()),
             QSet<QString>({QFileInfo(expected).fileName(), QStringLiteral("zorvan-01.01.26.log")}));
    // Nothing is rotated or removed.
    QVERIFY(QFile::exists(folder + QStringLiteral("/zorvan-01.01.26.log")));
}

void TestLogWriter::appendsAcrossOpens()
{
    QTemporaryDir dir;
    StdoutCapture capture;
    openLogFile(dir.path(), QStringLiteral("zorvan"));
    logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("first start"));
    openLogFile(dir.path(), QStringLiteral("zorvan"));
    logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("second start"));
    capture.finish();

    const QStringList lines = fileLines(currentLogFilePath());
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).endsWith(QLatin1String(" first start")));
    QVERIFY(lines.at(1).endsWith(QLatin1String(" second start")));
}

void TestLogWriter::lineAndEchoFormats_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tagAndCategory");
    QTest::addColumn<QByteArray>("echo");

    const QString russian = QStringLiteral("Приложение отключено.\n\"x\"");
    QTest::newRow("debug default") << int(QtDebugMsg) << QByteArray() << "plain" << "DBG default" << QByteArray("0 plain\n");
    QTest::newRow("warning") << int(QtWarningMsg) << QByteArray() << "careful" << "WRN default"
                             << QByteArray("1 careful\n");
    QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray() << "bad" << "ERR default" << QByteArray("2 bad\n");
    QTest::newRow("fatal") << int(QtFatalMsg) << QByteArray() << "end" << "FTL default" << QByteArray("3 end\n");
    QTest::newRow("info") << int(QtInfoMsg) << QByteArray() << "note" << "INF default" << QByteArray("4 note\n");
    QTest::newRow("debug STD") << int(QtDebugMsg) << QByteArray("STD") << "\"$ALIVE\\n\"" << "DBG STD"
                               << QByteArray("0 \"$ALIVE\\n\"\n");
    QTest::newRow("debug CRITICAL is still DBG") << int(QtDebugMsg) << QByteArray("CRITICAL") << "busy!"
                                                 << "DBG CRITICAL" << QByteArray("0 busy!\n");
    QTest::newRow("utf-8 text") << int(QtDebugMsg) << QByteArray("DEB") << russian << "DBG DEB"
                                << QByteArray("0 ") + russian.toUtf8() + '\n';
}

void TestLogWriter::lineAndEchoFormats()
{
    QFETCH(int, type);
    QFETCH(QByteArray, category);
    QFETCH(QString, text);
    QFETCH(QString, tagAndCategory);
    QFETCH(QByteArray, echo);

    QTemporaryDir dir;
    StdoutCapture capture;
    openLogFile(dir.path(), QStringLiteral("zorvan"));
    QMessageLogContext context(nullptr, 0, nullptr, category.isEmpty() ? "default" : category.constData());
    const QDateTime before = QDateTime::currentDateTime();
    logMessageHandler(QtMsgType(type), context, text);
    const QByteArray out = capture.finish();

    const QByteArray listing = QFileInfo(currentLogFilePath()).fileName().toUtf8() + '\n';
    QCOMPARE(out, listing + echo);

    QFile file(currentLogFilePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString content = QString::fromUtf8(file.readAll());
    static const QRegularExpression stamp(QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}) "));
    const QRegularExpressionMatch match = stamp.match(content);
    QVERIFY2(match.hasMatch(), qPrintable(content));
    const QDateTime when = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    QVERIFY(qAbs(when.msecsTo(before)) < 5000);
    QCOMPARE(content.mid(match.capturedLength()), tagAndCategory + QStringLiteral(": ") + text + QLatin1Char('\n'));
}

void TestLogWriter::throughQtMacros()
{
    QTemporaryDir dir;
    StdoutCapture capture;
    openLogFile(dir.path(), QStringLiteral("zorvan"));
    qInstallMessageHandler(logMessageHandler);
    qWarning() << "no category";
    qCDebug(lcStd) << QStringLiteral("$ALIVE\n");
    qCDebug(lcErr) << "kill procces" << QStringLiteral("/opt/a b");
    qInstallMessageHandler(nullptr);
    const QList<QByteArray> echo = capture.finish().split('\n');

    QCOMPARE(echo.value(1), QByteArray("1 no category"));
    QCOMPARE(echo.value(2), QByteArray("0 \"$ALIVE\\n\""));
    QCOMPARE(echo.value(3), QByteArray("0 kill procces \"/opt/a b\""));
    const QStringList lines = fileLines(currentLogFilePath());
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).endsWith(QLatin1String(" WRN default: no category")));
    QVERIFY(lines.at(1).endsWith(QLatin1String(" DBG STD: \"$ALIVE\\n\"")));
    QVERIFY(lines.at(2).endsWith(QLatin1String(" DBG ERR: kill procces \"/opt/a b\"")));
}

void TestLogWriter::unopenableFileStillEchoes()
{
    QTemporaryDir dir;
    // A folder where the file should be: the file cannot be opened, the echo goes on.
    QVERIFY(QDir().mkpath(logFileName(dir.path(), QStringLiteral("zorvan"), QDate::currentDate())));
    StdoutCapture capture;
    openLogFile(dir.path(), QStringLiteral("zorvan"));
    logMessageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("still here"));
    const QByteArray out = capture.finish();
    QCOMPARE(out, QByteArray("\n1 still here\n"));
}

void TestLogWriter::retention_data()
{
    QTest::addColumn<int>("keepDays");
    QTest::addColumn<QStringList>("removed");

    QTest::newRow("0 keeps everything") << 0 << QStringList();
    QTest::newRow("30 days") << 30 << QStringList{"zorvan-06.11.26.log"};
    // In name order, as logged; a name dated in the future (a clock set back) stays.
    QTest::newRow("1 day") << 1 << QStringList{"zorvan-01.12.26.log", "zorvan-06.11.26.log", "zorvan-07.11.26.log"};
}

void TestLogWriter::retention()
{
    QFETCH(int, keepDays);
    QFETCH(QStringList, removed);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList ours{"zorvan-06.11.26.log", "zorvan-07.11.26.log", "zorvan-01.12.26.log", "zorvan-06.12.26.log",
                           "zorvan-31.12.99.log"};
    // Only the date in the name counts; none of these is ours to remove.
    const QStringList others{"zorvan-30.02.20.log", "zorvan-01.01.20.log.gz", "other-01.01.20.log", "notes.txt",
                             "zorvan-1.1.20.log", "xzorvan-01.01.20.log", "zorvan-01.01.20.log.old"};
    for (const QString &name : ours + others) {
        QFile file(dir.filePath(name));
        // Every file time is now: only the name may count.
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("zorvan-01.01.21.log")));

    fakeNow = QDateTime(QDate(2026, 12, 7), QTime(8, 0));
    setLogClock(fakeClock);
    setLogLimits(keepDays, 0);
    StdoutCapture capture;
    openLogFile(dir.path(), QStringLiteral("zorvan"));
    const QByteArray out = capture.finish();

    for (const QString &name : ours + others)
        QCOMPARE(QFile::exists(dir.filePath(name)), !removed.contains(name));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("zorvan-01.01.21.log"))).isDir());
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("zorvan-07.12.26.log"))));
    if (!removed.isEmpty()) {
        const QStringList lines = fileLines(currentLogFilePath());
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.at(0).endsWith(QStringLiteral("removed old log files: ") + removed.join(QStringLiteral(", "))),
                 qPrintable(lines.at(0)));
    }
}

void TestLogWriter::midnightStartsNewDayAndRemovesAgedFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString aging = dir.filePath(QStringLiteral("zorvan-05.12.26.log"));
    QVERIFY(QFile(aging).open(QIODevice::WriteOnly));

    fakeNow = QDateTime(QDate(2026, 12, 6), QTime(23, 59, 59, 900));
    setLogClock(fakeClock);
    setLogLimits(1, 0);
    StdoutCapture capture;
    openLogFile(dir.path(), QStringLiteral("zorvan"));
    const QString first = currentLogFilePath();
    logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("before midnight"));
    QVERIFY(QFile::exists(aging));

    fakeNow = fakeNow.addMSecs(200);
    logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("after midnight"));
    capture.finish();

    QCOMPARE(first, dir.filePath(QStringLiteral("zorvan-06.12.26.log")));
    QCOMPARE(currentLogFilePath(), dir.filePath(QStringLiteral("zorvan-07.12.26.log")));
    const QStringList before = fileLines(first);
    QCOMPARE(before.size(), 1);
    QCOMPARE(before.at(0), QStringLiteral("2026-12-06 23:59:59.900 DBG default: before midnight"));
    const QStringList after = fileLines(currentLogFilePath());
    QCOMPARE(after.size(), 2);
    QVERIFY2(after.at(0).startsWith(QLatin1String("2026-12-07 00:00:00.100 ")), qPrintable(after.at(0)));
    QVERIFY2(after.at(0).endsWith(QLatin1String("removed old log files: zorvan-05.12.26.log")), qPrintable(after.at(0)));
    QCOMPARE(after.at(1), QStringLiteral("2026-12-07 00:00:00.100 DBG default: after midnight"));
    QVERIFY(!QFile::exists(aging));
}

void TestLogWriter::capCountsApplicationOutputOnly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    fakeNow = QDateTime(QDate(2026, 12, 6), QTime(10, 0));
    setLogClock(fakeClock);
    setLogLimits(0, 1);
    StdoutCapture capture;
    openLogFile(dir.path(), QStringLiteral("zorvan"));
    const QString day = currentLogFilePath();
    const QMessageLogContext output(nullptr, 0, nullptr, "STD");
    const QString chunk(1000, QLatin1Char('x'));

    auto application = [&](int lines) {
        setLoggingApplicationOutput(true);
        for (int i = 0; i < lines; ++i)
            logMessageHandler(QtDebugMsg, output, chunk);
        setLoggingApplicationOutput(false);
    };
    // About 1.1 MB of output against a cap of 1 MiB.
    application(1100);
    logMessageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("launcher line past the cap"));
    fakeNow = fakeNow.addSecs(59);
    application(10);
    QVERIFY(!fileLines(day).last().contains(QLatin1String("not written")));
    fakeNow = fakeNow.addSecs(1);
    application(1);
    fakeNow = fakeNow.addSecs(30);
    application(5);
    const QByteArray echo = capture.finish();

    const QStringList lines = fileLines(day);
    // Lines are written while the file is under the cap.
    const int lineBytes = lines.first().toUtf8().size() + 1;
    const int linesUnderCap = (1024 * 1024 + lineBytes - 1) / lineBytes;
    QCOMPARE(lines.filter(chunk).size(), linesUnderCap);
    QVERIFY(QFileInfo(day).size() < 1024 * 1024 + 3000);
    QVERIFY(lines.at(linesUnderCap).contains(QLatin1String("today's log file reached 1 MB")));
    QVERIFY(lines.at(linesUnderCap + 1).endsWith(QLatin1String("WRN default: launcher line past the cap")));
    const int counted = 1100 - linesUnderCap + 10 + 1;
    QCOMPARE(lines.at(linesUnderCap + 2),
             QStringLiteral("2026-12-06 10:01:00.000 WRN default: [LogWriter] application output over the day's cap: "
                            "%1 lines not written").arg(counted));
    QCOMPARE(lines.size(), linesUnderCap + 3);
    // The echo is not capped.
    QCOMPARE(echo.count(chunk.toUtf8()), 1100 + 10 + 1 + 5);

    // Tomorrow's file takes the application's lines again; the 5 lines still counted are reported in
    // yesterday's file.
    StdoutCapture next;
    fakeNow = QDateTime(QDate(2026, 12, 7), QTime(0, 0, 1));
    application(1);
    next.finish();
    QVERIFY(fileLines(day).last().endsWith(QLatin1String("cap: 5 lines not written")));
    QCOMPARE(fileLines(currentLogFilePath()), QStringList{"2026-12-07 00:00:01.000 DBG STD: " + chunk});
}

void TestLogWriter::countReportedWhenNothingMoreIsLogged()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    fakeNow = QDateTime(QDate(2026, 12, 6), QTime(12, 0));
    setLogClock(fakeClock);
    setLogLimits(0, 1);
    StdoutCapture capture;
    openLogFile(dir.path(), QStringLiteral("zorvan"));
    const QString day = currentLogFilePath();
    setLoggingApplicationOutput(true);
    const QString chunk(1024 * 1024, QLatin1Char('z'));
    for (int i = 0; i < 4; ++i)
        logMessageHandler(QtDebugMsg, QMessageLogContext(nullptr, 0, nullptr, "STD"), chunk);
    setLoggingApplicationOutput(false);
    // The application fell silent; a minute later the event loop alone brings the count out.
    fakeNow = fakeNow.addSecs(60);
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(day).last().endsWith(QLatin1String("cap: 3 lines not written")), 15000);
    capture.finish();
}

// A parent that never reads the launcher's standard output must not freeze it: the log file gets
// every line, the echo drops what does not fit and the file says how much.
void TestLogWriter::echoNeverWaitsForAReader()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StdoutCapture capture;
    openLogFile(dir.path(), QStringLiteral("zorvan"));
    capture.finish();

    int fds[2];
    QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
    const int saved = ::dup(STDOUT_FILENO);
    QVERIFY(saved >= 0);
    QVERIFY(::dup2(fds[1], STDOUT_FILENO) == STDOUT_FILENO);
    // Fill the pipe through a non-blocking moment of its own; descriptor 1 then blocks as a
    // shell's would.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const QByteArray filler(4096, 'x');
    while (::write(fds[1], filler.constData(), size_t(filler.size())) > 0) {
    }
    ::fcntl(fds[1], F_SETFL, 0);

    constexpr int count = 2500;
    for (int i = 0; i < count; ++i)
        logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("line %1").arg(i));

    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    QByteArray buffer(65536, '\0');
    while (::read(fds[0], buffer.data(), size_t(buffer.size())) > 0) {
    }
    logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("after"));
    const ssize_t echoed = ::read(fds[0], buffer.data(), size_t(buffer.size()));

    ::dup2(saved, STDOUT_FILENO);
    for (const int fd : {saved, fds[0], fds[1]})
        ::close(fd);

    QCOMPARE(QByteArray(buffer.constData(), int(qMax<ssize_t>(echoed, 0))), QByteArray("0 after\n"));
    const QStringList lines = fileLines(currentLogFilePath());
    QCOMPARE(lines.size(), count + 5);
    // Each drop note follows the line whose echo was dropped.
    QVERIFY(lines.at(0).endsWith(QLatin1String(" DBG default: line 0")));
    QVERIFY(lines.at(1).endsWith(QLatin1String(" WRN default: stdout is not read, echo lines are dropped")));
    QVERIFY(lines.at(1001).endsWith(QLatin1String(" WRN default: stdout echo: 1000 lines dropped so far")));
    QVERIFY(lines.at(count + 2).endsWith(QLatin1String(" DBG default: line 2499")));
    QVERIFY(lines.at(count + 3).endsWith(QLatin1String(" DBG default: after")));
    QVERIFY(lines.at(count + 4).endsWith(QLatin1String(" WRN default: stdout echo resumed, 2500 lines dropped")));
}

QTEST_GUILESS_MAIN(TestLogWriter)
#include "tst_logwriter.moc"
