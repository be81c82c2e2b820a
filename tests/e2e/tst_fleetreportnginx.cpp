#include "deviceconfig.h"
#include "nginxserver.h"
#include "processhelpers.h"
#include "sockethelpers.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "updaterrun.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

// Two real updaters take version 200 from a real nginx that logs in the documented format; one
// of them returns to version 100 (asked over its control channel, as the launcher does after
// failed starts). The fleet report from that access log shows both.

namespace {

const char *const LogFormat = "$time_iso8601 $http_x_tovrel_device $http_x_tovrel_version $http_x_tovrel_state "
                              "\"$request\" $status $body_bytes_sent $remote_addr $http_x_tovrel_probation "
                              "$http_x_tovrel_refused";

struct Device
{
    QString id;
    QString socketName;
    TestEnvironment env;
};

} // namespace

class TestFleetReportNginx : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void reportShowsRollback();

private:
    void prepare(Device &device);

    QTemporaryDir m_tmp;
    QScopedPointer<NginxServer> m_nginx;
    Device m_a, m_b;
};

void TestFleetReportNginx::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    QVERIFY(m_tmp.isValid());
    QVERIFY(QDir().mkpath(m_tmp.filePath(QStringLiteral("www/update"))));
    m_nginx.reset(new NginxServer(m_tmp.filePath(QStringLiteral("www"))));
    m_nginx->setLogFormat(QLatin1String(LogFormat));
    QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorString()));
}

void TestFleetReportNginx::cleanupTestCase()
{
    for (const Device *d : {&m_a, &m_b}) {
        if (!d->socketName.isEmpty())
            QLocalServer::removeServer(d->socketName);
    }
    m_nginx.reset();
}

void TestFleetReportNginx::prepare(Device &device)
{
    const QString app = m_tmp.filePath(device.id + QStringLiteral("/app"));
    QVERIFY(TestFiles::write(app + QStringLiteral("/tovrel.exe"), "100"));
    device.socketName = TestEnvironment::uniqueSocketName(QStringLiteral("e2e-report"));
    QVariantMap keys = DeviceConfig::updaterKeys(app, m_tmp.filePath(device.id + QStringLiteral("/work")),
                                                 m_nginx->url(QStringLiteral("/update")).toString(), QStringLiteral("linux"),
                                                 device.socketName);
    keys.insert(QStringLiteral("app/version"), 100);
    keys.insert(QStringLiteral("app/device_id"), device.id);
    // The report below counts the package's requests.
    keys.insert(QStringLiteral("update/delta"), 0);
    QVERIFY(DeviceConfig(device.env).write(DeviceConfig::Updater, keys));

    // Download, then install: the device runs 200 with 100's files kept for a return.
    {
        UpdaterRun run(device.env.processEnvironment(), {QStringLiteral("--download"), QStringLiteral("1")});
        QVERIFY2(run.waitForLine(QStringLiteral("$UPDATE_READY"), 20000), run.output().constData());
        QVERIFY(run.terminate());
    }
    UpdaterRun run(device.env.processEnvironment(), {QStringLiteral("--update"), QStringLiteral("1")});
    QVERIFY2(run.process.waitForFinished(20000), run.output().constData());
    QCOMPARE(run.process.exitCode(), 0);
    QCOMPARE(TestFiles::read(app + QStringLiteral("/tovrel.exe")), QByteArray("200"));
}

