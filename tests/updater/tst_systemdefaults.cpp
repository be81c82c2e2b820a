#include "settings.h"
#include "testenvironment.h"

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
    void fleetLinkSetLaterIsUsed();
    void systemKeyNeverCopied();

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
        Settings settings;
        settings.init();
        QCOMPARE(settings.appFolder, m_env.homePath() + QStringLiteral("/.local/share/tovrel/app"));
        QCOMPARE(settings.getAppDir(), settings.appFolder);
        QCOMPARE(settings.tempDir, m_env.homePath() + QStringLiteral("/.cache/tovrel/updater"));
        QCOMPARE(settings.appKey, QStringLiteral("linux"));
        QCOMPARE(settings.jitter, 300);
        QCOMPARE(Settings::storedNice(settings.store), 10);
        QVERIFY(Settings::isUnconfiguredLink(settings.updateLink));
        // Its "#" comments do not make whether updates must be signed unknown.
        QCOMPARE(settings.signing, QStringLiteral("off"));
    }
    QSettings user(userFile(), QSettings::IniFormat);
    QVERIFY(!user.contains(QStringLiteral("app/folder")));
    QVERIFY(!user.contains(QStringLiteral("update/directory")));
    QVERIFY(!user.contains(QStringLiteral("update/link")));
    QCOMPARE(user.value(QStringLiteral("app/version")).toString(), QStringLiteral("407"));
}

void TestSystemDefaults::userValueWins()
{
    QFile::remove(userFile());
    {
        QSettings user(userFile(), QSettings::IniFormat);
        user.setValue(QStringLiteral("app/folder"), QStringLiteral("/opt/app"));
    }
    Settings settings;
    settings.init();
    QCOMPARE(settings.appFolder, QStringLiteral("/opt/app"));
    QCOMPARE(settings.tempDir, m_env.homePath() + QStringLiteral("/.cache/tovrel/updater"));
}

void TestSystemDefaults::fleetLinkSetLaterIsUsed()
{
    QFile::remove(userFile());
    {
        Settings first;
        first.init();
    }
    const QString systemFile = m_system.filePath(QStringLiteral("tovrel/updater.conf"));
    QFile file(systemFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray packaged = file.readAll();
    file.close();
    QVERIFY(packaged.contains("\nlink=none\n"));
    QByteArray fleet = packaged;
    fleet.replace("\nlink=none\n", "\nlink=https://fleet.example.com/update\n");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(fleet), qint64(fleet.size()));
    file.close();

    Settings later;
    later.init();
    QCOMPARE(later.updateLink, QStringLiteral("https://fleet.example.com/update"));
    QCOMPARE(later.getDownloadLink(), later.updateLink);

    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(packaged), qint64(packaged.size()));
}

void TestSystemDefaults::systemKeyNeverCopied()
{
    // A system file whose values read as missing: the defaults apply but stay out of the user's file.
    QTemporaryDir other;
    QVERIFY(QDir().mkpath(other.filePath(QStringLiteral("tovrel"))));
    QFile file(other.filePath(QStringLiteral("tovrel/updater.conf")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[update]\nlink=\nperiod=-1\n");
    file.close();
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, other.path());
    QFile::remove(userFile());
    {
        Settings settings;
        settings.init();
        QCOMPARE(settings.updateLink, QStringLiteral("http://update.tovrel.net/update"));
        QCOMPARE(settings.periodCheckUpdate, 3600);
    }
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, m_system.path());
    QSettings user(userFile(), QSettings::IniFormat);
    QVERIFY(!user.contains(QStringLiteral("update/link")));
    QVERIFY(!user.contains(QStringLiteral("update/period")));
    QVERIFY(user.contains(QStringLiteral("update/info")));
}

QTEST_GUILESS_MAIN(TestSystemDefaults)
#include "tst_systemdefaults.moc"
