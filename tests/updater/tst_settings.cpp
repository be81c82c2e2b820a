#include "updatersettings.h"
#include "updaterstatus.h"
#include "settingsstore.h"
#include "testenvironment.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtTest>

namespace {
QStringList g_log;
void captureHandler(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    g_log << msg;
}
}

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void freshStoreIsCompletedInTableOrder();
    void completeStoreLogsNothing();
    void invalidValuesAreReplacedValidOnesKept_data();
    void invalidValuesAreReplacedValidOnesKept();
    void settersNormaliseAndPersist();
    void gettersSeeChangesOfAnotherWriter();
    void textWithCommasOrNonAsciiIsKept_data();
    void textWithCommasOrNonAsciiIsKept();
    void keysOnlyFromTheSystemStore();
    void systemFileDecidesSigning_data();
    void systemFileDecidesSigning();
    void refusedVersions_data();
    void refusedVersions();

private:
    void clearStore();
    QVariant storedValue(const QString &key);

    TestEnvironment m_env;
};

void TestSettings::initTestCase()
{
    // Qt takes the system-wide folder from the environment once, at its first store.
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_env.path() + QStringLiteral("/system")));
    QVERIFY(m_env.applyAs(QStringLiteral("updater")));
}

void TestSettings::init()
{
    clearStore();
    g_log.clear();
    qInstallMessageHandler(captureHandler);
}

void TestSettings::cleanup()
{
    qInstallMessageHandler(nullptr);
}

void TestSettings::clearStore()
{
    const auto storeOwner = SettingsStore::open(QStringLiteral("tovrel"), QStringLiteral("updater"));
    QSettings &store = *storeOwner;
    QVERIFY2(store.fileName().startsWith(m_env.path()), qPrintable(store.fileName()));
    store.clear();
    store.sync();
}

QVariant TestSettings::storedValue(const QString &key)
{
    const auto storeOwner = SettingsStore::open(QStringLiteral("tovrel"), QStringLiteral("updater"));
    QSettings &store = *storeOwner;
    return store.value(key);
}

