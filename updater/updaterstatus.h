#ifndef UPDATERSTATUS_H
#define UPDATERSTATUS_H

#include "controlkeys.h"

#include <QObject>
#include <QString>
#include <QVariant>

// What the running updater says about itself: the states of the update cycle, the version
// offered, the running transfer and the last failure. Nothing here is stored. The control channel
// observes it: a state set through its setter is pushed to every client.
class UpdaterStatus : public QObject
{
    Q_OBJECT
public:
    explicit UpdaterStatus(QObject *parent = nullptr);

    // Each emits its signal even when the value stays the same: clients hear every verdict.
    void setStateDownload(const QString &state);
    void setStateUpdate(const QString &state);
    void setStateProbation(const QString &state);
    void setStateJournal(const QString &state);
    // Records why something failed, stamped with the local time, for "last_error".
    void noteError(const QString &reason);

    // The value of a channel key held here; an invalid QVariant for any other key.
    QVariant channelValue(const ControlKeys::Key &key) const;

    QString stateDownload;
    QString stateUpdate;
    // Whether the files replaced by the last installation are kept, and how a return to them went.
    QString stateProbation;
    // "pending" while a journal waits in the application folder, else "none"; with the reason
    // the last try to finish it gave.
    QString stateJournal;
    QString journalError;
    // The last failure in the updater's own words and its local time (ISO 8601); see noteError().
    QString lastError;
    QString lastErrorTime;
    qint32 readyVersionCode = 0;
    // Bytes received by the running transfer as decimal text; empty while none runs.
    QString downloadProgress;

signals:
    void stateDownloadChanged();
    void stateUpdateChanged();
    void stateProbationChanged();
    void stateJournalChanged();
};

#endif
