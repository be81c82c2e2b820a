#include "testenvironment.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

// The one real-time test of the window: left alone, plessa answers "$QUIT" about 15 s after
// start and ends with code 0, and it has no reason to say "$ALIVE" before 20 s.
class TestCountdown : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void quitsAfterFifteenSeconds();
};

void TestCountdown::quitsAfterFifteenSeconds()
{
    TestEnvironment env;
    QProcess process;
    process.setProcessEnvironment(env.processEnvironment());
    QElapsedTimer clock;
    qint64 quitAt = -1;
    QByteArray output;
    connect(&process, &QProcess::readyReadStandardOutput, this, [&]() {
        output += process.readAllStandardOutput();
        if (quitAt < 0 && output.contains("$QUIT"))
            quitAt = clock.elapsed();
    });
    // As the launcher starts it: an option plessa does not know must not matter either.
    clock.start();
    process.start(QStringLiteral(PLESSA_BIN),
                  {QStringLiteral("--fullscreen"), QStringLiteral("--text"),
                   QStringLiteral("Задайте путь к приложению. Путь к файлу настроек:\n/tmp/zorvan.conf")});
    QVERIFY(process.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 30000);
    const qint64 endedAt = clock.elapsed();
    output += process.readAllStandardOutput();

    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(output, QByteArray("$QUIT\n"));
    QVERIFY2(quitAt >= 14500 && quitAt <= 18000, qPrintable(QString::number(quitAt)));
    // "$QUIT" leaves before the process ends, not with it.
    QVERIFY(endedAt >= quitAt);
    QVERIFY2(endedAt - quitAt < 2000, qPrintable(QString::number(endedAt - quitAt)));
}

QTEST_MAIN(TestCountdown)
#include "tst_countdown.moc"
