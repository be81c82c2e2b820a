#include "controlsocket.h"

#include <QFile>

namespace ControlSocket {

QString belowHome()
{
    return QStringLiteral(".cache/tovrel/run");
}

QString path(const QString &name, QString *error, QString *note)
{
    const QString base = folder(error, note, QFile::encodeName(name).size());
    if (base.isEmpty())
        return QString();
    return base + QLatin1Char('/') + name;
}

}
