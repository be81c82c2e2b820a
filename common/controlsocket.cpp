#include "controlsocket.h"

namespace ControlSocket {

QString path(const QString &name, QString *error)
{
    const QString base = folder(error);
    if (base.isEmpty())
        return QString();
    return base + QLatin1Char('/') + name;
}

}
