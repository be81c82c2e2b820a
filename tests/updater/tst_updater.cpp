#include "deltamanifest.h"
#include "deltaupdate.h"
#include "downloadfile.h"
#include "installjournal.h"
#include "filemanager.h"
#include "httptestserver.h"
#include "updatersettings.h"
#include "testenvironment.h"
#include "testfiles.h"
#include "testzip.h"
#include "updater.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <zstd.h>

#include <cstdio>
#include <limits>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Sends this process's standard output into a file, so that the console tokens written through
// Utils::outsn can be read back. Everything captured is echoed to the real output at the end, test
// failure messages included.
class StdoutCapture
{
public:
    explicit StdoutCapture(const QString &path)
        : m_path(path)
    {
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        const int fd = ::open(QFile::encodeName(path).constData(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StdoutCapture()
    {
        std::fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
        QFile f(m_path);
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray all = f.readAll();
            std::fwrite(all.constData(), 1, size_t(all.size()), stdout);
            std::fflush(stdout);
        }
    }
    QStringList tokens() const
    {
        std::fflush(stdout);
        QFile f(m_path);
        QStringList result;
        if (!f.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith('$'))
                result << QString::fromLatin1(line.trimmed());
        }
        return result;
    }

private:
    QString m_path;
    int m_saved = -1;
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Reads the information in the work folder as the update cycle does, and makes it the offer.
bool readOffer(FileManager *files)
{
    const FileManager::Info info = files->readUpdateInfo();
    files->setOffer(info.entry, info.verified);
    return info.outcome == FileManager::Info::Read;
}

} // namespace

Q_DECLARE_METATYPE(Updater::Failure)

class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void normalRoadThenInstallOnRequest();
    void automaticInstallation();
    void deltaRoadShowsTheSameStates_data();
    void deltaRoadShowsTheSameStates();
    void verdictsAreCarriedOut_data();
    void verdictsAreCarriedOut();
    void errorInfoOnFirstStartAndUnreadableInfo();
    void errorHashAtStartAndAfterDownload();
    void integrityFailureRestartsFromZero();
    void downloadErrors();
    void updateStateAfterFailure_data();
    void updateStateAfterFailure();
    void oversizedInfoIsAnInfoError();
    void checkingDisabledReportsEachMinute_data();
    void checkingDisabledReportsEachMinute();
    void periodChangeIsAdopted();
    void packageAlreadyPresent();
    void pauseAfterExtractionInThisProcess();
    void startUpWithReadyPackageInstallsAtOnce();
    void startDownloadHonoursPeriod();
    void startUpdateFailures();
    void startUpdateRefusesUnverifiedPackage();
    void ticksWhileWaitingChangeNothing();
    void aliveAndProgressTimers();
    void rolloutIdMadeOnceAndKept();
    void requestsCarryFleetHeaders_data();
    void requestsCarryFleetHeaders();
    void jitterSpreadsChecks_data();
    void jitterSpreadsChecks();
    void refusedVersionIsNotTaken();
    void rollBackAndCommit();
    void unfinishedJournalIsRetried_data();
    void unfinishedJournalIsRetried();

private:
    struct Published
    {
        QString fileName;
        QString hash;
    };
    Published publish(int version, const QList<ZipItem> &items, const QStringList &devices = {},
                      const QString &hashOverride = QStringLiteral("<md5>"));
    void serveInfo(const QJsonObject &platformEntry);
    void storeValue(const QString &key, const QVariant &value);
    Updater *makeUpdater(const Updater::RandomSource &random = {});
    bool waitResult(int count = 1);
    // One tick of the updater, then waits for its count-th result.
    bool tickAndWait(int count);
    QString work() const { return m_tmp->filePath(QStringLiteral("work")); }
    QString app() const { return m_tmp->filePath(QStringLiteral("app")); }
    UpdaterStatus *status() const { return m_updater->status(); }

    TestEnvironment m_env;
    QScopedPointer<QTemporaryDir> m_tmp;
    QScopedPointer<HttpTestServer> m_server;
    QScopedPointer<UpdaterSettings> m_settings;
    QScopedPointer<Updater> m_updater;
    QScopedPointer<QSignalSpy> m_results;
    QScopedPointer<StdoutCapture> m_capture;
    QStringList m_states;
    QStringList m_probation;
    QStringList m_journal;
    // Members added to the published platform entry.
    QJsonObject m_entryExtra;
};

void TestUpdater::initTestCase()
{
    QVERIFY(m_env.applyAs(QStringLiteral("updater")));
}

void TestUpdater::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_capture.reset(new StdoutCapture(m_tmp->filePath(QStringLiteral("stdout.txt"))));
    m_server.reset(new HttpTestServer);
    QVERIFY(m_server->listen());
    m_states.clear();
    m_probation.clear();
    m_journal.clear();
    m_entryExtra = QJsonObject();

    m_settings.reset(new UpdaterSettings);
    m_settings->store.clear();
    m_settings->init();
    storeValue(QStringLiteral("app/folder"), app());
    storeValue(QStringLiteral("app/version"), 100);
    storeValue(QStringLiteral("app/device_id"), QStringLiteral("dev-1"));
    storeValue(QStringLiteral("update/key"), QStringLiteral("linux"));
    storeValue(QStringLiteral("update/link"), m_server->url(QStringLiteral("/update")).toString());
    storeValue(QStringLiteral("update/directory"), work());
    storeValue(QStringLiteral("update/period"), 3600);
    storeValue(QStringLiteral("update/download"), 1);
    storeValue(QStringLiteral("update/update"), 0);
    m_settings->read();
}

void TestUpdater::cleanup()
{
    m_results.reset();
    m_updater.reset();
    m_settings.reset();
    m_server.reset();
    m_capture.reset();
    m_tmp.reset();
}

void TestUpdater::storeValue(const QString &key, const QVariant &value)
{
    m_settings->store.setValue(key, value);
    m_settings->store.sync();
}

// The cycle's own timer stays armed so its intervals can be checked, but its expiries are ignored:
// the test gives every tick itself.
Updater *TestUpdater::makeUpdater(const Updater::RandomSource &random)
{
    m_updater.reset(new Updater);
    Updater *u = m_updater.data();
    if (random)
        u->setRandomSource(random);
    UpdaterStatus *st = u->status();
    connect(st, &UpdaterStatus::stateDownloadChanged, this, [this] { m_states << QStringLiteral("D:") + status()->stateDownload; });
    connect(st, &UpdaterStatus::stateUpdateChanged, this, [this] { m_states << QStringLiteral("U:") + status()->stateUpdate; });
    connect(st, &UpdaterStatus::stateProbationChanged, this, [this] { m_probation << status()->stateProbation; });
    connect(st, &UpdaterStatus::stateJournalChanged, this, [this] { m_journal << status()->stateJournal; });
    u->init(m_settings.data());
    u->getPeriodTimer()->blockSignals(true);
    m_results.reset(new QSignalSpy(u->getFileManager(), &FileManager::finished));
    return u;
}

