#include "logwriter.h"
#include "settingsstore.h"
#include "launchersettings.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QDir>

namespace {
// Keys and values of an INI file as they are on disk ("section/key" -> raw value).
QMap<QString, QString> readIni(const QString &path)
{
    QMap<QString, QString> values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return values;
    QString section;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char('['))) {
            section = line.mid(1, line.indexOf(QLatin1Char(']')) - 1);
        } else if (line.contains(QLatin1Char('='))) {
            const int eq = line.indexOf(QLatin1Char('='));
            QString value = line.mid(eq + 1);
            if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
                value = value.mid(1, value.size() - 2);
            values.insert(section + QLatin1Char('/') + line.left(eq), value);
        }
    }
    return values;
}

struct LoggedLine
{
    QString category;
    QString text;
};
QList<LoggedLine> logged;

void captureHandler(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    logged.append({QString::fromUtf8(context.category), message});
}

bool hasLine(const QString &category, const QString &text)
{
    for (const LoggedLine &line : qAsConst(logged)) {
        if (line.category == category && line.text == text)
            return true;
    }
    return false;
}
}

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstStartWritesEveryKey_data();
    void firstStartWritesEveryKey();
    void firstStartPaths();
    void missingAndOddValues_data();
    void missingAndOddValues();
    void changeByAnotherProcessIsSeenOnNextRead();
    void logLines();
    void unreadableStoreIsReported();

private:
    void flushStore();

    TestEnvironment env;
    QString storePath;
};

void TestSettings::initTestCase()
{
    // Before the first QSettings: Qt fixes its configuration folder on first use.
    QVERIFY(env.applyAs(QStringLiteral("zorvan")));
    storePath = SettingsStore::open()->fileName();
    QVERIFY2(storePath.startsWith(env.path()), qPrintable(storePath));
    QVERIFY(storePath.endsWith(QLatin1String("/tovrel/zorvan.conf")));
}

void TestSettings::init()
{
    const auto storeOwner = SettingsStore::open();
    QSettings &store = *storeOwner;
    store.clear();
    store.sync();
    logged.clear();
}

void TestSettings::cleanup()
{
    qInstallMessageHandler(nullptr);
}

void TestSettings::flushStore()
{
    // Written-back defaults reach the file when the event loop runs, as in the launcher.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void TestSettings::firstStartWritesEveryKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("application/log") << "application/log" << "C:/tovrel/app/log";
    QTest::newRow("application/logdays") << "application/logdays" << "0";
    QTest::newRow("application/logdaymb") << "application/logdaymb" << "0";
    QTest::newRow("application/folder") << "application/folder" << "C:/tovrel/app";
    QTest::newRow("application/name") << "application/name" << "tovrel.exe";
    QTest::newRow("settingsapp/folder") << "settingsapp/folder" << "C:/tovrel";
    QTest::newRow("settingsapp/name") << "settingsapp/name" << "plessa.exe";
    QTest::newRow("settingsapp/active") << "settingsapp/active" << "1";
    QTest::newRow("updaterapp/folder") << "updaterapp/folder" << "C:/tovrel";
    QTest::newRow("updaterapp/name") << "updaterapp/name" << "updater.exe";
    QTest::newRow("updaterapp/active") << "updaterapp/active" << "1";
    QTest::newRow("updaterapp/localserver") << "updaterapp/localserver" << "tovrelupdater";
    QTest::newRow("watchdog/active") << "watchdog/active" << "0";
    QTest::newRow("watchdog/feedtime") << "watchdog/feedtime" << "20";
    QTest::newRow("watchdog/settime") << "watchdog/settime" << "60";
    QTest::newRow("application/fullscreen") << "application/fullscreen" << "1";
    QTest::newRow("application/active") << "application/active" << "1";
    QTest::newRow("launcher/active") << "launcher/active" << "1";
    QTest::newRow("probation/time") << "probation/time" << "600";
    QTest::newRow("probation/failures") << "probation/failures" << "3";
    QTest::newRow("application/updatewindow") << "application/updatewindow" << "";
}

