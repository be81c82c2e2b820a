#include "childstopper.h"
#include "processhelpers.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// The bounded stop every owner of a child uses when it goes away.
class TestChildStopper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void stopsChild_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("needsKill");
        QTest::addColumn<int>("terminateWaitMs");
        QTest::newRow("ends on terminate") << QStringList() << false << 5000;
        QTest::newRow("ignores terminate") << QStringList{QStringLiteral("--ignore-sigterm")} << true << 300;
    }

    void stopsChild()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, needsKill);
        QFETCH(int, terminateWaitMs);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString record = dir.filePath(QStringLiteral("child.records"));
        QProcess process;
        process.start(QStringLiteral(STANDIN_BIN), options + QStringList{QStringLiteral("--record"), record});
        QVERIFY(process.waitForStarted(10000));
        // The record is written after the signal disposition is set.
        QVERIFY(ProcessHelpers::waitForRecords(record, 1, 10000));
        const qint64 pid = process.processId();

        QElapsedTimer timer;
        timer.start();
        QVERIFY(stopChild(&process, terminateWaitMs, 5000));
        const qint64 elapsed = timer.elapsed();
        QCOMPARE(process.state(), QProcess::NotRunning);
        QVERIFY(!ProcessHelpers::processExists(pid));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        if (needsKill)
            QVERIFY2(elapsed >= terminateWaitMs, qPrintable(QString::number(elapsed)));
        else
            QVERIFY2(elapsed < terminateWaitMs, qPrintable(QString::number(elapsed)));
    }

    void notRunningIsStopped()
    {
        QVERIFY(stopChild(nullptr, 10, 10));
        QProcess never;
        QVERIFY(stopChild(&never, 10, 10));
        QProcess ended;
        ended.start(QStringLiteral(STANDIN_BIN), {QStringLiteral("--exit-after"), QStringLiteral("0")});
        QVERIFY(ended.waitForFinished(10000));
        QVERIFY(stopChild(&ended, 10, 10));
        QCOMPARE(ended.exitStatus(), QProcess::NormalExit);
    }
};

QTEST_GUILESS_MAIN(TestChildStopper)
#include "tst_childstopper.moc"
