#include "extraheaders.h"

#include <QDebug>

#include <cstring>

QMap<QByteArray, QByteArray> ExtraHeaders::safe(const QMap<QByteArray, QByteArray> &headers)
{
    QMap<QByteArray, QByteArray> accepted;
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        if (isName(it.key()) && isValue(it.value()))
            accepted.insert(it.key(), it.value());
        else
            qWarning() << "[DownloadFile] header left out:" << it.key();
    }
    return accepted;
}

// RFC 9110 token characters.
bool ExtraHeaders::isName(const QByteArray &name)
{
    if (name.isEmpty())
        return false;
    for (const char c : name) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        // strchr also finds the terminating NUL.
        if (!alnum && (c == '\0' || !std::strchr("!#$%&'*+-.^_`|~", c)))
            return false;
    }
    return true;
}

bool ExtraHeaders::isValue(const QByteArray &value)
{
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f)
            return false;
    }
    return true;
}
