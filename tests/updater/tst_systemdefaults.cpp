#include "updatersettings.h"
#include "testenvironment.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// The package's /etc/xdg/tovrel/updater.conf under the system scope of Qt's store: its folders
// resolve in the running user's home and stay out of the user's file; a user's value wins.
class TestSystemDefaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void packagedValuesApplyWithoutCopy();
    void userValueWins();
    void systemKeysStayTheFleets();

private:
    // The user's file as Qt names it (test mode may move it under HOME).
    static QString userFile() { return QSettings().fileName(); }
    TestEnvironment m_env;
    QTemporaryDir m_system;
};

void TestSystemDefaults::initTestCase()
{
    QVERIFY(m_env.applyAs(QStringLiteral("updater")));
    QVERIFY(m_system.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, m_system.path());
    QVERIFY(QDir().mkpath(m_system.filePath(QStringLiteral("tovrel"))));
    QVERIFY(QFile::copy(QStringLiteral(TESTS_SOURCE_DIR "/../packaging/updater.conf"),
                        m_system.filePath(QStringLiteral("tovrel/updater.conf"))));
}

void TestSystemDefaults::packagedValuesApplyWithoutCopy()
{
    QFile::remove(userFile());
    {
        UpdaterSettings settings;
        settings.init();
        QCOMPARE(settings.appFolder, m_env.homePath() + QStringLiteral("/.local/share/tovrel/app"));
        QCOMPARE(settings.getAppDir(), settings.appFolder);
        QCOMPARE(settings.tempDir, m_env.homePath() + QStringLiteral("/.cache/tovrel/updater"));
        QCOMPARE(settings.appKey, QStringLiteral("linux"));
        QCOMPARE(settings.jitter, 300);
        QCOMPARE(UpdaterSettings::storedNice(settings.store), 10);
        QVERIFY(ControlKeys::isUnconfiguredLink(settings.updateLink));
        // Its "#" comments do not make whether updates must be signed unknown.
        QCOMPARE(settings.signing, QStringLiteral("off"));
        // A fresh device has nothing installed: version 1, the first one published, is newer.
        QCOMPARE(settings.getAppVersionCode(), 0);
    }
    QSettings user(userFile(), QSettings::IniFormat);
    QVERIFY(!user.contains(QStringLiteral("app/folder")));
    QVERIFY(!user.contains(QStringLiteral("update/directory")));
    QVERIFY(!user.contains(QStringLiteral("update/link")));
    QVERIFY(!user.contains(QStringLiteral("app/version")));
    // A value written without the packaged default (the built-in one) still lands in the user's file.
    QCOMPARE(user.value(QStringLiteral("update/period")).toString(), QStringLiteral("3600"));
}

void TestSystemDefaults::userValueWins()
{
    QFile::remove(userFile());
    {
        QSettings user(userFile(), QSettings::IniFormat);
        user.setValue(QStringLiteral("app/folder"), QStringLiteral("/opt/app"));
    }
    UpdaterSettings settings;
    settings.init();
    QCOMPARE(settings.appFolder, QStringLiteral("/opt/app"));
    QCOMPARE(settings.tempDir, m_env.homePath() + QStringLiteral("/.cache/tovrel/updater"));
}

void TestSystemDefaults::systemKeysStayTheFleets()
{
    // Values that read as missing complete in memory only; a link set after the first start is used.
    QTemporaryDir fleet;
    const QString file = fleet.filePath(QStringLiteral("tovrel/updater.conf"));
    QVERIFY(TestFiles::write(file, "[update]\nlink=\nperiod=-1\n"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, fleet.path());
    QFile::remove(userFile());
    UpdaterSettings settings;
    settings.init();
    QCOMPARE(settings.updateLink, QStringLiteral("http://update.tovrel.net/update"));
    QCOMPARE(settings.periodCheckUpdate, 3600);
    QVERIFY(TestFiles::write(file, "[update]\nlink=https://fleet.example.com/update\nperiod=-1\n"));
    settings.read();
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, m_system.path());
    QCOMPARE(settings.updateLink, QStringLiteral("https://fleet.example.com/update"));
    QSettings user(userFile(), QSettings::IniFormat);
    QVERIFY(!user.contains(QStringLiteral("update/link")));
    QVERIFY(!user.contains(QStringLiteral("update/period")));
    QVERIFY(user.contains(QStringLiteral("update/info")));
}

QTEST_GUILESS_MAIN(TestSystemDefaults)
#include "tst_systemdefaults.moc"
