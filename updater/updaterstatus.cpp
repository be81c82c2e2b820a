#include "updaterstatus.h"

#include <QDateTime>

UpdaterStatus::UpdaterStatus(QObject *parent)
    : QObject(parent)
{
}

void UpdaterStatus::setStateDownload(const QString &state)
{
    stateDownload = state;
    emit stateDownloadChanged();
}

void UpdaterStatus::setStateUpdate(const QString &state)
{
    stateUpdate = state;
    emit stateUpdateChanged();
}

void UpdaterStatus::setStateProbation(const QString &state)
{
    stateProbation = state;
    emit stateProbationChanged();
}

void UpdaterStatus::setStateJournal(const QString &state)
{
    stateJournal = state;
    emit stateJournalChanged();
}

void UpdaterStatus::noteError(const QString &reason)
{
    lastError = reason;
    const QDateTime now = QDateTime::currentDateTime();
    lastErrorTime = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
}

QVariant UpdaterStatus::channelValue(const ControlKeys::Key &key) const
{
    switch (key.id) {
    case ControlKeys::StateDownload: return stateDownload;
    case ControlKeys::StateUpdate: return stateUpdate;
    case ControlKeys::ReadyVersion: return readyVersionCode;
    case ControlKeys::Progress: return downloadProgress;
    case ControlKeys::StateProbation: return stateProbation;
    case ControlKeys::StateJournal: return stateJournal;
    case ControlKeys::JournalError: return journalError;
    case ControlKeys::LastError: return lastError;
    case ControlKeys::LastErrorTime: return lastErrorTime;
    default: return QVariant();
    }
}
