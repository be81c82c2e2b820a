#include "deltamanifest.h"
#include "deviceconfig.h"
#include "nginxserver.h"
#include "processhelpers.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "updaterrun.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The real updater and publisher against real nginx on the road that moves only what changed:
// version 1 from the package, 2 by objects, 3 by a patch, 4 through the package when an object is
// missing; and, signed, an altered manifest or object is never installed.

namespace {

const QString platform = QStringLiteral("linux");

// The publishing tool run to its end; its output is shown when it fails.
bool publishTool(const QStringList &arguments)
{
    const ProcessHelpers::ToolRun tool = ProcessHelpers::runTool(QStringLiteral(PUBLISH_BIN), arguments, 120000);
    if (!tool.ok())
        qWarning("%s%s", tool.out.constData(), tool.err.constData());
    return tool.ok();
}

// The tree as a version gives it: the installer's own files (all named ".update...") left out.
QMap<QString, QByteArray> versionTree(const QString &root)
{
    QMap<QString, QByteArray> tree = TestFiles::tree(root);
    for (const QString &name : tree.keys()) {
        if (name.startsWith(QLatin1String(".update")))
            tree.remove(name);
    }
    return tree;
}

const auto sha = &TestFiles::sha256;

QString objectOf(const QByteArray &content)
{
    return DeltaManifest::objectPath(sha(content));
}

} // namespace

class TestDeltaRoad : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    // Each test's server, folders and settings replace the previous test's.
    void init();
    void releases();
    void signedRoad_data();
    void signedRoad();

private:
    // Writes version `code` (a whole tree) and publishes it with the extra arguments.
    bool publish(int code, const QMap<QString, QByteArray> &files, const QStringList &extra = {});
    // One updater run with automatic installation; ends when it installed (and left) or failed.
    QByteArray runUpdater();
    // True when an updater run installed version `code` exactly as published; its output when not.
    bool installs(int code, QByteArray *log = nullptr);
    // Requests the server logged since the last call.
    QStringList newRequests();

    QTemporaryDir m_keys;
    QString m_key;
    QScopedPointer<QTemporaryDir> m_tmp;
    QScopedPointer<TestEnvironment> m_env;
    QScopedPointer<NginxServer> m_nginx;
    QString m_app;
    QString m_www;
    int m_logSeen = 0;
};

void TestDeltaRoad::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed (scripts/deps.sh installs it)");
    QVERIFY(publishTool({QStringLiteral("keygen"), QStringLiteral("--out"), m_keys.path()}));
    m_key = QString::fromLatin1(TestFiles::read(m_keys.filePath(QStringLiteral("update-signing.pub"))).trimmed());
    QVERIFY(!m_key.isEmpty());
}

void TestDeltaRoad::init()
{
    m_nginx.reset();
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_env.reset(new TestEnvironment);
    QVERIFY(m_env->isValid());
    m_app = m_tmp->filePath(QStringLiteral("app"));
    m_www = m_tmp->filePath(QStringLiteral("www"));
    QVERIFY(QDir().mkpath(m_www + QStringLiteral("/update")));
    m_nginx.reset(new NginxServer(m_www));
    QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorString()));
    m_logSeen = 0;
    QVariantMap keys = DeviceConfig::updaterKeys(m_app, m_tmp->filePath(QStringLiteral("work")),
                                                 m_nginx->url(QStringLiteral("/update")).toString(), platform,
                                                 TestEnvironment::uniqueSocketName(QStringLiteral("delta")));
    keys.insert(QStringLiteral("app/version"), 0);
    keys.insert(QStringLiteral("update/update"), 1);
    QVERIFY(DeviceConfig(*m_env).write(DeviceConfig::Updater, keys));
}

bool TestDeltaRoad::publish(int code, const QMap<QString, QByteArray> &files, const QStringList &extra)
{
    const QString source = m_tmp->filePath(QStringLiteral("v%1").arg(code));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const bool program = it.key() == QLatin1String("bin/app");
        if (!TestFiles::write(source + QLatin1Char('/') + it.key(), it.value(), program ? QFile::ExeOwner : QFile::Permissions()))
            return false;
    }
    return publishTool(QStringList{QStringLiteral("--source"), source, QStringLiteral("--version-code"), QString::number(code),
                                   QStringLiteral("--key"), platform, QStringLiteral("--base-url"),
                                   m_nginx->url(QStringLiteral("/update")).toString(), QStringLiteral("--output"),
                                   m_www + QStringLiteral("/update")}
                       + extra);
}