bool TestUpdater::waitResult(int count)
{
    return QTest::qWaitFor([&] { return m_results->count() >= count; }, 10000);
}

bool TestUpdater::tickAndWait(int count)
{
    m_updater->timeout();
    return waitResult(count);
}

TestUpdater::Published TestUpdater::publish(int version, const QList<ZipItem> &items, const QStringList &devices,
                                            const QString &hashOverride)
{
    Published p;
    p.fileName = QStringLiteral("app-%1.zip").arg(version);
    const QString path = m_tmp->filePath(QStringLiteral("pub/") + p.fileName);
    QDir().mkpath(QFileInfo(path).path());
    const QString error = writeZip(path, items);
    if (!error.isEmpty())
        qWarning() << "writeZip" << error;
    p.hash = hashOverride == QLatin1String("<md5>") ? TestFiles::fileMd5(path) : hashOverride;
    m_server->serveFile("/update/" + p.fileName.toUtf8(), path);
    QJsonObject entry{{QStringLiteral("version_code"), version},
                      {QStringLiteral("file_name"), p.fileName},
                      {QStringLiteral("hash"), p.hash},
                      {QStringLiteral("link"), m_server->url(QStringLiteral("/update/") + p.fileName).toString()}};
    if (!devices.isEmpty())
        entry.insert(QStringLiteral("devices_id"), QJsonArray::fromStringList(devices));
    serveInfo(entry);
    return p;
}

void TestUpdater::serveInfo(const QJsonObject &platformEntry)
{
    QJsonObject entry = platformEntry;
    for (auto it = m_entryExtra.constBegin(); it != m_entryExtra.constEnd(); ++it)
        entry.insert(it.key(), it.value());
    const QJsonObject root{{QStringLiteral("windows"), QJsonObject{{QStringLiteral("version_code"), 1}}},
                           {QStringLiteral("linux"), entry}};
    m_server->serveData("/update/update.json", QJsonDocument(root).toJson());
}

void TestUpdater::normalRoadThenInstallOnRequest()
{
    const Published p = publish(200, {ZipItem::file(QStringLiteral("tovrel.exe"), "v200", 0755),
                                      ZipItem::file(QStringLiteral("lib/l.so"), "lib200")});
    Updater *u = makeUpdater();
    QTimer *timer = u->getPeriodTimer();
    QCOMPARE(u->getCycleStep(), Updater::Step::Check);
    QCOMPARE(timer->interval(), 60000);
    QVERIFY(timer->isActive());

    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Info);
    QCOMPARE(u->getPeriod(), 3600);
    QCOMPARE(timer->interval(), 3600000);
    QVERIFY(waitResult(1));
    QCOMPARE(m_results->at(0).at(0).toInt(), 0);
    QCOMPARE(timer->interval(), 1);

    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Package);
    QCOMPARE(status()->readyVersionCode, 200);
    QVERIFY(waitResult(2));
    QCOMPARE(m_results->at(1).at(0).toInt(), 0);
    QCOMPARE(m_results->at(1).at(1).toString(), work() + QStringLiteral("/download/") + p.fileName);
    QCOMPARE(m_server->requestsFor("/update/" + p.fileName.toUtf8()).size(), 1);

    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Done);
    QCOMPARE(m_capture->tokens(), QStringList({QStringLiteral("$UPDATE_READY")}));
    QCOMPARE(timer->interval(), 3600000);

    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Check);
    QCOMPARE(timer->interval(), 1);
    QVERIFY(!QFile::exists(app() + QStringLiteral("/tovrel.exe")));

    QVERIFY(u->startUpdate());
    QCOMPARE(m_capture->tokens(),
             QStringList({QStringLiteral("$UPDATE_READY"), QStringLiteral("$UPDATING"), QStringLiteral("$UPDATED")}));
    QCOMPARE(m_states, QStringList({QStringLiteral("U:init"), QStringLiteral("D:downloading"),
                                    QStringLiteral("D:downloading"), QStringLiteral("U:downloading"),
                                    QStringLiteral("D:ready"), QStringLiteral("U:ready"),
                                    QStringLiteral("U:updating"), QStringLiteral("U:updated")}));
    QCOMPARE(readAll(app() + QStringLiteral("/tovrel.exe")), QByteArray("v200"));
    QCOMPARE(readAll(app() + QStringLiteral("/lib/l.so")), QByteArray("lib200"));
    QCOMPARE(m_settings->getAppVersionCode(), 200);
    QCOMPARE(UpdaterSettings().getAppVersionCode(), 200);
}

void TestUpdater::deltaRoadShowsTheSameStates_data()
{
    QTest::addColumn<bool>("manifestServed");
    QTest::newRow("objects") << true;
    QTest::newRow("manifest missing: the package") << false;
}

void TestUpdater::deltaRoadShowsTheSameStates()
{
    QFETCH(bool, manifestServed);
    // Version 200 as file objects next to its package; the installed "same" stays as it is.
    QVERIFY(TestFiles::write(app() + QStringLiteral("/same"), "same"));
    DeltaManifest manifest{QStringLiteral("linux"), 200, false, {}, {}};
    for (const auto &[path, content] : QMap<QString, QByteArray>{{QStringLiteral("tovrel.exe"), "v200"}, {QStringLiteral("same"), "same"}}.toStdMap()) {
        const QByteArray sha = QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex();
        QByteArray object(int(ZSTD_compressBound(size_t(content.size()))), Qt::Uninitialized);
        object.resize(int(ZSTD_compress(object.data(), size_t(object.size()), content.constData(), size_t(content.size()), 3)));
        m_server->serveData("/update/" + DeltaManifest::objectPath(sha).toLatin1(), object);
        manifest.files.append({path, 0644, content.size(), sha, object.size(), {}});
    }
    const QByteArray json = manifest.toJson();
    if (manifestServed)
        m_server->serveData("/update/manifests/linux-200.json", json);
    m_entryExtra.insert(QStringLiteral("manifest"),
                        QJsonObject{{QStringLiteral("name"), QStringLiteral("manifests/linux-200.json")},
                                    {QStringLiteral("size"), json.size()},
                                    {QStringLiteral("sha256"), QString::fromLatin1(QCryptographicHash::hash(json, QCryptographicHash::Sha256).toHex())}});
    const Published p = publish(200, {ZipItem::file(QStringLiteral("tovrel.exe"), "v200"), ZipItem::file(QStringLiteral("same"), "same")});
    Updater *u = makeUpdater();
    QSignalSpy delta(u->getDeltaUpdate(), &DeltaUpdate::finished);
    QVERIFY(tickAndWait(1));
    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Delta);
    QVERIFY(delta.wait(10000));
    if (!manifestServed) {
        QVERIFY(waitResult(2));
        u->timeout();
    }
    QCOMPARE(u->getCycleStep(), Updater::Step::Done);
    QCOMPARE(m_server->requestsFor("/update/" + p.fileName.toUtf8()).size(), manifestServed ? 0 : 1);
    QVERIFY(u->startUpdate());
    QCOMPARE(m_states, QStringList({QStringLiteral("U:init"), QStringLiteral("D:downloading"),
                                    QStringLiteral("D:downloading"), QStringLiteral("U:downloading"),
                                    QStringLiteral("D:ready"), QStringLiteral("U:ready"),
                                    QStringLiteral("U:updating"), QStringLiteral("U:updated")}));
    QCOMPARE(readAll(app() + QStringLiteral("/tovrel.exe")), QByteArray("v200"));
    QCOMPARE(m_settings->getAppVersionCode(), 200);
}

