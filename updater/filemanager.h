#ifndef FILEMANAGER_H
#define FILEMANAGER_H

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
class DownloadFile;

// The file work of an update: fetches the update information and the package into the work
// folder, decides whether this device may take the offered version, checks the package's MD5
// and installs the package into the application folder.
class FileManager : public QObject
{
    Q_OBJECT
public:
    explicit FileManager(QObject *parent = nullptr);
    ~FileManager() override;

    void setSettings(UpdaterSettings *s);

    void downloadUpdateInfo();
    bool readUpdateInfo();
    bool isPackageValid();
    void downloadPackage();
    bool extractPackage(const QString &destDir);

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

    int versionCode = 0;
    QString fileName;
    QString packageHash;
    QString packageLink;
    bool permitted = false;
    // With public keys configured: the entry read last passed the signature check, and the package
    // must also have these (signed) SHA-256 and size.
    bool signedEntry = false;
    QByteArray packageSha256;
    qint64 packageSize = -1;
    bool extractOk = false;
    // Why the last readUpdateInfo() failed, as its log says; and whether no information had ever
    // been fetched (no file yet), which is no fault.
    QString infoError;
    bool infoAbsent = false;
    // The package as the last successful isPackageValid() opened and checked it.
    std::unique_ptr<QFile> checkedPackage;
    // The entry read last holds the whole version ("complete"): its installation also removes
    // what the previous complete package brought and it lacks.
    bool completePackage = false;
    // The manifest the entry names for moving only the changed files; empty name: none (or malformed).
    QString manifestName;
    qint64 manifestSize = -1;
    QByteArray manifestSha256;
    // The update information's address, to which the manifest's name is relative.
    QUrl infoUrl() const;
    // Why the last installation failed, as its log says; empty after a success.
    QString extractError;
    QString downloadSubfolder = QStringLiteral("download");
    UpdaterSettings *settings = nullptr;
    QString logPrefix = QStringLiteral("[FileManager]");
    DownloadFile *infoDownloader = nullptr;
    DownloadFile *packageDownloader = nullptr;
    bool cleanDownload = false;
    // The update information is small; a bigger answer is a wrong or hostile server and would
    // only cost memory. About 40,000 device ids fit.
    static constexpr qint64 maxUpdateInfoSize = 1024 * 1024;

signals:
    void finished(int errorCode, QString content);
    void started(QString contentType, int contentLength);
    void progressChanged(double progress);
    void downloadingChanged(bool downloading);

public slots:
    void i_finished(int errorCode, QString content);
    void i_started(QString contentType, int contentLength);
    void i_progressChanged();
    void i_downloadingChanged();
    void a_finished(int errorCode, QString content);
    void a_started(QString contentType, int contentLength);
    void a_progressChanged();
    void a_downloadingChanged();

    // Trusts the configured CA file on this transfer's requests.
    void applyCaFile(DownloadFile *downloader);

private:
    void reportRefusedStart(const QVariantMap &params);
    // The phased rollout of an entry that the device list admits; logs which way it went.
    bool rolloutAdmits(const QJsonObject &entry) const;
    bool verifyEntry(QJsonObject *entry);
    // False, with a critical line, while the system-wide settings cannot be read.
    bool systemSettingsUsable() const;
    bool productAdmits(const QJsonObject &entry);
    // Checks the package on an open file that no link led to; that file is then the one installed.
    bool checkPackage(QFile *package);
    void readManifestMember(const QJsonObject &entry);
    void reportClock(int errorCode);
};

#endif
