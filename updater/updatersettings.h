#ifndef UPDATERSETTINGS_H
#define UPDATERSETTINGS_H

#include "controlkeys.h"

#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>

// The updater's configuration. Every read completes missing or invalid values with defaults and
// writes them back, so after the first run the store lists every key. All values are described by
// one key table, which also serves the control channel's "get" and "set" of the stored values.
class UpdaterSettings : public QObject
{
    Q_OBJECT
public:
    using Kind = ControlKeys::Kind;
    // What a setter does with the value it is given.
    enum class SetRule { Store, OneOrZero, IgnoreNegative };
    // What the control channel reports: the value re-read from the store, or the one in memory.
    enum class ChannelRead { Stored, Memory };

    // One value: its store key, its field, how read() completes it, how a setter normalises it and
    // what the control channel reports of it.
    struct Key
    {
        const char *storeKey;
        Kind kind;
        QString UpdaterSettings::*text;
        qint32 UpdaterSettings::*number;
        // A text key that reads as its fallback counts as missing; a number key below 0 does.
        const char *textFallback;
        QString (*defaultText)(const UpdaterSettings &);
        qint32 defaultNumber;
        // The debug line written when read() writes the default back, and whether the value follows.
        const char *logText;
        bool logValue;
        SetRule setRule;
        ChannelRead channelRead;
    };

    explicit UpdaterSettings(QObject *parent = nullptr);
    ~UpdaterSettings() override;

    void init();
    void read();
    void setAppVersionCode(int version);
    int getAppVersionCode();
    void setActiveDownload(int op);
    void setActiveUpdate(int op);
    QString getDownloadLink();
    void setDownloadLink(QString link);
    void setAppDir(QString dir);
    QString getAppDir();
    void setPeriodCheckUpdate(int period);
    int getPeriodCheckUpdate();

    // "update/nice" as read() would complete it, for the entry to read from a store opened before
    // this object can exist.
    static int storedNice(const QSettings &store);

    QString getDeviceId();
    void setDeviceId(QString id);

    // Version codes rolled back on this device ("app/refused"): never downloaded or installed again.
    bool isRefused(int versionCode);
    // The refused version codes as stored.
    QStringList refusedList();
    // Adds the code once and syncs the store; false when the store could not be written.
    bool refuseVersion(int versionCode);
    // Stores "app/version"; false unless the user's own file holds it afterwards.
    bool storeVersionCode(int versionCode);
    // Stores "app/rolled_back": the version the last rollback refused, 0 after an installation.
    void setRolledBackVersion(int versionCode);

    // Why the system-wide file at `path` cannot be used (it exists but cannot be read or parsed);
    // empty when it is absent or fine.
    static QString systemFileProblem(const QString &path);
    // "off", "on, 2 keys" and the like: what the control channel and the start's log line report.
    QString signingSummary() const;
    // One line at every start: whether signing is on, with how many keys, and the CA file.
    void logSigning() const;

    // The value of a channel key held here (the stored ones, "signing" and "rolled_back_version");
    // an invalid QVariant for any other key.
    QVariant channelValue(const ControlKeys::Key &key);
    // Stores the value of a writable channel key; read-only keys are left alone.
    void setChannelValue(const ControlKeys::Key &key, const QVariant &value);

private:
    // Declared before store, which refers to it.
    std::unique_ptr<QSettings> storeOwner;

public:
    QSettings &store;
    QString organization;
    QString appFolder;
    qint32 appVersionCode = 0;
    QString appKey;
    QString deviceId;
    QString updateLink;
    QString updateInfoRequest;
    qint32 periodCheckUpdate = 0;
    qint32 appDownloadActive = 0;
    qint32 appUpdateActive = 0;
    QString tempDir;
    QString serverName;
    // "app/rolled_back": the version code the last rollback refused; 0 once a version installs.
    qint32 rolledBackVersion = 0;
    QString rolloutId;
    qint32 jitter = 0;
    qint32 niceLevel = 10;
    qint32 deltaActive = 1;
    qint32 patchMb = 256;
    // Comma-separated version codes; empty by default.
    QString refusedVersions;
    // Read only from the system-wide store by read(), which the device's user cannot write: the
    // keys that updates must be signed with (comma-separated; empty: no signing) and the CA file
    // for https (empty: the system's CAs). Never written, never in the key table, so neither the
    // control channel nor the command line reaches them.
    QString publicKeys;
    QString caFile;
    // System-wide "update/product": when set, only entries of this product are taken.
    QString product;
    // Set while the system-wide file exists but cannot be read or parsed: what it would say about
    // signing is unknown, so nothing is installed (the path and the reason, for the log).
    QString systemError;
    // signingSummary() as of the last read, for the control channel.
    QString signing;

private:
    QVariant readStored(const Key &key);
    QVariant readRaw(const Key &key);
    // The stored key behind a writable channel key, or null.
    static const Key *storedKey(const ControlKeys::Key &channel);
    void assign(const Key &key, const QVariant &value);
    void write(const Key &key, const QVariant &value);
    void readSystemOnly(const QSettings &system);
    // Whether the user's file, read alone (Qt's status of the store also reflects the read-only
    // system files behind it), holds `value` under `key`.
    bool ownFileHolds(const Key &key, const QVariant &value);
};

#endif