void TestUpdater::automaticInstallation()
{
    storeValue(QStringLiteral("update/update"), 1);
    m_settings->read();
    publish(300, {ZipItem::file(QStringLiteral("tovrel.exe"), "v300", 0755)});
    Updater *u = makeUpdater();
    QVERIFY(tickAndWait(1));
    QVERIFY(tickAndWait(2));
    u->timeout();
    QCOMPARE(m_capture->tokens(),
             QStringList({QStringLiteral("$UPDATE_READY"), QStringLiteral("$UPDATING"), QStringLiteral("$UPDATED")}));
    QCOMPARE(status()->stateUpdate, QStringLiteral("updated"));
    QCOMPARE(status()->stateDownload, QStringLiteral("ready"));
    QCOMPARE(readAll(app() + QStringLiteral("/tovrel.exe")), QByteArray("v300"));
    QVERIFY(QFileInfo(app() + QStringLiteral("/tovrel.exe")).isExecutable());
    QCOMPARE(m_settings->getAppVersionCode(), 300);
    QCOMPARE(u->getCycleStep(), Updater::Step::Done);
}

// The cycle carries out UpdateOffer's verdicts (tst_updateoffer has every rule), and the same
// information gives the same state at the next start. "dev-1" is in bucket 95 for version 200.
void TestUpdater::verdictsAreCarriedOut_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QJsonObject>("extra");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("log");
    QTest::newRow("device not listed") << 200 << QJsonObject{{"devices_id", QJsonArray{"dev-2", "DEV-1"}}}
                                       << "not_permitted" << "[FileManager] refused by devices_id";
    QTest::newRow("bucket 95 of 95 %") << 200 << QJsonObject{{"rollout", 95}} << "not_permitted"
                                       << R"([FileManager] refused by rollout 95 %, bucket 95 of "dev-1")";
    QTest::newRow("bucket 95 of 96 %") << 200 << QJsonObject{{"rollout", 96}} << "downloading"
                                       << R"([FileManager] taken by rollout 96 %, bucket 95 of "dev-1")";
    QTest::newRow("installed already") << 100 << QJsonObject() << "not_required"
                                       << R"x([Updater] "no update required v.100 (offered 100, installed 100)")x";
}

void TestUpdater::verdictsAreCarriedOut()
{
    QFETCH(int, version);
    QFETCH(QJsonObject, extra);
    QFETCH(QString, state);
    QFETCH(QString, log);
    m_entryExtra = extra;
    const Published p = publish(version, {ZipItem::file(QStringLiteral("a"), "a")});
    makeUpdater();
    QVERIFY(tickAndWait(1));
    QTest::ignoreMessage(QtDebugMsg, qPrintable(log));
    m_updater->timeout();
    QCOMPARE(status()->readyVersionCode, version);
    const bool fetch = state == QLatin1String("downloading");
    QCOMPARE(m_states, QStringList({QStringLiteral("U:init"), QStringLiteral("D:downloading"),
                                    fetch ? QStringLiteral("D:downloading") : QStringLiteral("U:") + state,
                                    fetch ? QStringLiteral("U:downloading") : QStringLiteral("D:ready")}));
    QVERIFY(m_capture->tokens().isEmpty());
    if (fetch) {
        QVERIFY(waitResult(2));
        QCOMPARE(m_server->requestsFor("/update/" + p.fileName.toUtf8()).size(), 1);
        return;
    }
    QVERIFY(m_server->requestsFor("/update/" + p.fileName.toUtf8()).isEmpty());
    QCOMPARE(m_updater->getCycleStep(), Updater::Step::Done);
    m_updater->timeout();
    QCOMPARE(m_updater->getCycleStep(), Updater::Step::Check);
    m_states.clear();
    makeUpdater();
    QCOMPARE(m_states, QStringList({QStringLiteral("U:") + state}));
}

void TestUpdater::errorInfoOnFirstStartAndUnreadableInfo()
{
    // Never fetched is no fault: "init" until the first check says more.
    makeUpdater();
    QCOMPARE(m_states, QStringList({QStringLiteral("U:init")}));
    QCOMPARE(status()->stateDownload, QString());
    QCOMPARE(status()->lastError, QString());

    m_server->serveData("/update/update.json", "{\"linux\": {\"version_code\": 5");
    Updater *u = m_updater.data();
    QVERIFY(tickAndWait(1));
    QCOMPARE(m_results->at(0).at(0).toInt(), 0);
    status()->readyVersionCode = 77;
    u->timeout();
    QCOMPARE(status()->readyVersionCode, 77);
    QCOMPARE(u->getCycleStep(), Updater::Step::Failed);
    QCOMPARE(status()->stateUpdate, QStringLiteral("error_info"));
    QCOMPARE(status()->stateDownload, QStringLiteral("error"));
    QCOMPARE(status()->lastError,
             QStringLiteral("update information refused: the update information is not a JSON object"));
    QVERIFY(QDateTime::fromString(status()->lastErrorTime, Qt::ISODate).isValid());

    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Check);
    QCOMPARE(u->getPeriodTimer()->interval(), 1);

    // The same information left for the next start is a fault, with its reason.
    status()->lastError.clear();
    makeUpdater();
    QCOMPARE(status()->stateUpdate, QStringLiteral("error_info"));
    QVERIFY(status()->lastError.startsWith(QStringLiteral("update information refused:")));
    // Information that is gone announces no version.
    QVERIFY(QFile::remove(work() + QStringLiteral("/update.json")));
    makeUpdater();
    QCOMPARE(status()->readyVersionCode, 0);
}

void TestUpdater::errorHashAtStartAndAfterDownload()
{
    // Newer version announced, no package yet: error_hash until a check fetches it.
    QVERIFY(TestFiles::write(work() + QStringLiteral("/update.json"),
                             R"({"linux":{"version_code":200,"file_name":"app-200.zip","hash":"00112233445566778899aabbccddeeff"}})"));
    makeUpdater();
    QCOMPARE(m_states, QStringList({QStringLiteral("U:error_hash")}));

    // Without a hash the transfer checks nothing, so only the cycle's own check can refuse it.
    m_states.clear();
    const Published p = publish(200, {ZipItem::file(QStringLiteral("a"), "a")}, {}, QString());
    Updater *u = m_updater.data();
    QVERIFY(tickAndWait(1));
    QVERIFY(tickAndWait(2));
    QCOMPARE(m_results->at(1).at(0).toInt(), 0);
    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Failed);
    QCOMPARE(m_states, QStringList({QStringLiteral("D:downloading"), QStringLiteral("D:downloading"),
                                    QStringLiteral("U:downloading"), QStringLiteral("D:error"),
                                    QStringLiteral("U:error_hash")}));
    QVERIFY(status()->lastError.startsWith(QStringLiteral("package does not match the update information: ")));
    QVERIFY(m_capture->tokens().isEmpty());
    Q_UNUSED(p)
}

