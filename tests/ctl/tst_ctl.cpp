#include "../updater/testzip.h"
#include "childrun.h"
#include "controlclient.h"
#include "httptestserver.h"
#include "keycheck.h"
#include "probationrecord.h"
#include "controlkeys.h"
#include "settingsstore.h"
#include "sockethelpers.h"
#include "statusreport.h"
#include "testenvironment.h"
#include "testfiles.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSettings>
#include <QtTest>

#include <memory>

// tovrel-ctl as a technician runs it, against the real updater with a private store and socket name.

namespace {

struct CtlResult
{
    int code = -1;
    QString out;
    QString err;
};

// Runs tovrel-ctl and keeps this process's event loop turning, so that servers living in the test
// (HTTP, a mute socket) answer meanwhile.
CtlResult ctl(const TestEnvironment &env, const QStringList &arguments)
{
    QProcess process;
    process.setProcessEnvironment(env.processEnvironment());
    process.start(QStringLiteral(CTL_BIN), arguments);
    CtlResult result;
    if (!process.waitForStarted(5000)
        || !QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000)) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

void writeStore(const TestEnvironment &env, const QString &name, const QString &link)
{
    const auto store = SettingsStore::openFile(env.settingsFile(QStringLiteral("updater")));
    store->setValue(QStringLiteral("localserver/name"), name);
    store->setValue(QStringLiteral("update/link"), link);
    store->sync();
}

// The real updater listening under a name of its own.
struct Updater : ChildRun
{
    Updater(const TestEnvironment &env, const QString &name, const QString &link = QStringLiteral("http://127.0.0.1:9/update"))
        : ChildRun(env.processEnvironment())
    {
        writeStore(env, name, link);
        process.start(QStringLiteral(UPDATER_BIN), QStringList());
    }
};

}

class TestCtl : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void versionAndHelp();
    void updaterNotRunning();
    void staleSocketRefused();
    void silentServerTimesOut();
    void status();
    void setGetRoundTrip_data();
    void setGetRoundTrip();
    void refused_data();
    void refused();
    void olderUpdaterWithoutProgress();
    void checkAndProgress();
    void refusedActions();
    void installForce();
    void statusText_data();
    void statusText();
    void valueSource_data();
    void valueSource();
    void greetingLines_data();
    void greetingLines();
    void probationRecord_data();
    void probationRecord();
};

void TestCtl::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(QFileInfo(QStringLiteral(CTL_BIN)).isExecutable());
    QVERIFY(QFileInfo(QStringLiteral(UPDATER_BIN)).isExecutable());
}

void TestCtl::versionAndHelp()
{
    TestEnvironment env;
    CtlResult r = ctl(env, {QStringLiteral("--version")});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.startsWith(QStringLiteral("tovrel-ctl ")), qPrintable(r.out));
    r = ctl(env, {QStringLiteral("--help")});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.contains(QStringLiteral("install --force")));
    QVERIFY(r.out.contains(QStringLiteral("3 updater not running")));
    r = ctl(env, {QStringLiteral("frobnicate")});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains(QStringLiteral("unknown command")), qPrintable(r.err));
    // Reading where the updater listens must not create or change its store.
    QVERIFY(!QFileInfo::exists(env.settingsFile(QStringLiteral("updater"))));
}

void TestCtl::updaterNotRunning()
{
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    writeStore(env, name, QStringLiteral("http://127.0.0.1:9/update"));
    const QByteArray before = TestFiles::read(env.settingsFile(QStringLiteral("updater")));
    const CtlResult r = ctl(env, {QStringLiteral("status")});
    QCOMPARE(r.code, 3);
    QVERIFY2(r.err.contains(QStringLiteral("not running")) && r.err.contains(name), qPrintable(r.err));
    QCOMPARE(TestFiles::read(env.settingsFile(QStringLiteral("updater"))), before);
}

