#ifndef LOCALSERVER_H
#define LOCALSERVER_H

#include <QList>
#include <QLocalServer>
#include <QString>

class QLocalSocket;

// The updater's listening endpoint for local clients: keeps the connected sockets, hands each burst
// of received bytes upward as one text, and writes newline-terminated UTF-8 messages to one or all
// clients. It knows nothing of message content.
class LocalServer : public QLocalServer
{
    Q_OBJECT
public:
    explicit LocalServer(QObject *parent = nullptr);
    ~LocalServer() override;

    // Listens under `name`, reachable by this user only. A name left behind by a crashed server is
    // taken over; a name held by a server that answers is not, and the call fails.
    bool startServer(const QString &name);

    // Also accepts clients under a second name, on the same terms; its clients are served like the
    // others. False, with lastError(), when that name cannot be taken.
    bool alsoListen(const QString &name);

    // Why the last startServer() or alsoListen() failed.
    QString lastError() const { return m_lastError; }

    static qlonglong socketId(const QLocalSocket *socket);
    bool hasClient(qlonglong psocket) const;
    // Bytes written to clients that their sockets have not yet handed to the system.
    qint64 unsentBytes() const;

    // A client whose unsent replies pass this size does not read them and is disconnected.
    static constexpr qint64 MaxUnsentBytes = 1024 * 1024;

    int dataSend(qlonglong psocket, const QString &msg);
    int dataSendToAll(const QString &msg);

signals:
    void clientConnected(qlonglong psocket);
    void clientDisconnected(qlonglong psocket);
    void clientConnectedError(qlonglong psocket);
    void dataReceived(qlonglong psocket, const QString &message);

private slots:
    void onNewConnection();
    void onServerRead();
    void onClientDisconnected();

private:
    // Listens under name on server's behalf, taking over a name left behind by a crashed server.
    static bool listenOn(QLocalServer &server, const QString &name, QString *error);
    static bool serverAnswers(const QString &name);
    void adopt(QLocalSocket *socket);
    static void writeLine(QLocalSocket *socket, const QString &msg);
    QLocalSocket *client(qlonglong psocket) const;

    QList<QLocalSocket *> clients;
    QLocalServer *second = nullptr;
    QString m_lastError;
};

#endif
