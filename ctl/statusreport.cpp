#include "statusreport.h"

#include "controlkeys.h"
#include "probationrecord.h"
#include "protocol.h"

#include <QStringList>

namespace {
namespace Key = Protocol::Key;

QString value(const QJsonObject &values, const char *key)
{
    const QJsonValue v = values.value(QLatin1String(key));
    if (v.isDouble())
        return QString::number(qint64(v.toDouble()));
    return v.toString();
}

QString line(const char *label, const QString &text)
{
    return QStringLiteral("%1 %2\n").arg(QLatin1String(label), -18).arg(text);
}
}

qint64 StatusReport::runningProgress(const QJsonObject &values)
{
    // The download state stays "downloading" after some failures; the progress text is only
    // there while a transfer actually runs.
    bool ok = false;
    const qint64 bytes = values.value(QLatin1String("progress")).toString().toLongLong(&ok);
    if (!ok || value(values, Key::StateDownload) != QLatin1String(Protocol::State::Downloading))
        return -1;
    return bytes;
}

QString StatusReport::size(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    const char *units[] = {"KiB", "MiB", "GiB", "TiB"};
    double amount = double(bytes);
    int unit = -1;
    while (amount >= 1024 && unit < 3) {
        amount /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(amount, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString StatusReport::signingText(const QString &signing)
{
    if (signing == QLatin1String("off"))
        return QStringLiteral("not required (no public key configured)");
    if (signing.startsWith(QLatin1String("on, no usable key")))
        return QStringLiteral("required, but ") + signing.mid(4) + QStringLiteral(": nothing is installed");
    if (signing.startsWith(QLatin1String("on, ")))
        return QStringLiteral("required (") + signing.mid(4) + QLatin1Char(')');
    if (signing.startsWith(QLatin1String("unknown")))
        return signing + QStringLiteral(": nothing is installed");
    return signing;
}

QString StatusReport::text(const QJsonObject &values)
{
    const QString update = value(values, Key::StateUpdate);
    const QString download = value(values, Key::StateDownload);
    const QString offered = value(values, Key::ReadyVersion);
    QString out;
    if (update == QLatin1String(Protocol::State::Init))
        out += line("update state:", update + QStringLiteral(" (no update information fetched yet)"));
    else
        out += line("update state:", update.isEmpty() ? QStringLiteral("(none)") : update);
    out += line("download state:", download.isEmpty() ? QStringLiteral("(no check yet)") : download);
    out += line("installed version:", value(values, Key::InstalledVersion));
    out += line("offered version:",
                offered.isEmpty() || offered == QLatin1String("0") ? QStringLiteral("(none read yet)") : offered);
    const qint64 progress = runningProgress(values);
    if (progress >= 0)
        out += line("progress:", size(progress) + QStringLiteral(" received"));
    // An older updater does not know it.
    const QString probation = value(values, Key::StateProbation);
    if (!probation.isEmpty())
        out += line("previous version:", probation == QLatin1String(Protocol::Probation::Kept)
                                             ? QStringLiteral("kept (the installed version is on probation)")
                                             : probation);
    if (values.contains(QLatin1String(ProbationRecord::NeededSeconds))) {
        out += line("probation:", QStringLiteral("%1 of %2 s passed, failures %3 of %4")
                                      .arg(value(values, ProbationRecord::PassedSeconds),
                                           value(values, ProbationRecord::NeededSeconds),
                                           value(values, ProbationRecord::Failures),
                                           value(values, ProbationRecord::FailuresAllowed)));
    }
    const qint64 rolledBack = values.value(QLatin1String(Key::RolledBackVersion)).toVariant().toLongLong();
    if (rolledBack > 0)
        out += line("rolled back:", QStringLiteral("version %1 rolled back and refused on this device").arg(rolledBack));
    // Empty from an older updater, which does not report it.
    const QString signing = value(values, Key::Signing);
    if (!signing.isEmpty())
        out += line("signing:", signingText(signing));
    if (ControlKeys::isUnconfiguredLink(value(values, Key::Link)))
        out += line("update server:", QStringLiteral("none configured (link is \"%1\"): no check runs until "
                                                     "update/link names one")
                                          .arg(value(values, Key::Link)));
    const QString lastError = value(values, Key::LastError);
    if (!lastError.isEmpty())
        out += line("last error:", value(values, Key::LastErrorTime) + QLatin1Char(' ') + lastError);
    const QString journal = value(values, Key::StateJournal);
    if (journal == QLatin1String(Protocol::Journal::Pending)) {
        const QString reason = value(values, Key::JournalError);
        out += line("folder journal:", QStringLiteral("pending, the updater tries again at every check")
                                           + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason));
    } else if (!journal.isEmpty()) {
        out += line("folder journal:", journal);
    }
    if (update == QLatin1String(Protocol::State::Ready))
        out += QStringLiteral("The launcher installs the update when the application is not running.\n");
    return out;
}

QJsonObject StatusReport::json(const QJsonObject &values)
{
    QJsonObject object = values;
    const qint64 progress = runningProgress(values);
    object.insert(QStringLiteral("progress"), progress >= 0 ? QJsonValue(double(progress)) : QJsonValue());
    return object;
}
