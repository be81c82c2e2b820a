#ifndef UPDATER_H
#define UPDATER_H

#include "checkschedule.h"
#include "folderkeeper.h"
#include "recovery.h"
#include "updateoffer.h"
#include "updaterstatus.h"

#include <QObject>
#include <QString>

#include <functional>

class DeltaUpdate;
class FileManager;
class QTimer;
class UpdaterSettings;

// The periodic update cycle: fetches the update information, decides whether this device takes
// the offered version, has the package downloaded and verified, announces it and installs it on
// request (or at once with automatic installation). Progress is published through its status.
class Updater : public QObject
{
    Q_OBJECT
public:
    enum class Step { Check, Info, Package, Done, Failed, Delta };
    Q_ENUM(Step)

    explicit Updater(QObject *parent = nullptr);

    // Which part of a check failed.
    enum class Failure { InfoTransfer, InfoUnreadable, PackageTransfer, PackageInvalid };
    // The update state a failed check leaves, so that it never reports an earlier check's verdict.
    // Only a failed fetch of the information keeps "ready", "updating" and "updated": the package
    // and the information it was checked against are still there, and the launcher acts on them.
    // The download state after any failure is "error".
    static QString updateStateAfter(const QString &current, Failure failure);

    // A whole number from 0 to bound - 1. The spread of the checks' times ("update/jitter") draws
    // from it; tests replace it to know the draw.
    using RandomSource = CheckSchedule::RandomSource;
    void setRandomSource(const RandomSource &source) { random = source; }

    void init(UpdaterSettings *s);
    void startDownload();
    bool startUpdate();
    // Returns the application folder to the version kept by the last installation and refuses the
    // one it leaves; the application must not be running.
    bool rollBack();
    // The installed version has proved itself: the files kept from the previous one go.
    void commitVersion();
    // Finishes or undoes a journal left in the application folder (cut off by a crash, or an undo
    // or rollback that stopped on a full disk, an I/O error or a folder in the way), unless a move
    // is running. Run by init() before anything looks at the folder, again at every check and on
    // "commit" and "rollback", so the device does not wait for a restart once the cause is gone.
    // Returns what the recovery did (Nothing without a journal).
    Recovery::Result recoverFolder();

    // Whether this updater may touch the application folder now (it holds the folder's lock).
    // Installation, rollback and commit ask first; so does anything else that moves files there.
    using FolderGate = FolderKeeper::Gate;
    void setFolderGate(const FolderGate &gate) { folder.setGate(gate); }
    bool mayTouchFolder() const;

    // Read-only views for the entry and for tests that drive the cycle tick by tick.
    Step getCycleStep() const { return cycleStep; }
    int getPeriod() const { return period; }
    int getErrorCode() const { return errorCode; }
    double getProgress() const { return progress; }
    FileManager *getFileManager() const { return fileManager; }
    // The states, progress and last error of this updater, for the control channel.
    UpdaterStatus *status() { return &runStatus; }
    DeltaUpdate *getDeltaUpdate() const { return delta; }
    QTimer *getPeriodTimer() const { return periodTimer; }
    QTimer *getProgressTimer() const { return progressTimer; }

signals:
    void quit();
    // A package was installed: the process should end once its clients know, so that the next
    // check runs in a fresh one.
    void installed();

public slots:
    void finished(int errorCode, QString content);
    void started(QString contentType, int contentLength);
    void progressChanged(double progress);
    void downloadingChanged(bool downloading);
    void timeout();
    void aliveTimeout();
    void progressTimeout();

private:
    void updateReady();
    void setStateDownload(const QString &state);
    void setStateUpdate(const QString &state);
    // Where the offer is looked at: at start (nothing is fetched), after the information or after
    // the package arrived.
    enum class Moment { Start, Info, Package };
    // Reads the information (not after the package) and carries out what UpdateOffer::judge says.
    void takeOffer(Moment moment);
    // False, with the states and the error set, when the information could not be read.
    bool readOffer(Moment moment);
    // The information was refused: at start only the states, later the check fails.
    void refuseInfo(Moment moment, const QString &reason);
    void takeNewVersion(Moment moment, const UpdateOffer::Judgement &judgement);
    // Ends the check as failed: both states per updateStateAfter() and the reason for "last_error".
    void failCheck(Failure failure, const QString &reason);
    // A failed installation or rollback: its reason for "last_error".
    void noteError(const QString &reason);
    void restartPeriodTimer(int msec);
    void tickCheck();
    // False while "update/link" is the packaged placeholder; says so in the log once per spell.
    bool hasUpdateServer();
    // The information or the package has arrived (or not).
    void tickReply(Moment moment);
    // The offer names a manifest, "update/delta" is on and the road through it has not failed for
    // this version: only the changed files are fetched.
    bool deltaWanted() const;
    void startDelta();
    void deltaFinished(bool ok, const QString &reason);
    // The offered version is staged by the delta road and checked (a stage an earlier process left
    // is taken up once it checks out again).
    bool deltaStaged() const;

    UpdaterSettings *settings = nullptr;
    UpdaterStatus runStatus;
    FolderKeeper folder{&runStatus};
    FileManager *fileManager = nullptr;
    DeltaUpdate *delta = nullptr;
    // The version whose delta road failed in this process; its package is taken instead.
    int deltaFailedVersion = 0;
    double progress = 0;
    int errorCode = 0;
    // The text of the last failed transfer.
    QString errorText;
    Step cycleStep = Step::Check;
    bool replyPending = false;
    bool serverMissingLogged = false;
    int period = 0;
    QTimer *periodTimer = nullptr;
    QTimer *aliveTimer = nullptr;
    QTimer *progressTimer = nullptr;
    RandomSource random;
};

#endif
