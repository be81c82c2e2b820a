#include "stopsignalquitter.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>

class TestStopSignalQuitter : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // A stop request ends the loop with 0, logged where the program asks for it; a second helper
    // cannot take the requests and says so in the program's words.
    void stopEndsTheLoopAndASecondHelperWarns()
    {
        StopSignalQuitter quitter("first helper failed", true);
        QVERIFY(quitter.isValid());
        QTest::ignoreMessage(QtWarningMsg, "second helper failed");
        StopSignalQuitter second("second helper failed");
        QVERIFY(!second.isValid());

        QSignalSpy received(&quitter, &StopSignalQuitter::signalReceived);
        QTest::ignoreMessage(QtDebugMsg, "exit handler code: 15");
        QTimer::singleShot(0, [] { std::raise(SIGTERM); });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(42); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.first().first().toInt(), int(SIGTERM));
    }
};

QTEST_GUILESS_MAIN(TestStopSignalQuitter)
#include "tst_stopsignalquitter.moc"