void TestSettings::firstStartWritesEveryKey()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QVERIFY(!QFile::exists(storePath) || readIni(storePath).isEmpty());

    LauncherSettings settings;
    settings.readSettings();
    flushStore();

    const QMap<QString, QString> onDisk = readIni(storePath);
    QCOMPARE(onDisk.size(), 21);
    QVERIFY(onDisk.contains(key));
    QCOMPARE(onDisk.value(key), value);
}

void TestSettings::firstStartPaths()
{
    LauncherSettings settings;
    QCOMPARE(settings.settingsFileName, storePath);
    QCOMPARE(settings.appActive, 0);
    settings.readSettings();
    QCOMPARE(settings.generalAppPath, QStringLiteral("C:/tovrel/app/tovrel.exe"));
    QCOMPARE(settings.settingsAppPath, QStringLiteral("C:/tovrel/plessa.exe"));
    QCOMPARE(settings.updaterAppPath, QStringLiteral("C:/tovrel/updater.exe"));
    QCOMPARE(settings.logFolder, QStringLiteral("C:/tovrel/app/log"));
    QCOMPARE(settings.serverName, QStringLiteral("tovrelupdater"));
    QCOMPARE(settings.appActive, 1);
    QCOMPARE(settings.settingsAppActive, 1);
    QCOMPARE(settings.updaterAppActive, 1);
    QCOMPARE(settings.appFullscreen, 1);
    QCOMPARE(settings.launcherActive, 1);
    QCOMPARE(settings.watchdogActive, 0);
    QCOMPARE(settings.getWatchdogFeedTime(), 20);
    QCOMPARE(settings.getWatchdogSetTime(), 60);
}

void TestSettings::missingAndOddValues_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("expectedField");
    QTest::addColumn<QString>("expectedOnDisk");

    QTest::newRow("active -1 becomes default") << "application/active" << "-1" << "1" << "1";
    QTest::newRow("active 0 stays off") << "application/active" << "0" << "0" << "0";
    QTest::newRow("active 2 kept") << "application/active" << "2" << "2" << "2";
    QTest::newRow("active -5 kept, only -1 is missing") << "application/active" << "-5" << "-5" << "-5";
    QTest::newRow("non-numeric reads as 0, kept") << "application/active" << "yes" << "0" << "yes";
    QTest::newRow("launcher non-numeric is off") << "launcher/active" << "on" << "0" << "on";
    QTest::newRow("other negative becomes default") << "watchdog/feedtime" << "-5" << "20" << "20";
    QTest::newRow("settime -1") << "watchdog/settime" << "-1" << "60" << "60";
    QTest::newRow("feedtime 0 kept") << "watchdog/feedtime" << "0" << "0" << "0";
    QTest::newRow("empty name becomes default") << "application/name" << "" << "tovrel.exe" << "tovrel.exe";
    QTest::newRow("empty server name") << "updaterapp/localserver" << "" << "tovrelupdater" << "tovrelupdater";
    QTest::newRow("trailing slash gives double slash") << "application/folder" << "/opt/app/" << "/opt/app//tovrel.exe"
                                                       << "/opt/app/";
    QTest::newRow("folder with blanks") << "settingsapp/folder" << "/opt/my window" << "/opt/my window/plessa.exe"
                                        << "/opt/my window";
}

void TestSettings::missingAndOddValues()
{
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(QString, expectedField);
    QFETCH(QString, expectedOnDisk);
    {
        const auto storeOwner = SettingsStore::open();
    QSettings &store = *storeOwner;
        store.setValue(key, stored);
        store.sync();
    }

    LauncherSettings settings;
    settings.readSettings();
    flushStore();

    const QMap<QString, QString> fields{
        {QStringLiteral("application/active"), QString::number(settings.appActive)},
        {QStringLiteral("launcher/active"), QString::number(settings.launcherActive)},
        {QStringLiteral("watchdog/feedtime"), QString::number(settings.watchdogFeedTime)},
        {QStringLiteral("watchdog/settime"), QString::number(settings.watchdogSetTime)},
        {QStringLiteral("application/name"), settings.generalAppName},
        {QStringLiteral("updaterapp/localserver"), settings.serverName},
        {QStringLiteral("application/folder"), settings.generalAppPath},
        {QStringLiteral("settingsapp/folder"), settings.settingsAppPath},
    };
    QVERIFY(fields.contains(key));
    QCOMPARE(fields.value(key), expectedField);
    QCOMPARE(readIni(storePath).value(key), expectedOnDisk);
    QCOMPARE(readIni(storePath).size(), 21);
}

