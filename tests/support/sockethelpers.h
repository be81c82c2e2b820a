#ifndef SOCKETHELPERS_H
#define SOCKETHELPERS_H

#include <QByteArray>
#include <QString>

class QLocalSocket;

// Helpers for tests that talk to a local server over its socket.
class SocketHelpers
{
public:
    // Reads until count line feeds arrived or the time ran out, processing events meanwhile so that an
    // in-process server can write; returns what arrived.
    // Where the programs put the control socket of a local server name.
    static QString serverPath(const QString &name);

    static QByteArray readLines(QLocalSocket &client, int count, int timeoutMs = 5000);

    // Connects client to the control socket of a local server name, trying again until the server
    // listens or the time runs out.
    static bool connectTo(QLocalSocket &client, const QString &name, int timeoutMs = 5000);

    // Leaves a socket file at path that nobody listens on, as a server killed with SIGKILL does.
    static bool makeStaleSocket(const QString &path);

    // A plain connected descriptor that reads nothing unless told to; -1 on failure.
    static int connectRaw(const QString &path);
    static void closeRaw(int fd);
};

#endif
