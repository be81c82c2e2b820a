#include "updater.h"

#include "deltaupdate.h"
#include "downloadfile.h"
#include "filemanager.h"
#include "installjournal.h"
#include "updatersettings.h"
#include "protocol.h"
#include "settingsstore.h"
#include "utils.h"
#include "versionrollback.h"

#include <QCoreApplication>
#include <QDebug>
#include <QRandomGenerator>
#include <QTimer>

#include <limits>

namespace {
namespace State = Protocol::State;
namespace Token = Protocol::Token;
namespace Probation = Protocol::Probation;
namespace Journal = Protocol::Journal;

const int aliveInterval = 60000;
const int retryInterval = 60000;
const int firstCheckDelay = 60000;
const int progressInterval = 1000;
const int requestedCheckDelay = 100;

// Periods of about 25 days and more overflow a timer's int milliseconds, and a timer with a
// negative interval never fires: such a period waits as long as a timer can.
int periodMs(int seconds)
{
    return int(qMin<qint64>(qint64(seconds) * 1000, std::numeric_limits<int>::max()));
}

void logNotTouched(const char *what)
{
    qWarning() << "[Updater]" << what << "refused: this updater does not hold the application folder";
}
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

quint32 Updater::draw(qint64 maxMs) const
{
    if (maxMs <= 0 || !random)
        return 0;
    // A timer's interval is an int: a longer spread could not be waited for anyway.
    const quint32 bound = quint32(qMin<qint64>(maxMs, std::numeric_limits<int>::max() - 1) + 1);
    return qMin(random(bound), bound - 1);
}

int Updater::periodWithJitter() const
{
    const int base = periodMs(period);
    if (settings->jitter <= 0)
        return base;
    // Later checks spread by up to the jitter, but never by more than a tenth of the period.
    const qint64 spread = qMin(qint64(settings->jitter) * 1000, qint64(base) / 10);
    return int(qMin<qint64>(qint64(base) + draw(spread), std::numeric_limits<int>::max()));
}

void Updater::init(UpdaterSettings *s)
{
    settings = s;
    // An installation or rollback cut off by a crash or power loss is finished or undone before
    // anything looks at the folder.
    recoverFolder();
    period = s->periodCheckUpdate;
    fileManager = new FileManager(this);
    fileManager->setSettings(s);
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
    settings->stateUpdate = QLatin1String(State::Init);
    QString outcome;
    if (!fileManager->readUpdateInfo()) {
        // A device that never fetched the information has no fault to report before its first check.
        outcome = QLatin1String(fileManager->infoAbsent ? State::Init : State::ErrorInfo);
        if (!fileManager->infoAbsent)
            settings->noteError(QStringLiteral("update information refused: ") + fileManager->infoError);
    } else if (!fileManager->permitted) {
        outcome = QLatin1String(State::NotPermitted);
    } else if (fileManager->versionCode > settings->getAppVersionCode() && !isRefusedOffer()) {
        if (deltaStaged() || fileManager->isPackageValid()) {
            qDebug() << "[Updater]" << QStringLiteral("new version ") + QString::number(fileManager->versionCode)
                     << "ready";
            updateReady();
        } else {
            outcome = QLatin1String(State::ErrorHash);
        }
    } else {
        outcome = QLatin1String(State::NotRequired);
    }
    if (!outcome.isEmpty())
        setStateUpdate(outcome);
    refreshStateProbation();
    hasUpdateServer();

    // When power returns to a site every device starts at once; without a spread they would all
    // ask the server in the same second.
    int firstDelay = firstCheckDelay;
    if (settings->jitter > 0) {
        firstDelay += int(draw(qMin<qint64>(qint64(settings->jitter) * 1000, std::numeric_limits<int>::max() - firstCheckDelay)));
        qDebug() << "[Updater]" << "first check in" << firstDelay << "ms";
    }
    periodTimer->start(firstDelay);
    cycleStep = StepCheck;
}

void Updater::startDownload()
{
    cycleStep = StepCheck;
    period = settings->periodCheckUpdate;
    if (period > 0)
        restartPeriodTimer(requestedCheckDelay);
}

bool Updater::mayTouchFolder() const
{
    // Before init() there is no folder to speak of.
    return settings && fileManager && (!folderGate || folderGate());
}

bool Updater::startUpdate()
{
    if (!mayTouchFolder()) {
        logNotTouched("installation");
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
    const bool byDelta = deltaStaged();
    const bool verified = byDelta || fileManager->isPackageValid();
    if (!verified)
        qDebug() << "[Updater]" << "package not verified" << fileManager->packagePath();
    const bool refused = settings->isRefused(fileManager->versionCode);
    if (refused)
        qDebug() << "[Updater]" << "version" << fileManager->versionCode << "was rolled back on this device, not taken";
    // A journal that was there before refused the installation; its own reason stands.
    const bool pendingBefore = InstallJournal::existsIn(settings->appFolder);
    moving = true;
    bool extracted = false;
    if (verified && !refused && byDelta) {
        fileManager->extractError.clear();
        const QString prefix = fileManager->logPrefix;
        delta->setInstaller(DeltaUpdate::journaledInstaller(
            settings->appFolder, settings->getAppVersionCode(),
            [this](int code) { return settings->storeVersionCode(code); },
            [prefix](const QString &line) { qWarning().noquote() << prefix << line; }));
        extracted = delta->install();
        fileManager->extractOk = extracted;
        if (!extracted) {
            fileManager->extractError = delta->errorString();
            // The next check takes the package.
            deltaFailedVersion = fileManager->versionCode;
        }
    } else if (verified && !refused) {
        extracted = fileManager->extractPackage(settings->appFolder);
    }
    moving = false;
    // An undo that could not finish leaves the journal; so does a version code that could not be stored.
    if (pendingBefore)
        refreshStateJournal(QString());
    else
        refreshStateJournal(fileManager->extractError.isEmpty() ? QStringLiteral("the installation left its journal")
                                                                : fileManager->extractError);
    if (extracted) {
        settings->setAppVersionCode(fileManager->versionCode);
        if (settings->rolledBackVersion != 0)
            settings->setRolledBackVersion(0);
        qDebug() << "[Updater]" << "updated version code:" << settings->getAppVersionCode();
        Utils::outsn(QLatin1String(Token::Updated));
        setStateUpdate(QLatin1String(State::Updated));
        refreshStateProbation();
        emit installed();
        return true;
    }
    if (!verified)
        noteError(QStringLiteral("installation refused: package not verified: ") + fileManager->packagePath());
    else if (refused)
        noteError(QStringLiteral("installation refused: version %1 was rolled back on this device")
                      .arg(fileManager->versionCode));
    else
        noteError(QStringLiteral("installation failed: ")
                  + (settings->journalError.isEmpty() ? fileManager->extractError : settings->journalError));
    Utils::outsn(QLatin1String(Token::ErrUpdated));
    setStateUpdate(QLatin1String(State::Error));
    // A failed installation may still have dropped the kept generation.
    refreshStateProbation();
    return false;
}

bool Updater::rollBack()
{
    if (!mayTouchFolder()) {
        logNotTouched("rollback");
        if (settings) {
            noteError(QStringLiteral("rollback refused: this updater does not hold the application folder"));
            setStateProbation(QLatin1String(Probation::RollbackError));
        }
        return false;
    }
    qDebug() << "[Updater]" << "rollback requested for dir" << settings->appFolder;
    if (InstallJournal::existsIn(settings->appFolder)) {
        // Most often the return asked for before, which stopped: finishing it is this request.
        const InstallJournal::Recovery recovery = recoverFolder();
        if (recovery == InstallJournal::Recovery::RolledBack) {
            qDebug() << "[Updater]" << "rolled back to version code:" << settings->getAppVersionCode();
            return true;
        }
        if (recovery == InstallJournal::Recovery::Failed) {
            qWarning().noquote() << "[Updater] rollback refused:" << settings->journalError;
            noteError(QStringLiteral("rollback refused: ") + settings->journalError);
            setStateProbation(QLatin1String(Probation::RollbackError));
            return false;
        }
    }
    VersionRollback rollback(settings->appFolder);
    if (!rollback.prepare()) {
        qWarning().noquote() << "[Updater] rollback refused:" << rollback.errorString();
        noteError(QStringLiteral("rollback refused: ") + rollback.errorString());
        setStateProbation(QLatin1String(Probation::RollbackError));
        return false;
    }
    setStateProbation(QLatin1String(Probation::RollingBack));
    rollback.setVersionStore([this](int code) { return settings->storeVersionCode(code); });
    rollback.setRefusalStore([this](int code) { return refuse(code); });
    moving = true;
    const VersionRollback::Result result = rollback.run();
    moving = false;
    refreshStateJournal(rollback.errorString());
    if (result != VersionRollback::Result::RolledBack) {
        qCritical().noquote() << "[Updater] rollback failed:" << rollback.errorString();
        noteError(QStringLiteral("rollback failed: ") + rollback.errorString());
        setStateProbation(QLatin1String(Probation::RollbackError));
        return false;
    }
    qDebug() << "[Updater]" << "rolled back to version code:" << settings->getAppVersionCode();
    dropRefusedPackage();
    setStateProbation(QLatin1String(Probation::RolledBack));
    return true;
}

void Updater::commitVersion()
{
    if (!mayTouchFolder()) {
        logNotTouched("commit");
        return;
    }
    const QString folder = settings->appFolder;
    // A return that finishes now has left nothing to commit, and says so itself.
    if (InstallJournal::existsIn(folder) && recoverFolder() == InstallJournal::Recovery::RolledBack)
        return;
    if (!InstallJournal::keptExistsIn(folder)) {
        qDebug() << "[Updater]" << "commit: no previous version kept";
    } else if (InstallJournal::existsIn(folder)) {
        // A return that is still unfinished takes its files from the kept folder.
        qWarning() << "[Updater]" << "commit refused, an unfinished journal is in" << folder;
    } else {
        const QString backup = InstallJournal::keptBackupIn(folder);
        QString error;
        if (InstallJournal::dropKept(folder, &error))
            qDebug() << "[Updater]" << "version" << settings->getAppVersionCode() << "committed, kept files removed:" << backup;
        else
            qCritical() << "[Updater]" << "cannot drop the kept generation:" << error;
    }
    refreshStateProbation();
}

InstallJournal::Recovery Updater::recoverFolder()
{
    using Recovery = InstallJournal::Recovery;
    const QString folder = settings->appFolder;
    // A second updater of this configuration holds the folder: it is the one to finish the journal.
    if (moving || (folderGate && !folderGate()))
        return Recovery::Nothing;
    if (startRecovered && !InstallJournal::existsIn(folder)) {
        refreshStateJournal(QString());
        return Recovery::Nothing;
    }
    if (startRecovered)
        qWarning() << "[Updater]" << "a journal is still in" << folder << ", trying again to finish it";
    startRecovered = true;
    QString reason;
    moving = true;
    const Recovery result = InstallJournal::recover(
        folder, [this](int code) { return settings->storeVersionCode(code); },
        [this](int code) { return refuse(code); }, &reason);
    moving = false;
    refreshStateJournal(reason);
    if (result == Recovery::RolledBack) {
        dropRefusedPackage();
        setStateProbation(QLatin1String(Probation::RolledBack));
    }
    // During init the probation state is set once, at its end.
    else if (result != Recovery::Nothing && result != Recovery::Failed && fileManager)
        refreshStateProbation();
    return result;
}

void Updater::refreshStateJournal(const QString &reason)
{
    const bool pending = InstallJournal::existsIn(settings->appFolder);
    if (pending) {
        if (!reason.isEmpty())
            settings->journalError = reason;
        qWarning().noquote() << "[Updater] journal pending in" << settings->appFolder
                             << "- it is tried again at every check:" << settings->journalError;
    } else {
        settings->journalError.clear();
    }
    const QString state = QLatin1String(pending ? Journal::Pending : Journal::None);
    if (state == settings->stateJournal)
        return;
    settings->stateJournal = state;
    emit stateJournalChanged();
}

void Updater::setStateProbation(const QString &state)
{
    settings->stateProbation = state;
    emit stateProbationChanged();
}

void Updater::refreshStateProbation()
{
    setStateProbation(QLatin1String(InstallJournal::keptExistsIn(settings->appFolder) ? Probation::Kept : Probation::None));
}

bool Updater::isRefusedOffer()
{
    if (!settings->isRefused(fileManager->versionCode))
        return false;
    qDebug() << "[Updater]" << "version" << fileManager->versionCode << "was rolled back on this device, not taken";
    fileManager->removePackage();
    return true;
}

void Updater::dropRefusedPackage()
{
    if (fileManager && fileManager->versionCode > 0 && settings->isRefused(fileManager->versionCode))
        fileManager->removePackage();
}

bool Updater::refuse(int versionCode)
{
    settings->setRolledBackVersion(versionCode);
    return settings->refuseVersion(versionCode);
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
    const QString state = updateStateAfter(settings->stateUpdate, failure);
    if (state != settings->stateUpdate)
        setStateUpdate(state);
    settings->noteError(reason);
    cycleStep = StepFailed;
}

void Updater::noteError(const QString &reason)
{
    settings->noteError(reason);
}

void Updater::notRequired()
{
    setStateUpdate(QLatin1String(State::NotRequired));
    cycleStep = StepDone;
    setStateDownload(QLatin1String(State::Ready));
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
    settings->stateDownload = state;
    emit stateDownloadChanged();
}

void Updater::setStateUpdate(const QString &state)
{
    settings->stateUpdate = state;
    emit stateUpdateChanged();
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
        periodTimer->start(periodWithJitter());

    switch (cycleStep) {
    case StepCheck:
        tickCheck();
        break;
    case StepInfo:
        tickInfo();
        break;
    case StepPackage:
        tickPackage();
        break;
    case StepDone:
    case StepFailed:
        cycleStep = StepCheck;
        restartPeriodTimer(1);
        break;
    default:
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
        restartPeriodTimer(periodWithJitter());
    }
    qDebug() << "[Updater]" << "period" << period;
    replyPending = false;
    cycleStep = StepInfo;
    setStateDownload(QLatin1String(State::Downloading));
    fileManager->downloadUpdateInfo();
}

bool Updater::hasUpdateServer()
{
    const bool missing = UpdaterSettings::isUnconfiguredLink(settings->updateLink);
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

void Updater::tickInfo()
{
    if (!replyPending)
        return;
    if (errorCode != 0) {
        qDebug() << "[Updater]" << "error dowloading update info";
        failCheck(Failure::InfoTransfer, QStringLiteral("update information not fetched: ") + errorText);
    } else if (!fileManager->readUpdateInfo()) {
        qDebug() << "[Updater]" << "error dowloading update info";
        failCheck(Failure::InfoUnreadable, QStringLiteral("update information refused: ") + fileManager->infoError);
    } else if (!fileManager->permitted) {
        qDebug() << "[Updater]" << "update not permitted";
        setStateUpdate(QLatin1String(State::NotPermitted));
        cycleStep = StepDone;
        setStateDownload(QLatin1String(State::Ready));
    } else if (fileManager->versionCode <= settings->getAppVersionCode()) {
        // Both codes: a device that reports an unexpected installed version is seen at once.
        qDebug() << "[Updater]" << QStringLiteral("no update required v.%1 (offered %1, installed %2)")
                                       .arg(fileManager->versionCode)
                                       .arg(settings->appVersionCode);
        notRequired();
    } else if (isRefusedOffer()) {
        notRequired();
    } else {
        qDebug() << "[Updater]" << QStringLiteral("new version ") + QString::number(fileManager->versionCode);
        if (deltaStaged() || fileManager->isPackageValid()) {
            qDebug() << "[Updater]" << "no download required, app available";
            cycleStep = StepDone;
            setStateDownload(QLatin1String(State::Ready));
            updateReady();
        } else if (fileManager->extractOk) {
            // The application was replaced in this process; it must restart before another update.
            restartPeriodTimer(retryInterval);
        } else {
            qDebug() << "[Updater]" << "downloading new version app" << fileManager->downloadFolder();
            cycleStep = StepPackage;
            setStateDownload(QLatin1String(State::Downloading));
            setStateUpdate(QLatin1String(State::Downloading));
            replyPending = false;
            if (deltaWanted())
                startDelta();
            else
                fileManager->downloadPackage();
        }
    }
}

bool Updater::deltaWanted() const
{
    return settings->deltaActive == 1 && !fileManager->manifestName.isEmpty()
        && fileManager->versionCode != deltaFailedVersion;
}

bool Updater::deltaStaged() const
{
    if (!deltaWanted())
        return false;
    if (delta->isStaged(fileManager->versionCode))
        return true;
    // A stage that an earlier process left is taken up once it checks out again.
    if (delta->step() != DeltaUpdate::Step::Idle)
        return false;
    delta->setAppFolder(settings->appFolder);
    delta->setWorkFolder(settings->tempDir + QStringLiteral("/delta"));
    return delta->adoptStage({fileManager->infoUrl(), fileManager->manifestName, fileManager->manifestSize,
                              fileManager->manifestSha256, settings->appKey, fileManager->versionCode});
}

void Updater::startDelta()
{
    cycleStep = StepDelta;
    delta->setAppFolder(settings->appFolder);
    delta->setWorkFolder(settings->tempDir + QStringLiteral("/delta"));
    delta->setPatchCap(qint64(settings->patchMb) * 1024 * 1024);
    delta->downloader()->setExtraHeaders(fileManager->requestHeaders());
    delta->downloader()->clearConnectionCache();
    fileManager->applyCaFile(delta->downloader());
    qDebug() << "[Updater]" << "fetching the changed files of version" << fileManager->versionCode;
    delta->start({fileManager->infoUrl(), fileManager->manifestName, fileManager->manifestSize,
                  fileManager->manifestSha256, settings->appKey, fileManager->versionCode});
}

void Updater::deltaFinished(bool ok, const QString &reason)
{
    if (cycleStep != StepDelta)
        return;
    progressTimer->stop();
    if (ok && isRefusedOffer()) {
        notRequired();
        return;
    }
    if (ok) {
        qDebug() << "[Updater]" << "changed files fetched and checked, available";
        cycleStep = StepDone;
        setStateDownload(QLatin1String(State::Ready));
        updateReady();
        return;
    }
    qWarning().noquote() << "[Updater] delta update failed:" << reason << "- falling back to the package";
    deltaFailedVersion = fileManager->versionCode;
    cycleStep = StepPackage;
    replyPending = false;
    fileManager->downloadPackage();
}

void Updater::tickPackage()
{
    if (!replyPending)
        return;
    progressTimer->stop();
    if (errorCode != 0) {
        qDebug() << "[Updater]" << "error dovnloading app";
        failCheck(Failure::PackageTransfer, QStringLiteral("package not fetched: ") + errorText);
    } else if (isRefusedOffer()) {
        // Rolled back while its package was on the way.
        notRequired();
    } else if (fileManager->isPackageValid()) {
        qDebug() << "[Updater]" << "app dowloded, available";
        cycleStep = StepDone;
        setStateDownload(QLatin1String(State::Ready));
        updateReady();
    } else {
        qDebug() << "[Updater]" << "error dovnloading app";
        failCheck(Failure::PackageInvalid,
                  QStringLiteral("package does not match the update information: ") + fileManager->packagePath());
    }
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
    settings->downloadProgress = QString::number(qint64(progress));
}

void Updater::downloadingChanged(bool downloading)
{
    if (downloading) {
        progressTimer->start(progressInterval);
    } else {
        progressTimer->stop();
        settings->downloadProgress.clear();
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
