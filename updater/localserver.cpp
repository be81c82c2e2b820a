#include "localserver.h"

#include <QLocalSocket>

namespace {
// Long enough for a busy but live updater to accept; a stale name refuses at once.
constexpr int probeTimeoutMs = 1000;
}

LocalServer::LocalServer(QObject *parent)
    : QLocalServer(parent)
{
}

LocalServer::~LocalServer()
{
    // The client sockets die with us as children; they must not call back into a half-destroyed server.
    for (QLocalSocket *socket : qAsConst(clients))
        disconnect(socket, nullptr, this, nullptr);
    close();
    clients.clear();
}

qlonglong LocalServer::socketId(const QLocalSocket *socket)
{
    return static_cast<qlonglong>(reinterpret_cast<qintptr>(socket));
}

bool LocalServer::startServer(const QString &name)
{
    m_lastError.clear();
    // Any local user could otherwise connect and redirect the updater to another server.
    setSocketOptions(QLocalServer::UserAccessOption);

    // With access options Qt binds in a private folder and renames over the public name, which
    // would silently take the name from a running instance: ask first whether someone answers.
    if (serverAnswers(name)) {
        m_lastError = QStringLiteral("QLocalServer::listen: Address in use by a running server");
        return false;
    }

    bool listening = listen(name);
    if (!listening && serverError() == QAbstractSocket::AddressInUseError && !serverAnswers(name)) {
        // Left behind by a server that crashed: nobody answers, so the name is free to take.
        QLocalServer::removeServer(name);
        listening = listen(name);
    }
    if (!listening) {
        m_lastError = errorString();
        return false;
    }
    connect(this, &QLocalServer::newConnection, this, &LocalServer::onNewConnection, Qt::UniqueConnection);
    return true;
}

bool LocalServer::serverAnswers(const QString &name)
{
    QLocalSocket probe;
    probe.connectToServer(name);
    const bool answered = probe.waitForConnected(probeTimeoutMs);
    probe.abort();
    return answered;
}

void LocalServer::onNewConnection()
{
    if (!hasPendingConnections()) {
        emit clientConnectedError(socketId(nextPendingConnection()));
        return;
    }
    QLocalSocket *socket = nextPendingConnection();
    connect(socket, &QLocalSocket::readyRead, this, &LocalServer::onServerRead);
    connect(socket, &QLocalSocket::disconnected, this, &LocalServer::onClientDisconnected);
    clients.append(socket);
    emit clientConnected(socketId(socket));
}

void LocalServer::onServerRead()
{
    auto *socket = qobject_cast<QLocalSocket *>(sender());
    if (!socket)
        return;
    while (socket->bytesAvailable() > 0)
        emit dataReceived(socketId(socket), QString::fromUtf8(socket->readAll()));
}

void LocalServer::onClientDisconnected()
{
    auto *socket = qobject_cast<QLocalSocket *>(sender());
    emit clientDisconnected(socketId(socket));
    if (!socket)
        return;
    clients.removeAll(socket);
    socket->deleteLater();
}

void LocalServer::writeLine(QLocalSocket *socket, const QString &msg)
{
    QByteArray bytes = msg.toUtf8();
    bytes.append('\n');
    socket->write(bytes);
    socket->flush();
}

int LocalServer::dataSend(qlonglong psocket, const QString &msg)
{
    for (QLocalSocket *socket : qAsConst(clients)) {
        if (socketId(socket) == psocket) {
            writeLine(socket, msg);
            return 0;
        }
    }
    return -1;
}

int LocalServer::dataSendToAll(const QString &msg)
{
    if (clients.isEmpty())
        return -1;
    for (QLocalSocket *socket : qAsConst(clients))
        writeLine(socket, msg);
    return 0;
}
