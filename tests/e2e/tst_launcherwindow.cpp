#include "deviceconfig.h"
#include "processhelpers.h"
#include "testfiles.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>

// The launcher and the real message window taking turns: with the main application missing,
// zorvan shows plessa with the hint where to set it; plessa ends after its countdown with
// "$QUIT"; zorvan then tries the application again and starts it once it is there.
class TestLauncherWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void missingApplicationShowsWindowThenStartsApplication();
};

void TestLauncherWindow::missingApplicationShowsWindowThenStartsApplication()
{
    TestEnvironment env;
    QVERIFY(env.isValid());
    const QString appFolder = env.path() + QStringLiteral("/app");
    const QString windowFolder = env.path() + QStringLiteral("/window");
    QVERIFY(QDir().mkpath(appFolder));

    // The window program is plessa itself, behind a script that notes its arguments first; exec
    // keeps the process, so zorvan talks to plessa directly.
    const QString windowArguments = env.path() + QStringLiteral("/window-arguments");
    const QString windowStarts = env.path() + QStringLiteral("/window-starts");
    QVERIFY(TestFiles::write(windowFolder + QStringLiteral("/plessa"),
                             "#!/bin/sh\necho started >> '" + windowStarts.toUtf8() + "'\n"
                             "printf '%s\\0' \"$@\" > '" + windowArguments.toUtf8() + "'\n"
                             "exec '" PLESSA_BIN "' \"$@\"\n",
                             QFile::ExeOwner));

    QVariantMap keys = DeviceConfig::launcherKeys(appFolder, QStringLiteral("tovrel.exe"), env.path() + QStringLiteral("/log"),
                                                  TestEnvironment::uniqueSocketName("e2e"));
    keys.insert({{QStringLiteral("settingsapp/folder"), windowFolder},
                 {QStringLiteral("settingsapp/name"), QStringLiteral("plessa")},
                 {QStringLiteral("settingsapp/active"), 1},
                 {QStringLiteral("updaterapp/folder"), env.path() + QStringLiteral("/none")},
                 {QStringLiteral("updaterapp/active"), 0},
                 {QStringLiteral("launcher/active"), 1}});
    const DeviceConfig config(env);
    QVERIFY(config.write(DeviceConfig::Launcher, keys));

    QProcess zorvan;
    zorvan.setProcessEnvironment(env.processEnvironment());
    zorvan.setProcessChannelMode(QProcess::MergedChannels);
    QByteArray log;
    connect(&zorvan, &QProcess::readyRead, this, [&]() { log += zorvan.readAll(); });
    zorvan.start(QStringLiteral(ZORVAN_BIN), QStringList());
    QVERIFY2(zorvan.waitForStarted(5000), qPrintable(zorvan.errorString()));
    auto stopZorvan = qScopeGuard([&zorvan]() {
        if (zorvan.state() != QProcess::NotRunning) {
            zorvan.terminate();
            if (!zorvan.waitForFinished(15000))
                zorvan.kill();
            zorvan.waitForFinished(5000);
        }
    });

    // After its 15 s wait for an update, zorvan finds no application and shows the window.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(windowArguments), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(TestFiles::readArguments(windowArguments).size(), 2, 5000);
    const QStringList arguments = TestFiles::readArguments(windowArguments);
    QCOMPARE(arguments.at(0), QStringLiteral("--text"));
    QCOMPARE(arguments.at(1), QStringLiteral("Задайте путь к приложению. Путь к файлу настроек:\n") + config.file(DeviceConfig::Launcher));

    // Meanwhile the application appears.
    const QString records = env.path() + QStringLiteral("/app-records");
    QVERIFY(!ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), appFolder, QStringLiteral("tovrel.exe"),
                                            {QStringLiteral("--record"), records, QStringLiteral("--alive"),
                                             QStringLiteral("10")})
                 .isEmpty());

    // The window counts down by itself, answers "$QUIT", and zorvan starts the application.
    QVERIFY2(ProcessHelpers::waitForRecords(records, 1, 30000), log.constData());
    QVERIFY2(log.contains("$QUIT"), log.constData());
    const QList<QJsonObject> started = ProcessHelpers::readRecords(records);
    QCOMPARE(started.size(), 1);
    QCOMPARE(ProcessHelpers::recordArguments(started.first()), QStringList{QStringLiteral("--fullscreen")});
    // One window only: its "$QUIT" ended it, it was not started again.
    QCOMPARE(TestFiles::read(windowStarts).count('\n'), 1);

    zorvan.terminate();
    QVERIFY(zorvan.waitForFinished(15000));
    const qint64 appPid = started.first().value(QStringLiteral("pid")).toVariant().toLongLong();
    QVERIFY(ProcessHelpers::waitForProcessGone(appPid, 5000));
}

QTEST_MAIN(TestLauncherWindow)
#include "tst_launcherwindow.moc"