void TestCtl::staleSocketRefused()
{
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    writeStore(env, name, QStringLiteral("http://127.0.0.1:9/update"));
    const QString path = SocketHelpers::serverPath(name);
    QVERIFY(SocketHelpers::makeStaleSocket(path));
    const CtlResult r = ctl(env, {QStringLiteral("status")});
    QFile::remove(path);
    QCOMPARE(r.code, 4);
    QVERIFY2(r.err.contains(QStringLiteral("refused")), qPrintable(r.err));
}

void TestCtl::silentServerTimesOut()
{
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    writeStore(env, name, QStringLiteral("http://127.0.0.1:9/update"));
    QLocalServer mute;
    QVERIFY(mute.listen(SocketHelpers::serverPath(name)));
    QElapsedTimer clock;
    clock.start();
    const CtlResult r = ctl(env, {QStringLiteral("--timeout"), QStringLiteral("0.5"), QStringLiteral("status")});
    QCOMPARE(r.code, 6);
    QVERIFY2(r.err.contains(QStringLiteral("no answer")), qPrintable(r.err));
    QVERIFY(clock.elapsed() < 10000);
}

void TestCtl::status()
{
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    Updater updater(env, name);
    QVERIFY(updater.waitForLine(QStringLiteral("$UPDATER_SERVER_READY")));

    CtlResult r = ctl(env, {QStringLiteral("status")});
    QCOMPARE(r.code, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.size() >= 4, qPrintable(r.out));
    // No update information was ever fetched in this store: no fault, nothing checked yet.
    QCOMPARE(lines.at(0).simplified(), QStringLiteral("update state: init (no update information fetched yet)"));
    QCOMPARE(lines.at(1).simplified(), QStringLiteral("download state: (no check yet)"));
    QCOMPARE(lines.at(2).simplified(), QStringLiteral("installed version: 407"));
    QVERIFY(!r.out.contains(QStringLiteral("progress")));
    QVERIFY2(lines.contains(QStringLiteral("previous version:  none")), qPrintable(r.out));
    QVERIFY2(lines.contains(QStringLiteral("signing:           not required (no public key configured)")),
             qPrintable(r.out));
    QVERIFY2(!r.out.contains(QStringLiteral("last error:")), qPrintable(r.out));
    QVERIFY2(lines.contains(QStringLiteral("folder journal:    none")), qPrintable(r.out));

    r = ctl(env, {QStringLiteral("status"), QStringLiteral("--json")});
    QCOMPARE(r.code, 0);
    const QJsonObject object = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(object.value(QStringLiteral("state_update")).toString(), QStringLiteral("init"));
    QCOMPARE(object.value(QStringLiteral("last_error")).toString(), QString());
    QCOMPARE(object.value(QStringLiteral("rolled_back_version")).toInt(), 0);
    QCOMPARE(object.value(QStringLiteral("installed_version")).toInt(), 407);
    QCOMPARE(object.value(QStringLiteral("ready_version")).toInt(), 0);
    QVERIFY(object.value(QStringLiteral("progress")).isNull());
    QCOMPARE(object.value(QStringLiteral("period")).toInt(), 3600);
    QCOMPARE(object.value(QStringLiteral("signing")).toString(), QStringLiteral("off"));
}

void TestCtl::setGetRoundTrip_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("storeKey");
    QTest::newRow("number") << "period" << "120" << "update/period";
    QTest::newRow("zero") << "installed_version" << "0" << "app/version";
    QTest::newRow("flag") << "active_update" << "1" << "update/update";
    QTest::newRow("non-ASCII text") << "device_id" << QStringLiteral("киоск \"7\"") << "app/device_id";
}

void TestCtl::setGetRoundTrip()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, storeKey);
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    Updater updater(env, name);
    QVERIFY(updater.waitForLine(QStringLiteral("$UPDATER_SERVER_READY")));

    CtlResult r = ctl(env, {QStringLiteral("set"), key, value});
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QCOMPARE(r.out, key + QLatin1Char('=') + value + QLatin1Char('\n'));
    r = ctl(env, {QStringLiteral("get"), key, QStringLiteral("state_update")});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, key + QLatin1Char('=') + value + QStringLiteral("\nstate_update=init\n"));
    const auto store = SettingsStore::openFile(env.settingsFile(QStringLiteral("updater")));
    QCOMPARE(SettingsStore::text(*store, storeKey), value);
}