void TestUpdater::integrityFailureRestartsFromZero()
{
    const Published p = publish(200, {ZipItem::file(QStringLiteral("a"), QByteArray(200000, 'a'))}, {},
                                QStringLiteral("00112233445566778899aabbccddeeff"));
    Updater *u = makeUpdater();
    QVERIFY(tickAndWait(1));
    QVERIFY(tickAndWait(2));
    QCOMPARE(m_results->at(1).at(0).toInt(), -3);
    QVERIFY(u->getFileManager()->startsClean());
    u->timeout();
    QCOMPARE(status()->stateDownload, QStringLiteral("error"));
    QCOMPARE(u->getCycleStep(), Updater::Step::Failed);
    QVERIFY(QFile::exists(work() + QStringLiteral("/download/") + p.fileName + QStringLiteral(".tmp")));

    // The publisher fixes the information; the next transfer must not build on the wrong bytes.
    const Published fixed = publish(200, {ZipItem::file(QStringLiteral("a"), QByteArray(200000, 'a'))});
    u->timeout();
    QVERIFY(tickAndWait(3));
    QVERIFY(tickAndWait(4));
    QCOMPARE(m_results->at(3).at(0).toInt(), 0);
    const auto requests = m_server->requestsFor("/update/" + p.fileName.toUtf8());
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.last().header("Range"), QByteArray());
    u->timeout();
    QCOMPARE(status()->stateUpdate, QStringLiteral("ready"));
    QVERIFY(!u->getFileManager()->startsClean());
    Q_UNUSED(fixed)
}

void TestUpdater::downloadErrors()
{
    Updater *u = makeUpdater();
    m_server->fail("/update/update.json", 404);
    QVERIFY(tickAndWait(1));
    QVERIFY(m_results->at(0).at(0).toInt() > 0);
    u->timeout();
    QCOMPARE(status()->stateDownload, QStringLiteral("error"));
    QCOMPARE(u->getCycleStep(), Updater::Step::Failed);
    QCOMPARE(status()->stateUpdate, QStringLiteral("error_info"));
    QVERIFY2(status()->lastError.startsWith(QStringLiteral("update information not fetched: ")), qPrintable(status()->lastError));
    QVERIFY2(status()->lastError.contains(QStringLiteral("Not Found")), qPrintable(status()->lastError));
    u->timeout();

    const Published p = publish(200, {ZipItem::file(QStringLiteral("a"), "a")});
    m_server->fail("/update/" + p.fileName.toUtf8(), 500);
    QVERIFY(tickAndWait(2));
    QVERIFY(tickAndWait(3));
    QVERIFY(m_results->at(2).at(0).toInt() > 0);
    QVERIFY(!u->getFileManager()->startsClean());
    u->timeout();
    QCOMPARE(status()->stateDownload, QStringLiteral("error"));
    // The package is missing, not still on its way.
    QCOMPARE(status()->stateUpdate, QStringLiteral("error_hash"));
    QVERIFY2(status()->lastError.startsWith(QStringLiteral("package not fetched: ")), qPrintable(status()->lastError));
    QCOMPARE(u->getCycleStep(), Updater::Step::Failed);
    QVERIFY(m_capture->tokens().isEmpty());
}

void TestUpdater::updateStateAfterFailure_data()
{
    using F = Updater::Failure;
    QTest::addColumn<QString>("current");
    QTest::addColumn<Updater::Failure>("failure");
    QTest::addColumn<QString>("after");
    QTest::newRow("TLS failure after not_required") << "not_required" << F::InfoTransfer << "error_info";
    QTest::newRow("fetch failure before any check") << "init" << F::InfoTransfer << "error_info";
    QTest::newRow("fetch failure after a failed installation") << "error" << F::InfoTransfer << "error_info";
    QTest::newRow("fetch failure, a verified package waits") << "ready" << F::InfoTransfer << "ready";
    QTest::newRow("fetch failure after an installation") << "updated" << F::InfoTransfer << "updated";
    QTest::newRow("refused entry, a package waited") << "ready" << F::InfoUnreadable << "error_info";
    QTest::newRow("package transfer failed") << "downloading" << F::PackageTransfer << "error_hash";
    QTest::newRow("package does not match") << "downloading" << F::PackageInvalid << "error_hash";
}

void TestUpdater::updateStateAfterFailure()
{
    QFETCH(QString, current);
    QFETCH(Updater::Failure, failure);
    QFETCH(QString, after);
    QCOMPARE(Updater::updateStateAfter(current, failure), after);
}

void TestUpdater::oversizedInfoIsAnInfoError()
{
    Updater *u = makeUpdater();
    serveInfo(QJsonObject{{QStringLiteral("version_code"), 100}, {QStringLiteral("file_name"), QStringLiteral("a.zip")}});
    QVERIFY(tickAndWait(1));
    u->timeout();
    QCOMPARE(status()->stateUpdate, QStringLiteral("not_required"));
    u->timeout();

    m_server->serveData("/update/update.json", QByteArray(2 * 1024 * 1024, ' '));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("update information larger than")));
    QVERIFY(tickAndWait(2));
    QCOMPARE(m_results->at(1).at(0).toInt(), int(DownloadFile::SizeLimitError));
    u->timeout();
    QCOMPARE(status()->stateDownload, QStringLiteral("error"));
    QCOMPARE(status()->stateUpdate, QStringLiteral("error_info"));
    QCOMPARE(u->getCycleStep(), Updater::Step::Failed);
}

void TestUpdater::checkingDisabledReportsEachMinute_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("off");
    QTest::addColumn<QVariant>("on"); // "<server>": the test server's link
    QTest::newRow("downloads off") << "update/download" << QVariant(0) << QVariant(1);
    QTest::newRow("no update server") << "update/link" << QVariant(ControlKeys::UnconfiguredLink) << QVariant("<server>");
}

void TestUpdater::checkingDisabledReportsEachMinute()
{
    QFETCH(QString, key);
    QFETCH(QVariant, off);
    QFETCH(QVariant, on);
    storeValue(key, off);
    // Said once at the start, not again at each check while it stays.
    if (key == QLatin1String("update/link"))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
            "^\\[Updater\\] no update server configured: update/link is \"none\"; set it in .* for the whole fleet")));
    Updater *u = makeUpdater();
    m_states.clear();
    for (int minute = 0; minute < 3; ++minute) {
        u->timeout();
        QCOMPARE(u->getCycleStep(), Updater::Step::Check);
        QCOMPARE(u->getPeriodTimer()->interval(), 60000);
    }
    QCOMPARE(m_states, QStringList({QStringLiteral("D:notactive"), QStringLiteral("D:notactive"), QStringLiteral("D:notactive")}));
    QVERIFY(m_server->requests().isEmpty());

    storeValue(key, on == QLatin1String("<server>") ? m_server->url(QStringLiteral("/update")).toString() : on);
    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Info);
    QCOMPARE(status()->stateDownload, QStringLiteral("downloading"));
    QCOMPARE(u->getPeriodTimer()->interval(), 3600000);
    QVERIFY(waitResult(1));

    // A period of 0 disables checking just the same.
    storeValue(QStringLiteral("update/period"), 0);
    u->timeout();
    u->timeout();
    u->timeout();
    QCOMPARE(status()->stateDownload, QStringLiteral("notactive"));
    QCOMPARE(u->getPeriodTimer()->interval(), 60000);
}

