#ifndef ROLLOUT_H
#define ROLLOUT_H

#include <QString>

// Phased rollout: which devices take a version that is offered to a share of the fleet. A device's
// bucket depends only on its id and the offered version code, so operators can compute from a list of
// ids which devices are in, and each new version picks a different first share.
class Rollout
{
public:
    // The first four bytes of SHA-256 of "<id>:<versionCode>" (UTF-8) as a big-endian number, modulo
    // 100; -1 when libcrypto fails.
    static int bucket(const QString &id, int versionCode);
    // A device takes the version when its bucket is below the percentage.
    static bool admits(int bucket, int percent) { return bucket >= 0 && bucket < percent; }
    // An id for a device that has no device id: 32 lower-case hex digits from the system's random source.
    static QString newId();
};

#endif