void TestCtl::refused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("get unknown") << QStringList{"get", "period", "nonsense"} << 5 << "unknown key \"nonsense\"";
    QTest::newRow("set unknown") << QStringList{"set", "update/period", "5"} << 5 << "unknown key";
    QTest::newRow("set state") << QStringList{"set", "state_update", "ready"} << 5 << "state_update is read-only";
    QTest::newRow("set progress") << QStringList{"set", "progress", "1"} << 5 << "progress is read-only";
    QTest::newRow("flag above 1") << QStringList{"set", "active_download", "2"} << 2 << "0 (off) or 1 (on)";
    QTest::newRow("not a number") << QStringList{"set", "period", "soon"} << 2 << "whole number";
    QTest::newRow("empty text") << QStringList{"set", "link", ""} << 2 << "no empty value";
    QTest::newRow("set without value") << QStringList{"set", "period"} << 2 << "a key and a value";
    QTest::newRow("source with set") << QStringList{"set", "--source", "period", "5"} << 2 << "with get only";
}

void TestCtl::refused()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, message);
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    Updater updater(env, name);
    QVERIFY(updater.waitForLine(QStringLiteral("$UPDATER_SERVER_READY")));

    CtlResult r = ctl(env, arguments);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
    r = ctl(env, {QStringLiteral("--json"), QStringLiteral("get"), QStringLiteral("period"), QStringLiteral("active_download"),
                  QStringLiteral("link")});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QStringLiteral("{\"active_download\":1,\"link\":\"http://127.0.0.1:9/update\",\"period\":3600}\n"));
}

void TestCtl::olderUpdaterWithoutProgress()
{
    // An updater started before an upgrade answers the keys it knows and stays silent on newer ones.
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    writeStore(env, name, QStringLiteral("http://127.0.0.1:9/update"));
    QLocalServer older;
    QVERIFY(older.listen(SocketHelpers::serverPath(name)));
    const QStringList known{"link", "period", "installed_version", "device_id", "active_download", "active_update",
                            "state_download", "state_update", "ready_version"};
    const QJsonObject values{{"link", "http://x/update"}, {"period", 60},          {"installed_version", 3},
                             {"device_id", "d"},           {"active_download", 1}, {"active_update", 0},
                             {"state_download", "ready"},  {"state_update", "not_required"}, {"ready_version", 3}};
    QList<QLocalSocket *> clients;
    connect(&older, &QLocalServer::newConnection, this, [&] {
        QLocalSocket *client = older.nextPendingConnection();
        clients << client;
        client->write("{\"state_update\":\"not_required\"}\n{\"state_download\":\"ready\"}\n");
        connect(client, &QLocalSocket::readyRead, client, [client, &known, &values] {
            while (client->canReadLine()) {
                const QJsonObject request = QJsonDocument::fromJson(client->readLine()).object();
                for (const QString &key : known) {
                    if (request.contains(key))
                        client->write(QJsonDocument(QJsonObject{{key, values.value(key)}}).toJson(QJsonDocument::Compact)
                                      + '\n');
                }
            }
        });
    });

    CtlResult r = ctl(env, {QStringLiteral("status")});
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QVERIFY2(r.out.startsWith(QStringLiteral("update state:      not_required\n")), qPrintable(r.out));
    QVERIFY(r.out.contains(QStringLiteral("offered version:   3\n")));
    r = ctl(env, {QStringLiteral("get"), QStringLiteral("progress")});
    QCOMPARE(r.code, 5);
    QVERIFY2(r.err.contains(QStringLiteral("does not know progress")), qPrintable(r.err));
    qDeleteAll(clients);
}

