#include "updater.h"

#include "checkschedule.h"
#include "deltaupdate.h"
#include "downloadfile.h"
#include "filemanager.h"
#include "installjournal.h"
#include "updatersettings.h"
#include "protocol.h"
#include "settingsstore.h"
#include "updateoffer.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QRandomGenerator>
#include <QTimer>

namespace {
namespace State = Protocol::State;
namespace Token = Protocol::Token;

const int aliveInterval = 60000;
const int retryInterval = 60000;
const int firstCheckDelay = 60000;
const int progressInterval = 1000;
const int requestedCheckDelay = 100;
}

Updater::Updater(QObject *parent)
    : QObject(parent)
{
    aliveTimer = new QTimer(this);
    connect(aliveTimer, &QTimer::timeout, this, &Updater::aliveTimeout);
    progressTimer = new QTimer(this);
    connect(progressTimer, &QTimer::timeout, this, &Updater::progressTimeout);
    aliveTimer->start(aliveInterval);
    random = [](quint32 bound) { return QRandomGenerator::global()->bounded(bound); };
}

void Updater::init(UpdaterSettings *s)
{
    settings = s;
    folder.setSettings(s);
    // An installation or rollback cut off by a crash or power loss is finished or undone before
    // anything looks at the folder.
    recoverFolder();
    period = s->periodCheckUpdate;
    fileManager = new FileManager(this);
    fileManager->setSettings(s, &runStatus);
    folder.setFileManager(fileManager);
    connect(fileManager, &FileManager::started, this, &Updater::started);
    connect(fileManager, &FileManager::finished, this, &Updater::finished);
    connect(fileManager, &FileManager::progressChanged, this, &Updater::progressChanged);
    connect(fileManager, &FileManager::downloadingChanged, this, &Updater::downloadingChanged);
    delta = new DeltaUpdate(this);
    connect(delta, &DeltaUpdate::finished, this, &Updater::deltaFinished);
    connect(delta, &DeltaUpdate::progressChanged, this, [this] { progressChanged(double(delta->bytesMoved())); });
    connect(delta->downloader(), &DownloadFile::downloadingChanged, this,
            [this] { downloadingChanged(delta->downloader()->isDownloading()); });
    periodTimer = new QTimer(this);
    connect(periodTimer, &QTimer::timeout, this, &Updater::timeout);

    // "init" is only a passing value; clients learn the state that follows it.
    runStatus.stateUpdate = QLatin1String(State::Init);
    takeOffer(Moment::Start);
    folder.refreshStateProbation();
    hasUpdateServer();

    const int firstDelay = CheckSchedule::firstCheck(firstCheckDelay, settings->jitter, random);
    if (settings->jitter > 0)
        qDebug() << "[Updater]" << "first check in" << firstDelay << "ms";
    periodTimer->start(firstDelay);
    cycleStep = Step::Check;
}

void Updater::startDownload()
{
    cycleStep = Step::Check;
    period = settings->periodCheckUpdate;
    if (period > 0)
        restartPeriodTimer(requestedCheckDelay);
}

bool Updater::mayTouchFolder() const
{
    return folder.mayTouch();
}

bool Updater::rollBack()
{
    return folder.rollBack();
}

void Updater::commitVersion()
{
    folder.commitVersion();
}

Recovery::Result Updater::recoverFolder()
{
    return folder.recover();
}

