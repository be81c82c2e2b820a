#include "appprocess.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>


// Records the order in which the wrapper calls its hooks.
class RecordingProcess : public AppProcess
{
public:
    QStringList calls;
    QStringList outputs;

protected:
    void appReadyRead() override { calls << QStringLiteral("readyRead"); outputs << output; }
    void appStarted() override { calls << QStringLiteral("started"); }
    void appFinished() override { calls << QStringLiteral("finished"); }
    void appTimeout() override { calls << QStringLiteral("timeout"); }
    void appError() override { calls << QStringLiteral("error"); }
};

static bool pidAlive(qint64 pid)
{
    return pid > 0 && QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

// Runs /bin/sh with these arguments and waits until the wrapper reaches the run state.
static bool runShell(RecordingProcess &p, const QString &arguments, AppProcess::RunState state)
{
    p.program = QStringLiteral("/bin/sh");
    p.arguments = arguments;
    p.start();
    return QTest::qWaitFor([&] { return p.getRunState() == state; }, 5000);
}

class TestAppProcess : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void missingProgramReportsErrorOnly_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("empty") << QString();
        QTest::newRow("absent") << QStringLiteral("/nonexistent/updater");
        QTest::newRow("folder") << QDir::tempPath();
    }
    void missingProgramReportsErrorOnly()
    {
        QFETCH(QString, program);
        RecordingProcess p;
        p.program = program;
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("file not exists:")));
        p.start();
        QCOMPARE(p.calls, QStringList{QStringLiteral("error")});
        QCOMPARE(p.getRunState(), AppProcess::RunState::NotStarted);
        // no start timer was armed: running the event loop a while brings no time-out
        QTest::qWait(50);
        QCOMPARE(p.calls, QStringList{QStringLiteral("error")});
    }

    void childRunsAndFinishes()
    {
        RecordingProcess p;
        p.program = QStringLiteral("/bin/sh");
        p.arguments = QStringLiteral("-c \"exit 3\"");
        p.start();
        QCOMPARE(p.getRunState(), AppProcess::RunState::Starting);
        QVERIFY(QTest::qWaitFor([&] { return p.getRunState() == AppProcess::RunState::Finished; }, 5000));
        QCOMPARE(p.calls, (QStringList{QStringLiteral("started"), QStringLiteral("finished")}));
        QCOMPARE(p.exitCode, 3);
        QCOMPARE(p.exitStatus, 0);
        // the start timer was stopped by the start: a later expiry would add "timeout"
        p.calls.clear();
        QTest::qWait(50);
        QVERIFY(p.calls.isEmpty());
    }

    void crashIsReportedAsCrashExit()
    {
        RecordingProcess p;
        QVERIFY(runShell(p, QStringLiteral("-c \"kill -9 $$\""), AppProcess::RunState::Finished));
        QCOMPARE(p.exitStatus, 1);
        QVERIFY(!p.errorText.isEmpty());
    }

    void failedStartGivesErrorThenTimeout()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("notexecutable"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a program\n");
        f.close();
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

        RecordingProcess p;
        p.program = path;
        p.start();
        QCOMPARE(p.getRunState(), AppProcess::RunState::Starting);
        QTest::qWait(100);
        QVERIFY(p.calls.isEmpty());
        QCOMPARE(p.getRunState(), AppProcess::RunState::Starting);
        // the 30 s start watchdog expiring
        p.timerTimeout();
        QCOMPARE(p.calls, (QStringList{QStringLiteral("error"), QStringLiteral("timeout")}));
    }

    void timeoutOfRunningChildIsNoError()
    {
        RecordingProcess p;
        QVERIFY(runShell(p, QStringLiteral("-c \"sleep 30\""), AppProcess::RunState::Running));
        p.timerTimeout();
        QCOMPARE(p.calls, (QStringList{QStringLiteral("started"), QStringLiteral("timeout")}));
    }

    void outputAndErrorBothReachHook()
    {
        RecordingProcess p;
        QVERIFY(runShell(p, QStringLiteral("-c \"echo out; sleep 0.3; echo err >&2\""), AppProcess::RunState::Finished));
        QCOMPARE(p.calls.count(QStringLiteral("readyRead")), 2);
        QCOMPARE(p.outputs, (QStringList{QStringLiteral("out\n"), QStringLiteral("err\n")}));
        QCOMPARE(p.output, QStringLiteral("err\n"));
    }

    void secondStartLeavesRunningChild()
    {
        RecordingProcess p;
        QVERIFY(runShell(p, QStringLiteral("-c \"sleep 30\""), AppProcess::RunState::Running));
        const qint64 pid = p.processId();
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("error starting procces, state: Running$")));
        p.start();
        QCOMPARE(p.getRunState(), AppProcess::RunState::Running);
        QCOMPARE(p.processId(), pid);
        QVERIFY(pidAlive(pid));
    }

    void destructionEndsChild()
    {
        auto *p = new RecordingProcess;
        QVERIFY(runShell(*p, QStringLiteral("-c \"sleep 30\""), AppProcess::RunState::Running));
        const qint64 pid = p->processId();
        QVERIFY(pidAlive(pid));
        delete p;
        QVERIFY(!pidAlive(pid));
    }

    void programPathWithBlanks()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("with blank")));
        const QString path = dir.filePath(QStringLiteral("with blank/prog"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\necho \"$#:$1\"\n");
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);

        RecordingProcess p;
        p.program = path;
        p.arguments = QStringLiteral("\"two words\"");
        p.start();
        QVERIFY(QTest::qWaitFor([&] { return p.getRunState() == AppProcess::RunState::Finished; }, 5000));
        QCOMPARE(p.exitCode, 0);
        QCOMPARE(p.outputs, QStringList{QStringLiteral("1:two words\n")});
    }
};

QTEST_GUILESS_MAIN(TestAppProcess)
#include "tst_appprocess.moc"
