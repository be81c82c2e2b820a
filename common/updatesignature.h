#ifndef UPDATESIGNATURE_H
#define UPDATESIGNATURE_H

#include "updateinfo.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// Who may announce an update: the canonical text of a platform entry of the update information, its
// Ed25519 signature (made by the publishing tool, checked by the updater) and the expiry of an entry.
// Both sides build the text here, so they cannot drift apart.
class UpdateSignature
{
public:
    // First element of the canonical text; a new text layout gets a new tag. The second layout adds
    // the product and whether the package is complete; an entry without either keeps the first, so
    // that devices of before the second still take it. The third adds the manifest of a version
    // published as file objects, and only an entry that names one uses it.
    static const char FormatTag[];
    static const char FormatTag2[];
    static const char FormatTag3[];

    // Which check an entry failed, in the order they run.
    enum Check {
        Valid,
        NoSignature,
        BadSignatureEncoding,
        BadVersionCode,
        BadFileName,
        BadSha256,
        BadSize,
        BadExpires,
        BadRollout,
        BadDevices,
        BadProduct,
        BadComplete,
        BadManifest,
        BadPublicKey,
        NoKeyMatches,
        Expired
    };

    // The signature covers every member of the entry but the MD5 hash and the link.
    using Entry = UpdateInfo::Entry;

    struct Result
    {
        Check check = NoSignature;
        QString detail; // says which check failed and why, for the log
        Entry entry;    // the signed values; use these, not the unsigned JSON
        int keyIndex = 0; // which configured key made the signature, from 1; 0 when none did
        int keyCount = 0; // how many keys are configured (0 before the keys were read)
        bool ok() const { return check == Valid; }
    };

    // Reads `object`, the entry named `platformKey`, as every reader does, and also requires the
    // members that bind the package (sha256, size); on a malformed member returns the check that
    // failed with `detail` set.
    static Check readEntry(const QString &platformKey, const QJsonObject &object, Entry *entry, QString *detail);
    static QByteArray canonicalText(const Entry &entry);

    // A comma-separated list of base64 raw 32-byte Ed25519 public keys; blanks around items and empty
    // items are ignored. False (with `error`) when an item is not a key or no key is left.
    static bool parsePublicKeys(const QString &list, QList<QByteArray> *keys, QString *error);

    // The whole check of an entry against the configured keys at time `now` (UTC).
    static Result verify(const QString &platformKey, const QJsonObject &object, const QString &publicKeys,
                         const QDateTime &now);

    // A new key pair: the private key as PKCS#8 PEM, the public key as base64 of its raw 32 bytes.
    static bool generateKeyPair(QByteArray *privatePem, QByteArray *publicKeyBase64, QString *error);
    static bool publicKeyOf(const QByteArray &privatePem, QByteArray *publicKeyBase64, QString *error);
    // Raw 64-byte signature of `text`; empty with `error` set on failure.
    static QByteArray sign(const QByteArray &text, const QByteArray &privatePem, QString *error);
    static bool verifyText(const QByteArray &text, const QByteArray &signature, const QByteArray &rawPublicKey);

    static QString checkText(Check check);
};

#endif
