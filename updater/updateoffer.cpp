#include "updateoffer.h"

#include "rollout.h"

namespace {

using Judgement = UpdateOffer::Judgement;
using Verdict = UpdateOffer::Verdict;

QString quotedText(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// Two products may share a signing key; the device's product keeps the other's entries out.
bool productAdmits(const UpdateInfo::Entry &entry, const QString &deviceProduct, QString *reason)
{
    if (deviceProduct.isEmpty() || entry.product == deviceProduct)
        return true;
    const QString named = entry.product.isEmpty() ? QStringLiteral("no product")
                                                  : QStringLiteral("product ") + quotedText(entry.product);
    *reason = QStringLiteral("the entry is for ") + named + QStringLiteral(" and this device is ")
        + quotedText(deviceProduct);
    return false;
}

}

UpdateOffer::Judgement UpdateOffer::judge(const UpdateInfo::Entry &entry, const DeviceFacts &facts)
{
    Judgement result;
    if (!productAdmits(entry, facts.product, &result.reason))
        return result;
    if (!entry.devices.isEmpty() && (facts.deviceId.isEmpty() || !entry.devices.contains(facts.deviceId)))
        return {Verdict::NotPermitted, QStringLiteral("refused by devices_id")};
    // The rollout applies after the device list: a listed device must be in the share too.
    QString draw;
    if (entry.rollout < 100) {
        const QString id = facts.deviceId.isEmpty() ? facts.rolloutId : facts.deviceId;
        const int bucket = Rollout::bucket(id, entry.versionCode);
        const bool admitted = Rollout::admits(bucket, entry.rollout);
        draw = QStringLiteral("%1 by rollout %2 %, bucket %3 of %4")
                   .arg(QLatin1String(admitted ? "taken" : "refused"))
                   .arg(entry.rollout)
                   .arg(bucket)
                   .arg(quotedText(id));
        if (!admitted)
            return {Verdict::NotPermitted, draw};
    }
    if (entry.versionCode <= facts.installedVersion)
        return {Verdict::NotRequired, QStringLiteral("no update required v.%1 (offered %1, installed %2)")
                                          .arg(entry.versionCode)
                                          .arg(facts.installedVersion)};
    if (facts.refusedVersions.contains(QString::number(entry.versionCode)))
        return {Verdict::Refused,
                QStringLiteral("version %1 was rolled back on this device, not taken").arg(entry.versionCode)};
    const bool present = facts.packageValid && facts.packageValid();
    return {present ? Verdict::Ready : Verdict::Fetch, draw};
}
