#include "launchersettings.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// The package's /etc/xdg/tovrel/zorvan.conf under the system scope of Qt's store: its values apply
// where the user's file has none, are not copied into the user's file (so a later change of the
// system file still reaches the user), and a user's own value wins.
class TestSystemDefaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void packagedValuesApplyWithoutCopy();
    void userValueWins();
    void laterSystemChangeReachesUser();
    void neitherFileKeepsBuiltInDefaults();

private:
    QString systemFile() const { return m_system.filePath(QStringLiteral("tovrel/zorvan.conf")); }
    QString home() const { return m_env.homePath(); }
    // The user's file as Qt names it (test mode may move it under HOME).
    static QString userFile() { return QSettings().fileName(); }
    // Key as written in the user's file, or a null string.
    QString userValue(const QString &key) const;

    TestEnvironment m_env;
    QTemporaryDir m_system;
};

void TestSystemDefaults::initTestCase()
{
    QVERIFY(m_env.applyAs(QStringLiteral("zorvan")));
    QVERIFY(m_system.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, m_system.path());
}

void TestSystemDefaults::init()
{
    QFile::remove(userFile());
    QDir().mkpath(m_system.filePath(QStringLiteral("tovrel")));
    QFile::remove(systemFile());
    QVERIFY(QFile::copy(QStringLiteral(TESTS_SOURCE_DIR "/../packaging/zorvan.conf"), systemFile()));
    QFile::setPermissions(systemFile(), QFile::ReadOwner | QFile::WriteOwner);
}

QString TestSystemDefaults::userValue(const QString &key) const
{
    QSettings user(userFile(), QSettings::IniFormat);
    return user.contains(key) ? user.value(key).toString() : QString();
}

void TestSystemDefaults::packagedValuesApplyWithoutCopy()
{
    {
        LauncherSettings settings;
        settings.readSettings();
        QCOMPARE(settings.logFolder, home() + QStringLiteral("/.local/state/tovrel/log"));
        QCOMPARE(settings.generalAppFolder, home() + QStringLiteral("/.local/share/tovrel/app"));
        QCOMPARE(settings.settingsAppPath, QStringLiteral("/usr/bin/plessa"));
        QCOMPARE(settings.updaterAppPath, QStringLiteral("/usr/bin/updater"));
        QCOMPARE(settings.logDays, 30);
        QCOMPARE(settings.logDayMb, 100);
    }
    QVERIFY(userValue(QStringLiteral("application/log")).isNull());
    QVERIFY(userValue(QStringLiteral("settingsapp/folder")).isNull());
    // Keys that neither file has are still written back for the user to edit.
    QCOMPARE(userValue(QStringLiteral("launcher/active")), QStringLiteral("1"));
    QCOMPARE(userValue(QStringLiteral("watchdog/active")), QStringLiteral("0"));
    // The system file itself is never written.
    QSettings system(systemFile(), QSettings::IniFormat);
    QVERIFY(!system.contains(QStringLiteral("launcher/active")));
}

void TestSystemDefaults::userValueWins()
{
    {
        QSettings user(userFile(), QSettings::IniFormat);
        user.setValue(QStringLiteral("application/log"), QStringLiteral("/srv/log"));
    }
    LauncherSettings settings;
    settings.readSettings();
    QCOMPARE(settings.logFolder, QStringLiteral("/srv/log"));
    QCOMPARE(settings.settingsAppPath, QStringLiteral("/usr/bin/plessa"));
}

void TestSystemDefaults::laterSystemChangeReachesUser()
{
    {
        LauncherSettings first;
        first.readSettings();
    }
    {
        QSettings system(systemFile(), QSettings::IniFormat);
        system.setValue(QStringLiteral("application/log"), QStringLiteral("/var/tmp/tovrel-log-after-upgrade"));
    }
    LauncherSettings second;
    second.readSettings();
    QCOMPARE(second.logFolder, QStringLiteral("/var/tmp/tovrel-log-after-upgrade"));
}

void TestSystemDefaults::neitherFileKeepsBuiltInDefaults()
{
    QVERIFY(QFile::remove(systemFile()));
    {
        LauncherSettings settings;
        settings.readSettings();
        QCOMPARE(settings.logFolder, QStringLiteral("C:/tovrel/app/log"));
    }
    QCOMPARE(userValue(QStringLiteral("application/log")), QStringLiteral("C:/tovrel/app/log"));
}

QTEST_GUILESS_MAIN(TestSystemDefaults)
#include "tst_systemdefaults.moc"
