#include "childrun.h"
#include "deviceconfig.h"
#include "nginxserver.h"
#include "processhelpers.h"
#include "sockethelpers.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "updateinfobuilder.h"
#include "updaterrun.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// The real updater against real nginx with signing switched on in the system-wide store: what a
// device with a key takes and what it refuses, and https with a fleet's own CA.

namespace {

const QString platform = QStringLiteral("linux");

bool run(const QString &program, const QStringList &arguments)
{
    const ProcessHelpers::ToolRun result = ProcessHelpers::runTool(program, arguments);
    if (!result.ok())
        qWarning("%s %s: %s", qPrintable(program), qPrintable(arguments.join(QLatin1Char(' '))), (result.out + result.err).constData());
    return result.ok();
}

enum Change { Unchanged, PackageSwapped, VersionRaised, DevicesWidened, ForeignSignature, Expired };

} // namespace

Q_DECLARE_METATYPE(Change)

class TestSignedUpdate : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void signedUpdates_data();
    void signedUpdates();
    void httpsWithPrivateCa_data();
    void httpsWithPrivateCa();
    void unreadableSystemFileFailsClosed();

private:
    bool makeCertificates();
    // Serves the entry and the package under www/<folder>; returns the update link.
    QString serve(const NginxServer &server, const QString &folder, QJsonObject entry, const QByteArray &package);
    // One updater run with automatic installation until the check's outcome: the update state, or
    // "network error" when the update information could not be fetched.
    QString runUpdater(const QString &link, const QByteArray &systemStore, const QString &userKeys, int *installed,
                       QByteArray *log);

    QTemporaryDir m_dir;
    QString m_www;
    QString m_ourKey;
    QString m_ourPem;
    QString m_foreignKey;
    QString m_foreignPem;
    QJsonObject m_entry;
    QByteArray m_package;
    std::unique_ptr<NginxServer> m_http;
};

void TestSignedUpdate::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_dir.isValid());
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed (scripts/deps.sh installs it)");
    const QString keys = m_dir.path() + QStringLiteral("/keys");
    for (const QString &owner : {QStringLiteral("ours"), QStringLiteral("foreign")})
        QVERIFY(run(QStringLiteral(PUBLISH_BIN), {QStringLiteral("keygen"), QStringLiteral("--out"), keys + QLatin1Char('/') + owner}));
    m_ourPem = keys + QStringLiteral("/ours/update-signing.pem");
    m_ourKey = QString::fromLatin1(TestFiles::read(keys + QStringLiteral("/ours/update-signing.pub")).trimmed());
    m_foreignPem = keys + QStringLiteral("/foreign/update-signing.pem");
    m_foreignKey = QString::fromLatin1(TestFiles::read(keys + QStringLiteral("/foreign/update-signing.pub")).trimmed());
    QCOMPARE(m_ourKey.size(), 44);

    const QString release = m_dir.path() + QStringLiteral("/release");
    QVERIFY(TestFiles::write(release + QStringLiteral("/tovrel.exe"), "#!/bin/sh\necho version 2\n"));
    const QString published = m_dir.path() + QStringLiteral("/published");
    QVERIFY(run(QStringLiteral(PUBLISH_BIN),
                {QStringLiteral("--source"), release, QStringLiteral("--version-code"), QStringLiteral("2"),
                 QStringLiteral("--key"), platform, QStringLiteral("--base-url"), QStringLiteral("http://unused/update"),
                 QStringLiteral("--output"), published, QStringLiteral("--sign-key"), m_ourPem}));
    m_entry = QJsonDocument::fromJson(TestFiles::read(published + QStringLiteral("/update.json"))).object()
                  .value(platform).toObject();
    QVERIFY(m_entry.contains(QStringLiteral("signature")));
    m_package = TestFiles::read(published + QLatin1Char('/') + m_entry.value(QStringLiteral("file_name")).toString());
    QVERIFY(!m_package.isEmpty());

    m_www = m_dir.path() + QStringLiteral("/www");
    QVERIFY(QDir().mkpath(m_www));
    m_http.reset(new NginxServer(m_www));
    QVERIFY2(m_http->start(), qPrintable(m_http->errorString()));
}

