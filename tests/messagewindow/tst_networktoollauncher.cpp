#include "networktoollauncher.h"

#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestNetworkToolLauncher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void defaultsToTheDeviceTool();
    void runHidesThenShowsAgain();
    void crashShowsAgain();
    void secondLaunchWhileRunningIsRefused();
    void canRunAgainAfterFinishing();
    void missingProgramStaysVisible();
    void slotFinishedCopesWithNullPointers();
    void destructionEndsARunningTool();

private:
    QString script(const QString &name, const QByteArray &body);
    QTemporaryDir m_dir;
};

void TestNetworkToolLauncher::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<QProcess::ProcessError>();
    QVERIFY(m_dir.isValid());
}

QString TestNetworkToolLauncher::script(const QString &name, const QByteArray &body)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n" + body) < 0)
        return QString();
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

void TestNetworkToolLauncher::defaultsToTheDeviceTool()
{
    NetworkToolLauncher launch;
    QCOMPARE(launch.getProgram(), QStringLiteral("/userdata/wpa-cute"));
    QVERIFY(launch.getApplicationVisible());
}

void TestNetworkToolLauncher::runHidesThenShowsAgain()
{
    // Waits for a line on its input, so the test controls when it ends.
    const QString tool = script(QStringLiteral("tool.sh"), "echo ready\nread line\necho oops >&2\nexit 3\n");
    QVERIFY(!tool.isEmpty());
    NetworkToolLauncher launch(tool);
    QSignalSpy changed(&launch, &NetworkToolLauncher::appVisibleChanged);

    launch.launchWpaCli();
    QVERIFY(changed.wait(5000));
    QCOMPARE(launch.getApplicationVisible(), false);
    QTRY_COMPARE_WITH_TIMEOUT(launch.getOutput(), QStringLiteral("ready\n"), 5000);

    // Opened read-write: the tool gets our input.
    QVERIFY(launch.findChild<QProcess *>()->write("go\n") == 3);
    QVERIFY(changed.wait(5000));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(launch.getApplicationVisible(), true);
    QCOMPARE(launch.getExitCode(), 3);
    QCOMPARE(launch.getExitStatus(), int(QProcess::NormalExit));
    QCOMPARE(launch.getOutput(), QStringLiteral("oops\n"));
}

void TestNetworkToolLauncher::crashShowsAgain()
{
    const QString tool = script(QStringLiteral("crash.sh"), "kill -SEGV $$\n");
    NetworkToolLauncher launch(tool);
    QSignalSpy changed(&launch, &NetworkToolLauncher::appVisibleChanged);
    launch.launchWpaCli();
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 2, 5000);
    QCOMPARE(launch.getApplicationVisible(), true);
    QCOMPARE(launch.getExitStatus(), int(QProcess::CrashExit));
}

void TestNetworkToolLauncher::secondLaunchWhileRunningIsRefused()
{
    const QString tool = script(QStringLiteral("wait.sh"), "read line\n");
    NetworkToolLauncher launch(tool);
    QSignalSpy changed(&launch, &NetworkToolLauncher::appVisibleChanged);
    launch.launchWpaCli();
    QVERIFY(changed.wait(5000));
    QProcess *process = launch.findChild<QProcess *>();
    const qint64 pid = process->processId();

    QTest::ignoreMessage(QtWarningMsg, "QProcess::start: Process is already running");
    launch.launchWpaCli();
    QCOMPARE(process->processId(), pid);
    QCOMPARE(launch.getProcessState(), QProcess::Running);
    QCOMPARE(launch.getApplicationVisible(), false);

    process->closeWriteChannel();
    QVERIFY(changed.wait(5000));
    QCOMPARE(launch.getApplicationVisible(), true);
    QCOMPARE(changed.count(), 2);
}

void TestNetworkToolLauncher::canRunAgainAfterFinishing()
{
    NetworkToolLauncher launch(QStringLiteral("/bin/true"));
    QSignalSpy changed(&launch, &NetworkToolLauncher::appVisibleChanged);
    for (int run = 1; run <= 2; ++run) {
        launch.launchWpaCli();
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 2 * run, 5000);
        QCOMPARE(launch.getApplicationVisible(), true);
        QCOMPARE(launch.getExitCode(), 0);
    }
}

void TestNetworkToolLauncher::missingProgramStaysVisible()
{
    NetworkToolLauncher launch(m_dir.filePath(QStringLiteral("no-such-tool")));
    QSignalSpy changed(&launch, &NetworkToolLauncher::appVisibleChanged);
    QSignalSpy errors(launch.findChild<QProcess *>(), &QProcess::errorOccurred);
    launch.launchWpaCli();
    QVERIFY(errors.count() > 0 || errors.wait(5000));
    QCOMPARE(errors.first().first().value<QProcess::ProcessError>(), QProcess::FailedToStart);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(launch.getApplicationVisible(), true);
}

void TestNetworkToolLauncher::slotFinishedCopesWithNullPointers()
{
    NetworkToolLauncher launch(QStringLiteral("/bin/true"));
    int code = 7;
    QProcess::ExitStatus status = QProcess::NormalExit;
    launch.slotFinished(&code, &status);
    QCOMPARE(launch.getExitCode(), 7);
    QCOMPARE(launch.getExitStatus(), int(QProcess::NormalExit));
    launch.slotFinished(nullptr, nullptr);
    QCOMPARE(launch.getExitCode(), -1);
    QVERIFY(launch.getApplicationVisible());
}

void TestNetworkToolLauncher::destructionEndsARunningTool()
{
    const QString tool = script(QStringLiteral("sleep.sh"), "exec sleep 60\n");
    qint64 pid = 0;
    {
        NetworkToolLauncher launch(tool);
        QSignalSpy changed(&launch, &NetworkToolLauncher::appVisibleChanged);
        launch.launchWpaCli();
        QVERIFY(changed.wait(5000));
        pid = launch.findChild<QProcess *>()->processId();
        QVERIFY(pid > 0);
    }
    // Reaped by the process object, so the id is gone, not a zombie.
    QCOMPARE(::kill(pid_t(pid), 0), -1);
}

QTEST_MAIN(TestNetworkToolLauncher)
#include "tst_networktoollauncher.moc"