QByteArray TestDeltaRoad::runUpdater()
{
    UpdaterRun updater(m_env->processEnvironment(), {QStringLiteral("--download"), QStringLiteral("1")});
    // An installation ends the process; a failed check or installation leaves it waiting.
    const bool ended = QTest::qWaitFor(
        [&] { return updater.process.state() == QProcess::NotRunning || updater.output().contains("check failed")
                 || updater.output().contains("$ERR_UPDATED"); }, 120000);
    if (!ended || updater.process.state() != QProcess::NotRunning) {
        updater.process.terminate();
        updater.process.waitForFinished(10000);
    }
    return updater.output();
}

bool TestDeltaRoad::installs(int code, QByteArray *log)
{
    const QByteArray output = runUpdater();
    if (log)
        *log = output;
    const bool ok = output.contains("$UPDATED")
        && versionTree(m_app) == versionTree(m_tmp->filePath(QStringLiteral("v%1").arg(code)));
    if (!ok)
        qWarning("%s", output.constData());
    return ok;
}

QStringList TestDeltaRoad::newRequests()
{
    const QStringList log = m_nginx->accessLog();
    const QStringList fresh = log.mid(m_logSeen);
    m_logSeen = log.size();
    return fresh;
}

void TestDeltaRoad::releases()
{
    const QByteArray big = TestFiles::pseudoRandom(2 * 1024 * 1024, 5);
    QMap<QString, QByteArray> v1{{QStringLiteral("bin/app"), big}, {QStringLiteral("lib/a.txt"), "a1"},
                                 {QStringLiteral("share/old.txt"), "old"}, {QStringLiteral("share/same.txt"), "same"}};
    // Version 1 has no objects: the device takes its package.
    QVERIFY(publish(1, v1, {QStringLiteral("--no-objects")}));
    QVERIFY(installs(1));
    QVERIFY(newRequests().filter(QStringLiteral("GET /update/linux-1.zip")).size() == 1);
    const quint64 appInode = TestFiles::inode(m_app + QStringLiteral("/bin/app"));

    // Version 2 by objects: the two changed or added files, nothing of the rest.
    QMap<QString, QByteArray> v2 = v1;
    v2.remove(QStringLiteral("share/old.txt"));
    v2[QStringLiteral("lib/a.txt")] = "a2";
    v2[QStringLiteral("share/new.txt")] = "new";
    QVERIFY(publish(2, v2));
    QVERIFY(installs(2));
    QStringList requests = newRequests();
    QVERIFY2(requests.filter(QStringLiteral(".zip")).isEmpty(), qPrintable(requests.join('\n')));
    QCOMPARE(requests.filter(QStringLiteral("GET /update/manifests/linux-2.json HTTP/1.1 200")).size(), 1);
    QStringList objects = requests.filter(QStringLiteral("GET /update/objects/"));
    QCOMPARE(objects.size(), 2);
    QCOMPARE(objects.filter(objectOf("a2")).size() + objects.filter(objectOf("new")).size(), 2);
    // The unchanged file stayed where it was, and the kept generation holds none of it.
    QCOMPARE(TestFiles::inode(m_app + QStringLiteral("/bin/app")), appInode);
    QDirIterator kept(m_app, {QStringLiteral("app")}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    QVERIFY(kept.hasNext() && kept.next() == m_app + QStringLiteral("/bin/app") && !kept.hasNext());

    // Version 3 changes a few bytes of the large file: a patch from version 2 moves it.
    QMap<QString, QByteArray> v3 = v2;
    v3[QStringLiteral("bin/app")].replace(1024 * 1024, 16, QByteArray(16, 'p'));
    QVERIFY(publish(3, v3));
    QVERIFY(installs(3));
    requests = newRequests();
    QCOMPARE(requests.filter(QStringLiteral("GET /update/") + DeltaManifest::patchPath(sha(big), sha(v3.value(QStringLiteral("bin/app"))))).size(), 1);
    QVERIFY2(requests.filter(QStringLiteral("/objects/")).isEmpty() && requests.filter(QStringLiteral(".zip")).isEmpty(),
             qPrintable(requests.join('\n')));
    QVERIFY(QFileInfo(m_app + QStringLiteral("/bin/app")).isExecutable());

    // Version 4 with its one new object gone from the server: the package brings it.
    QMap<QString, QByteArray> v4 = v3;
    v4[QStringLiteral("lib/a.txt")] = "a4";
    QVERIFY(publish(4, v4));
    QVERIFY(QFile::remove(m_www + QStringLiteral("/update/") + objectOf("a4")));
    QByteArray log;
    QVERIFY(installs(4, &log));
    QVERIFY(log.contains("falling back to the package"));
    requests = newRequests();
    QCOMPARE(requests.filter(objectOf("a4") + QStringLiteral(" HTTP/1.1 404")).size(), 1);
    QCOMPARE(requests.filter(QStringLiteral("GET /update/linux-4.zip")).size(), 1);
    QCOMPARE(DeviceConfig(*m_env).value(DeviceConfig::Updater, QStringLiteral("app/version")).toInt(), 4);
}

void TestDeltaRoad::signedRoad_data()
{
    QTest::addColumn<QString>("altered");
    QTest::addColumn<bool>("installed");
    QTest::newRow("manifest") << "manifest" << true;
    QTest::newRow("object") << "object" << true;
    QTest::newRow("object and package") << "object package" << false;
}

// Whatever is altered on the server, the device installs only what the signature vouches for.
void TestDeltaRoad::signedRoad()
{
    QFETCH(QString, altered);
    QFETCH(bool, installed);
    QVERIFY(DeviceConfig(*m_env).write(DeviceConfig::Updater, {{QStringLiteral("update/publickey"), m_key}}, DeviceConfig::System));
    const QStringList sign{QStringLiteral("--sign-key"), m_keys.filePath(QStringLiteral("update-signing.pem"))};
    const QMap<QString, QByteArray> v1{{QStringLiteral("bin/app"), "app 1"}, {QStringLiteral("lib/a.txt"), "a1"}};
    QVERIFY(publish(1, v1, sign));
    QVERIFY(installs(1));
    QVERIFY(publish(2, {{QStringLiteral("bin/app"), "app 2"}, {QStringLiteral("lib/a.txt"), "a2"}}, sign));
    newRequests();

    const QString update = m_www + QStringLiteral("/update/");
    const QString manifest = update + QStringLiteral("manifests/linux-2.json");
    if (altered.contains(QLatin1String("manifest")))
        QVERIFY(TestFiles::write(manifest, TestFiles::read(manifest).replace("\"lib/a.txt\"", "\"lib/b.txt\"")));
    if (altered.contains(QLatin1String("object"))) {
        // Another valid object of the same size in its place.
        QVERIFY(QFile::remove(update + objectOf("a2")));
        QVERIFY(QFile::copy(update + objectOf("a1"), update + objectOf("a2")));
    }
    if (altered.contains(QLatin1String("package"))) {
        QFile package(update + QStringLiteral("linux-2.zip"));
        QVERIFY(package.open(QIODevice::ReadWrite) && package.seek(package.size() / 2) && package.write("x") == 1);
    }
    const QByteArray log = runUpdater();
    QVERIFY2(log.contains("[DeltaUpdate] failed:"), log.constData());
    QVERIFY(log.contains("falling back to the package"));
    QCOMPARE(log.contains("$UPDATED"), installed);
    QCOMPARE(versionTree(m_app), versionTree(m_tmp->filePath(installed ? QStringLiteral("v2") : QStringLiteral("v1"))));
    // The package fails its signed digests too.
    if (!installed)
        QVERIFY2(log.contains("check failed: package not fetched: Integrity check failed"), log.constData());
}

QTEST_GUILESS_MAIN(TestDeltaRoad)
#include "tst_deltaroad.moc"
