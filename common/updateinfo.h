#ifndef UPDATEINFO_H
#define UPDATEINFO_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// One platform entry of the update information, as the updater reads it and the publishing tool
// writes it: the member names, the values, and the one set of rules for reading them. The
// signature covers a part of these values; whoever checks it reads the entry here too.
class UpdateInfo
{
public:
    // Member names of a platform entry.
    static constexpr char VersionCode[] = "version_code";
    static constexpr char FileName[] = "file_name";
    static constexpr char Hash[] = "hash";
    static constexpr char Link[] = "link";
    static constexpr char Sha256[] = "sha256";
    static constexpr char Size[] = "size";
    static constexpr char Expires[] = "expires";
    static constexpr char Rollout[] = "rollout";
    static constexpr char Devices[] = "devices_id";
    static constexpr char Product[] = "product";
    static constexpr char Complete[] = "complete";
    static constexpr char Manifest[] = "manifest";
    static constexpr char Signature[] = "signature";

    // The member an entry was refused for, in the order they are read.
    enum class Fault { None, VersionCode, FileName, Sha256, Size, Expires, Rollout, Devices, Product, Complete, Manifest };

    struct Entry
    {
        QString platformKey;
        int versionCode = 0;
        QString fileName;    // a plain name: the package is stored under it in the download folder
        QString hash;        // MD5 of the package in hex, as written; empty: none
        QString link;        // where the package is fetched from
        QByteArray sha256;   // 64 lower-case hex digits; empty: not given
        qint64 size = -1;    // bytes; -1: not given
        QString expires;     // as written; empty: never
        QDateTime expiresAt; // invalid: never
        int rollout = 100;   // percent, 1 to 100
        QStringList devices; // sorted by their UTF-8 bytes; empty: every device
        QString product;     // empty: none named
        bool complete = false; // the package holds the whole version, not only changed files
        QString manifestName;  // relative to the information's folder; empty: no manifest
        qint64 manifestSize = 0;
        QByteArray manifestSha256;
    };

    // Reads `object`, the entry named `platformKey`. On a malformed member returns it, with `error`
    // saying what is wrong, and leaves `entry` as it was. Absent or null optional members take
    // their defaults; only the device list must be a list when it is there at all.
    static Fault parseEntry(const QString &platformKey, const QJsonObject &object, Entry *entry, QString *error);
    // The entry as the publishing tool writes it; optional members at their defaults are left out.
    static QJsonObject toJson(const Entry &entry);

    // "YYYY-MM-DDThh:mm:ssZ", optionally with a decimal fraction of the second; nothing else.
    static bool parseExpires(const QString &text, QDateTime *utc);
    // Something that stores as one file in one folder: not empty, no separator, not "." or "..".
    static bool isPlainName(const QString &name);
    // A QString can hold half of a surrogate pair, which has no UTF-8 form: two different strings
    // would then encode alike.
    static bool isWellFormed(const QString &text);
    // "bad version_code" and so on, for the log.
    static QString faultText(Fault fault);
};

#endif