void TestSettings::changeByAnotherProcessIsSeenOnNextRead()
{
    LauncherSettings settings;
    settings.readSettings();
    flushStore();
    QCOMPARE(settings.appFullscreen, 1);
    QCOMPARE(settings.generalAppName, QStringLiteral("tovrel.exe"));

    // Another process edits the file behind Qt's back (not through this process's QSettings cache).
    QFile file(storePath);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QString content = QString::fromUtf8(file.readAll());
    file.close();
    QVERIFY(content.contains(QLatin1String("fullscreen=1")));
    content.replace(QLatin1String("fullscreen=1"), QLatin1String("fullscreen=0"));
    content.replace(QLatin1String("name=tovrel.exe"), QLatin1String("name=other-application.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text));
    file.write(content.toUtf8());
    file.close();

    settings.readSettings();
    QCOMPARE(settings.appFullscreen, 0);
    QCOMPARE(settings.generalAppName, QStringLiteral("other-application.bin"));
    QCOMPARE(settings.generalAppPath, QStringLiteral("C:/tovrel/app/other-application.bin"));
}

void TestSettings::logLines()
{
    qInstallMessageHandler(captureHandler);
    {
        LauncherSettings settings;
        settings.readSettings();
        flushStore();
        QVERIFY(hasLine(QStringLiteral("default"), QStringLiteral("[Settings] \"%1\"").arg(storePath)));
        QVERIFY(hasLine(QStringLiteral("default"), QStringLiteral("[Settings] set generalAppName")));
        QVERIFY(hasLine(QStringLiteral("default"), QStringLiteral("[Settings] updaterapp_active: 1")));
        QVERIFY(hasLine(QStringLiteral("default"), QStringLiteral("[Settings] watchdog_active: 0")));
        QVERIFY(hasLine(QStringLiteral("default"), QStringLiteral("[Settings] launcher_active: 1")));
        QVERIFY(hasLine(QStringLiteral("ERR"),
                        QStringLiteral("[Settings] file  \"C:/tovrel/app/tovrel.exe\" not exist")));
        QVERIFY(hasLine(QStringLiteral("ERR"), QStringLiteral("[Settings] file  \"C:/tovrel/plessa.exe\" not "
                                                              "exist, serch in morvaclient folder")));
        QVERIFY(!hasLine(QStringLiteral("default"), QStringLiteral("[Settings] watchdog_feedtime: 20")));

        // Second read: nothing is defaulted any more, the watchdog lines follow its switch.
        SettingsStore::open()->setValue(QStringLiteral("watchdog/active"), 1);
        logged.clear();
        settings.readSettings();
        QVERIFY(!hasLine(QStringLiteral("default"), QStringLiteral("[Settings] set generalAppName")));
        QVERIFY(hasLine(QStringLiteral("default"), QStringLiteral("[Settings] watchdog_feedtime: 20")));
        QVERIFY(hasLine(QStringLiteral("default"), QStringLiteral("[Settings] watchdog_settime: 60")));
    }
    qInstallMessageHandler(nullptr);
}

void TestSettings::unreadableStoreIsReported()
{
    // A folder where the file should be cannot be read or written, not even by root.
    QFile::remove(storePath);
    QVERIFY(QDir().mkpath(storePath));
    qInstallMessageHandler(captureHandler);
    {
        // Depending on what Qt has cached for the file the failure shows at the first read or,
        // after the failed write-back of the defaults, at the next one (the supervisor re-reads).
        LauncherSettings settings;
        settings.readSettings();
        settings.readSettings();
        qInstallMessageHandler(nullptr);
        QVERIFY(hasLine(QStringLiteral("default"), QStringLiteral("[Settings] cannot access \"%1\"").arg(storePath)));
        // Still a usable configuration: the defaults.
        QCOMPARE(settings.generalAppPath, QStringLiteral("C:/tovrel/app/tovrel.exe"));
        QCOMPARE(settings.launcherActive, 1);
    }
    QVERIFY(QDir(storePath).removeRecursively());
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
