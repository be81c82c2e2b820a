#ifndef CONTROLLOCALSERVER_H
#define CONTROLLOCALSERVER_H

#include "controlkeys.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

class LocalServer;
class QTimer;
class UpdaterSettings;
class UpdaterStatus;

// The updater's control endpoint: the JSON-lines protocol spoken with local clients (the launcher and
// tools). It pushes the update cycle's states as the status reports them, answers "get"/"set" for
// the channel's keys and turns command actions into signals that the entry wires to the exit timer
// and the update cycle.
class ControlLocalServer : public QObject
{
    Q_OBJECT
public:
    explicit ControlLocalServer(QObject *parent = nullptr);
    ~ControlLocalServer() override;

    // Listens, and pushes each state the status reports from now on.
    void init(UpdaterSettings *s, UpdaterStatus *st);
    bool isListening() const { return server != nullptr; }

    // A download state push waits for the 1 ms timer; a test may flush it without waiting.
    bool hasPendingDownloadState() const;
    void sendTimerTimeout();

    // Sends what is still pending and emits delivered() once every client's replies are written,
    // or once timeoutMs have passed, whichever comes first.
    void deliverPending(int timeoutMs);

    // Server messages: one-member objects. Values are JSON-escaped; plain values come out unchanged.
    static QString stringMessage(const QString &key, const QString &value);
    static QString numberMessage(const QString &key, qint64 value);
    static QString escaped(const QString &value);

    // An incomplete request line is kept up to this size, then dropped.
    static constexpr int MaxPendingRequestBytes = 64 * 1024;
    // Only the start of a received text is logged.
    static constexpr int MaxLoggedChars = 200;

signals:
    void quit();
    void update();
    void downloadUpdate();
    void rollback();
    void commit();
    void delivered();

public slots:
    void clientConnected(qlonglong psocket);
    void clientDisconnected(qlonglong psocket);
    void clientConnectedError(qlonglong psocket);
    void dataReceived(qlonglong psocket, QString message);
    void stateDownloadChanged();
    void stateUpdateChanged();
    void stateProbationChanged();
    void stateJournalChanged();

private:
    void handleDocument(qlonglong psocket, const QByteArray &bytes);
    void handleBuffered(qlonglong psocket, QByteArray &buffer);
    void handleGetSet(qlonglong psocket, const QJsonObject &object);
    QVariant channelValue(const ControlKeys::Key &key) const;

    LocalServer *server = nullptr;
    UpdaterSettings *settings = nullptr;
    UpdaterStatus *status = nullptr;
    QTimer *sendTimer = nullptr;
    QString pendingMessage;
    // Per client: received bytes that do not yet form a complete request.
    QHash<qlonglong, QByteArray> pendingRequests;
};

#endif
