#ifndef KEYCHECK_H
#define KEYCHECK_H

#include "controlkeys.h"

#include <QJsonValue>
#include <QString>
#include <QStringList>

class QSettings;

// What the client may ask of the control channel's keys, decided from the channel's key table:
// the server silently ignores unknown keys and read-only ones in a "set", so refusals happen here.
class KeyCheck
{
public:
    // The key of that channel name, or null.
    static const ControlKeys::Key *find(const QString &name);
    // Every channel name in the order in which the updater answers.
    static QStringList names();
    static QStringList writableNames();
    // A value of the key's type that the server accepts in a "get".
    static QJsonValue placeholder(const ControlKeys::Key &key);
    // The value for a "set" from its command-line text; false with a reason when the updater would
    // refuse it (the server then drops the request without a word).
    static bool toValue(const ControlKeys::Key &key, const QString &text, QJsonValue *value, QString *error);
    // A received value as text for output.
    static QString toText(const QJsonValue &value);
    // Where the updater takes the key's value from: the user's file (which wins key by key), the
    // system file, the built-in default, or its running state.
    static QString source(const ControlKeys::Key &key, const QSettings &user, const QSettings &system);
};

#endif
