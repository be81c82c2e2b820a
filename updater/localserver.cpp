#include "localserver.h"

#include <QDebug>
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
    if (second)
        second->close();
    clients.clear();
}

qlonglong LocalServer::socketId(const QLocalSocket *socket)
{
    return static_cast<qlonglong>(reinterpret_cast<qintptr>(socket));
}

bool LocalServer::startServer(const QString &name)
{
    m_lastError.clear();
    if (!listenOn(*this, name, &m_lastError))
        return false;
    connect(this, &QLocalServer::newConnection, this, &LocalServer::onNewConnection, Qt::UniqueConnection);
    return true;
}

bool LocalServer::alsoListen(const QString &name)
{
    m_lastError.clear();
    auto *server = new QLocalServer(this);
    if (!listenOn(*server, name, &m_lastError)) {
        delete server;
        return false;
    }
    delete second;
    second = server;
    connect(second, &QLocalServer::newConnection, this, [this, server] {
        while (server->hasPendingConnections())
            adopt(server->nextPendingConnection());
    });
    return true;
}

bool LocalServer::listenOn(QLocalServer &server, const QString &name, QString *error)
{
    // Any local user could otherwise connect and redirect the updater to another server.
    server.setSocketOptions(QLocalServer::UserAccessOption);

    // With access options Qt binds in a private folder and renames over the public name, which
    // would silently take the name from a running instance: ask first whether someone answers.
    if (serverAnswers(name)) {
        *error = QStringLiteral("QLocalServer::listen: Address in use by a running server");
        return false;
    }

    bool listening = server.listen(name);
    if (!listening && server.serverError() == QAbstractSocket::AddressInUseError && !serverAnswers(name)) {
        // Left behind by a server that crashed: nobody answers, so the name is free to take.
        QLocalServer::removeServer(name);
        listening = server.listen(name);
    }
    if (!listening)
        *error = server.errorString();
    return listening;
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
    adopt(nextPendingConnection());
}

void LocalServer::adopt(QLocalSocket *socket)
{
    connect(socket, &QLocalSocket::readyRead, this, &LocalServer::onServerRead);
    connect(socket, &QLocalSocket::disconnected, this, &LocalServer::onClientDisconnected);
    clients.append(socket);
    emit clientConnected(socketId(socket));
}

namespace {
// Length of the part of bytes that ends on a whole UTF-8 character; a character split between two
// reads stays in the socket for the next one.
qint64 wholeUtf8Length(const QByteArray &bytes)
{
    const int size = bytes.size();
    for (int back = 1; back <= 3 && back <= size; ++back) {
        const uchar c = uchar(bytes.at(size - back));
        if ((c & 0xC0) == 0x80)
            continue; // continuation byte: look further back for the lead byte
        const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}
}

void LocalServer::onServerRead()
{
    auto *socket = qobject_cast<QLocalSocket *>(sender());
    if (!socket)
        return;
    while (socket->bytesAvailable() > 0) {
        const qint64 length = wholeUtf8Length(socket->peek(socket->bytesAvailable()));
        if (length == 0)
            break;
        emit dataReceived(socketId(socket), QString::fromUtf8(socket->read(length)));
    }
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
    if (socket->bytesToWrite() > MaxUnsentBytes) {
        qDebug() << "[LocalServer]" << "client does not read its replies, disconnected" << socketId(socket);
        // Ends in onClientDisconnected, which removes the client.
        socket->abort();
    }
}

QLocalSocket *LocalServer::client(qlonglong psocket) const
{
    for (QLocalSocket *socket : qAsConst(clients)) {
        if (socketId(socket) == psocket)
            return socket;
    }
    return nullptr;
}

bool LocalServer::hasClient(qlonglong psocket) const
{
    return client(psocket) != nullptr;
}

qint64 LocalServer::unsentBytes() const
{
    qint64 bytes = 0;
    for (QLocalSocket *socket : qAsConst(clients)) {
        socket->flush();
        bytes += socket->bytesToWrite();
    }
    return bytes;
}

int LocalServer::dataSend(qlonglong psocket, const QString &msg)
{
    QLocalSocket *socket = client(psocket);
    if (!socket)
        return -1;
    writeLine(socket, msg);
    return 0;
}

int LocalServer::dataSendToAll(const QString &msg)
{
    if (clients.isEmpty())
        return -1;
    // A copy: a client that is disconnected while written to leaves the list.
    const QList<QLocalSocket *> targets = clients;
    for (QLocalSocket *socket : targets) {
        if (clients.contains(socket))
            writeLine(socket, msg);
    }
    return 0;
}
