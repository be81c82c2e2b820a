#ifndef DELTAUPDATE_H
#define DELTAUPDATE_H

#include "deltamanifest.h"
#include "deltaplan.h"
#include "packageinstaller.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>

class DownloadFile;
class QTimer;
class TreeHashCache;

// Brings the application folder to a published version by moving only what changed: fetches the
// version's manifest (checked against the digest the entry gives), hashes the installed files, fetches
// the objects and patches the plan asks for into the work folder (kept there across attempts),
// rebuilds every changed file into a stage and checks each against the manifest; install() later
// hands the stage to the journaled installation. Any failure ends it with a reason; its owner then
// takes the whole package. A step machine: tick() does one step of the local work, transfers end in
// a tick of their own.
class DeltaUpdate : public QObject
{
    Q_OBJECT
public:
    enum class Step { Idle, Manifest, Hash, Plan, Fetch, Rebuild, Staged, Done, Failed };

    // What the entry says about the version.
    struct Source
    {
        QUrl infoUrl;           // the update-information file; the manifest's name is relative to it
        QString manifestName;
        qint64 manifestSize = -1;
        QByteArray manifestSha256;
        QString key;
        int versionCode = 0;
    };
    // Installs the stage: rebuilt are the files written into it (relative paths); every other file
    // of the manifest is in the application folder already with its content and mode. False with
    // error when the installation failed (it must then leave the folder as it was).
    using Installer = std::function<bool(const QString &stage, const DeltaManifest &manifest,
                                         const QStringList &rebuilt, QString *error)>;

    // The journaled installation into appFolder (StagedInstall), as the package's: the replaced
    // files are kept for a return, a complete manifest removes what the previous complete version
    // brought and this one lacks, files in place with their content are neither moved nor kept.
    // fromVersion is the version now installed; store and log as for the package.
    static Installer journaledInstaller(const QString &appFolder, int fromVersion,
                                        const std::function<bool(int versionCode)> &store,
                                        const std::function<void(const QString &line)> &log);

    explicit DeltaUpdate(QObject *parent = nullptr);
    ~DeltaUpdate() override;

    void setAppFolder(const QString &folder) { m_appFolder = folder; }
    // Holds objects/, patches/, manifests/, the stage and the hash cache.
    void setWorkFolder(const QString &folder) { m_workFolder = folder; }
    void setPatchCap(qint64 bytes) { m_patchCap = bytes; }
    void setInstaller(const Installer &installer) { m_installer = installer; }
    // Free space of the work folder's volume, checked before the stage is written (the package's
    // probe unless a test replaces it).
    void setSpaceProbe(const PackageInstaller::SpaceProbe &probe) { m_spaceProbe = probe; }
    // The transfer of every file; its owner sets headers, CA file and stall intervals on it.
    DownloadFile *downloader() const { return m_download; }

    // False while a run is going on.
    bool start(const Source &source);
    // Installs what a run staged; false with errorString() when nothing is staged or the
    // installation failed (the folder is then as it was, or its journal says how to recover).
    bool install();
    // Takes up the stage an earlier process left for this source (after a restart between the
    // download and the installation): true when the manifest in the work folder matches the entry and
    // every file of it is either in the stage or installed with its content, each checked now.
    bool adoptStage(const Source &source);
    // A stage of this version is ready for install().
    bool isStaged(int versionCode) const { return m_step == Step::Staged && m_manifest.versionCode == versionCode; }
    void abort();
    // One step of hashing, planning, rebuilding or installing; a transfer in flight makes it wait.
    void tick();

    Step step() const { return m_step; }
    QString errorString() const { return m_error; }
    const DeltaManifest &manifest() const { return m_manifest; }
    const DeltaPlan &plan() const { return m_plan; }
    qint64 bytesToMove() const { return m_plan.bytesToMove; }
    // Bytes fetched so far for the plan's objects and patches.
    qint64 bytesMoved() const;

    // The work folder's files of the manifest, objects and patches, and the stage.
    static QString manifestFile(const QString &workFolder, const QString &key, int versionCode);
    static QString stageFolder(const QString &workFolder);

    // A patch's window spans its reference and its result: the power of two at or above both,
    // at most 2^30 (the largest that 32-bit builds decode).
    static int patchWindowLog(qint64 referenceSize, qint64 resultSize);
    // Objects are whole files compressed at any level: the format's default limit (128 MiB).
    static constexpr int objectWindowLog = 27;

signals:
    // Exactly once per successful start(): staged, or reason says why not.
    void finished(bool ok, const QString &reason);
    void progressChanged();

private:
    void fail(const QString &reason);
    void schedule();
    void onTransferEnd(int code, const QString &content);
    void readManifest();
    bool loadManifest(QString *error);
    void hashOne();
    void makePlan();
    void fetchNext();
    bool checkSpace();
    void rebuildOne();
    bool rebuild(const DeltaPlan::Step &step, const DeltaManifest::File &file, QString *error);

    QString m_appFolder;
    QString m_workFolder;
    qint64 m_patchCap = DeltaPlan::defaultPatchCap;
    Installer m_installer;
    PackageInstaller::SpaceProbe m_spaceProbe;
    DownloadFile *m_download = nullptr;
    QTimer *m_ticker = nullptr;
    std::unique_ptr<TreeHashCache> m_hashes;

    Step m_step = Step::Idle;
    Source m_source;
    QString m_error;
    DeltaManifest m_manifest;
    DeltaPlan m_plan;
    QHash<QString, DeltaPlan::Installed> m_installed;
    QStringList m_fetches;          // relative names still to fetch, in order
    QString m_fetching;             // the one in flight
    qint64 m_fetchingSize = 0;
    qint64 m_fetched = 0;           // bytes of the fetches that ended
    int m_index = 0;                // next file of the manifest to hash or rebuild
    QStringList m_rebuilt;
};

#endif