bool Updater::startUpdate()
{
    if (!mayTouchFolder()) {
        FolderKeeper::logNotTouched("installation");
        if (settings) {
            noteError(QStringLiteral("installation refused: this updater does not hold the application folder"));
            Utils::outsn(QLatin1String(Token::ErrUpdated));
            setStateUpdate(QLatin1String(State::Error));
        }
        return false;
    }
    Utils::outsn(QLatin1String(Token::Updating));
    setStateUpdate(QLatin1String(State::Updating));
    qDebug() << "[Updater]" << "updating dir" << settings->appFolder;
    // A request may come while no verified package is present (an older one under the same name,
    // or none); installing it would record the announced version for files that are not it.
    const int versionCode = fileManager->offer().versionCode;
    const bool byDelta = deltaStaged();
    const bool verified = byDelta || fileManager->isPackageValid();
    if (!verified)
        qDebug() << "[Updater]" << "package not verified" << fileManager->packagePath();
    const bool refused = settings->isRefused(versionCode);
    if (refused)
        qDebug() << "[Updater]" << "version" << versionCode << "was rolled back on this device, not taken";
    // A journal that was there before refused the installation; its own reason stands.
    const bool pendingBefore = InstallJournal::existsIn(settings->appFolder);
    folder.setMoving(true);
    QString extractError;
    bool extracted = false;
    if (verified && !refused && byDelta) {
        delta->setInstaller(DeltaUpdate::journaledInstaller(
            settings->appFolder, settings->getAppVersionCode(), [this](int code) { return settings->storeVersionCode(code); },
            [](const QString &line) { qWarning().noquote() << "[FileManager]" << line; }));
        extracted = delta->install();
        if (extracted) {
            fileManager->noteInstalled();
        } else {
            extractError = delta->errorString();
            // The next check takes the package.
            deltaFailedVersion = versionCode;
        }
    } else if (verified && !refused) {
        extracted = fileManager->extractPackage(settings->appFolder, &extractError);
    }
    folder.setMoving(false);
    // An undo that could not finish leaves the journal; so does a version code that could not be stored.
    if (pendingBefore)
        folder.refreshStateJournal(QString());
    else
        folder.refreshStateJournal(extractError.isEmpty() ? QStringLiteral("the installation left its journal") : extractError);
    if (extracted) {
        settings->setAppVersionCode(versionCode);
        if (settings->rolledBackVersion != 0)
            settings->setRolledBackVersion(0);
        qDebug() << "[Updater]" << "updated version code:" << settings->getAppVersionCode();
        Utils::outsn(QLatin1String(Token::Updated));
        setStateUpdate(QLatin1String(State::Updated));
        folder.refreshStateProbation();
        emit installed();
        return true;
    }
    if (!verified)
        noteError(QStringLiteral("installation refused: package not verified: ") + fileManager->packagePath());
    else if (refused)
        noteError(QStringLiteral("installation refused: version %1 was rolled back on this device").arg(versionCode));
    else
        noteError(QStringLiteral("installation failed: ")
                  + (runStatus.journalError.isEmpty() ? extractError : runStatus.journalError));
    Utils::outsn(QLatin1String(Token::ErrUpdated));
    setStateUpdate(QLatin1String(State::Error));
    // A failed installation may still have dropped the kept generation.
    folder.refreshStateProbation();
    return false;
}

QString Updater::updateStateAfter(const QString &current, Failure failure)
{
    switch (failure) {
    case Failure::InfoTransfer:
        if (current == QLatin1String(State::Ready) || current == QLatin1String(State::Updating)
            || current == QLatin1String(State::Updated))
            return current;
        return QLatin1String(State::ErrorInfo);
    case Failure::InfoUnreadable:
        return QLatin1String(State::ErrorInfo);
    case Failure::PackageTransfer:
    case Failure::PackageInvalid:
        break;
    }
    // The announced package is missing or wrong.
    return QLatin1String(State::ErrorHash);
}

void Updater::failCheck(Failure failure, const QString &reason)
{
    // Logged before the states change, so that a reader of both never sees a state without its reason.
    qDebug().noquote() << "[Updater] check failed:" << reason;
    setStateDownload(QLatin1String(State::Error));
    const QString state = updateStateAfter(runStatus.stateUpdate, failure);
    if (state != runStatus.stateUpdate)
        setStateUpdate(state);
    runStatus.noteError(reason);
    cycleStep = Step::Failed;
}

void Updater::noteError(const QString &reason)
{
    runStatus.noteError(reason);
}

