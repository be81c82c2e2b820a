#ifndef EXTRAHEADERS_H
#define EXTRAHEADERS_H

#include <QByteArray>
#include <QMap>

// Headers of the device's own that go with every request, so that a plain web server can log
// them. One whose name is not a token or whose value holds a control character could split the
// request: it is left out with a warning.
class ExtraHeaders
{
public:
    static QMap<QByteArray, QByteArray> safe(const QMap<QByteArray, QByteArray> &headers);
    static bool isName(const QByteArray &name);
    static bool isValue(const QByteArray &value);
};

#endif