void TestUpdater::periodChangeIsAdopted()
{
    publish(100, {ZipItem::file(QStringLiteral("a"), "a")});
    Updater *u = makeUpdater();
    QVERIFY(tickAndWait(1));
    u->timeout();
    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Check);

    storeValue(QStringLiteral("update/period"), 600);
    u->timeout();
    QCOMPARE(u->getPeriod(), 600);
    QCOMPARE(u->getPeriodTimer()->interval(), 600000);
    QCOMPARE(u->getCycleStep(), Updater::Step::Info);
    QVERIFY(waitResult(2));
    u->timeout();
    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Check);

    // A period of 30 days does not fit a timer's milliseconds; the cycle must not stop for it.
    storeValue(QStringLiteral("update/period"), 30 * 24 * 3600);
    u->timeout();
    QCOMPARE(u->getPeriod(), 30 * 24 * 3600);
    QCOMPARE(u->getCycleStep(), Updater::Step::Info);
    QVERIFY(u->getPeriodTimer()->isActive());
    QCOMPARE(u->getPeriodTimer()->interval(), std::numeric_limits<int>::max());
    QVERIFY(waitResult(3));
    u->timeout();
    QVERIFY(u->getPeriodTimer()->isActive());
    QVERIFY(u->getPeriodTimer()->interval() > 0);
}

void TestUpdater::packageAlreadyPresent()
{
    const Published p = publish(200, {ZipItem::file(QStringLiteral("a"), "a")});
    QDir().mkpath(work() + QStringLiteral("/download"));
    QVERIFY(QFile::copy(m_tmp->filePath(QStringLiteral("pub/") + p.fileName),
                        work() + QStringLiteral("/download/") + p.fileName));
    Updater *u = makeUpdater();
    QVERIFY(tickAndWait(1));
    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Done);
    QCOMPARE(status()->stateDownload, QStringLiteral("ready"));
    QCOMPARE(status()->stateUpdate, QStringLiteral("ready"));
    QCOMPARE(m_capture->tokens(), QStringList({QStringLiteral("$UPDATE_READY")}));
    QVERIFY(m_server->requestsFor("/update/" + p.fileName.toUtf8()).isEmpty());
}

void TestUpdater::pauseAfterExtractionInThisProcess()
{
    storeValue(QStringLiteral("update/update"), 1);
    publish(200, {ZipItem::file(QStringLiteral("a"), "v200")});
    Updater *u = makeUpdater();
    QVERIFY(tickAndWait(1));
    QVERIFY(tickAndWait(2));
    u->timeout();
    QCOMPARE(status()->stateUpdate, QStringLiteral("updated"));
    u->timeout();

    // An even newer version appears; the running process does not fetch it.
    const Published newer = publish(300, {ZipItem::file(QStringLiteral("a"), "v300")});
    QVERIFY(tickAndWait(3));
    m_states.clear();
    for (int minute = 0; minute < 2; ++minute) {
        u->timeout();
        QCOMPARE(u->getCycleStep(), Updater::Step::Info);
        QCOMPARE(u->getPeriodTimer()->interval(), 60000);
    }
    QVERIFY(m_states.isEmpty());
    QVERIFY(m_server->requestsFor("/update/" + newer.fileName.toUtf8()).isEmpty());
    QCOMPARE(readAll(app() + QStringLiteral("/a")), QByteArray("v200"));

    // Once the installed version catches up (here: set from outside), the cycle moves on.
    m_settings->setAppVersionCode(300);
    u->timeout();
    QCOMPARE(status()->stateUpdate, QStringLiteral("not_required"));
    QCOMPARE(u->getCycleStep(), Updater::Step::Done);
}

void TestUpdater::startUpWithReadyPackageInstallsAtOnce()
{
    storeValue(QStringLiteral("update/update"), 1);
    m_settings->read();
    const Published p = publish(200, {ZipItem::file(QStringLiteral("tovrel.exe"), "v200", 0755)});
    QDir().mkpath(work() + QStringLiteral("/download"));
    QVERIFY(QFile::copy(m_tmp->filePath(QStringLiteral("pub/") + p.fileName),
                        work() + QStringLiteral("/download/") + p.fileName));
    QVERIFY(TestFiles::write(work() + QStringLiteral("/update.json"),
                             QStringLiteral(R"({"linux":{"version_code":200,"file_name":"%1","hash":"%2"}})")
                                 .arg(p.fileName, p.hash).toUtf8()));

    makeUpdater();
    QCOMPARE(m_capture->tokens(),
             QStringList({QStringLiteral("$UPDATE_READY"), QStringLiteral("$UPDATING"), QStringLiteral("$UPDATED")}));
    QCOMPARE(m_states, QStringList({QStringLiteral("U:ready"), QStringLiteral("U:updating"), QStringLiteral("U:updated")}));
    QCOMPARE(readAll(app() + QStringLiteral("/tovrel.exe")), QByteArray("v200"));
    QCOMPARE(m_settings->getAppVersionCode(), 200);
    QVERIFY(m_server->requests().isEmpty());
}

void TestUpdater::startDownloadHonoursPeriod()
{
    Updater *u = makeUpdater();
    QTimer *timer = u->getPeriodTimer();
    m_settings->periodCheckUpdate = 0;
    u->startDownload();
    QCOMPARE(timer->interval(), 60000);
    QCOMPARE(u->getPeriod(), 0);

    m_settings->periodCheckUpdate = 1800;
    u->startDownload();
    QCOMPARE(timer->interval(), 100);
    QVERIFY(timer->isActive());
    QCOMPARE(u->getPeriod(), 1800);
    QCOMPARE(u->getCycleStep(), Updater::Step::Check);
}

void TestUpdater::startUpdateFailures()
{
    Updater *u = makeUpdater();
    QVERIFY(!u->startUpdate());
    QCOMPARE(m_capture->tokens(), QStringList({QStringLiteral("$UPDATING"), QStringLiteral("$ERR_UPDATED")}));
    QCOMPARE(status()->stateUpdate, QStringLiteral("error"));
    QCOMPARE(m_settings->getAppVersionCode(), 100);

    // A package with the announced digest that is not a zip archive is no success either.
    QDir().mkpath(work() + QStringLiteral("/download"));
    QFile bad(work() + QStringLiteral("/download/app-200.zip"));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("this is not a zip archive");
    bad.close();
    QVERIFY(TestFiles::write(work() + QStringLiteral("/update.json"),
                             QStringLiteral(R"({"linux":{"version_code":200,"file_name":"app-200.zip","hash":"%1"}})")
                                 .arg(TestFiles::fileMd5(bad.fileName())).toUtf8()));
    QVERIFY(readOffer(u->getFileManager()));
    QVERIFY(u->getFileManager()->isPackageValid());
    QVERIFY(!u->startUpdate());
    QCOMPARE(status()->stateUpdate, QStringLiteral("error"));
    QCOMPARE(m_capture->tokens().mid(2), QStringList({QStringLiteral("$UPDATING"), QStringLiteral("$ERR_UPDATED")}));
    QCOMPARE(m_settings->getAppVersionCode(), 100);
}