QString TestSignedUpdate::serve(const NginxServer &server, const QString &folder, QJsonObject entry,
                                const QByteArray &package)
{
    const QString fileName = entry.value(QStringLiteral("file_name")).toString();
    entry.insert(QStringLiteral("link"), server.url(QLatin1Char('/') + folder + QLatin1Char('/') + fileName).toString());
    const QJsonObject info{{platform, entry}};
    const QString path = m_www + QLatin1Char('/') + folder;
    if (!TestFiles::write(path + QStringLiteral("/update.json"), QJsonDocument(info).toJson())
        || !TestFiles::write(path + QLatin1Char('/') + fileName, package))
        return QString();
    return server.url(QLatin1Char('/') + folder).toString();
}

QString TestSignedUpdate::runUpdater(const QString &link, const QByteArray &systemStore, const QString &userKeys,
                                     int *installed, QByteArray *log)
{
    TestEnvironment env;
    const QString app = env.path() + QStringLiteral("/app");
    TestFiles::write(app + QStringLiteral("/tovrel.exe"), "#!/bin/sh\necho version 1\n");
    const DeviceConfig config(env);
    if (!systemStore.isEmpty())
        TestFiles::write(config.file(DeviceConfig::Updater, DeviceConfig::System), systemStore);
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("signed"));
    QVariantMap keys{{QStringLiteral("localserver/name"), name},
                     {QStringLiteral("update/link"), link},
                     {QStringLiteral("update/key"), platform},
                     {QStringLiteral("app/version"), 1},
                     {QStringLiteral("app/folder"), app},
                     {QStringLiteral("app/device_id"), QStringLiteral("kiosk-1")},
                     {QStringLiteral("update/update"), 1}};
    if (!userKeys.isEmpty())
        keys.insert(QStringLiteral("update/publickey"), userKeys);
    config.write(DeviceConfig::Updater, keys);
    UpdaterRun updater(env.processEnvironment(), {QStringLiteral("--download"), QStringLiteral("1")});
    QString outcome;
    if (updater.waitUntilReady()) {
        QLocalSocket client;
        SocketHelpers::connectTo(client, name);
        QByteArray received;
        // Before the check the state tells of the update information of an earlier run (none here).
        const QStringList ends{QStringLiteral("error_info"), QStringLiteral("error_hash"), QStringLiteral("updated"),
                               QStringLiteral("not_required"), QStringLiteral("error")};
        const bool ended = QTest::qWaitFor(
            [&] {
                received += client.readAll();
                const int checking = received.indexOf("{\"state_download\":\"downloading\"}");
                if (checking < 0)
                    return false;
                for (const QByteArray &line : received.mid(checking).split('\n')) {
                    const QJsonObject message = QJsonDocument::fromJson(line).object();
                    const QString state = message.value(QStringLiteral("state_update")).toString();
                    // A refused and an unfetched information give the same state; the reason the
                    // updater logs before it tells them apart.
                    if (state == QLatin1String("error_info")) {
                        const QByteArray output = updater.output();
                        if (output.contains("check failed: update information not fetched"))
                            outcome = QStringLiteral("network error");
                        else if (output.contains("check failed: update information refused"))
                            outcome = state;
                        return !outcome.isEmpty();
                    }
                    if (ends.contains(state)) {
                        outcome = state;
                        return true;
                    }
                }
                return false;
            },
            60000);
        if (!ended)
            outcome = QStringLiteral("no outcome: ") + QString::fromUtf8(received);
        if (client.state() == QLocalSocket::ConnectedState) {
            client.write("{\"action\":\"quit\"}\n");
            client.flush();
        }
    }
    if (!updater.process.waitForFinished(15000))
        outcome += QStringLiteral(" (updater did not end)");
    *log = updater.output();
    *installed = TestFiles::read(app + QStringLiteral("/tovrel.exe")).contains("version 2")
        ? config.value(DeviceConfig::Updater, QStringLiteral("app/version")).toInt()
        : 0;
    return outcome;
}

