#include "deviceconfig.h"
#include "nginxserver.h"
#include "processhelpers.h"
#include "sockethelpers.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "updaterrun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// A bad version on a device nobody stands next to: the real launcher, updater and message window
// with a real nginx. Version 2 crashes at every start; after two failures the device is back on
// version 1, never fetches version 2 again, and takes version 3, which passes its probation.

namespace {

const QString RolledBackText = QStringLiteral("Обновление отменено, восстановлена предыдущая версия приложения.");

QString versionOf(const QJsonObject &record)
{
    return record.value(QStringLiteral("version")).toString().trimmed();
}

// Requests for a file in nginx's access log.
int packageFetches(const NginxServer &nginx, const QString &fileName)
{
    return nginx.accessLog().filter(QStringLiteral("GET /") + fileName).size();
}

} // namespace

class TestRollback : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void crashingVersionIsRolledBackAndNeverTakenAgain();

private:
    bool publish(const QString &source, int versionCode);
    bool askForCheck();

    std::unique_ptr<NginxServer> nginx;
    QLocalSocket control;
    QString www;
    QString serverName;
};

bool TestRollback::publish(const QString &source, int versionCode)
{
    const ProcessHelpers::ToolRun run = ProcessHelpers::runTool(
        QStringLiteral(PUBLISH_BIN), {QStringLiteral("--source"), source, QStringLiteral("--version-code"), QString::number(versionCode),
                                      QStringLiteral("--key"), QStringLiteral("linux-rollback"), QStringLiteral("--base-url"),
                                      nginx->url(QString()).toString(), QStringLiteral("--output"), www},
        30000);
    if (!run.ok())
        qWarning("%s", run.err.constData());
    return run.ok();
}

// Asks the running updater for a check now instead of after its first period. The connection
// stays open: a client that leaves at once may take its request with it.
bool TestRollback::askForCheck()
{
    if (!SocketHelpers::connectTo(control, serverName, 30000))
        return false;
    control.write("{\"action\":\"download_update\"}\n");
    return control.waitForBytesWritten(5000);
}