void TestSettings::freshStoreIsCompletedInTableOrder()
{
    UpdaterSettings settings;
    settings.init();

    const QStringList expectedLines = {
        QStringLiteral("[Settings] set appFolder"),
        QStringLiteral("[Settings] set appVersionCode"),
        QStringLiteral("[Settings] set deviceId \"\""),
        QStringLiteral("[Settings] set appKey \"windows\""),
        QStringLiteral("[Settings] set updateLink \"") + settings.updateLink + QLatin1Char('"'),
        QStringLiteral("[Settings] set updateInfoRequest"),
        QStringLiteral("[Settings] set periodCheckUpdate"),
        QStringLiteral("[Settings] set appDownloadActive"),
        QStringLiteral("[Settings] set appUpdateActive"),
        QStringLiteral("[Settings] set tempDir"),
        QStringLiteral("[Settings] set serverName"),
        QStringLiteral("[Settings] set rolloutId \"") + settings.rolloutId + QLatin1Char('"'),
        QStringLiteral("[Settings] set jitter"),
        QStringLiteral("[Settings] set nice"),
        QStringLiteral("[Settings] set refused"),
        QStringLiteral("[Settings] set rolledBack"),
        QStringLiteral("[Settings] set delta"),
        QStringLiteral("[Settings] set patchmb"),
        QStringLiteral("[Settings] signing: off (https trusts the system's CAs) product: any"),
    };
    QCOMPARE(g_log, expectedLines);

    QCOMPARE(storedValue(QStringLiteral("app/folder")).toString(), QStringLiteral("C:/tovrel/app"));
    QCOMPARE(storedValue(QStringLiteral("app/version")).toInt(), 407);
    QVERIFY(storedValue(QStringLiteral("app/device_id")).isValid());
    QCOMPARE(storedValue(QStringLiteral("app/device_id")).toString(), QString());
    QCOMPARE(storedValue(QStringLiteral("update/key")).toString(), QStringLiteral("windows"));
    const QUrl link(storedValue(QStringLiteral("update/link")).toString());
    QCOMPARE(link.scheme(), QStringLiteral("http"));
    QCOMPARE(link.path(), QStringLiteral("/update"));
    QCOMPARE(storedValue(QStringLiteral("update/info")).toString(), QStringLiteral("update.json"));
    QCOMPARE(storedValue(QStringLiteral("update/period")).toInt(), 3600);
    QCOMPARE(storedValue(QStringLiteral("update/download")).toInt(), 1);
    QCOMPARE(storedValue(QStringLiteral("update/update")).toInt(), 0);
    QCOMPARE(storedValue(QStringLiteral("update/directory")).toString(),
             QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
    QCOMPARE(storedValue(QStringLiteral("localserver/name")).toString(), QStringLiteral("tovrelupdater"));
    QCOMPARE(storedValue(QStringLiteral("app/rollout_id")).toString(), settings.rolloutId);
    QCOMPARE(settings.rolloutId.size(), 32);
    QCOMPARE(storedValue(QStringLiteral("update/jitter")).toInt(), 0);
    QCOMPARE(storedValue(QStringLiteral("update/nice")).toInt(), 10);
    QCOMPARE(storedValue(QStringLiteral("update/delta")).toInt(), 1);
    QCOMPARE(storedValue(QStringLiteral("update/patchmb")).toInt(), 256);
    QVERIFY(storedValue(QStringLiteral("app/refused")).isValid());
    QCOMPARE(storedValue(QStringLiteral("app/refused")).toString(), QString());

    QCOMPARE(settings.appFolder, QStringLiteral("C:/tovrel/app"));
    QCOMPARE(settings.appVersionCode, 407);
    QCOMPARE(settings.serverName, QStringLiteral("tovrelupdater"));
    // Each channel key is answered by the store or by the running status, never by both or neither.
    const UpdaterStatus status;
    for (const ControlKeys::Key &key : ControlKeys::keys)
        QVERIFY2(settings.channelValue(key).isValid() != status.channelValue(key).isValid(), key.name);
}

void TestSettings::completeStoreLogsNothing()
{
    {
        UpdaterSettings first;
        first.init();
    }
    g_log.clear();
    UpdaterSettings second;
    second.read();
    QVERIFY2(g_log.isEmpty(), qPrintable(g_log.join(QLatin1Char('\n'))));
    QCOMPARE(second.updateInfoRequest, QStringLiteral("update.json"));
}

void TestSettings::invalidValuesAreReplacedValidOnesKept_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<bool>("logged");
    QTest::addColumn<QVariant>("field"); // invalid: same as expected

    QTest::newRow("version negative") << "app/version" << QVariant(-5) << QVariant(407) << true << QVariant();
    QTest::newRow("version zero") << "app/version" << QVariant(0) << QVariant(0) << false << QVariant();
    // text where a number belongs reads as 0 and stays as it is
    QTest::newRow("version text") << "app/version" << QVariant(QStringLiteral("abc"))
                                  << QVariant(QStringLiteral("abc")) << false << QVariant(0);
    QTest::newRow("period zero") << "update/period" << QVariant(0) << QVariant(0) << false << QVariant();
    QTest::newRow("period negative") << "update/period" << QVariant(-1) << QVariant(3600) << true << QVariant();
    QTest::newRow("download zero") << "update/download" << QVariant(0) << QVariant(0) << false << QVariant();
    QTest::newRow("device dash") << "app/device_id" << QVariant(QStringLiteral("-")) << QVariant(QString()) << true << QVariant();
    QTest::newRow("device empty") << "app/device_id" << QVariant(QString()) << QVariant(QString()) << false << QVariant();
    QTest::newRow("device set") << "app/device_id" << QVariant(QStringLiteral("A17")) << QVariant(QStringLiteral("A17"))
                                << false << QVariant();
    QTest::newRow("key empty") << "update/key" << QVariant(QString()) << QVariant(QStringLiteral("windows")) << true << QVariant();
    QTest::newRow("link kept") << "update/link" << QVariant(QStringLiteral("not a url"))
                               << QVariant(QStringLiteral("not a url")) << false << QVariant();
}