void Updater::updateReady()
{
    Utils::outsn(QLatin1String(Token::UpdateReady));
    setStateUpdate(QLatin1String(State::Ready));
    if (settings->appUpdateActive != 0)
        startUpdate();
}

void Updater::setStateDownload(const QString &state)
{
    runStatus.setStateDownload(state);
}

void Updater::setStateUpdate(const QString &state)
{
    runStatus.setStateUpdate(state);
}

void Updater::restartPeriodTimer(int msec)
{
    periodTimer->stop();
    periodTimer->start(msec);
}

void Updater::timeout()
{
    periodTimer->stop();
    if (period > 0)
        periodTimer->start(CheckSchedule::nextCheck(period, settings->jitter, random));

    switch (cycleStep) {
    case Step::Check:
        tickCheck();
        break;
    case Step::Info:
        tickReply(Moment::Info);
        break;
    case Step::Package:
        tickReply(Moment::Package);
        break;
    case Step::Done:
    case Step::Failed:
        cycleStep = Step::Check;
        restartPeriodTimer(1);
        break;
    case Step::Delta:
        // DeltaUpdate runs on its own ticks and ends in deltaFinished().
        break;
    }
}

void Updater::tickCheck()
{
    recoverFolder();
    settings->read();
    if (!hasUpdateServer()) {
        // Looked at again every minute, so a link set in the system file is taken soon.
        restartPeriodTimer(retryInterval);
        setStateDownload(QLatin1String(State::NotActive));
        return;
    }
    if (!(period == settings->periodCheckUpdate && period >= 1 && settings->appDownloadActive != 0)) {
        period = settings->periodCheckUpdate;
        if (period <= 0 || settings->appDownloadActive != 1) {
            restartPeriodTimer(retryInterval);
            period = retryInterval / 1000;
            setStateDownload(QLatin1String(State::NotActive));
            return;
        }
        restartPeriodTimer(CheckSchedule::nextCheck(period, settings->jitter, random));
    }
    qDebug() << "[Updater]" << "period" << period;
    replyPending = false;
    cycleStep = Step::Info;
    setStateDownload(QLatin1String(State::Downloading));
    fileManager->downloadUpdateInfo();
}

bool Updater::hasUpdateServer()
{
    const bool missing = ControlKeys::isUnconfiguredLink(settings->updateLink);
    if (missing && !serverMissingLogged) {
        const QString system =
            SettingsStore::openSystem(settings->organization, QCoreApplication::applicationName())->fileName();
        qWarning().noquote() << "[Updater] no update server configured: update/link is \"" + settings->updateLink
                                    + "\"; set it in " + system + " for the whole fleet (or in "
                                    + settings->store.fileName() + " for this user); no check runs until then";
    }
    serverMissingLogged = missing;
    return !missing;
}

void Updater::tickReply(Moment moment)
{
    if (!replyPending)
        return;
    if (moment == Moment::Package)
        progressTimer->stop();
    if (errorCode == 0) {
        takeOffer(moment);
    } else if (moment == Moment::Info) {
        qDebug() << "[Updater]" << "error dowloading update info";
        failCheck(Failure::InfoTransfer, QStringLiteral("update information not fetched: ") + errorText);
    } else {
        qDebug() << "[Updater]" << "error dovnloading app";
        failCheck(Failure::PackageTransfer, QStringLiteral("package not fetched: ") + errorText);
    }
}

bool Updater::readOffer(Moment moment)
{
    const FileManager::Info info = fileManager->readUpdateInfo();
    const bool read = info.outcome == FileManager::Info::Read;
    UpdateInfo::Entry entry = read ? info.entry : fileManager->offer();
    // Information that is gone announces no version; a refused one leaves the last offer named,
    // but no longer verified.
    const bool gone = info.outcome == FileManager::Info::Absent || info.outcome == FileManager::Info::Unreadable;
    if (gone)
        entry.versionCode = 0;
    fileManager->setOffer(entry, info.verified);
    if (read || gone)
        runStatus.readyVersionCode = entry.versionCode;
    if (read)
        return true;
    // A device that never fetched the information has no fault to report before its first check.
    if (moment == Moment::Start && info.outcome == FileManager::Info::Absent)
        setStateUpdate(QLatin1String(State::Init));
    else
        refuseInfo(moment, info.error);
    return false;
}

