#include "folderkeeper.h"

#include "filemanager.h"
#include "installjournal.h"
#include "protocol.h"
#include "updatersettings.h"
#include "updaterstatus.h"
#include "versionrollback.h"

#include <QDebug>

namespace {
namespace Probation = Protocol::Probation;
namespace Journal = Protocol::Journal;
}

FolderKeeper::FolderKeeper(UpdaterStatus *status)
    : m_status(status)
{
}

bool FolderKeeper::mayTouch() const
{
    // Before the update cycle's init there is no folder to speak of.
    return m_settings && m_fileManager && (!m_gate || m_gate());
}

void FolderKeeper::logNotTouched(const char *what)
{
    qWarning() << "[Updater]" << what << "refused: this updater does not hold the application folder";
}

void FolderKeeper::noteError(const QString &reason)
{
    m_status->noteError(reason);
}

bool FolderKeeper::rollBack()
{
    if (!mayTouch()) {
        logNotTouched("rollback");
        if (m_settings) {
            noteError(QStringLiteral("rollback refused: this updater does not hold the application folder"));
            setStateProbation(QLatin1String(Probation::RollbackError));
        }
        return false;
    }
    qDebug() << "[Updater]" << "rollback requested for dir" << m_settings->appFolder;
    if (InstallJournal::existsIn(m_settings->appFolder)) {
        // Most often the return asked for before, which stopped: finishing it is this request.
        const Recovery::Result recovery = recover();
        if (recovery == Recovery::Result::RolledBack) {
            qDebug() << "[Updater]" << "rolled back to version code:" << m_settings->getAppVersionCode();
            return true;
        }
        if (recovery == Recovery::Result::Failed) {
            qWarning().noquote() << "[Updater] rollback refused:" << m_status->journalError;
            noteError(QStringLiteral("rollback refused: ") + m_status->journalError);
            setStateProbation(QLatin1String(Probation::RollbackError));
            return false;
        }
    }
    VersionRollback rollback(m_settings->appFolder);
    if (!rollback.prepare()) {
        qWarning().noquote() << "[Updater] rollback refused:" << rollback.errorString();
        noteError(QStringLiteral("rollback refused: ") + rollback.errorString());
        setStateProbation(QLatin1String(Probation::RollbackError));
        return false;
    }
    setStateProbation(QLatin1String(Probation::RollingBack));
    rollback.setVersionStore([this](int code) { return m_settings->storeVersionCode(code); });
    rollback.setRefusalStore([this](int code) { return refuse(code); });
    m_moving = true;
    const VersionRollback::Result result = rollback.run();
    m_moving = false;
    refreshStateJournal(rollback.errorString());
    if (result != VersionRollback::Result::RolledBack) {
        qCritical().noquote() << "[Updater] rollback failed:" << rollback.errorString();
        noteError(QStringLiteral("rollback failed: ") + rollback.errorString());
        setStateProbation(QLatin1String(Probation::RollbackError));
        return false;
    }
    qDebug() << "[Updater]" << "rolled back to version code:" << m_settings->getAppVersionCode();
    dropRefusedPackage();
    setStateProbation(QLatin1String(Probation::RolledBack));
    return true;
}

void FolderKeeper::commitVersion()
{
    if (!mayTouch()) {
        logNotTouched("commit");
        return;
    }
    const QString folder = m_settings->appFolder;
    // A return that finishes now has left nothing to commit, and says so itself.
    if (InstallJournal::existsIn(folder) && recover() == Recovery::Result::RolledBack)
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
            qDebug() << "[Updater]" << "version" << m_settings->getAppVersionCode() << "committed, kept files removed:" << backup;
        else
            qCritical() << "[Updater]" << "cannot drop the kept generation:" << error;
    }
    refreshStateProbation();
}

Recovery::Result FolderKeeper::recover()
{
    using Result = Recovery::Result;
    const QString folder = m_settings->appFolder;
    // A second updater of this configuration holds the folder: it is the one to finish the journal.
    if (m_moving || (m_gate && !m_gate()))
        return Result::Nothing;
    if (m_startRecovered && !InstallJournal::existsIn(folder)) {
        refreshStateJournal(QString());
        return Result::Nothing;
    }
    if (m_startRecovered)
        qWarning() << "[Updater]" << "a journal is still in" << folder << ", trying again to finish it";
    m_startRecovered = true;
    QString reason;
    m_moving = true;
    const Result result = Recovery::recover(
        folder, [this](int code) { return m_settings->storeVersionCode(code); },
        [this](int code) { return refuse(code); }, &reason);
    m_moving = false;
    refreshStateJournal(reason);
    if (result == Result::RolledBack) {
        dropRefusedPackage();
        setStateProbation(QLatin1String(Probation::RolledBack));
    }
    // During init the probation state is set once, at its end.
    else if (result != Result::Nothing && result != Result::Failed && m_fileManager)
        refreshStateProbation();
    return result;
}

void FolderKeeper::refreshStateJournal(const QString &reason)
{
    const bool pending = InstallJournal::existsIn(m_settings->appFolder);
    if (pending) {
        if (!reason.isEmpty())
            m_status->journalError = reason;
        qWarning().noquote() << "[Updater] journal pending in" << m_settings->appFolder
                             << "- it is tried again at every check:" << m_status->journalError;
    } else {
        m_status->journalError.clear();
    }
    const QString state = QLatin1String(pending ? Journal::Pending : Journal::None);
    if (state != m_status->stateJournal)
        m_status->setStateJournal(state);
}

void FolderKeeper::setStateProbation(const QString &state)
{
    m_status->setStateProbation(state);
}

void FolderKeeper::refreshStateProbation()
{
    setStateProbation(QLatin1String(InstallJournal::keptExistsIn(m_settings->appFolder) ? Probation::Kept : Probation::None));
}

void FolderKeeper::dropRefusedPackage()
{
    if (m_fileManager && m_fileManager->offer().versionCode > 0 && m_settings->isRefused(m_fileManager->offer().versionCode))
        m_fileManager->removePackage();
}

bool FolderKeeper::refuse(int versionCode)
{
    m_settings->setRolledBackVersion(versionCode);
    return m_settings->refuseVersion(versionCode);
}
