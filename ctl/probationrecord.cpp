#include "probationrecord.h"

#include "settingsstore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cmath>

const char ProbationRecord::PassedSeconds[] = "probation_seconds";
const char ProbationRecord::NeededSeconds[] = "probation_needed_seconds";
const char ProbationRecord::Failures[] = "probation_failures";
const char ProbationRecord::FailuresAllowed[] = "probation_failures_allowed";

namespace {
// The launcher's defaults for "probation/time" and "probation/failures".
const int defaultNeededSeconds = 600;
const int defaultFailuresAllowed = 3;

qint64 wholeNumber(const QJsonValue &value)
{
    const double number = value.toDouble(-1);
    if (!value.isDouble() || !std::isfinite(number) || number < 0 || number > 9007199254740992.0
        || std::floor(number) != number)
        return -1;
    return qint64(number);
}

int launcherNumber(const QSettings &store, const char *key, int fallback)
{
    // As the launcher reads it: a negative or missing value is its default, text that is no number 0.
    const int number = store.value(QLatin1String(key), -1).toInt();
    return number >= 0 ? number : fallback;
}
}

QJsonObject ProbationRecord::values(const QByteArray &record, int version, qint64 msSinceWritten, int neededSeconds,
                                    int failuresAllowed)
{
    const QJsonObject object = QJsonDocument::fromJson(record).object();
    qint64 runMs = 0;
    qint64 failures = 0;
    if (wholeNumber(object.value(QStringLiteral("version"))) == version) {
        runMs = qMax<qint64>(0, wholeNumber(object.value(QStringLiteral("run_ms"))));
        failures = qMax<qint64>(0, wholeNumber(object.value(QStringLiteral("failures"))));
        if (object.value(QStringLiteral("passed")).toBool())
            runMs = qint64(neededSeconds) * 1000;
        else if (object.value(QStringLiteral("running")).toBool())
            runMs += qMax<qint64>(0, msSinceWritten);
    }
    const qint64 passed = qMin<qint64>(runMs / 1000, neededSeconds);
    return QJsonObject{{QLatin1String(PassedSeconds), double(passed)},
                       {QLatin1String(NeededSeconds), neededSeconds},
                       {QLatin1String(Failures), double(failures)},
                       {QLatin1String(FailuresAllowed), failuresAllowed}};
}

QString ProbationRecord::pathFor(const QString &launcherSettingsFile)
{
    // Where the launcher's own data folder is (its organisation and program name) and how it names
    // the record: one per settings file.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return QString();
    const QByteArray key =
        QCryptographicHash::hash(launcherSettingsFile.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return data + QStringLiteral("/tovrel/zorvan/probation-") + QString::fromLatin1(key) + QStringLiteral(".json");
}

QJsonObject ProbationRecord::read(int version)
{
    const auto launcher = SettingsStore::open(QStringLiteral("tovrel"), QStringLiteral("zorvan"));
    const int needed = launcherNumber(*launcher, "probation/time", defaultNeededSeconds);
    const int allowed = launcherNumber(*launcher, "probation/failures", defaultFailuresAllowed);
    QFile file(pathFor(launcher->fileName()));
    QByteArray record;
    qint64 since = 0;
    if (file.open(QIODevice::ReadOnly)) {
        record = file.readAll();
        since = QFileInfo(file).lastModified().msecsTo(QDateTime::currentDateTime());
    }
    return values(record, version, since, needed, allowed);
}
