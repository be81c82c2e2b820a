#ifndef UPDATEOFFER_H
#define UPDATEOFFER_H

#include "updateinfo.h"

#include <QString>
#include <QStringList>

#include <functional>

// Whether this device takes the version an entry of the update information offers: one decision
// from facts, so that the update cycle only carries it out.
class UpdateOffer
{
public:
    enum class Verdict {
        ErrorInfo,    // the entry is not for this device's product
        NotPermitted, // the device list or the rollout leaves this device out
        NotRequired,  // the offered version is not newer than the installed one
        Refused,      // the offered version was rolled back on this device
        Fetch,        // take it: its package is not here yet
        Ready         // take it: its package is here and valid
    };

    struct DeviceFacts
    {
        QString deviceId;           // empty: the device has none
        QString rolloutId;          // stands for the device id in the rollout while there is none
        QString product;            // empty: the device takes any product's entries
        int installedVersion = 0;
        QStringList refusedVersions; // version codes as stored
        // Asked only for an offer that is taken: it reads the whole package.
        std::function<bool()> packageValid;
    };

    struct Judgement
    {
        Verdict verdict = Verdict::ErrorInfo;
        // Why, for the log; for a taken offer the rollout's draw, when there was one.
        QString reason;
    };

    static Judgement judge(const UpdateInfo::Entry &entry, const DeviceFacts &facts);
};

#endif
