#include "probation.h"

#include "logwriter.h"
#include "protocol.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <climits>
#include <cmath>

namespace {
const char prefix[] = "[Probation]";

// A stored number outside [0, max] or with a fraction is no number this program wrote; converting
// it unchecked (1e300 to an integer) is undefined.
bool wholeNumber(const QJsonValue &value, double max, qint64 *out)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number < 0 || number > max || std::floor(number) != number)
        return false;
    *out = qint64(number);
    return true;
}

int keptVersion(const QString &folder)
{
    QFile file(folder + QLatin1Char('/') + QLatin1String(Protocol::Folder::Kept));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QJsonValue to = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("to"));
    // A record that cannot be read still means kept files; the count then runs under version 0.
    qint64 version = 0;
    return wholeNumber(to, INT_MAX, &version) ? int(version) : 0;
}
}

QString Probation::recordPathFor(const QString &settingsFileName)
{
    // Persistent, unlike the runtime folder: the count must survive a reboot. One file per
    // configuration, as for the child's process group.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return QString();
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray key = QCryptographicHash::hash(settingsFileName.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return folder + QStringLiteral("/probation-") + QString::fromLatin1(key) + QStringLiteral(".json");
}

void Probation::configure(const QString &appFolder, const QString &recordPath, qint64 probationMs, int failureLimit)
{
    folder = appFolder;
    recordFile = recordPath;
    const qint64 newLimitMs = qMax<qint64>(0, probationMs);
    const int newLimitFailures = qMax(0, failureLimit);
    // Edited while a version is on probation: the log must name what is used from now on.
    if (current == Verdict::Running && (newLimitMs != limitMs || newLimitFailures != limitFailures))
        qDebug() << prefix << "version" << versionCode << "is now on probation for" << newLimitMs / 1000 << "s,"
                 << newLimitFailures << "failures allowed";
    limitMs = newLimitMs;
    limitFailures = newLimitFailures;
}

Probation::Verdict Probation::refresh()
{
    const Verdict before = current;
    const int kept = keptVersion(folder);
    if (kept < 0) {
        if (current != Verdict::None)
            qDebug() << prefix << "no kept files, no version on probation";
        if (!recordFile.isEmpty() && QFile::exists(recordFile))
            QFile::remove(recordFile);
        versionCode = -1;
        failureCount = 0;
        runMs = 0;
        passed = false;
        current = Verdict::None;
        return current;
    }
    if (kept != versionCode) {
        load();
        if (versionCode != kept) {
            versionCode = kept;
            failureCount = 0;
            runMs = 0;
            passed = false;
            running = false;
            qDebug() << prefix << "version" << versionCode << "is on probation:" << limitMs / 1000 << "s,"
                     << limitFailures << "failures allowed";
        } else if (running) {
            // The launcher that started the last run never saw it end.
            running = false;
            ++failureCount;
            qCDebug(lcCritical) << prefix << "the last run of version" << versionCode
                                << "ended with the launcher or the device: failure" << failureCount << "of"
                                << limitFailures;
        }
        save();
    }
    judge();
    if (current != before && current == Verdict::Passed)
        qDebug() << prefix << "version" << versionCode << "has passed its probation";
    return current;
}

void Probation::judge()
{
    if (versionCode < 0)
        current = Verdict::None;
    else if (passed || limitMs == 0)
        current = Verdict::Passed;
    else if (limitFailures > 0 && failureCount >= limitFailures)
        current = Verdict::Failed;
    else
        current = Verdict::Running;
}

qint64 Probation::runTime(qint64 nowMs) const
{
    return runMs + (running ? qMax<qint64>(0, nowMs - startedAt) : 0);
}

void Probation::mainStarted(qint64 nowMs)
{
    if (current != Verdict::Running)
        return;
    running = true;
    startedAt = nowMs;
    save();
    qDebug() << prefix << "version" << versionCode << "started:" << runMs / 1000 << "of" << limitMs / 1000
             << "s passed, failures" << failureCount << "of" << limitFailures;
}

void Probation::mainEnded(bool failed, qint64 nowMs)
{
    if (current != Verdict::Running || !running)
        return;
    runMs = runTime(nowMs);
    running = false;
    if (failed) {
        // Time before a failure does not count towards passing.
        runMs = 0;
        ++failureCount;
        qCDebug(lcCritical) << prefix << "version" << versionCode << "failed: failure" << failureCount << "of"
                            << limitFailures;
    }
    save();
    judge();
    if (current == Verdict::Failed)
        qCDebug(lcCritical) << prefix << "version" << versionCode << "has failed its probation, the previous version must come back";
}

bool Probation::tick(qint64 nowMs)
{
    if (current != Verdict::Running || !running || runTime(nowMs) < limitMs)
        return false;
    runMs = runTime(nowMs);
    startedAt = nowMs;
    passed = true;
    save();
    judge();
    qDebug() << prefix << "version" << versionCode << "has passed its probation after" << runMs / 1000 << "s";
    return true;
}

void Probation::launcherStopping(qint64 nowMs)
{
    if (current != Verdict::Running || !running)
        return;
    runMs = runTime(nowMs);
    running = false;
    save();
}

void Probation::load()
{
    QFile file(recordFile);
    if (recordFile.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        versionCode = -1;
        return;
    }
    const QJsonObject record = QJsonDocument::fromJson(file.readAll()).object();
    qint64 version = -1;
    qint64 failures = 0;
    qint64 run = 0;
    const QJsonValue passedValue = record.value(QStringLiteral("passed"));
    const QJsonValue runningValue = record.value(QStringLiteral("running"));
    // Run times beyond 2^53 ms (285 000 years) are not whole numbers in a double any more.
    if (!wholeNumber(record.value(QStringLiteral("version")), INT_MAX, &version)
        || !wholeNumber(record.value(QStringLiteral("failures")), INT_MAX, &failures)
        || !wholeNumber(record.value(QStringLiteral("run_ms")), 9007199254740992.0, &run) || !passedValue.isBool()
        || !runningValue.isBool()) {
        // Damaged: the version on probation starts a fresh count, as after its installation.
        qCDebug(lcCritical) << prefix << "record" << recordFile << "is damaged, the count starts afresh";
        versionCode = -1;
        return;
    }
    versionCode = int(version);
    failureCount = int(failures);
    runMs = run;
    passed = passedValue.toBool();
    running = runningValue.toBool();
}

void Probation::save()
{
    if (recordFile.isEmpty())
        return;
    const QJsonObject record{{QStringLiteral("version"), versionCode},
                             {QStringLiteral("failures"), failureCount},
                             {QStringLiteral("run_ms"), double(runMs)},
                             {QStringLiteral("passed"), passed},
                             {QStringLiteral("running"), running}};
    QSaveFile file(recordFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(record).toJson(QJsonDocument::Compact)) < 0
        || !file.commit())
        qCDebug(lcCritical) << prefix << "cannot write" << recordFile << file.errorString();
}