void TestSettings::invalidValuesAreReplacedValidOnesKept()
{
    QFETCH(QString, key);
    QFETCH(QVariant, stored);
    QFETCH(QVariant, expected);
    QFETCH(bool, logged);
    QFETCH(QVariant, field);
    if (!field.isValid())
        field = expected;

    {
        UpdaterSettings complete;
        complete.init();
        complete.store.setValue(key, stored);
        complete.store.sync();
    }
    g_log.clear();

    UpdaterSettings settings;
    settings.read();
    QCOMPARE(storedValue(key).toString(), expected.toString());
    QCOMPARE(g_log.size(), logged ? 1 : 0);

    if (key == QLatin1String("app/version"))
        QCOMPARE(settings.appVersionCode, field.toInt());
    else if (key == QLatin1String("update/period"))
        QCOMPARE(settings.periodCheckUpdate, field.toInt());
    else if (key == QLatin1String("app/device_id"))
        QCOMPARE(settings.deviceId, field.toString());
}

void TestSettings::settersNormaliseAndPersist()
{
    UpdaterSettings settings;
    settings.init();

    settings.setActiveDownload(2);
    QCOMPARE(settings.appDownloadActive, 0);
    QCOMPARE(storedValue(QStringLiteral("update/download")).toInt(), 0);
    settings.setActiveDownload(1);
    QCOMPARE(storedValue(QStringLiteral("update/download")).toInt(), 1);

    settings.setActiveUpdate(-3);
    QCOMPARE(storedValue(QStringLiteral("update/update")).toInt(), 0);
    settings.setActiveUpdate(1);
    QCOMPARE(settings.appUpdateActive, 1);
    QCOMPARE(storedValue(QStringLiteral("update/update")).toInt(), 1);

    settings.setPeriodCheckUpdate(120);
    settings.setPeriodCheckUpdate(-1);
    QCOMPARE(settings.periodCheckUpdate, 120);
    QCOMPARE(storedValue(QStringLiteral("update/period")).toInt(), 120);
    settings.setPeriodCheckUpdate(0);
    QCOMPARE(storedValue(QStringLiteral("update/period")).toInt(), 0);

    settings.setAppVersionCode(500);
    settings.setDownloadLink(QStringLiteral("http://127.0.0.1:1/u"));
    settings.setAppDir(QStringLiteral("/opt/app"));
    settings.setDeviceId(QStringLiteral("dev-9"));

    g_log.clear();
    UpdaterSettings reread;
    reread.read();
    QVERIFY(g_log.isEmpty());
    QCOMPARE(reread.appVersionCode, 500);
    QCOMPARE(reread.updateLink, QStringLiteral("http://127.0.0.1:1/u"));
    QCOMPARE(reread.appFolder, QStringLiteral("/opt/app"));
    QCOMPARE(reread.deviceId, QStringLiteral("dev-9"));
    QCOMPARE(reread.periodCheckUpdate, 0);
}

void TestSettings::gettersSeeChangesOfAnotherWriter()
{
    UpdaterSettings settings;
    settings.init();
    const QString path = settings.store.fileName();

    // Rewrite the file behind the object's back, as another process would.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray content = file.readAll();
    file.close();
    content.replace("version=407", "version=123456");
    content.replace("period=3600", "period=77");
    content.replace("link=", "link=http://changed.example/x");
    content.replace("folder=C:/tovrel/app", "folder=/srv/app");
    content.replace("device_id=", "device_id=other");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    // Qt keeps a parsed copy of the file while its size and time stay the same; a hand edit of the
    // same length within the same millisecond would go unseen. Flushed first: the write still in
    // the buffer would set the time again when it reaches the disk.
    QVERIFY(file.flush());
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-10), QFileDevice::FileModificationTime));
    file.close();

    g_log.clear();
    QCOMPARE(settings.getAppVersionCode(), 123456);
    QCOMPARE(settings.appVersionCode, 123456);
    QCOMPARE(settings.getPeriodCheckUpdate(), 77);
    QVERIFY(settings.getDownloadLink().startsWith(QStringLiteral("http://changed.example/x")));
    QCOMPARE(settings.getAppDir(), QStringLiteral("/srv/app"));
    QCOMPARE(settings.getDeviceId(), QStringLiteral("other"));
    QVERIFY(g_log.isEmpty());
}

