#ifndef USERPATH_H
#define USERPATH_H

#include <QDir>
#include <QString>

// A folder setting may start with "~/" so that one system-wide default (/etc/xdg/tovrel) serves
// whichever user runs the programs; anything else is taken as written.
inline QString expandUserPath(const QString &path)
{
    if (path == QLatin1String("~"))
        return QDir::homePath();
    if (path.startsWith(QLatin1String("~/")))
        return QDir::homePath() + path.mid(1);
    return path;
}

#endif
