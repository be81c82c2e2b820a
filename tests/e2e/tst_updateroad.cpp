#include "deviceconfig.h"
#include "nginxserver.h"
#include "sockethelpers.h"
#include "processhelpers.h"
#include "testenvironment.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// The road of one update with the real programs: zorvan runs version 1 of the main application (a
// stand-in), the real updater finds version 2 on a real nginx, the launcher has it installed once
// version 1 has ended, shows plessa with the waiting text meanwhile, and then starts version 2.

namespace {

const QString WaitingText = QStringLiteral(" Идет обновление приложения, пожалуйста подождите.");

QString publishBinary()
{
    return QFileInfo(QStringLiteral(STANDIN_BIN)).absolutePath() + QStringLiteral("/../publish/tovrel-publish");
}

// The help text of a program, to tell a finished program from a skeleton that does nothing yet.
QString helpText(const QString &program)
{
    const ProcessHelpers::ToolRun run = ProcessHelpers::runTool(program, {QStringLiteral("--help")}, 10000);
    return QString::fromUtf8(run.out + run.err);
}

} // namespace

class TestUpdateRoad : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void versionOneToVersionTwo()
    {
        const QString updater = QStringLiteral(UPDATER_BIN);
        const QString plessa = QStringLiteral(PLESSA_BIN);
        const QString publish = QFileInfo(publishBinary()).canonicalFilePath();
        if (publish.isEmpty())
            QSKIP("the publishing tool (tools/publish) is not built");
        if (!NginxServer::isAvailable())
            QSKIP("nginx is not installed");
        if (!helpText(updater).contains(QLatin1String("versioncode")))
            QSKIP("the updater program is not complete (no --versioncode in its help)");
        if (!helpText(plessa).contains(QLatin1String("text")))
            QSKIP("the message window program is not complete (no --text in its help)");

        TestEnvironment env;
        QTemporaryDir root;
        QVERIFY(env.isValid() && root.isValid());
        const QString appDir = root.filePath(QStringLiteral("app"));
        const QString records = root.filePath(QStringLiteral("records"));
        const QString www = root.filePath(QStringLiteral("www"));
        const QString serverName = TestEnvironment::uniqueSocketName(QStringLiteral("road"));
        QVERIFY(QDir().mkpath(www));

        // version 1 runs 25 s and ends by itself; version 2 runs until the launcher ends
        const QString appV1 = ProcessHelpers::installStandin(
            QStringLiteral(STANDIN_BIN), appDir, QStringLiteral("app"),
            {QStringLiteral("--alive"), QStringLiteral("5"), QStringLiteral("--exit-after"), QStringLiteral("25"),
             QStringLiteral("--record"), records},
            QStringLiteral("1"));
        QVERIFY(!appV1.isEmpty());
        const QString v2Dir = root.filePath(QStringLiteral("v2"));
        QVERIFY(!ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), v2Dir, QStringLiteral("app"),
                                                {QStringLiteral("--alive"), QStringLiteral("5"),
                                                 QStringLiteral("--record"), records},
                                                QStringLiteral("2"))
                     .isEmpty());

        NginxServer nginx(www);
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

        const ProcessHelpers::ToolRun published = ProcessHelpers::runTool(
            publish, {QStringLiteral("--source"), v2Dir, QStringLiteral("--version-code"), QStringLiteral("2"),
                      QStringLiteral("--key"), QStringLiteral("linux-road"), QStringLiteral("--base-url"),
                      nginx.url(QString()).toString(), QStringLiteral("--output"), www},
            30000);
        QVERIFY2(published.ok(), published.err.constData());

        const DeviceConfig config(env);
        QVariantMap updaterKeys = DeviceConfig::updaterKeys(appDir, root.filePath(QStringLiteral("work")), nginx.url(QString()).toString(),
                                                            QStringLiteral("linux-road"), serverName);
        updaterKeys.insert(QStringLiteral("app/device_id"), QStringLiteral("road-device"));
        QVERIFY(config.write(DeviceConfig::Updater, updaterKeys));
        QVERIFY(config.write(DeviceConfig::Launcher, DeviceConfig::launcherKeys(appDir, QStringLiteral("app"),
                                                                                root.filePath(QStringLiteral("log")), serverName)));

        QProcess zorvan;
        QProcessEnvironment zenv = env.processEnvironment();
        zenv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        zenv.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
        zorvan.setProcessEnvironment(zenv);
        zorvan.setStandardOutputFile(root.filePath(QStringLiteral("zorvan.out")));
        zorvan.setStandardErrorFile(root.filePath(QStringLiteral("zorvan.err")));
        const auto diagnostics = [&] {
            return QStringLiteral("--- zorvan output\n%1\n--- nginx access\n%2")
                .arg(TestFiles::tail(root.filePath(QStringLiteral("zorvan.out"))), nginx.accessLog().join(QLatin1Char('\n')).right(1000))
                .toLocal8Bit();
        };
        // However the test ends, the launcher ends through its normal path and takes its children.
        struct StopLauncher {
            QProcess &p;
            ~StopLauncher()
            {
                if (p.state() == QProcess::NotRunning)
                    return;
                p.terminate();
                if (!p.waitForFinished(30000)) {
                    p.kill();
                    p.waitForFinished(5000);
                }
            }
        } stopLauncher{zorvan};
        QElapsedTimer clock;
        clock.start();
        zorvan.start(QStringLiteral(ZORVAN_BIN), QStringList());
        QVERIFY(zorvan.waitForStarted(5000));
        const qint64 zpid = zorvan.processId();

        // Version 1 comes after the supervisor's 15 s wait for a ready update.
        QVERIFY2(ProcessHelpers::waitForRecords(records, 1, 40000), diagnostics().constData());
        const QJsonObject first = ProcessHelpers::readRecords(records).constFirst();
        QCOMPARE(first.value(QStringLiteral("version")).toString().trimmed(), QStringLiteral("1"));
        QVERIFY(ProcessHelpers::recordArguments(first).contains(QStringLiteral("--fullscreen")));
        const qint64 v1pid = first.value(QStringLiteral("pid")).toVariant().toLongLong();

        qint64 updaterPid = 0;
        for (qint64 child : ProcessHelpers::childrenOf(zpid)) {
            if (ProcessHelpers::executableOf(child) == QFileInfo(updater).canonicalFilePath())
                updaterPid = child;
            QVERIFY2(ProcessHelpers::executableOf(child) != QFileInfo(QStringLiteral("/bin/bash")).canonicalFilePath(),
                     "a watchdog shell runs although the watchdog is off");
        }
        QVERIFY2(updaterPid > 0, diagnostics().constData());

        // A second client of the control channel asks for a check now instead of after the
        // updater's first period, and follows the pushed update states.
        QLocalSocket control;
        QStringList states;
        bool v1RunningAtReady = false;
        bool v1GoneAtUpdating = false;
        QByteArray pending;
        connect(&control, &QLocalSocket::readyRead, &control, [&] {
            pending += control.readAll();
            int lf;
            while ((lf = pending.indexOf('\n')) >= 0) {
                const QJsonObject message = QJsonDocument::fromJson(pending.left(lf)).object();
                pending.remove(0, lf + 1);
                const QString state = message.value(QStringLiteral("state_update")).toString();
                if (state.isEmpty())
                    continue;
                states << state;
                if (state == QLatin1String("ready"))
                    v1RunningAtReady = ProcessHelpers::processExists(v1pid);
                if (state == QLatin1String("updating"))
                    v1GoneAtUpdating = !ProcessHelpers::processExists(v1pid);
            }
        });
        QVERIFY(SocketHelpers::connectTo(control, serverName, 10000));
        control.write("{\"action\":\"download_update\"}\n");

        // While version 1 runs, the update waits; when it ends, plessa shows the waiting text and the
        // package is installed; when plessa ends, version 2 starts.
        QStringList windowArguments;
        QElapsedTimer scan;
        scan.start();
        const bool v2Started = QTest::qWaitFor([&] {
            if (windowArguments.isEmpty() && scan.elapsed() > 100) {
                scan.restart();
                for (qint64 child : ProcessHelpers::childrenOf(zpid)) {
                    if (ProcessHelpers::executableOf(child) == QFileInfo(plessa).canonicalFilePath())
                        windowArguments = ProcessHelpers::commandLineOf(child);
                }
            }
            return ProcessHelpers::readRecords(records).size() >= 2;
        }, 180000);
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(v2Started, diagnostics().constData());
        qInfo("version 1 -> version 2 running: %lld ms after the launcher started", elapsed);

        const QJsonObject second = ProcessHelpers::readRecords(records).at(1);
        QCOMPARE(second.value(QStringLiteral("version")).toString().trimmed(), QStringLiteral("2"));
        QVERIFY(ProcessHelpers::recordArguments(second).contains(QStringLiteral("--fullscreen")));
        QVERIFY2(states.contains(QStringLiteral("ready")), qPrintable(states.join(QLatin1Char(','))));
        QVERIFY2(v1RunningAtReady, "the update was ready only after version 1 had ended");
        QVERIFY2(states.indexOf(QStringLiteral("updating")) > states.indexOf(QStringLiteral("ready")),
                 qPrintable(states.join(QLatin1Char(','))));
        QVERIFY2(v1GoneAtUpdating, "installation began while version 1 was running");
        QVERIFY(QTest::qWaitFor([&] { return states.contains(QStringLiteral("updated")); }, 5000));
        QVERIFY2(windowArguments.mid(1) == (QStringList{QStringLiteral("--text"), WaitingText}),
                 qPrintable(QStringLiteral("message window arguments: ") + windowArguments.join(QLatin1Char('|'))));

        QCOMPARE(config.value(DeviceConfig::Updater, QStringLiteral("app/version")).toInt(), 2);
        QCOMPARE(TestFiles::read(appDir + QStringLiteral("/version.txt")).trimmed(), QByteArray("2"));

        // The launcher's end takes the updater and version 2 with it.
        const qint64 v2pid = second.value(QStringLiteral("pid")).toVariant().toLongLong();
        control.abort();
        zorvan.terminate();
        QVERIFY(zorvan.waitForFinished(30000));
        QVERIFY(ProcessHelpers::waitForProcessGone(v2pid, 10000));
        QVERIFY(ProcessHelpers::waitForProcessGone(updaterPid, 10000));
    }

    // The launcher's entry creates the feeder when the watchdog is on: the shell it starts arms the
    // device tool through sudo and feeds it, and it ends together with the launcher.
    void watchdogFedWhileLauncherRuns()
    {
        TestEnvironment env;
        QTemporaryDir root;
        QVERIFY(env.isValid() && root.isValid());
        const QString bin = root.filePath(QStringLiteral("bin"));
        const QString record = root.filePath(QStringLiteral("watchdog"));
        QVERIFY(QDir().mkpath(bin));
        const auto script = [&](const QString &name, const QString &body) {
            return TestFiles::write(bin + QLatin1Char('/') + name, QStringLiteral("#!/bin/sh\n%1\n").arg(body).toUtf8(),
                                    QFileDevice::ExeOwner);
        };
        QVERIFY(script(QStringLiteral("sudo"), QStringLiteral("exec \"$@\"")));
        QVERIFY(script(QStringLiteral("yf_watchdog"), QStringLiteral("echo \"$*\" >> '%1'").arg(record)));
        const QString app = ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), root.filePath(QStringLiteral("app")),
                                                           QStringLiteral("app"), {QStringLiteral("--alive"), QStringLiteral("5")});
        QVERIFY(!app.isEmpty());
        QVERIFY(DeviceConfig(env).write(DeviceConfig::Launcher,
                                        {{QStringLiteral("application/folder"), QFileInfo(app).absolutePath()},
                                         {QStringLiteral("application/name"), QStringLiteral("app")},
                                         {QStringLiteral("application/log"), root.filePath(QStringLiteral("log"))},
                                         {QStringLiteral("updaterapp/active"), 0},
                                         {QStringLiteral("watchdog/active"), 1},
                                         {QStringLiteral("watchdog/feedtime"), 0},
                                         {QStringLiteral("watchdog/settime"), 45}}));

        QProcess zorvan;
        QProcessEnvironment zenv = env.processEnvironment();
        zenv.insert(QStringLiteral("PATH"), bin + QLatin1Char(':') + zenv.value(QStringLiteral("PATH")));
        zorvan.setProcessEnvironment(zenv);
        zorvan.setStandardOutputFile(QProcess::nullDevice());
        zorvan.start(QStringLiteral(ZORVAN_BIN), QStringList());
        QVERIFY(zorvan.waitForStarted(5000));
        const auto calls = [&] { return QString::fromUtf8(TestFiles::read(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts); };
        // first feed five ticks after arming, then one a second
        const bool fed = QTest::qWaitFor([&] { return calls().size() >= 4; }, 20000);
        qint64 shell = 0;
        for (qint64 child : ProcessHelpers::childrenOf(zorvan.processId())) {
            if (ProcessHelpers::executableOf(child) == QFileInfo(QStringLiteral("/bin/bash")).canonicalFilePath())
                shell = child;
        }
        zorvan.terminate();
        QVERIFY(zorvan.waitForFinished(30000));
        QVERIFY2(fed, qPrintable(calls().join(QLatin1Char('|'))));
        QCOMPARE(calls().mid(0, 4), (QStringList{QStringLiteral("set_on"), QStringLiteral("set_feed_time 45"),
                                                 QStringLiteral("feed"), QStringLiteral("feed")}));
        QVERIFY(shell > 0);
        QVERIFY(!ProcessHelpers::processExists(shell));
    }
};

QTEST_GUILESS_MAIN(TestUpdateRoad)
#include "tst_updateroad.moc"