void TestSettings::textWithCommasOrNonAsciiIsKept_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QByteArray>("onDisk");

    QTest::newRow("comma") << QByteArray("folder=/opt/my,app") << QStringLiteral("/opt/my,app")
                           << QByteArray("folder=/opt/my,app");
    QTest::newRow("comma and space") << QByteArray("folder=a, b") << QStringLiteral("a,b") << QByteArray("folder=a, b");
    QTest::newRow("raw utf-8") << QByteArray("folder=/opt/\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbb")
                               << QStringLiteral("/opt/\u043f\u0440\u0438\u043b")
                               << QByteArray("folder=/opt/\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbb");
    QTest::newRow("old escape") << QByteArray("folder=/opt/\\x43f") << QStringLiteral("/opt/\u043f")
                                << QByteArray("folder=/opt/\\x43f");
}

void TestSettings::textWithCommasOrNonAsciiIsKept()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, expected);
    QFETCH(QByteArray, onDisk);

    QString path;
    {
        UpdaterSettings complete;
        complete.init();
        path = complete.store.fileName();
    }
    // The value is typed by hand into the file, as a technician would.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray content = file.readAll();
    file.close();
    QVERIFY(content.contains("folder=C:/tovrel/app"));
    content.replace("folder=C:/tovrel/app", line);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    // Qt keeps a parsed copy of the file while its size and time stay the same; a hand edit of the
    // same length within the same millisecond would go unseen. Flushed first: the write still in
    // the buffer would set the time again when it reaches the disk.
    QVERIFY(file.flush());
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-10), QFileDevice::FileModificationTime));
    file.close();

    g_log.clear();
    UpdaterSettings settings;
    settings.read();
    QCOMPARE(settings.appFolder, expected);
    QCOMPARE(settings.getAppDir(), expected);
    QVERIFY2(g_log.isEmpty(), qPrintable(g_log.join(QLatin1Char('\n'))));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains(onDisk));
}

void TestSettings::keysOnlyFromTheSystemStore()
{
    const QString systemFile = m_env.path() + QStringLiteral("/system/tovrel/updater.conf");
    QVERIFY(QDir().mkpath(QFileInfo(systemFile).absolutePath()));
    const QByteArray system("[update]\npublickey=K1, K2\ncafile=/etc/tovrel/ca.pem\n");
    {
        QFile file(systemFile);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(system), qint64(system.size()));
    }
    {
        const auto user = SettingsStore::open(QStringLiteral("tovrel"), QStringLiteral("updater"));
        user->setValue(QStringLiteral("update/publickey"), QStringLiteral("USERKEY"));
        user->setValue(QStringLiteral("update/cafile"), QStringLiteral("/home/user/ca.pem"));
    }
    UpdaterSettings settings;
    settings.init();
    // An unquoted list reads as the text that was typed, joined at its commas.
    QCOMPARE(settings.publicKeys, QStringLiteral("K1,K2"));
    QCOMPARE(settings.caFile, QStringLiteral("/etc/tovrel/ca.pem"));
    settings.setAppVersionCode(5);
    QFile file(systemFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), system);
    QCOMPARE(storedValue(QStringLiteral("update/publickey")).toString(), QStringLiteral("USERKEY"));
    QVERIFY(QFile::remove(systemFile));
}

