#include "keycheck.h"

#include <QSettings>

#include <limits>

const ControlKeys::Key *KeyCheck::find(const QString &name)
{
    return ControlKeys::find(name);
}

QStringList KeyCheck::names()
{
    QStringList list;
    for (const ControlKeys::Key &key : ControlKeys::keys)
        list << QLatin1String(key.name);
    return list;
}

QStringList KeyCheck::writableNames()
{
    QStringList list;
    for (const ControlKeys::Key &key : ControlKeys::keys) {
        if (!ControlKeys::isReadOnly(key))
            list << QLatin1String(key.name);
    }
    return list;
}

QJsonValue KeyCheck::placeholder(const ControlKeys::Key &key)
{
    if (key.kind == ControlKeys::Kind::Text)
        return QStringLiteral("?");
    return 0;
}

bool KeyCheck::toValue(const ControlKeys::Key &key, const QString &text, QJsonValue *value, QString *error)
{
    if (key.kind == ControlKeys::Kind::Text) {
        if (text.isEmpty()) {
            *error = QStringLiteral("the updater takes no empty value for %1").arg(QLatin1String(key.name));
            return false;
        }
        *value = text;
        return true;
    }
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok);
    if (!ok || number < 0 || number > std::numeric_limits<int>::max() || text.trimmed() != text) {
        *error = QStringLiteral("%1 takes a whole number from 0 to %2, not \"%3\"")
                     .arg(QLatin1String(key.name))
                     .arg(std::numeric_limits<int>::max())
                     .arg(text);
        return false;
    }
    // The updater would store any other number as 0, switching off what the caller meant to switch on.
    if (key.onOff && number > 1) {
        *error = QStringLiteral("%1 takes 0 (off) or 1 (on), not %2").arg(QLatin1String(key.name), text);
        return false;
    }
    *value = int(number);
    return true;
}

QString KeyCheck::toText(const QJsonValue &value)
{
    if (value.isDouble())
        return QString::number(qint64(value.toDouble()));
    return value.toString();
}

QString KeyCheck::source(const ControlKeys::Key &key, const QSettings &user, const QSettings &system)
{
    if (ControlKeys::isReadOnly(key))
        return QStringLiteral("the updater's running state");
    const QString storeKey = QLatin1String(key.storeKey);
    const bool inSystem = system.contains(storeKey);
    if (user.contains(storeKey))
        return QStringLiteral("user file ") + user.fileName()
               + (inSystem ? QStringLiteral(", overrides the system file ") + system.fileName() : QString());
    if (inSystem)
        return QStringLiteral("system file ") + system.fileName();
    return QStringLiteral("built-in default");
}