void TestSignedUpdate::signedUpdates_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<QString>("systemKeys"); // written unquoted, as a hand edit would
    QTest::addColumn<bool>("foreignKeyInUserStore");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("installed");
    QTest::addColumn<QString>("logged");

    const QString ours = QStringLiteral("OURS");
    const QString refused = QStringLiteral("update information refused: ");
    QTest::newRow("signed") << Unchanged << ours << false << "updated" << 2 << QStringLiteral("signature ok, key 1 of 1");
    QTest::newRow("two keys, a comma list") << Unchanged << QStringLiteral("FOREIGN,OURS") << false << "updated" << 2
                                            << QStringLiteral("signature ok, key 2 of 2");
    QTest::newRow("package swapped") << PackageSwapped << ours << false << "error_hash" << 0
                                     << QStringLiteral("SHA-256 check failed");
    QTest::newRow("version code raised") << VersionRaised << ours << false << "error_info" << 0
                                         << refused + QStringLiteral("no key matches");
    QTest::newRow("devices widened") << DevicesWidened << ours << false << "error_info" << 0
                                     << refused + QStringLiteral("no key matches");
    QTest::newRow("signed by a key not ours") << ForeignSignature << ours << false << "error_info" << 0
                                              << refused + QStringLiteral("no key matches");
    QTest::newRow("expired") << Expired << ours << false << "error_info" << 0 << refused + QStringLiteral("expired");
    // Without a key nothing of the signature counts, the raised version code included.
    QTest::newRow("no key") << VersionRaised << QString() << false << "updated" << 3 << QString();
    QTest::newRow("key in the user's store ignored") << Unchanged << QString() << true << "updated" << 2 << QString();
}

void TestSignedUpdate::signedUpdates()
{
    QFETCH(Change, change);
    QFETCH(QString, systemKeys);
    QFETCH(bool, foreignKeyInUserStore);
    QFETCH(QString, outcome);
    QFETCH(int, installed);
    QFETCH(QString, logged);

    QJsonObject entry = m_entry;
    QByteArray package = m_package;
    switch (change) {
    case Unchanged:
        break;
    case PackageSwapped:
        // Same length, other bytes, and an MD5 that fits them: only the signed SHA-256 can tell.
        package[package.size() - 30] = char(package.at(package.size() - 30) ^ 0x5a);
        entry.insert(QStringLiteral("hash"), TestFiles::md5(package));
        break;
    case VersionRaised:
        entry.insert(QStringLiteral("version_code"), 3);
        break;
    case DevicesWidened:
        entry.insert(QStringLiteral("devices_id"), QJsonArray{QStringLiteral("kiosk-9")});
        QVERIFY(UpdateInfoBuilder::sign(platform, &entry, TestFiles::read(m_ourPem)));
        entry.insert(QStringLiteral("devices_id"), QJsonArray{QStringLiteral("kiosk-9"), QStringLiteral("kiosk-1")});
        break;
    case ForeignSignature:
        QVERIFY(UpdateInfoBuilder::sign(platform, &entry, TestFiles::read(m_foreignPem)));
        break;
    case Expired:
        entry.insert(QStringLiteral("expires"), QStringLiteral("2020-01-01T00:00:00Z"));
        QVERIFY(UpdateInfoBuilder::sign(platform, &entry, TestFiles::read(m_ourPem)));
        break;
    }
    const QString link = serve(*m_http, QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'))
                                            .remove(QLatin1Char(',')).remove(QLatin1Char('\'')),
                               entry, package);
    QVERIFY(!link.isEmpty());

    QByteArray system;
    if (!systemKeys.isEmpty()) {
        systemKeys.replace(QStringLiteral("OURS"), m_ourKey).replace(QStringLiteral("FOREIGN"), m_foreignKey);
        system = "[update]\npublickey=" + systemKeys.toLatin1() + '\n';
    }
    int installedVersion = -1;
    QByteArray log;
    const QString result = runUpdater(link, system, foreignKeyInUserStore ? m_foreignKey : QString(), &installedVersion, &log);
    QVERIFY2(result == outcome, log.constData());
    QCOMPARE(installedVersion, installed);
    if (!logged.isEmpty())
        QVERIFY2(log.contains(logged.toUtf8()), log.constData());
}

