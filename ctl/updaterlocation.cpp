#include "updaterlocation.h"

#include "controlsocket.h"
#include "settingsstore.h"

#include <QSettings>

QString UpdaterLocation::serverName()
{
    const auto store = SettingsStore::open(QStringLiteral("tovrel"), QStringLiteral("updater"));
    const QString name = SettingsStore::text(*store, QStringLiteral("localserver/name"));
    // The updater completes an empty name with this default before it listens.
    return name.isEmpty() ? QStringLiteral("tovrelupdater") : name;
}

QString UpdaterLocation::socketFor(const QString &serverName)
{
    QString error;
    const QString path = ControlSocket::path(serverName, &error);
    // Without a private folder the updater cannot listen either; the name alone then finds nothing.
    return path.isEmpty() ? serverName : path;
}
