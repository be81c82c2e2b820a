#include "stdoutcapture.h"
#include "utils.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

class TestUtils : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void formatDataTime_data();
    void formatDataTime();
    void dataTimeIsNow();
    void stdOutWritesOneFlushedLine_data();
    void stdOutWritesOneFlushedLine();
    void stdOutCallsStayApart();
    void copyClipboard();
    void quitCmdEndsTheRunningLoop();
};

void TestUtils::formatDataTime_data()
{
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("expected");
    QTest::newRow("leading zeros") << QDateTime(QDate(2025, 2, 3), QTime(9, 5, 7)) << "09:05:07   03.02.2025";
    QTest::newRow("24-hour clock") << QDateTime(QDate(2024, 12, 31), QTime(23, 59, 59)) << "23:59:59   31.12.2024";
    QTest::newRow("midnight") << QDateTime(QDate(2026, 1, 1), QTime(0, 0, 0)) << "00:00:00   01.01.2026";
}

void TestUtils::formatDataTime()
{
    QFETCH(QDateTime, moment);
    QFETCH(QString, expected);
    QCOMPARE(Utils::formatDataTime(moment), expected);
}

void TestUtils::dataTimeIsNow()
{
    Utils utils;
    const QDateTime before = QDateTime::currentDateTime();
    const QString text = utils.dataTime();
    const QDateTime after = QDateTime::currentDateTime();
    const QDateTime parsed = QDateTime::fromString(text, QStringLiteral("hh:mm:ss   dd.MM.yyyy"));
    QVERIFY2(parsed.isValid(), qPrintable(text));
    // Seconds are truncated, so compare against the whole-second window around the call.
    QVERIFY(parsed >= before.addMSecs(-before.time().msec()));
    QVERIFY(parsed <= after);
}

void TestUtils::stdOutWritesOneFlushedLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("quit") << "$QUIT";
    QTest::newRow("alive") << "$ALIVE";
    QTest::newRow("pause") << "$PAUSE";
    QTest::newRow("cyrillic stays UTF-8") << QStringLiteral("Перезапуск");
    QTest::newRow("empty gives an empty line") << QString();
}

void TestUtils::stdOutWritesOneFlushedLine()
{
    QFETCH(QString, text);
    Utils utils;
    StdoutCapture capture;
    QVERIFY(capture.isValid());
    utils.stdOut(text);
    // Read before the capture flushes anything itself: the line must already be out.
    QCOMPARE(capture.text(), text.toUtf8() + '\n');
}

void TestUtils::stdOutCallsStayApart()
{
    Utils utils;
    StdoutCapture capture;
    utils.stdOut(QStringLiteral("$ALIVE"));
    const QByteArray first = capture.text();
    utils.stdOut(QStringLiteral("$QUIT"));
    QCOMPARE(first, QByteArray("$ALIVE\n"));
    QCOMPARE(capture.text(), QByteArray("$ALIVE\n$QUIT\n"));
}

void TestUtils::copyClipboard()
{
    Utils utils;
    const QString text = QStringLiteral("Путь к файлу настроек:\n/tmp/tovrel/zorvan.conf");
    utils.copyClipboard(text);
    QCOMPARE(QGuiApplication::clipboard()->text(), text);
    utils.copyClipboard(QStringLiteral("second"));
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("second"));
}

void TestUtils::quitCmdEndsTheRunningLoop()
{
    Utils utils;
    QEventLoop loop;
    QTimer::singleShot(0, &utils, &Utils::quitCmd);
    QTimer::singleShot(5000, &loop, [&loop]() { loop.exit(42); });
    QCOMPARE(loop.exec(), 0);
}

QTEST_MAIN(TestUtils)
#include "tst_utils.moc"