void TestSettings::systemFileDecidesSigning_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file; "/": a folder in its place
    QTest::addColumn<QString>("signing");    // "%1": the file's path
    QTest::addColumn<bool>("storeSpoiled");  // Qt's status of the user's store says it failed

    const QByteArray key1 = QByteArray(32, 'a').toBase64();
    QTest::newRow("no file") << QByteArray() << "off" << false;
    QTest::newRow("two keys, CA file") << "[update]\npublickey=" + key1 + ", " + QByteArray(32, 'b').toBase64()
            + "\ncafile=/etc/ca.pem\n" << "on, 2 keys, CA file" << false;
    QTest::newRow("folder in its place") << QByteArray("/") << "unknown, %1 cannot be read (a folder)" << true;
    QTest::newRow("unclosed section") << "[update\npublickey=" + key1 + "\n" << "unknown, %1 cannot be parsed" << true;
    // Qt's status calls them a format error, but every value is read.
    QTest::newRow("hash comments") << "# the fleet's key\n[update]\n  # signed only\npublickey=" + key1 + "\n"
                                   << "on, 1 key" << true;
}

void TestSettings::systemFileDecidesSigning()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, signing);
    QFETCH(bool, storeSpoiled);
    const QString systemFile = m_env.path() + QStringLiteral("/system/tovrel/updater.conf");
    QVERIFY(content == "/" ? QDir().mkpath(systemFile) : content.isEmpty() || TestFiles::write(systemFile, content));
    {
        UpdaterSettings settings;
        settings.init();
        QCOMPARE(settings.signing, QString(signing).replace(QLatin1String("%1"), systemFile));
        QCOMPARE(settings.channelValue(ControlKeys::keys[ControlKeys::Signing]).toString(), settings.signing);
        QVERIFY2(g_log.last().startsWith(QLatin1String("[Settings] ")
                                         + (signing.startsWith(QLatin1String("unknown")) ? systemFile
                                                                                          : QStringLiteral("signing: "))),
                 qPrintable(g_log.join(QLatin1Char('\n'))));
        // A write is judged by the user's file, whatever the system file did to the store's status.
        QCOMPARE(settings.store.status() != QSettings::NoError, storeSpoiled);
        QVERIFY(settings.storeVersionCode(9));
        QVERIFY(settings.refuseVersion(8));
    }
    QCOMPARE(storedValue(QStringLiteral("app/version")).toInt(), 9);
    QVERIFY(QFile::remove(systemFile) || QDir(systemFile).removeRecursively() || content.isEmpty());
}

void TestSettings::refusedVersions_data()
{
    QTest::addColumn<QByteArray>("line");      // as in the file, typed by hand or written by us
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("afterRefusing"); // the list once code is refused
    QTest::newRow("empty") << QByteArray("refused=") << 5 << false << "5";
    QTest::newRow("written list") << QByteArray("refused=\"2,5\"") << 5 << true << "2,5";
    QTest::newRow("hand-typed list") << QByteArray("refused=2, 5") << 5 << true << "2,5";
    QTest::newRow("a longer code is another") << QByteArray("refused=15") << 5 << false << "15,5";
    QTest::newRow("first of two") << QByteArray("refused=\"2,5\"") << 2 << true << "2,5";
}

void TestSettings::refusedVersions()
{
    QFETCH(QByteArray, line);
    QFETCH(int, code);
    QFETCH(bool, refused);
    QFETCH(QString, afterRefusing);
    QString path;
    {
        UpdaterSettings complete;
        complete.init();
        path = complete.store.fileName();
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray content = file.readAll();
    file.close();
    QVERIFY(content.contains("refused="));
    QList<QByteArray> lines = content.split('\n');
    for (QByteArray &each : lines) {
        if (each.startsWith("refused="))
            each = line;
    }
    content = lines.join('\n');
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-10), QFileDevice::FileModificationTime));
    file.close();

    UpdaterSettings settings;
    settings.read();
    QCOMPARE(settings.isRefused(code), refused);
    QVERIFY(settings.refuseVersion(code));
    QVERIFY(settings.refuseVersion(code));
    QCOMPARE(UpdaterSettings().isRefused(code), true);
    QCOMPARE(SettingsStore::text(*SettingsStore::open(QStringLiteral("tovrel"), QStringLiteral("updater")),
                                 QStringLiteral("app/refused")),
             afterRefusing);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