bool TestSignedUpdate::makeCertificates()
{
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty())
        return false;
    const QString tls = m_dir.path() + QStringLiteral("/tls/");
    QDir().mkpath(tls);
    const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    for (const QString &ca : {QStringLiteral("ca"), QStringLiteral("other-ca")}) {
        if (!run(openssl, QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec
                              + QStringList{QStringLiteral("-keyout"), tls + ca + QStringLiteral(".key"),
                                            QStringLiteral("-out"), tls + ca + QStringLiteral(".pem"),
                                            QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                                            QStringLiteral("/CN=Fleet ") + ca, QStringLiteral("-addext"),
                                            QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                                            QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")}))
            return false;
    }
    TestFiles::write(tls + QStringLiteral("server.ext"), "subjectAltName=IP:127.0.0.1\n");
    return run(openssl, QStringList{QStringLiteral("req")} + ec
                            + QStringList{QStringLiteral("-keyout"), tls + QStringLiteral("server.key"), QStringLiteral("-out"),
                                          tls + QStringLiteral("server.csr"), QStringLiteral("-subj"),
                                          QStringLiteral("/CN=127.0.0.1")})
        && run(openssl, {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), tls + QStringLiteral("server.csr"),
                         QStringLiteral("-CA"), tls + QStringLiteral("ca.pem"), QStringLiteral("-CAkey"),
                         tls + QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                         tls + QStringLiteral("server.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                         QStringLiteral("-extfile"), tls + QStringLiteral("server.ext")});
}

void TestSignedUpdate::httpsWithPrivateCa_data()
{
    QTest::addColumn<QString>("caFile");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("installed");

    QTest::newRow("server certificate from the configured CA") << "ca.pem" << "updated" << 2;
    QTest::newRow("server certificate from another CA") << "other-ca.pem" << "network error" << 0;
}

void TestSignedUpdate::httpsWithPrivateCa()
{
    QFETCH(QString, caFile);
    QFETCH(QString, outcome);
    QFETCH(int, installed);

    const QString tls = m_dir.path() + QStringLiteral("/tls/");
    if (!QFile::exists(tls + QStringLiteral("server.pem")))
        QVERIFY2(makeCertificates(), "openssl could not make the certificates");
    NginxServer https(m_www);
    https.setTls(tls + QStringLiteral("server.pem"), tls + QStringLiteral("server.key"));
    QVERIFY2(https.start(), qPrintable(https.errorString()));
    const QString link = serve(https, QStringLiteral("tls"), m_entry, m_package);
    QVERIFY(link.startsWith(QLatin1String("https://")));

    const QByteArray system = "[update]\npublickey=" + m_ourKey.toLatin1() + "\ncafile=" + (tls + caFile).toUtf8() + '\n';
    int installedVersion = -1;
    QByteArray log;
    const QString result = runUpdater(link, system, QString(), &installedVersion, &log);
    QVERIFY2(result == outcome, log.constData());
    QCOMPARE(installedVersion, installed);
}

// Tests run as root, which reads a root-owned 0600 file, so the updater runs as a device's
// unprivileged user. Qt then reads the keys as empty and keeps an access error in its store's status
// for good: no unsigned package may be installed, and once the file is readable a signed one must be,
// its version stored (judged by the user's own file) and no journal left.
void TestSignedUpdate::unreadableSystemFileFailsClosed()
{
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() != 0 || setpriv.isEmpty())
        QSKIP("needs root and setpriv (util-linux) to run the updater as another user");
    // The updater's private socket folder is the session's runtime folder where one exists.
    const bool madeRuntime = ::mkdir("/run/user/65534", 0700) == 0 && ::chown("/run/user/65534", 65534, 65534) == 0;
    const auto removeRuntime = qScopeGuard([&] { if (madeRuntime) QDir(QStringLiteral("/run/user/65534")).removeRecursively(); });

    TestEnvironment env;
    const QString app = env.path() + QStringLiteral("/app");
    QVERIFY(TestFiles::write(app + QStringLiteral("/tovrel.exe"), "#!/bin/sh\necho version 1\n"));
    QVERIFY(QDir().mkpath(env.homePath()) && QDir().mkpath(env.cachePath()));
    QJsonObject unsignedEntry = m_entry;
    unsignedEntry.remove(QStringLiteral("signature"));
    const QString link = serve(*m_http, QStringLiteral("unreadable"), unsignedEntry, m_package);
    const DeviceConfig config(env);
    QVERIFY(config.write(DeviceConfig::Updater,
                         {{QStringLiteral("localserver/name"), TestEnvironment::uniqueSocketName(QStringLiteral("unreadable"))},
                          {QStringLiteral("update/link"), link},
                          {QStringLiteral("update/key"), platform},
                          {QStringLiteral("update/period"), 2},
                          {QStringLiteral("update/update"), 1},
                          {QStringLiteral("app/version"), 1},
                          {QStringLiteral("app/folder"), app}}));
    QCOMPARE(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("65534:65534"), env.path()}), 0);
    const QString systemFile = config.file(DeviceConfig::Updater, DeviceConfig::System);
    QVERIFY(TestFiles::write(systemFile, "[update]\npublickey=" + m_ourKey.toLatin1() + '\n'));
    QVERIFY(QFile::setPermissions(systemFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    ChildRun updater(env.processEnvironment());
    updater.start(setpriv, {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                    QStringLiteral("--clear-groups"), QStringLiteral(UPDATER_BIN),
                                    QStringLiteral("--download"), QStringLiteral("1")});
    QVERIFY2(QTest::qWaitFor([&] { return updater.output().contains("error dowloading update info"); }, 60000),
             updater.output().constData());
    for (const char *who : {"[Settings] ", "[FileManager] "})
        QVERIFY2(updater.output().contains("[Critical] " + QByteArray(who) + systemFile.toUtf8()
                                           + " cannot be read (Permission denied)"),
                 updater.output().constData());
    QVERIFY(TestFiles::read(app + QStringLiteral("/tovrel.exe")).contains("version 1"));

    // Readable again, and a signed entry on the server: the next check takes it.
    QCOMPARE(serve(*m_http, QStringLiteral("unreadable"), m_entry, m_package), link);
    QVERIFY(QFile::setPermissions(systemFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
    QVERIFY2(updater.waitForLine(QStringLiteral("$UPDATED"), 60000), updater.output().constData());
    QVERIFY2(updater.process.waitForFinished(15000), "the updater did not end after the installation");
    QVERIFY(TestFiles::read(app + QStringLiteral("/tovrel.exe")).contains("version 2"));
    QCOMPARE(config.value(DeviceConfig::Updater, QStringLiteral("app/version")).toInt(), 2);
    QVERIFY2(!QFile::exists(app + QStringLiteral("/.update-journal")), updater.output().constData());
}

QTEST_MAIN(TestSignedUpdate)
#include "tst_signedupdate.moc"
