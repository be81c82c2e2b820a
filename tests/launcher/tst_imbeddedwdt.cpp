#include "imbeddedwdt.h"
#include "launchersettings.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// Fake "sudo" and "yf_watchdog" first in PATH; both append what they were called with to one
// record, so the test sees every command the shell ran, in order.
class TestImbeddedWdt : public QObject
{
    Q_OBJECT
private:
    TestEnvironment env;
    QTemporaryDir bin;
    LauncherSettings *settings = nullptr;
    QByteArray originalPath;

    QString recordPath() const { return bin.filePath(QStringLiteral("record")); }

    QStringList record() const
    {
        QFile f(recordPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
        lines.removeAll(QString());
        return lines;
    }

    // Tool calls only; each must have come through sudo right before it.
    QStringList toolCalls() const
    {
        QStringList calls;
        const QStringList lines = record();
        for (int i = 0; i < lines.size(); ++i) {
            if (lines.at(i).startsWith(QLatin1String("tool:"))) {
                if (i == 0 || lines.at(i - 1) != QStringLiteral("sudo:yf_watchdog ") + lines.at(i).mid(5))
                    return {QStringLiteral("not through sudo: ") + lines.at(i)};
                calls << lines.at(i).mid(5);
            }
        }
        return calls;
    }

    bool writeScript(const QString &name, const QByteArray &body)
    {
        QFile f(bin.filePath(name));
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write("#!/bin/sh\n" + body);
        f.close();
        return f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    }

    // Ticks once and waits until the tool calls recorded so far match the expectation.
    bool tickAndExpect(ImbeddedWdt &wdt, const QStringList &expected)
    {
        wdt.tick();
        // a mismatch is reported below with both lists
        (void)QTest::qWaitFor([&] { return toolCalls().size() >= expected.size(); }, 3000);
        if (toolCalls() != expected) {
            qWarning() << "got" << toolCalls() << "expected" << expected;
            return false;
        }
        return true;
    }

    // Starts the watchdog with these times; the test drives the ticks.
    void startTickedByHand(ImbeddedWdt &wdt, int setTime, int feedTime)
    {
        settings->watchdogSetTime = setTime;
        settings->watchdogFeedTime = feedTime;
        wdt.startWatchdog(settings);
        wdt.setAutoTick(false);
    }

    // Starts a shell and arms the watchdog, driving the ticks by hand.
    bool arm(ImbeddedWdt &wdt, QStringList &expected)
    {
        wdt.tick(); // step 0: the shell is started
        if (wdt.getStep() != ImbeddedWdt::Step::WaitForShell)
            return false;
        if (!QTest::qWaitFor([&] { return wdt.getEvent() == ImbeddedWdt::Event::Started; }, 5000))
            return false;
        expected << QStringLiteral("set_on")
                 << QStringLiteral("set_feed_time %1").arg(settings->getWatchdogSetTime());
        return tickAndExpect(wdt, expected);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(env.applyAs(QStringLiteral("zorvan")));
        QVERIFY(bin.isValid());
        const QByteArray record = QFile::encodeName(recordPath());
        QVERIFY(writeScript(QStringLiteral("sudo"), "echo \"sudo:$*\" >> '" + record + "'\nexec \"$@\"\n"));
        QVERIFY(writeScript(QStringLiteral("yf_watchdog"), "echo \"tool:$*\" >> '" + record + "'\n"));
        originalPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + originalPath);
        settings = new LauncherSettings(this);
    }
    void cleanupTestCase() { qputenv("PATH", originalPath); }
    void init() { QFile::remove(recordPath()); }

    void noSettingsNoShell()
    {
        ImbeddedWdt wdt;
        wdt.startWatchdog(nullptr);
        wdt.tick();
        QCOMPARE(wdt.shellProcessId(), qint64(0));
        QCOMPARE(wdt.getStep(), ImbeddedWdt::Step::StartShell);
    }

