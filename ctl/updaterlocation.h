#ifndef UPDATERLOCATION_H
#define UPDATERLOCATION_H

#include <QString>

// Where the updater of this user listens: the server name from the updater's own settings store
// (read only, never written) and the socket that name stands for.
class UpdaterLocation
{
public:
    // "localserver/name" of the updater's store, or the updater's default when it holds none.
    static QString serverName();
    // The name or path to connect to for a server name, exactly as the updater listens.
    static QString socketFor(const QString &serverName);
};

#endif
