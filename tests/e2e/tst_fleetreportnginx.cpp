#include "childrun.h"
#include "nginxserver.h"
#include "sockethelpers.h"
#include "testenvironment.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
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

int runTool(const QStringList &args, QByteArray *output)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(PUBLISH_BIN), args);
    if (!tool.waitForFinished(60000))
        return -1;
    *output = tool.readAll();
    return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

bool stop(ChildRun &run)
{
    run.process.terminate();
    return run.process.waitForFinished(10000);
}

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
    QVERIFY(device.env.writeSettings(QStringLiteral("updater"),
                                     {{QStringLiteral("app/folder"), app}, {QStringLiteral("app/version"), 100},
                                      {QStringLiteral("app/device_id"), device.id}, {QStringLiteral("update/key"), QStringLiteral("linux")},
                                      {QStringLiteral("update/link"), m_nginx->url(QStringLiteral("/update")).toString()},
                                      {QStringLiteral("update/period"), 3600},
                                      {QStringLiteral("update/directory"), m_tmp.filePath(device.id + QStringLiteral("/work"))},
                                      {QStringLiteral("localserver/name"), device.socketName},
                                      // The report below counts the package's requests.
                                      {QStringLiteral("update/delta"), 0}}));

    // Download, then install: the device runs 200 with 100's files kept for a return.
    {
        ChildRun run(device.env.processEnvironment());
        run.start(QStringLiteral(UPDATER_BIN), {QStringLiteral("--download"), QStringLiteral("1")});
        QVERIFY2(run.waitForLine(QStringLiteral("$UPDATE_READY"), 20000), run.output().constData());
        QVERIFY(stop(run));
    }
    ChildRun run(device.env.processEnvironment());
    run.start(QStringLiteral(UPDATER_BIN), {QStringLiteral("--update"), QStringLiteral("1")});
    QVERIFY2(run.process.waitForFinished(20000), run.output().constData());
    QCOMPARE(run.process.exitCode(), 0);
    QCOMPARE(TestFiles::read(app + QStringLiteral("/tovrel.exe")), QByteArray("200"));
}

void TestFleetReportNginx::reportShowsRollback()
{
    const QString source = m_tmp.filePath(QStringLiteral("v200"));
    QVERIFY(TestFiles::write(source + QStringLiteral("/tovrel.exe"), "200"));
    const QString info = m_tmp.filePath(QStringLiteral("www/update/update.json"));
    QByteArray output;
    QCOMPARE(runTool({QStringLiteral("--source"), source, QStringLiteral("--version-code"), QStringLiteral("200"),
                      QStringLiteral("--key"), QStringLiteral("linux"), QStringLiteral("--base-url"),
                      m_nginx->url(QStringLiteral("/update")).toString(), QStringLiteral("--output"),
                      m_tmp.filePath(QStringLiteral("www/update"))},
                     &output),
             0);

    m_a.id = QStringLiteral("kiosk-a");
    m_b.id = QStringLiteral("kiosk-b");
    prepare(m_a);
    prepare(m_b);

    // kiosk-a goes back to 100 and asks again; its request names the refused version.
    {
        ChildRun run(m_a.env.processEnvironment());
        run.start(QStringLiteral(UPDATER_BIN));
        QVERIFY2(run.waitForLine(QStringLiteral("$UPDATER_SERVER_READY"), 20000), run.output().constData());
        QLocalSocket control;
        control.connectToServer(SocketHelpers::serverPath(m_a.socketName));
        QVERIFY(control.waitForConnected(5000));
        control.write("{\"action\":\"rollback\"}\n");
        QVERIFY(QTest::qWaitFor([&] { return run.output().contains("rolled back to version code: 100"); }, 20000));
        const int before = m_nginx->accessLog().size();
        control.write("{\"action\":\"download_update\"}\n");
        QVERIFY2(QTest::qWaitFor([&] { return m_nginx->accessLog().size() > before; }, 20000), run.output().constData());
        control.disconnectFromServer();
        QVERIFY(stop(run));
    }
    QCOMPARE(TestFiles::read(m_tmp.filePath(QStringLiteral("kiosk-a/app/tovrel.exe"))), QByteArray("100"));
    // kiosk-b asks once more, on 200.
    {
        const int before = m_nginx->accessLog().size();
        ChildRun run(m_b.env.processEnvironment());
        run.start(QStringLiteral(UPDATER_BIN), {QStringLiteral("--download"), QStringLiteral("1")});
        QVERIFY2(QTest::qWaitFor([&] { return m_nginx->accessLog().size() > before; }, 20000), run.output().constData());
        QVERIFY(stop(run));
    }

    const QStringList log = m_nginx->accessLog();
    qInfo().noquote() << log.join(QLatin1Char('\n'));
    const QString logFile = m_tmp.filePath(QStringLiteral("tovrel.log"));
    QVERIFY(TestFiles::write(logFile, log.join(QLatin1Char('\n')).toUtf8() + '\n'));
    const QString json = m_tmp.filePath(QStringLiteral("report.json"));
    const QString html = m_tmp.filePath(QStringLiteral("report.html"));
    QCOMPARE(runTool({QStringLiteral("report"), QStringLiteral("--log"), logFile, QStringLiteral("--info"), info,
                      QStringLiteral("--html"), html, QStringLiteral("--json"), json},
                     &output),
             0);
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
