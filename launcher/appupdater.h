#ifndef APPUPDATER_H
#define APPUPDATER_H

#include "appprocess.h"

#include <QLocalSocket>

class QTimer;
class LauncherSettings;

// The launcher's side of the updater control channel: keeps a local-socket connection to the
// updater's control server, starts the updater program when no server answers, forwards every
// pushed update state and sends the "update" request when the supervisor asks for it.
class AppUpdater : public AppProcess
{
    Q_OBJECT
public:
    enum updater_state { NOTRUNNING = 0, STARTING = 1, RUNNING = 2, RECONNECT = 3, ERROR = 4 };
    Q_ENUM(updater_state)

    explicit AppUpdater(QObject *parent = nullptr);
    ~AppUpdater() override;

    void init(LauncherSettings *s);
    void socketData(QString line);

    updater_state getUpdaterState() const { return updaterState; }
    bool isConnected() const { return socket->state() == QLocalSocket::ConnectedState; }
    // Interval of the pending connection attempt, 0 when none is scheduled.
    int pendingAttemptMs() const;

    // A server that never sends a line feed must not grow the buffer without end.
    static constexpr qint64 MaxLineBytes = 64 * 1024;

signals:
    void stateUpdateChanged(QString state);
    // A "state_probation" value pushed by the updater.
    void probationStateChanged(QString state);
    // The control connection to the updater dropped (the updater ended or was killed).
    void connectionLost();

public slots:
    void socketConnected();
    void socketReadyRead();
    void socketStateChanged(QLocalSocket::LocalSocketState socketState);
    void socketError(QLocalSocket::LocalSocketError socketError);
    void socketDisconnected();
    void m_timerTimeout();
    void startUpdate();
    // Sent now, or as soon as the updater is reached: a launcher that starts before its updater
    // must not lose them.
    void requestRollback();
    void acceptVersion();
    // Drops a rollback request that is still waiting for the connection.
    void withdrawRollback();

protected:
    void appReadyRead() override;
    void appStarted() override;
    void appFinished() override;
    void appTimeout() override;
    void appError() override;
    void appExit() override;

private:
    void sendAction(const QString &action);
    void startUpdaterProgram();
    void sendPending();
    void lookForUpdaterSoon();

    QTimer *m_timer;
    updater_state updaterState = NOTRUNNING;
    LauncherSettings *settings = nullptr;
    QLocalSocket *socket;
    bool rollbackPending = false;
    bool commitPending = false;
    // The updater reported "updated": it ends itself now and its successor is wanted at once.
    bool updatedSeen = false;
    bool restartAtOnce = false;
};

#endif