// An installation on request (control channel or --update 1) must not install whatever lies under
// the package's name: an older package of the same name, or one that fails its digest, would be
// recorded as the announced version, which the device would then never fetch.
void TestUpdater::startUpdateRefusesUnverifiedPackage()
{
    const QString old = m_tmp->filePath(QStringLiteral("old.zip"));
    QCOMPARE(writeZip(old, {ZipItem::file(QStringLiteral("tovrel.exe"), "v150")}), QString());
    const QString announced = m_tmp->filePath(QStringLiteral("new.zip"));
    QCOMPARE(writeZip(announced, {ZipItem::file(QStringLiteral("tovrel.exe"), "v200")}), QString());
    QDir().mkpath(work() + QStringLiteral("/download"));
    QVERIFY(QFile::copy(old, work() + QStringLiteral("/download/app.zip")));
    QVERIFY(TestFiles::write(work() + QStringLiteral("/update.json"),
                             QStringLiteral(R"({"linux":{"version_code":200,"file_name":"app.zip","hash":"%1"}})")
                                 .arg(TestFiles::fileMd5(announced)).toUtf8()));

    makeUpdater();
    QCOMPARE(status()->stateUpdate, QStringLiteral("error_hash"));
    Updater *u = m_updater.data();
    QVERIFY(!u->startUpdate());
    QCOMPARE(m_capture->tokens(), QStringList({QStringLiteral("$UPDATING"), QStringLiteral("$ERR_UPDATED")}));
    QCOMPARE(status()->stateUpdate, QStringLiteral("error"));
    QVERIFY(!QFile::exists(app() + QStringLiteral("/tovrel.exe")));
    QCOMPARE(m_settings->getAppVersionCode(), 100);

    // Once the announced package is in place the same request installs it.
    QVERIFY(QFile::remove(work() + QStringLiteral("/download/app.zip")));
    QVERIFY(QFile::copy(announced, work() + QStringLiteral("/download/app.zip")));
    QVERIFY(u->startUpdate());
    QCOMPARE(readAll(app() + QStringLiteral("/tovrel.exe")), QByteArray("v200"));
    QCOMPARE(m_settings->getAppVersionCode(), 200);
}

void TestUpdater::ticksWhileWaitingChangeNothing()
{
    const Published p = publish(200, {ZipItem::file(QStringLiteral("a"), "a")});
    m_server->route("/update/" + p.fileName.toUtf8()).stallBeforeHeadersMs = 1500;
    Updater *u = makeUpdater();
    QVERIFY(tickAndWait(1));
    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Package);
    const QStringList before = m_states;
    u->timeout();
    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Package);
    QCOMPARE(m_states, before);
    QVERIFY(waitResult(2));
    u->timeout();
    QCOMPARE(status()->stateUpdate, QStringLiteral("ready"));
}

void TestUpdater::aliveAndProgressTimers()
{
    Updater *u = makeUpdater();
    u->aliveTimeout();
    QCOMPARE(m_capture->tokens(), QStringList({QStringLiteral("$ALIVE")}));
    QTimer *alive = nullptr;
    for (QTimer *t : u->findChildren<QTimer *>()) {
        if (t->interval() == 60000 && t != u->getPeriodTimer())
            alive = t;
    }
    QVERIFY(alive);
    QVERIFY(alive->isActive());

    u->downloadingChanged(true);
    QVERIFY(u->getProgressTimer()->isActive());
    QCOMPARE(u->getProgressTimer()->interval(), 1000);
    u->progressChanged(12345);
    QCOMPARE(u->getProgress(), 12345.0);
    QCOMPARE(status()->downloadProgress, QStringLiteral("12345"));
    u->downloadingChanged(false);
    QVERIFY(!u->getProgressTimer()->isActive());
    QVERIFY(status()->downloadProgress.isEmpty());
}

void TestUpdater::rolloutIdMadeOnceAndKept()
{
    const QString id = m_settings->rolloutId;
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(id).hasMatch(), qPrintable(id));
    m_settings->store.sync();
    QCOMPARE(m_settings->store.value(QStringLiteral("app/rollout_id")).toString(), id);
    UpdaterSettings again;
    again.init();
    QCOMPARE(again.rolloutId, id);
}

void TestUpdater::requestsCarryFleetHeaders_data()
{
    QTest::addColumn<QString>("deviceId");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QString>("refused");
    QTest::addColumn<QByteArray>("refusedHeader");
    // "app/rolled_back" and the state headers of the information's and the package's requests.
    QTest::addColumn<int>("rolledBack");
    QTest::addColumn<QByteArray>("infoState");
    QTest::addColumn<QByteArray>("packageState");
    QTest::newRow("device id") << QStringLiteral("dev-1") << QByteArray("dev-1") << QString() << QByteArray("")
                               << 0 << QByteArray("init") << QByteArray("downloading");
    QTest::newRow("no device id: rollout id") << QString() << QByteArray("r-fixed") << QStringLiteral("150,120")
                                              << QByteArray("150,120") << 0 << QByteArray("init")
                                              << QByteArray("downloading");
    QTest::newRow("id that would split the request, hand-typed refused list")
        << QStringLiteral("kiosk 7\r\nX-Evil: 1") << QByteArray("kiosk%207%0D%0AX-Evil%3A%201")
        << QStringLiteral(" 150 ,x\r\nX-Evil: 1,,120") << QByteArray("150,120") << 0 << QByteArray("init")
        << QByteArray("downloading");
    QTest::newRow("after a rollback, until a version installs")
        << QStringLiteral("dev-1") << QByteArray("dev-1") << QStringLiteral("150") << QByteArray("150") << 150
        << QByteArray("rolled_back") << QByteArray("rolled_back");
}