void TestRollback::crashingVersionIsRolledBackAndNeverTakenAgain()
{
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    TestEnvironment env;
    QTemporaryDir root;
    QVERIFY(env.isValid() && root.isValid());
    // For a look at the logs after a failure.
    root.setAutoRemove(qEnvironmentVariableIsEmpty("TOVREL_KEEP_TEST_FOLDER"));
    const QString appDir = root.filePath(QStringLiteral("app"));
    const QString records = root.filePath(QStringLiteral("records"));
    www = root.filePath(QStringLiteral("www"));
    serverName = TestEnvironment::uniqueSocketName(QStringLiteral("rollback"));
    QVERIFY(QDir().mkpath(www));

    // Version 1 ends by itself now and then (so that an update can be installed); version 2
    // crashes a second after each start; version 3 runs until the launcher ends.
    const auto version = [&](const QString &folder, const QStringList &options, const QString &code) {
        return !ProcessHelpers::installStandin(QStringLiteral(STANDIN_BIN), folder, QStringLiteral("app"),
                                               options + QStringList{QStringLiteral("--record"), records}, code)
                    .isEmpty();
    };
    QVERIFY(version(appDir, {QStringLiteral("--alive"), QStringLiteral("5"), QStringLiteral("--exit-after"),
                             QStringLiteral("6")}, QStringLiteral("1")));
    QVERIFY(TestFiles::write(appDir + QStringLiteral("/data/user.ini"), "kept by every version\n"));
    const QString v2Dir = root.filePath(QStringLiteral("v2"));
    QVERIFY(version(v2Dir, {QStringLiteral("--crash-after"), QStringLiteral("1")}, QStringLiteral("2")));
    QVERIFY(TestFiles::write(v2Dir + QStringLiteral("/plugins/new.so"), "only in version 2\n"));
    const QString v3Dir = root.filePath(QStringLiteral("v3"));
    QVERIFY(version(v3Dir, {QStringLiteral("--alive"), QStringLiteral("5")}, QStringLiteral("3")));

    nginx = std::make_unique<NginxServer>(www);
    QVERIFY2(nginx->start(), qPrintable(nginx->errorString()));
    QVERIFY(publish(v2Dir, 2));

    const DeviceConfig config(env);
    QVariantMap updaterKeys = DeviceConfig::updaterKeys(appDir, root.filePath(QStringLiteral("work")), nginx->url(QString()).toString(),
                                                        QStringLiteral("linux-rollback"), serverName);
    updaterKeys.insert(QStringLiteral("app/device_id"), QStringLiteral("rollback-device"));
    updaterKeys.insert(QStringLiteral("update/jitter"), 0);
    // The package's fetches are counted below: the road through file objects stays closed.
    updaterKeys.insert(QStringLiteral("update/delta"), 0);
    QVERIFY(config.write(DeviceConfig::Updater, updaterKeys));
    QVariantMap launcherKeys = DeviceConfig::launcherKeys(appDir, QStringLiteral("app"), root.filePath(QStringLiteral("log")), serverName);
    launcherKeys.insert(QStringLiteral("probation/time"), 10);
    launcherKeys.insert(QStringLiteral("probation/failures"), 2);
    QVERIFY(config.write(DeviceConfig::Launcher, launcherKeys));

    QProcessEnvironment zenv = env.processEnvironment();
    zenv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    zenv.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    const QString zorvanOut = root.filePath(QStringLiteral("zorvan.out"));
    QProcess zorvan;
    zorvan.setProcessEnvironment(zenv);
    zorvan.setStandardOutputFile(zorvanOut, QIODevice::Append);
    zorvan.setStandardErrorFile(QProcess::nullDevice());
    // The launcher's lines about the road, not every settings read.
    const auto diagnostics = [&] {
        QStringList lines;
        for (const QString &line : TestFiles::tail(zorvanOut, 1 << 22).split(QLatin1Char('\n'))) {
            if (!line.contains(QLatin1String("[Settings]")) && !line.contains(QLatin1String("socketState"))
                && !line.contains(QLatin1String("[Debug]")))
                lines << line.left(300);
        }
        return (QStringLiteral("--- zorvan\n") + lines.join(QLatin1Char('\n')).right(12000)).toLocal8Bit();
    };
    const auto stop = [&zorvan] {
        if (zorvan.state() == QProcess::NotRunning)
            return true;
        zorvan.terminate();
        if (zorvan.waitForFinished(30000))
            return true;
        zorvan.kill();
        zorvan.waitForFinished(5000);
        return false;
    };
    const auto stopAtEnd = qScopeGuard(stop);
    const auto recordsOf = [&](const QString &code) {
        int count = 0;
        for (const QJsonObject &record : ProcessHelpers::readRecords(records))
            count += versionOf(record) == code ? 1 : 0;
        return count;
    };
    const auto storedVersion = [&] { return config.value(DeviceConfig::Updater, QStringLiteral("app/version")).toInt(); };
    const auto fileText = [](const QString &path) { return TestFiles::read(path).trimmed(); };

    zorvan.start(QStringLiteral(ZORVAN_BIN), QStringList());
    QVERIFY(zorvan.waitForStarted(5000));
    QVERIFY2(ProcessHelpers::waitForRecords(records, 1, 40000), diagnostics().constData());
    QVERIFY(askForCheck());

    // Version 2 is installed when version 1 ends, and fails twice.
    QVERIFY2(QTest::qWaitFor([&] { return recordsOf(QStringLiteral("2")) >= 1; }, 120000), diagnostics().constData());
    QElapsedTimer sinceFirstFailure;
    sinceFirstFailure.start();
    const int v1RunsBefore = recordsOf(QStringLiteral("1"));
    bool windowSaidSo = false;
    QVERIFY2(QTest::qWaitFor([&] {
        for (qint64 child : ProcessHelpers::childrenOf(zorvan.processId()))
            windowSaidSo = windowSaidSo || ProcessHelpers::commandLineOf(child).join(QLatin1Char(' ')).contains(RolledBackText);
        return recordsOf(QStringLiteral("1")) > v1RunsBefore;
    }, 150000), diagnostics().constData());
    const qint64 rollbackMs = sinceFirstFailure.elapsed();
    qInfo("version 2's first start -> version 1 running again: %lld ms", rollbackMs);
    QCOMPARE(recordsOf(QStringLiteral("2")), 2);
    QCOMPARE(storedVersion(), 1);
    QCOMPARE(config.value(DeviceConfig::Updater, QStringLiteral("app/refused")).toString(),
             QStringLiteral("2"));
    QCOMPARE(fileText(appDir + QStringLiteral("/version.txt")), QByteArray("1"));
    QVERIFY(!QFile::exists(appDir + QStringLiteral("/plugins/new.so")));
    QCOMPARE(fileText(appDir + QStringLiteral("/data/user.ini")), QByteArray("kept by every version"));
    QVERIFY(!QFile::exists(appDir + QStringLiteral("/.update-kept")));
    QVERIFY(!QFile::exists(appDir + QStringLiteral("/.update-journal")));
    QVERIFY2(windowSaidSo, "no message window said that the update was undone");
    QCOMPARE(packageFetches(*nginx, QStringLiteral("linux-rollback-2.zip")), 1);

    // A fresh updater process with version 2 still offered does not take it.
    control.abort();
    QVERIFY(stop());
    {
        UpdaterRun fresh(env.processEnvironment(), {QStringLiteral("--download"), QStringLiteral("1")});
        const int infoBefore = packageFetches(*nginx, QStringLiteral("update.json"));
        QVERIFY2(QTest::qWaitFor([&] { return packageFetches(*nginx, QStringLiteral("update.json")) > infoBefore; }, 20000),
                 fresh.output().right(6000).constData());
        QTest::qWait(1000);
        QVERIFY(fresh.terminate());
        QVERIFY2(fresh.output().contains("version 2 was rolled back"), fresh.output().right(6000).constData());
    }
    QCOMPARE(packageFetches(*nginx, QStringLiteral("linux-rollback-2.zip")), 1);

    // Version 3 is taken as usual and passes its probation; the kept files go.
    QVERIFY(publish(v3Dir, 3));
    zorvan.start(QStringLiteral(ZORVAN_BIN), QStringList());
    QVERIFY(zorvan.waitForStarted(5000));
    const int v1Runs = recordsOf(QStringLiteral("1"));
    QVERIFY2(QTest::qWaitFor([&] { return recordsOf(QStringLiteral("1")) > v1Runs; }, 40000), diagnostics().constData());
    QVERIFY(askForCheck());
    QVERIFY2(QTest::qWaitFor([&] { return recordsOf(QStringLiteral("3")) >= 1; }, 120000), diagnostics().constData());
    QCOMPARE(storedVersion(), 3);
    QVERIFY(QFile::exists(appDir + QStringLiteral("/.update-kept")));
    // The record goes first, then the kept files; the list of the files version 3 brought stays.
    QVERIFY2(QTest::qWaitFor([&] {
        return QDir(appDir).entryList({QStringLiteral(".update-*")}, QDir::AllEntries | QDir::Hidden)
               == QStringList{QStringLiteral(".update-files")};
    }, 60000), diagnostics().constData());
    QCOMPARE(recordsOf(QStringLiteral("3")), 1);
    QCOMPARE(fileText(appDir + QStringLiteral("/version.txt")), QByteArray("3"));
    QVERIFY(stop());
}

QTEST_GUILESS_MAIN(TestRollback)
#include "tst_rollback.moc"