void TestCtl::checkAndProgress()
{
    HttpTestServer http;
    QVERIFY(http.listen());
    const QByteArray package = TestFiles::pseudoRandom(300 * 1024);
    HttpTestServer::Route route;
    route.body = package;
    // Qt reports a transfer's progress at most every 100 ms: slow chunks make every one count, and
    // the stall keeps the download running while the test looks.
    route.chunkSize = 8 * 1024;
    route.chunkDelayMs = 150;
    route.stallAfterBytes = 64 * 1024;
    route.stallMs = -1;
    http.setRoute("/update/pkg.zip", route);
    const QJsonObject info{{"windows", QJsonObject{{"version_code", 500}, {"file_name", "pkg.zip"},
                                                   {"hash", TestFiles::md5(package)},
                                                   {"link", http.url(QStringLiteral("/update/pkg.zip")).toString()}}}};
    http.serveData("/update/update.json", QJsonDocument(info).toJson());

    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    Updater updater(env, name, http.url(QStringLiteral("/update")).toString());
    QVERIFY(updater.waitForLine(QStringLiteral("$UPDATER_SERVER_READY")));

    QSignalSpy stalled(&http, &HttpTestServer::responseStalled);
    CtlResult r = ctl(env, {QStringLiteral("check")});
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QVERIFY(r.out.contains(QStringLiteral("check started")));
    QVERIFY(stalled.wait(20000));

    // The updater sees the bytes a little after the server has sent them.
    QVERIFY2(QTest::qWaitFor([&] {
        r = ctl(env, {QStringLiteral("status")});
        return r.out.contains(QStringLiteral("progress:          64.0 KiB received"));
    }, 20000), qPrintable(r.out + r.err + QString::fromUtf8(updater.output()).split(QLatin1Char('\n')).filter(QStringLiteral("Updater")).join(QLatin1Char('\n'))));
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.startsWith(QStringLiteral("update state:      downloading\ndownload state:    downloading\n"
                                             "installed version: 407\noffered version:   500\n")),
             qPrintable(r.out));
    r = ctl(env, {QStringLiteral("get"), QStringLiteral("progress")});
    QCOMPARE(r.out, QStringLiteral("progress=65536\n"));
    // A check now would start the running download over.
    r = ctl(env, {QStringLiteral("check")});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("a download is running")), qPrintable(r.err));
}

void TestCtl::refusedActions()
{
    TestEnvironment env;
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    Updater updater(env, name);
    QVERIFY(updater.waitForLine(QStringLiteral("$UPDATER_SERVER_READY")));

    CtlResult r = ctl(env, {QStringLiteral("install")});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("the launcher installs")), qPrintable(r.err));
    // Nothing is ready: the request is not sent, so the launcher never sees an "error" state.
    r = ctl(env, {QStringLiteral("install"), QStringLiteral("--force")});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("no update is ready")), qPrintable(r.err));
    QVERIFY(!updater.lines().contains(QStringLiteral("$UPDATING")));

    QCOMPARE(ctl(env, {QStringLiteral("set"), QStringLiteral("period"), QStringLiteral("0")}).code, 0);
    r = ctl(env, {QStringLiteral("check")});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("checks are switched off")), qPrintable(r.err));
}