void TestUpdater::requestsCarryFleetHeaders()
{
    QFETCH(QString, deviceId);
    QFETCH(QByteArray, header);
    QFETCH(QString, refused);
    QFETCH(QByteArray, refusedHeader);
    QFETCH(int, rolledBack);
    QFETCH(QByteArray, infoState);
    QFETCH(QByteArray, packageState);
    storeValue(QStringLiteral("app/rolled_back"), rolledBack);
    storeValue(QStringLiteral("app/device_id"), deviceId);
    storeValue(QStringLiteral("app/refused"), refused);
    storeValue(QStringLiteral("app/rollout_id"), QStringLiteral("r-fixed"));
    m_settings->read();
    const Published p = publish(200, {ZipItem::file(QStringLiteral("a"), "a")});
    makeUpdater();
    QVERIFY(tickAndWait(1));
    m_updater->timeout();
    QVERIFY(waitResult(2));
    const auto info = m_server->requestsFor("/update/update.json");
    const auto package = m_server->requestsFor("/update/" + p.fileName.toUtf8());
    QCOMPARE(info.size(), 1);
    QCOMPARE(package.size(), 1);
    QCOMPARE(info.first().header("X-Tovrel-Device"), header);
    QCOMPARE(info.first().header("X-Tovrel-Version"), QByteArray("100"));
    // The state when the information was asked for: none was fetched before.
    QCOMPARE(info.first().header("X-Tovrel-State"), infoState);
    QVERIFY(!info.first().headers.contains("x-evil"));
    QCOMPARE(info.first().header("X-Tovrel-Probation"), QByteArray("none"));
    QVERIFY(info.first().headers.contains("x-tovrel-refused"));
    QCOMPARE(info.first().header("X-Tovrel-Refused"), refusedHeader);
    QCOMPARE(package.first().header("X-Tovrel-Refused"), refusedHeader);
    QCOMPARE(package.first().header("X-Tovrel-Device"), header);
    QCOMPARE(package.first().header("X-Tovrel-Version"), QByteArray("100"));
    QCOMPARE(package.first().header("X-Tovrel-State"), packageState);
}

void TestUpdater::jitterSpreadsChecks_data()
{
    QTest::addColumn<int>("jitter");
    QTest::addColumn<int>("period");
    QTest::addColumn<bool>("drawHighest");
    QTest::addColumn<int>("firstMs");
    QTest::addColumn<int>("laterMs");
    QTest::addColumn<QList<quint32>>("bounds");
    QTest::newRow("off") << 0 << 3600 << true << 60000 << 3600000 << QList<quint32>();
    QTest::newRow("highest draw") << 300 << 3600 << true << 360000 << 3900000 << QList<quint32>{300001, 300001, 300001};
    QTest::newRow("lowest draw") << 300 << 3600 << false << 60000 << 3600000 << QList<quint32>{300001, 300001, 300001};
    QTest::newRow("later capped at a tenth of the period") << 300 << 600 << true << 360000 << 660000
                                                           << QList<quint32>{300001, 60001, 60001};
}

void TestUpdater::jitterSpreadsChecks()
{
    QFETCH(int, jitter);
    QFETCH(int, period);
    QFETCH(bool, drawHighest);
    QFETCH(int, firstMs);
    QFETCH(int, laterMs);
    QFETCH(QList<quint32>, bounds);
    storeValue(QStringLiteral("update/jitter"), jitter);
    storeValue(QStringLiteral("update/period"), period);
    m_settings->read();
    publish(100, {ZipItem::file(QStringLiteral("a"), "a")});
    QList<quint32> asked;
    makeUpdater([&asked, drawHighest](quint32 bound) {
        asked << bound;
        return drawHighest ? bound - 1 : 0;
    });
    QTimer *timer = m_updater->getPeriodTimer();
    QCOMPARE(timer->interval(), firstMs);
    QVERIFY(tickAndWait(1));
    m_updater->timeout();
    QCOMPARE(status()->stateUpdate, QStringLiteral("not_required"));
    QCOMPARE(timer->interval(), laterMs);
    QCOMPARE(asked, bounds);
}

// A version rolled back on this device is never fetched or installed again; a greater one is.
void TestUpdater::refusedVersionIsNotTaken()
{
    storeValue(QStringLiteral("app/refused"), QStringLiteral("150,200"));
    m_settings->read();
    const Published p = publish(200, {ZipItem::file(QStringLiteral("a"), "v200")});
    Updater *u = makeUpdater();
    m_states.clear();
    QTest::ignoreMessage(QtDebugMsg, "[Updater] version 200 was rolled back on this device, not taken");
    QVERIFY(tickAndWait(1));
    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Done);
    QCOMPARE(m_states, QStringList({QStringLiteral("D:downloading"), QStringLiteral("U:not_required"),
                                    QStringLiteral("D:ready")}));
    QVERIFY(m_server->requestsFor("/update/" + p.fileName.toUtf8()).isEmpty());

    // Its package present and verified, at the next start and on request: still not installed.
    QDir().mkpath(work() + QStringLiteral("/download"));
    QVERIFY(QFile::copy(m_tmp->filePath(QStringLiteral("pub/") + p.fileName),
                        work() + QStringLiteral("/download/") + p.fileName));
    m_states.clear();
    makeUpdater();
    QCOMPARE(m_states, QStringList({QStringLiteral("U:not_required")}));
    QCOMPARE(m_probation, QStringList({QStringLiteral("none"), QStringLiteral("none")}));
    QVERIFY(m_capture->tokens().isEmpty());
    // Never needed again, so it does not take the device's space.
    QVERIFY(!QFile::exists(work() + QStringLiteral("/download/") + p.fileName));
    QVERIFY(QFile::copy(m_tmp->filePath(QStringLiteral("pub/") + p.fileName),
                        work() + QStringLiteral("/download/") + p.fileName));
    QVERIFY(!m_updater->startUpdate());
    QCOMPARE(status()->lastError, QStringLiteral("installation refused: version 200 was rolled back on this device"));
    QCOMPARE(m_capture->tokens(), QStringList({QStringLiteral("$UPDATING"), QStringLiteral("$ERR_UPDATED")}));
    QCOMPARE(status()->stateUpdate, QStringLiteral("error"));
    QVERIFY(!QFile::exists(app() + QStringLiteral("/a")));
    QCOMPARE(m_settings->getAppVersionCode(), 100);

    const Published newer = publish(300, {ZipItem::file(QStringLiteral("a"), "v300")});
    u = m_updater.data();
    QVERIFY(tickAndWait(1));
    u->timeout();
    QCOMPARE(u->getCycleStep(), Updater::Step::Package);
    QVERIFY(waitResult(2));
    QCOMPARE(m_server->requestsFor("/update/" + newer.fileName.toUtf8()).size(), 1);
}

