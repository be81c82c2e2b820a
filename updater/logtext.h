#ifndef LOGTEXT_H
#define LOGTEXT_H

#include <QDebug>
#include <QString>

// The items as one log line would show them, so that the owner's log reads as if it had
// written them itself.
template <typename... Items>
QString logText(const Items &...items)
{
    QString text;
    {
        QDebug stream(&text);
        (stream << ... << items);
    }
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

#endif