void Updater::refuseInfo(Moment moment, const QString &reason)
{
    const QString text = QStringLiteral("update information refused: ") + reason;
    if (moment == Moment::Start) {
        runStatus.noteError(text);
        setStateUpdate(QLatin1String(State::ErrorInfo));
    } else {
        qDebug() << "[Updater]" << "error dowloading update info";
        failCheck(Failure::InfoUnreadable, text);
    }
}

void Updater::takeOffer(Moment moment)
{
    if (moment != Moment::Package && !readOffer(moment))
        return;
    const UpdateOffer::DeviceFacts facts{settings->deviceId, settings->rolloutId, settings->product,
                                         settings->getAppVersionCode(), settings->refusedList(),
                                         [this] { return deltaStaged() || fileManager->isPackageValid(); }};
    const UpdateOffer::Judgement judgement = UpdateOffer::judge(fileManager->offer(), facts);
    const QString &reason = judgement.reason;
    switch (judgement.verdict) {
    case UpdateOffer::Verdict::ErrorInfo:
        qWarning().noquote() << "[FileManager] update information refused:" << reason;
        refuseInfo(moment, reason);
        return;
    case UpdateOffer::Verdict::Ready:
    case UpdateOffer::Verdict::Fetch:
        takeNewVersion(moment, judgement);
        return;
    case UpdateOffer::Verdict::NotPermitted:
        qDebug().noquote() << "[FileManager]" << reason;
        if (moment != Moment::Start)
            qDebug() << "[Updater]" << "update not permitted";
        break;
    case UpdateOffer::Verdict::Refused:
        qDebug().noquote() << "[Updater]" << reason;
        fileManager->removePackage();
        break;
    case UpdateOffer::Verdict::NotRequired:
        // Both codes: a device that reports an unexpected installed version is seen at once.
        if (moment == Moment::Info)
            qDebug() << "[Updater]" << reason;
        break;
    }
    const bool permitted = judgement.verdict != UpdateOffer::Verdict::NotPermitted;
    setStateUpdate(QLatin1String(permitted ? State::NotRequired : State::NotPermitted));
    if (moment != Moment::Start) {
        cycleStep = Step::Done;
        setStateDownload(QLatin1String(State::Ready));
    }
}

void Updater::takeNewVersion(Moment moment, const UpdateOffer::Judgement &judgement)
{
    const bool ready = judgement.verdict == UpdateOffer::Verdict::Ready;
    const QString version = QStringLiteral("new version ") + QString::number(fileManager->offer().versionCode);
    if (moment != Moment::Package && !judgement.reason.isEmpty())
        qDebug().noquote() << "[FileManager]" << judgement.reason;
    if (moment == Moment::Info)
        qDebug() << "[Updater]" << version;
    if (ready && moment == Moment::Start) {
        qDebug() << "[Updater]" << version << "ready";
    } else if (ready) {
        qDebug() << "[Updater]" << (moment == Moment::Info ? "no download required, app available" : "app dowloded, available");
        cycleStep = Step::Done;
        setStateDownload(QLatin1String(State::Ready));
    } else if (moment == Moment::Start) {
        // Nothing is fetched before the first check.
        setStateUpdate(QLatin1String(State::ErrorHash));
    } else if (moment == Moment::Package) {
        qDebug() << "[Updater]" << "error dovnloading app";
        failCheck(Failure::PackageInvalid,
                  QStringLiteral("package does not match the update information: ") + fileManager->packagePath());
    } else if (fileManager->hasInstalled()) {
        // The application was replaced in this process; it must restart before another update.
        restartPeriodTimer(retryInterval);
    } else {
        qDebug() << "[Updater]" << "downloading new version app" << fileManager->downloadFolder();
        cycleStep = Step::Package;
        setStateDownload(QLatin1String(State::Downloading));
        setStateUpdate(QLatin1String(State::Downloading));
        replyPending = false;
        if (deltaWanted())
            startDelta();
        else
            fileManager->downloadPackage();
    }
    if (ready)
        updateReady();
}