void TestCtl::installForce()
{
    TestEnvironment env;
    const QString zip = env.path() + QStringLiteral("/pkg.zip");
    QCOMPARE(writeZip(zip, {ZipItem::file(QStringLiteral("version.txt"), "500\n")}), QString());
    HttpTestServer http;
    QVERIFY(http.listen());
    const QByteArray package = TestFiles::read(zip);
    http.serveData("/update/pkg.zip", package);
    const QJsonObject info{{"windows", QJsonObject{{"version_code", 500}, {"file_name", "pkg.zip"},
                                                   {"hash", TestFiles::md5(package)},
                                                   {"link", http.url(QStringLiteral("/update/pkg.zip")).toString()}}}};
    http.serveData("/update/update.json", QJsonDocument(info).toJson());
    const QString app = env.path() + QStringLiteral("/app");
    {
        const auto store = SettingsStore::openFile(env.settingsFile(QStringLiteral("updater")));
        store->setValue(QStringLiteral("app/folder"), app);
    }
    const QString name = TestEnvironment::uniqueSocketName(QStringLiteral("ctl"));
    Updater updater(env, name, http.url(QStringLiteral("/update")).toString());
    QVERIFY(updater.waitForLine(QStringLiteral("$UPDATER_SERVER_READY")));
    QCOMPARE(ctl(env, {QStringLiteral("check")}).code, 0);
    QVERIFY(QTest::qWaitFor([&] { return updater.lines().contains(QStringLiteral("$UPDATE_READY")); }, 20000));

    const CtlResult r = ctl(env, {QStringLiteral("install"), QStringLiteral("--force")});
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QCOMPARE(r.out, QStringLiteral("installing...\ninstalled version 500\n"));
    QCOMPARE(TestFiles::read(app + QStringLiteral("/version.txt")), QByteArray("500\n"));
}

void TestCtl::statusText_data()
{
    QTest::addColumn<QString>("stateDownload");
    QTest::addColumn<QString>("progress");
    QTest::addColumn<QString>("progressLine");
    QTest::addColumn<QString>("journalError");
    QTest::addColumn<QString>("journalLine");
    // Further values (a JSON object) and the line they must give; empty: none.
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<QString>("extraLine");
    QTest::newRow("running") << "downloading" << "1572864" << "progress:          1.5 MiB received" << "" << "none"
                             << QByteArray("{}") << "";
    QTest::newRow("small") << "downloading" << "512" << "progress:          512 bytes received" << "" << "none"
                           << QByteArray("{}") << "";
    QTest::newRow("above 2 GiB") << "downloading" << "3221225472" << "progress:          3.0 GiB received" << ""
                                 << "none" << QByteArray("{}") << "";
    QTest::newRow("state left after a failure") << "downloading" << "" << "" << "" << "none" << QByteArray("{}") << "";
    QTest::newRow("finished") << "ready" << "" << "" << "" << "none" << QByteArray("{}") << "";
    QTest::newRow("journal pending")
        << "ready" << "" << "" << "cannot put back /app/a: No space left on device"
        << "pending, the updater tries again at every check: cannot put back /app/a: No space left on device"
        << QByteArray("{}") << "";
    QTest::newRow("last error with its time")
        << "error" << "" << "" << "" << "none"
        << QByteArray(R"({"last_error":"update information not fetched: SSL handshake failed",)"
                      R"("last_error_time":"2026-12-08T07:31:02+01:00"})")
        << "last error:        2026-12-08T07:31:02+01:00 update information not fetched: SSL handshake failed";
    QTest::newRow("signing off") << "ready" << "" << "" << "" << "none" << QByteArray(R"({"signing":"off"})")
                                 << "signing:           not required (no public key configured)";
    QTest::newRow("signing on") << "ready" << "" << "" << "" << "none"
                                << QByteArray(R"({"signing":"on, 2 keys, CA file"})")
                                << "signing:           required (2 keys, CA file)";
    QTest::newRow("signing on without a usable key")
        << "ready" << "" << "" << "" << "none" << QByteArray(R"({"signing":"on, no usable key: bad base64"})")
        << "signing:           required, but no usable key: bad base64: nothing is installed";
    QTest::newRow("signing unknown")
        << "ready" << "" << "" << "" << "none"
        << QByteArray(R"({"signing":"unknown, /etc/xdg/tovrel/updater.conf cannot be parsed"})")
        << "signing:           unknown, /etc/xdg/tovrel/updater.conf cannot be parsed: nothing is installed";
    QTest::newRow("on probation")
        << "ready" << "" << "" << "" << "none"
        << QByteArray(R"({"state_probation":"kept","probation_seconds":412,"probation_needed_seconds":600,)"
                      R"("probation_failures":1,"probation_failures_allowed":3})")
        << "probation:         412 of 600 s passed, failures 1 of 3";
    QTest::newRow("rolled back") << "ready" << "" << "" << "" << "none"
                                 << QByteArray(R"({"state_probation":"none","rolled_back_version":4})")
                                 << "rolled back:       version 4 rolled back and refused on this device";
    QTest::newRow("nothing rolled back") << "ready" << "" << "" << "" << "none"
                                         << QByteArray(R"({"rolled_back_version":0})") << "";
    // The packaged link: no server configured.
    QTest::newRow("no update server")
        << "notactive" << "" << "" << "" << "none" << QByteArray(R"({"link":"None"})")
        << "update server:     none configured (link is \"None\"): no check runs until update/link names one";
}