// Install, return to the kept version on request, and commit a version that has proved itself.
void TestUpdater::rollBackAndCommit()
{
    QVERIFY(QDir().mkpath(app()));
    QVERIFY(TestFiles::write(app() + QStringLiteral("/tovrel.exe"), "v100"));
    const Published p = publish(200, {ZipItem::file(QStringLiteral("tovrel.exe"), "v200"),
                                      ZipItem::file(QStringLiteral("plugins/p.so"), "p200")});
    QDir().mkpath(work() + QStringLiteral("/download"));
    QVERIFY(QFile::copy(m_tmp->filePath(QStringLiteral("pub/") + p.fileName),
                        work() + QStringLiteral("/download/") + p.fileName));
    QVERIFY(TestFiles::write(work() + QStringLiteral("/update.json"),
                             QStringLiteral(R"({"linux":{"version_code":200,"file_name":"%1","hash":"%2"}})")
                                 .arg(p.fileName, p.hash).toUtf8()));
    Updater *u = makeUpdater();
    QCOMPARE(status()->stateProbation, QStringLiteral("none"));

    // Nothing moves while another updater holds the folder, nor before init().
    Updater bare;
    QVERIFY(!bare.startUpdate() && !bare.rollBack());
    bare.commitVersion();
    bool mayTouch = false;
    u->setFolderGate([&mayTouch] { return mayTouch; });
    QVERIFY(!u->startUpdate());
    QCOMPARE(status()->stateUpdate, QStringLiteral("error"));
    QCOMPARE(readAll(app() + QStringLiteral("/tovrel.exe")), QByteArray("v100"));
    QCOMPARE(m_settings->getAppVersionCode(), 100);
    mayTouch = true;

    // Nothing kept yet: refused, nothing changes.
    m_probation.clear();
    QVERIFY(!u->rollBack());
    QCOMPARE(m_probation, QStringList({QStringLiteral("rollback_error")}));
    QCOMPARE(m_settings->getAppVersionCode(), 100);

    m_probation.clear();
    QVERIFY(u->startUpdate());
    QCOMPARE(m_probation, QStringList({QStringLiteral("kept")}));
    QVERIFY(InstallJournal::keptExistsIn(app()));

    m_probation.clear();
    QVERIFY(u->rollBack());
    QCOMPARE(m_probation, QStringList({QStringLiteral("rolling_back"), QStringLiteral("rolled_back")}));
    QCOMPARE(readAll(app() + QStringLiteral("/tovrel.exe")), QByteArray("v100"));
    QVERIFY(!QFile::exists(app() + QStringLiteral("/plugins")));
    QCOMPARE(QDir(app()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("tovrel.exe")}));
    QCOMPARE(m_settings->getAppVersionCode(), 100);
    QVERIFY(UpdaterSettings().isRefused(200));
    QCOMPARE(m_settings->rolledBackVersion, 200);
    QCOMPARE(m_settings->store.value(QStringLiteral("app/rolled_back")).toInt(), 200);
    QVERIFY(!QFile::exists(work() + QStringLiteral("/download/") + p.fileName));
    // The refused version is not installed again on request, even with its package back.
    QVERIFY(QFile::copy(m_tmp->filePath(QStringLiteral("pub/") + p.fileName),
                        work() + QStringLiteral("/download/") + p.fileName));
    QVERIFY(!u->startUpdate());
    QCOMPARE(readAll(app() + QStringLiteral("/tovrel.exe")), QByteArray("v100"));

    // A greater version installs and, committed, keeps nothing.
    const Published newer = publish(300, {ZipItem::file(QStringLiteral("tovrel.exe"), "v300")});
    QVERIFY(QFile::copy(m_tmp->filePath(QStringLiteral("pub/") + newer.fileName),
                        work() + QStringLiteral("/download/") + newer.fileName));
    QVERIFY(TestFiles::write(work() + QStringLiteral("/update.json"),
                             QStringLiteral(R"({"linux":{"version_code":300,"file_name":"%1","hash":"%2"}})")
                                 .arg(newer.fileName, newer.hash).toUtf8()));
    QVERIFY(readOffer(u->getFileManager()));
    QVERIFY(u->startUpdate());
    QCOMPARE(status()->stateProbation, QStringLiteral("kept"));
    QCOMPARE(m_settings->rolledBackVersion, 0);
    m_probation.clear();
    u->commitVersion();
    QCOMPARE(m_probation, QStringList({QStringLiteral("none")}));
    QCOMPARE(QDir(app()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("tovrel.exe")}));
    QCOMPARE(readAll(app() + QStringLiteral("/tovrel.exe")), QByteArray("v300"));
    QVERIFY(!u->rollBack());
    QCOMPARE(status()->stateProbation, QStringLiteral("rollback_error"));
}

void TestUpdater::unfinishedJournalIsRetried_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::newRow("next check") << "check";
    QTest::newRow("rollback request") << "rollback";
    QTest::newRow("commit request") << "commit";
}

// A return that stopped on a folder in the way keeps its journal; the running updater finishes it
// once the obstacle is gone, without a restart.
void TestUpdater::unfinishedJournalIsRetried()
{
    QFETCH(QString, trigger);
    QVERIFY(TestFiles::write(app() + QStringLiteral("/tovrel.exe"), "v100"));
    const Published p = publish(200, {ZipItem::file(QStringLiteral("tovrel.exe"), "v200")});
    QVERIFY(QDir().mkpath(work() + QStringLiteral("/download")));
    QVERIFY(QFile::copy(m_tmp->filePath(QStringLiteral("pub/") + p.fileName), work() + QStringLiteral("/download/") + p.fileName));
    QVERIFY(TestFiles::write(work() + QStringLiteral("/update.json"),
                             QStringLiteral(R"({"linux":{"version_code":200,"file_name":"%1","hash":"%2"}})")
                                 .arg(p.fileName, p.hash).toUtf8()));
    Updater *u = makeUpdater();
    QCOMPARE(m_journal, QStringList({QStringLiteral("none")}));
    QVERIFY(u->startUpdate());

    QVERIFY(QFile::remove(app() + QStringLiteral("/tovrel.exe")));
    QVERIFY(TestFiles::write(app() + QStringLiteral("/tovrel.exe/inside"), "in the way"));
    QVERIFY(!u->rollBack());
    QCOMPARE(status()->stateProbation, QStringLiteral("rollback_error"));
    QCOMPARE(m_journal, QStringList({QStringLiteral("none"), QStringLiteral("pending")}));
    QVERIFY2(status()->journalError.contains(QStringLiteral("tovrel.exe")), qPrintable(status()->journalError));
    // Still in the way: the check tries, and the journal stays.
    u->timeout();
    QVERIFY(InstallJournal::existsIn(app()));
    QCOMPARE(status()->stateJournal, QStringLiteral("pending"));

    QVERIFY(QDir(app() + QStringLiteral("/tovrel.exe")).removeRecursively());
    if (trigger == QLatin1String("check")) {
        // The cycle runs through its steps to the next check.
        QVERIFY(waitResult(1));
        for (int ticks = 0; ticks < 5 && u->getCycleStep() != Updater::Step::Check; ++ticks)
            u->timeout();
        QCOMPARE(u->getCycleStep(), Updater::Step::Check);
        QVERIFY(InstallJournal::existsIn(app()));
        u->timeout();
    } else if (trigger == QLatin1String("rollback"))
        QVERIFY(u->rollBack());
    else
        u->commitVersion();
    QVERIFY(!InstallJournal::existsIn(app()));
    QCOMPARE(m_journal, QStringList({QStringLiteral("none"), QStringLiteral("pending"), QStringLiteral("none")}));
    QVERIFY(status()->journalError.isEmpty());
    QCOMPARE(status()->stateProbation, QStringLiteral("rolled_back"));
    QCOMPARE(readAll(app() + QStringLiteral("/tovrel.exe")), QByteArray("v100"));
    QCOMPARE(m_settings->getAppVersionCode(), 100);
    QVERIFY(UpdaterSettings().isRefused(200));
}

QTEST_GUILESS_MAIN(TestUpdater)

#include "tst_updater.moc"
