#include "sockethelpers.h"

#include "controlsocket.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QLocalSocket>
#include <QTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

QString SocketHelpers::serverPath(const QString &name)
{
    QString error;
    const QString path = ControlSocket::path(name, &error);
    if (path.isEmpty())
        qWarning() << "no control socket folder:" << error;
    return path;
}

bool SocketHelpers::connectTo(QLocalSocket &client, const QString &name, int timeoutMs)
{
    const QString path = serverPath(name);
    return QTest::qWaitFor([&] {
        client.abort();
        client.connectToServer(path);
        return client.waitForConnected(200);
    }, timeoutMs);
}

QByteArray SocketHelpers::readLines(QLocalSocket &client, int count, int timeoutMs)
{
    QByteArray data;
    QDeadlineTimer deadline(timeoutMs);
    while (data.count('\n') < count && !deadline.hasExpired()) {
        if (client.bytesAvailable() == 0)
            (void)QTest::qWaitFor([&] { return client.bytesAvailable() > 0; },
                                  int(qMax<qint64>(1, deadline.remainingTime())));
        data += client.readAll();
    }
    return data;
}

bool SocketHelpers::makeStaleSocket(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(encoded.size()) >= sizeof(addr.sun_path))
        return false;
    memcpy(addr.sun_path, encoded.constData(), size_t(encoded.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return bound;
}

int SocketHelpers::connectRaw(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(encoded.size()) >= sizeof(addr.sun_path))
        return -1;
    memcpy(addr.sun_path, encoded.constData(), size_t(encoded.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void SocketHelpers::closeRaw(int fd)
{
    if (fd >= 0)
        ::close(fd);
}