void TestCtl::statusText()
{
    QFETCH(QString, stateDownload);
    QFETCH(QString, progress);
    QFETCH(QString, progressLine);
    QFETCH(QString, journalError);
    QFETCH(QString, journalLine);
    QFETCH(QByteArray, extra);
    QFETCH(QString, extraLine);
    QJsonObject values{{"state_update", "downloading"}, {"state_download", stateDownload},
                       {"installed_version", 7},        {"ready_version", 8},
                       {"progress", progress},
                       {"state_journal", journalError.isEmpty() ? "none" : "pending"},
                       {"journal_error", journalError}};
    const QJsonObject more = QJsonDocument::fromJson(extra).object();
    for (auto it = more.constBegin(); it != more.constEnd(); ++it)
        values.insert(it.key(), it.value());
    const QString text = StatusReport::text(values);
    QVERIFY(text.startsWith(QStringLiteral("update state:      downloading\n")));
    QCOMPARE(text.contains(QStringLiteral("progress")), !progressLine.isEmpty());
    if (!progressLine.isEmpty())
        QVERIFY2(text.contains(progressLine + QLatin1Char('\n')), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("folder journal:    ") + journalLine + QLatin1Char('\n')), qPrintable(text));
    if (!extraLine.isEmpty())
        QVERIFY2(text.contains(extraLine + QLatin1Char('\n')), qPrintable(text));
    for (const char *label : {"last error:", "probation:", "rolled back:", "signing:", "update server:"}) {
        if (!extraLine.startsWith(QLatin1String(label)))
            QVERIFY2(!text.contains(QLatin1String(label)), qPrintable(text));
    }
    const QJsonValue json = StatusReport::json(values).value(QStringLiteral("progress"));
    QCOMPARE(json.isNull(), progressLine.isEmpty());
    if (!progressLine.isEmpty())
        QCOMPARE(qint64(json.toDouble()), progress.toLongLong());
}

void TestCtl::valueSource_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("system");
    QTest::addColumn<QString>("source");
    QTest::newRow("user file") << "period" << QByteArray("[update]\nperiod=60\n") << QByteArray() << "user file USER";
    QTest::newRow("user file over system file")
        << "link" << QByteArray("[update]\nlink=http://a/update\n") << QByteArray("[update]\nlink=none\n")
        << "user file USER, overrides the system file SYSTEM";
    QTest::newRow("system file") << "link" << QByteArray("[update]\nperiod=60\n")
                                 << QByteArray("[update]\nlink=none\n") << "system file SYSTEM";
    QTest::newRow("built-in default") << "device_id" << QByteArray("[update]\nlink=x\n")
                                      << QByteArray("[update]\nlink=none\n") << "built-in default";
    QTest::newRow("running state") << "state_update" << QByteArray() << QByteArray() << "the updater's running state";
}

