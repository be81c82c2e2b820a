#ifndef STATUSREPORT_H
#define STATUSREPORT_H

#include <QJsonObject>
#include <QString>

// The status of the updater from the channel's values: a few lines for a person, or one JSON
// object for a script.
class StatusReport
{
public:
    static QString text(const QJsonObject &values);
    static QJsonObject json(const QJsonObject &values);

    // Bytes received by the running download, or -1 when none runs.
    static qint64 runningProgress(const QJsonObject &values);
    // The "signing" value ("off", "on, 2 keys", ...) said plainly: whether signed updates are required.
    static QString signingText(const QString &signing);
    // 1536 -> "1.5 KiB".
    static QString size(qint64 bytes);
};

#endif