    void armsThenFeedsEveryFeedTimePlusOne_data()
    {
        QTest::addColumn<int>("feedTime");
        QTest::newRow("feed time 2") << 2;
        QTest::newRow("feed time 0, every tick") << 0;
    }
    void armsThenFeedsEveryFeedTimePlusOne()
    {
        QFETCH(int, feedTime);
        ImbeddedWdt wdt;
        startTickedByHand(wdt, 45, feedTime);
        QStringList expected;
        QVERIFY(arm(wdt, expected));
        QCOMPARE(expected.at(1), QStringLiteral("set_feed_time 45"));

        // the first feed comes on the fifth tick after arming
        for (int i = 0; i < 4; ++i)
            QVERIFY(tickAndExpect(wdt, expected));
        expected << QStringLiteral("feed");
        QVERIFY(tickAndExpect(wdt, expected));
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < feedTime; ++i)
                QVERIFY(tickAndExpect(wdt, expected));
            expected << QStringLiteral("feed");
            QVERIFY(tickAndExpect(wdt, expected));
        }
        // nothing extra still on its way through the shell
        QTest::qWait(200);
        QCOMPARE(toolCalls(), expected);
    }

    void killedShellIsReplacedAndRearmed()
    {
        ImbeddedWdt wdt;
        startTickedByHand(wdt, 60, 0);
        QStringList expected;
        QVERIFY(arm(wdt, expected));
        const qint64 first = wdt.shellProcessId();
        QVERIFY(first > 0);

        QVERIFY(::kill(pid_t(first), SIGKILL) == 0);
        QVERIFY(QTest::qWaitFor([&] { return wdt.getEvent() == ImbeddedWdt::Event::Finished; }, 5000));
        QTest::ignoreMessage(QtDebugMsg, "WDT procces finished");
        wdt.tick();
        QCOMPARE(wdt.getStep(), ImbeddedWdt::Step::StartShell);
        QVERIFY(arm(wdt, expected));
        QVERIFY(wdt.shellProcessId() != first);
        QCOMPARE(expected.mid(2), (QStringList{QStringLiteral("set_on"), QStringLiteral("set_feed_time 60")}));
        for (int i = 0; i < 4; ++i)
            QVERIFY(tickAndExpect(wdt, expected));
        expected << QStringLiteral("feed");
        QVERIFY(tickAndExpect(wdt, expected));
    }

    // The new shell's start is reported through the event loop, possibly after the next tick on a
    // busy device; the end of the shell before it must not be taken for the new one's.
    void replacedShellWithLateStartIsStillArmed()
    {
        ImbeddedWdt wdt;
        startTickedByHand(wdt, 60, 0);
        QStringList expected;
        QVERIFY(arm(wdt, expected));
        const qint64 first = wdt.shellProcessId();
        QVERIFY(::kill(pid_t(first), SIGKILL) == 0);
        QVERIFY(QTest::qWaitFor([&] { return wdt.getEvent() == ImbeddedWdt::Event::Finished; }, 5000));
        wdt.tick(); // feeding sees the end
        QCOMPARE(wdt.getStep(), ImbeddedWdt::Step::StartShell);
        wdt.tick(); // a new shell is started
        QCOMPARE(wdt.getStep(), ImbeddedWdt::Step::WaitForShell);
        wdt.tick(); // no event processed since: its start has not been reported yet
        QCOMPARE(wdt.getStep(), ImbeddedWdt::Step::WaitForShell);
        QVERIFY(QTest::qWaitFor([&] { return wdt.getEvent() == ImbeddedWdt::Event::Started; }, 5000));
        expected << QStringLiteral("set_on") << QStringLiteral("set_feed_time 60");
        QVERIFY(tickAndExpect(wdt, expected));
        QCOMPARE(wdt.getStep(), ImbeddedWdt::Step::Feed);
    }

    void shellEndsWithFeeder()
    {
        auto *wdt = new ImbeddedWdt;
        wdt->startWatchdog(settings);
        wdt->setAutoTick(false);
        QStringList expected;
        QVERIFY(arm(*wdt, expected));
        const qint64 pid = wdt->shellProcessId();
        QVERIFY(QFile::exists(QStringLiteral("/proc/%1").arg(pid)));
        delete wdt;
        QVERIFY(!QFile::exists(QStringLiteral("/proc/%1").arg(pid)));
    }

    // The real 1 s timer: the shell is started on the first tick and armed on the second.
    void timerDrivesFeeder()
    {
        settings->watchdogSetTime = 60;
        settings->watchdogFeedTime = 20;
        ImbeddedWdt wdt;
        wdt.startWatchdog(settings);
        QVERIFY(QTest::qWaitFor([&] { return toolCalls().size() >= 2; }, 5000));
        QCOMPARE(toolCalls(), (QStringList{QStringLiteral("set_on"), QStringLiteral("set_feed_time 60")}));
    }
};

QTEST_GUILESS_MAIN(TestImbeddedWdt)
#include "tst_imbeddedwdt.moc"