bool Updater::deltaWanted() const
{
    const UpdateInfo::Entry &offer = fileManager->offer();
    return settings->deltaActive == 1 && !offer.manifestName.isEmpty() && offer.versionCode != deltaFailedVersion;
}

bool Updater::deltaStaged() const
{
    if (!deltaWanted())
        return false;
    const UpdateInfo::Entry &offer = fileManager->offer();
    if (delta->isStaged(offer.versionCode))
        return true;
    if (delta->step() != DeltaUpdate::Step::Idle)
        return false;
    delta->setAppFolder(settings->appFolder);
    delta->setWorkFolder(settings->tempDir + QStringLiteral("/delta"));
    return delta->adoptStage({fileManager->infoUrl(), offer.manifestName, offer.manifestSize, offer.manifestSha256,
                              settings->appKey, offer.versionCode});
}

void Updater::startDelta()
{
    const UpdateInfo::Entry &offer = fileManager->offer();
    cycleStep = Step::Delta;
    delta->setAppFolder(settings->appFolder);
    delta->setWorkFolder(settings->tempDir + QStringLiteral("/delta"));
    delta->setPatchCap(qint64(settings->patchMb) * 1024 * 1024);
    delta->downloader()->setExtraHeaders(fileManager->requestHeaders());
    delta->downloader()->clearConnectionCache();
    fileManager->applyCaFile(delta->downloader());
    qDebug() << "[Updater]" << "fetching the changed files of version" << offer.versionCode;
    delta->start({fileManager->infoUrl(), offer.manifestName, offer.manifestSize, offer.manifestSha256,
                  settings->appKey, offer.versionCode});
}

void Updater::deltaFinished(bool ok, const QString &reason)
{
    if (cycleStep != Step::Delta)
        return;
    progressTimer->stop();
    if (ok) {
        // Judged again as after a package transfer: a version rolled back meanwhile is not taken.
        cycleStep = Step::Package;
        takeOffer(Moment::Package);
        return;
    }
    qWarning().noquote() << "[Updater] delta update failed:" << reason << "- falling back to the package";
    deltaFailedVersion = fileManager->offer().versionCode;
    cycleStep = Step::Package;
    replyPending = false;
    fileManager->downloadPackage();
}

void Updater::finished(int errorCode, QString content)
{
    qDebug() << "[Updater]" << "finished()";
    qDebug() << "[Updater]" << "errorCode:" << errorCode;
    qDebug() << "[Updater]" << "content:" << content;
    this->errorCode = errorCode;
    errorText = errorCode != 0 ? content : QString();
    replyPending = true;
    restartPeriodTimer(1);
}

void Updater::started(QString contentType, int contentLength)
{
    qDebug() << "[Updater]" << "started()";
    qDebug() << "[Updater]" << "contentType:" << contentType;
    qDebug() << "[Updater]" << "contentLength:" << contentLength;
}

void Updater::progressChanged(double progress)
{
    this->progress = progress;
    runStatus.downloadProgress = QString::number(qint64(progress));
}

void Updater::downloadingChanged(bool downloading)
{
    if (downloading) {
        progressTimer->start(progressInterval);
    } else {
        progressTimer->stop();
        runStatus.downloadProgress.clear();
    }
}

void Updater::progressTimeout()
{
    qDebug() << "[Updater]" << "progress:" << progress;
}

void Updater::aliveTimeout()
{
    Utils::outsn(QLatin1String(Token::Alive));
}
