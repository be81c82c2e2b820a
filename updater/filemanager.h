#ifndef FILEMANAGER_H
#define FILEMANAGER_H

#include "updateinfo.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <memory>

class QFile;
class UpdaterSettings;
class UpdaterStatus;
class DownloadFile;

// The file work of an update: fetches the update information and the package into the work
// folder, reads the information, checks the package's digests and installs the package into the
// application folder.
class FileManager : public QObject
{
    Q_OBJECT
public:
    explicit FileManager(QObject *parent = nullptr);
    ~FileManager() override;

    // The status receives the version offered; the requests tell the server its states.
    void setSettings(UpdaterSettings *s, UpdaterStatus *st);

    // What reading the update information in the work folder gave.
    struct Info
    {
        // Absent: no file (nothing fetched yet); Unreadable: a file that cannot be opened.
        enum Outcome { Read, Absent, Unreadable, Refused };
        Outcome outcome = Refused;
        UpdateInfo::Entry entry;
        // With public keys configured the entry passed the signature check, and its package must
        // also have the signed SHA-256 and size.
        bool verified = false;
        QString error; // why it was refused or absent, as the log says
    };

    void downloadUpdateInfo();
    Info readUpdateInfo();
    // The offer whose package the calls below fetch, check, install or remove.
    void setOffer(const UpdateInfo::Entry &entry, bool verified);
    const UpdateInfo::Entry &offer() const { return current; }
    bool isPackageValid();
    void downloadPackage();
    // `error` says why it failed, as the log does; empty after a success.
    bool extractPackage(const QString &destDir, QString *error);
    // The last installation of this process succeeded: the application was replaced.
    bool hasInstalled() const { return extractOk; }
    // The application was replaced by other means (the changed files alone) in this process.
    void noteInstalled() { extractOk = true; }
    // The update information's address, to which the offer's manifest name is relative.
    QUrl infoUrl() const;
    // Trusts the configured CA file on this transfer's requests.
    void applyCaFile(DownloadFile *downloader);
    // The next package transfer starts from the first byte: the last one's bytes were wrong.
    bool startsClean() const { return cleanDownload; }

    // Who asks, for the server's log: the id the rollout uses, the installed version code and the
    // last update state. Sent with every request.
    QMap<QByteArray, QByteArray> requestHeaders() const;
    // The device id, or the updater's own rollout id while the device has none.
    QString rolloutIdentity() const;

    QString packagePath() const;
    // Removes the announced package and its partial files from the download folder (a version
    // that was rolled back is never installed again); logs each removal.
    void removePackage();
    QString downloadFolder() const;
    // True when this machine's clock is before the day the program was built: certificate dates
    // and expiry times then fail for a reason that is not theirs.
    static bool clockLooksWrong();

    // The update information is small; a bigger answer is a wrong or hostile server and would
    // only cost memory. About 40,000 device ids fit.
    static constexpr qint64 maxUpdateInfoSize = 1024 * 1024;

signals:
    void finished(int errorCode, QString content);
    void started(QString contentType, int contentLength);
    void progressChanged(double progress);
    void downloadingChanged(bool downloading);

private:
    void reportRefusedStart(const QVariantMap &params);
    bool readEntry(const QJsonObject &object, Info *info);
    // False, with a critical line, while the system-wide settings cannot be read.
    bool systemSettingsUsable() const;
    // Checks the package on an open file that no link led to; that file is then the one installed.
    bool checkPackage(QFile *package);
    void readManifestMember(const QJsonObject &entry);
    void reportClock(int errorCode);

    UpdaterSettings *settings = nullptr;
    UpdaterStatus *status = nullptr;
    DownloadFile *infoDownloader = nullptr;
    DownloadFile *packageDownloader = nullptr;
    UpdateInfo::Entry current;
    bool verified = false;
    // The package as the last successful isPackageValid() opened and checked it.
    std::unique_ptr<QFile> checkedPackage;
    bool extractOk = false;
    bool cleanDownload = false;
    const QString logPrefix = QStringLiteral("[FileManager]");
};

#endif