void TestCtl::valueSource()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, system);
    QFETCH(QString, source);
    QTemporaryDir dir;
    const QString userPath = dir.filePath(QStringLiteral("user.conf"));
    const QString systemPath = dir.filePath(QStringLiteral("system.conf"));
    QVERIFY(TestFiles::write(userPath, user));
    QVERIFY(TestFiles::write(systemPath, system));
    const auto userStore = SettingsStore::openFile(userPath);
    const auto systemStore = SettingsStore::openFile(systemPath);
    const ControlKeys::Key *found = KeyCheck::find(key);
    QVERIFY(found);
    source.replace(QStringLiteral("USER"), userPath).replace(QStringLiteral("SYSTEM"), systemPath);
    QCOMPARE(KeyCheck::source(*found, *userStore, *systemStore), source);
}

void TestCtl::greetingLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("greeting");
    QTest::newRow("first") << QByteArray(R"({"state_update":"ready"})") << 0 << true;
    QTest::newRow("probation is the third") << QByteArray(R"({"state_probation":"kept"})") << 2 << true;
    QTest::newRow("out of order") << QByteArray(R"({"state_probation":"kept"})") << 1 << false;
    QTest::newRow("past the list") << QByteArray(R"({"state_update":"ready"})") << ControlKeys::GreetingLines << false;
    QTest::newRow("a reply after an older updater's shorter greeting") << QByteArray(R"({"link":"x"})") << 2 << false;
}

// What the client takes for the greeting and passes over: every line the list names, in its order.
void TestCtl::greetingLines()
{
    QFETCH(QByteArray, line);
    QFETCH(int, index);
    QFETCH(bool, greeting);
    QCOMPARE(ControlClient::isGreetingLine(QJsonDocument::fromJson(line).object(), index), greeting);
}

void TestCtl::probationRecord_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<qint64>("msSinceWritten");
    QTest::addColumn<int>("passed");
    QTest::addColumn<int>("failures");
    const QByteArray between = R"({"version":4,"failures":1,"run_ms":412000,"passed":false,"running":false})";
    QTest::newRow("between runs") << between << qint64(99000) << 412 << 1;
    QTest::newRow("a run going on adds its time")
        << QByteArray(R"({"version":4,"failures":2,"run_ms":100000,"passed":false,"running":true})") << qint64(30500)
        << 130 << 2;
    QTest::newRow("never more than needed")
        << QByteArray(R"({"version":4,"failures":0,"run_ms":500000,"passed":false,"running":true})")
        << qint64(200000) << 600 << 0;
    QTest::newRow("passed") << QByteArray(R"({"version":4,"failures":0,"run_ms":0,"passed":true,"running":false})")
                            << qint64(0) << 600 << 0;
    QTest::newRow("record of the version before: not begun")
        << QByteArray(R"({"version":3,"failures":2,"run_ms":412000,"passed":false,"running":true})") << qint64(5000)
        << 0 << 0;
    QTest::newRow("no record") << QByteArray() << qint64(0) << 0 << 0;
    QTest::newRow("damaged") << QByteArray(R"({"version":4,"failures":-7,"run_ms":1e300})") << qint64(0) << 0 << 0;
    QTest::newRow("clock set back") << between << qint64(-50000) << 412 << 1;
}

// The launcher's count as status shows it for version 4, 600 s needed, 3 failures allowed.
void TestCtl::probationRecord()
{
    QFETCH(QByteArray, record);
    QFETCH(qint64, msSinceWritten);
    QFETCH(int, passed);
    QFETCH(int, failures);
    const QJsonObject values = ProbationRecord::values(record, 4, msSinceWritten, 600, 3);
    QCOMPARE(values.value(QLatin1String(ProbationRecord::PassedSeconds)).toInt(), passed);
    QCOMPARE(values.value(QLatin1String(ProbationRecord::NeededSeconds)).toInt(), 600);
    QCOMPARE(values.value(QLatin1String(ProbationRecord::Failures)).toInt(), failures);
    QCOMPARE(values.value(QLatin1String(ProbationRecord::FailuresAllowed)).toInt(), 3);
}

QTEST_GUILESS_MAIN(TestCtl)
#include "tst_ctl.moc"
