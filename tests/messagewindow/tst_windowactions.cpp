#include "stdoutcapture.h"
#include "windowactions.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QtTest>

class TestWindowActions : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void stdOutWritesOneFlushedLine_data();
    void stdOutWritesOneFlushedLine();
    void stdOutCallsStayApart();
    void copyClipboard();
    void quitCmdEndsTheRunningLoop();
};

void TestWindowActions::stdOutWritesOneFlushedLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("quit") << "$QUIT";
    QTest::newRow("alive") << "$ALIVE";
    QTest::newRow("pause") << "$PAUSE";
    QTest::newRow("cyrillic stays UTF-8") << QStringLiteral("Перезапуск");
    QTest::newRow("empty gives an empty line") << QString();
}

void TestWindowActions::stdOutWritesOneFlushedLine()
{
    QFETCH(QString, text);
    WindowActions actions;
    StdoutCapture capture;
    QVERIFY(capture.isValid());
    actions.stdOut(text);
    // Read before the capture flushes anything itself: the line must already be out.
    QCOMPARE(capture.text(), text.toUtf8() + '\n');
}

void TestWindowActions::stdOutCallsStayApart()
{
    WindowActions actions;
    StdoutCapture capture;
    actions.stdOut(QStringLiteral("$ALIVE"));
    const QByteArray first = capture.text();
    actions.stdOut(QStringLiteral("$QUIT"));
    QCOMPARE(first, QByteArray("$ALIVE\n"));
    QCOMPARE(capture.text(), QByteArray("$ALIVE\n$QUIT\n"));
}

void TestWindowActions::copyClipboard()
{
    WindowActions actions;
    const QString text = QStringLiteral("Путь к файлу настроек:\n/tmp/tovrel/zorvan.conf");
    actions.copyClipboard(text);
    QCOMPARE(QGuiApplication::clipboard()->text(), text);
    actions.copyClipboard(QStringLiteral("second"));
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("second"));
}

void TestWindowActions::quitCmdEndsTheRunningLoop()
{
    WindowActions actions;
    QEventLoop loop;
    QTimer::singleShot(0, &actions, &WindowActions::quitCmd);
    QTimer::singleShot(5000, &loop, [&loop]() { loop.exit(42); });
    QCOMPARE(loop.exec(), 0);
}

QTEST_MAIN(TestWindowActions)
#include "tst_windowactions.moc"