void TestFleetReportNginx::reportShowsRollback()
{
    const QString source = m_tmp.filePath(QStringLiteral("v200"));
    QVERIFY(TestFiles::write(source + QStringLiteral("/tovrel.exe"), "200"));
    const QString info = m_tmp.filePath(QStringLiteral("www/update/update.json"));
    ProcessHelpers::ToolRun tool = ProcessHelpers::runTool(
        QStringLiteral(PUBLISH_BIN), {QStringLiteral("--source"), source, QStringLiteral("--version-code"), QStringLiteral("200"),
                                      QStringLiteral("--key"), QStringLiteral("linux"), QStringLiteral("--base-url"),
                                      m_nginx->url(QStringLiteral("/update")).toString(), QStringLiteral("--output"),
                                      m_tmp.filePath(QStringLiteral("www/update"))});
    QVERIFY2(tool.ok(), tool.err.constData());

    m_a.id = QStringLiteral("kiosk-a");
    m_b.id = QStringLiteral("kiosk-b");
    prepare(m_a);
    prepare(m_b);

    // kiosk-a goes back to 100 and asks again; its request names the refused version.
    {
        UpdaterRun run(m_a.env.processEnvironment());
        QVERIFY2(run.waitUntilReady(), run.output().constData());
        QLocalSocket control;
        QVERIFY(SocketHelpers::connectTo(control, m_a.socketName));
        control.write("{\"action\":\"rollback\"}\n");
        QVERIFY(QTest::qWaitFor([&] { return run.output().contains("rolled back to version code: 100"); }, 20000));
        const int before = m_nginx->accessLog().size();
        control.write("{\"action\":\"download_update\"}\n");
        QVERIFY2(QTest::qWaitFor([&] { return m_nginx->accessLog().size() > before; }, 20000), run.output().constData());
        control.disconnectFromServer();
        QVERIFY(run.terminate());
    }
    QCOMPARE(TestFiles::read(m_tmp.filePath(QStringLiteral("kiosk-a/app/tovrel.exe"))), QByteArray("100"));
    // kiosk-b asks once more, on 200.
    {
        const int before = m_nginx->accessLog().size();
        UpdaterRun run(m_b.env.processEnvironment(), {QStringLiteral("--download"), QStringLiteral("1")});
        QVERIFY2(QTest::qWaitFor([&] { return m_nginx->accessLog().size() > before; }, 20000), run.output().constData());
        QVERIFY(run.terminate());
    }

    const QStringList log = m_nginx->accessLog();
    qInfo().noquote() << log.join(QLatin1Char('\n'));
    const QString logFile = m_tmp.filePath(QStringLiteral("tovrel.log"));
    QVERIFY(TestFiles::write(logFile, log.join(QLatin1Char('\n')).toUtf8() + '\n'));
    const QString json = m_tmp.filePath(QStringLiteral("report.json"));
    const QString html = m_tmp.filePath(QStringLiteral("report.html"));
    tool = ProcessHelpers::runTool(QStringLiteral(PUBLISH_BIN), {QStringLiteral("report"), QStringLiteral("--log"), logFile,
                                                                 QStringLiteral("--info"), info, QStringLiteral("--html"), html,
                                                                 QStringLiteral("--json"), json});
    QVERIFY2(tool.ok(), tool.err.constData());
    const QJsonObject facts = QJsonDocument::fromJson(TestFiles::read(json)).object();
    const QString context = log.join(QLatin1Char('\n')) + QLatin1Char('\n') + QString::fromUtf8(TestFiles::read(json));
    QVERIFY2(facts.value(QStringLiteral("log")).toObject().value(QStringLiteral("malformed")).toInt() == 0, qPrintable(context));
    QCOMPARE(facts.value(QStringLiteral("devices")).toInt(), 2);
    QCOMPARE(facts.value(QStringLiteral("versions")).toArray(),
             QJsonArray({QJsonObject{{"version", 200}, {"devices", 1}, {"share", 0.5}},
                         QJsonObject{{"version", 100}, {"devices", 1}, {"share", 0.5}}}));
    const QJsonArray rolledBack = facts.value(QStringLiteral("rolled_back")).toArray();
    QCOMPARE(rolledBack.size(), 1);
    QJsonObject a = rolledBack.first().toObject();
    QVERIFY(a.take(QStringLiteral("last_seen")).isString());
    QCOMPARE(a, (QJsonObject{{"device", m_a.id}, {"probation", "rolled_back"}, {"refused", QJsonArray{200}}, {"version", 100}}));
    const QJsonArray rollout = facts.value(QStringLiteral("rollout")).toArray();
    QCOMPARE(rollout.size(), 1);
    QCOMPARE(rollout.first().toObject().value(QStringLiteral("took")).toInt(), 1);
    const QJsonArray served = facts.value(QStringLiteral("served")).toArray();
    QVERIFY2(std::any_of(served.begin(), served.end(), [](const QJsonValue &s) {
                 return s.toObject().value(QStringLiteral("version")).toInt() == 200
                     && s.toObject().value(QStringLiteral("requests")).toInt() == 2;
             }), qPrintable(context));
    QVERIFY(facts.value(QStringLiteral("silent")).toArray().isEmpty());
    QVERIFY(TestFiles::read(html).contains("<td>kiosk-a</td><td>200</td><td>100</td><td>rolled_back</td>"));
}

QTEST_GUILESS_MAIN(TestFleetReportNginx)

#include "tst_fleetreportnginx.moc"
