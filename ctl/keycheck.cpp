#include "keycheck.h"

#include <limits>

const UpdaterSettings::Key *KeyCheck::find(const QString &name)
{
    for (const UpdaterSettings::Key *key : UpdaterSettings::channelKeys()) {
        if (name == QLatin1String(key->channelName))
            return key;
    }
    return nullptr;
}

QStringList KeyCheck::names()
{
    QStringList list;
    for (const UpdaterSettings::Key *key : UpdaterSettings::channelKeys())
        list << QLatin1String(key->channelName);
    return list;
}

QStringList KeyCheck::writableNames()
{
    QStringList list;
    for (const UpdaterSettings::Key *key : UpdaterSettings::channelKeys()) {
        if (!UpdaterSettings::isReadOnly(*key))
            list << QLatin1String(key->channelName);
    }
    return list;
}

QJsonValue KeyCheck::placeholder(const UpdaterSettings::Key &key)
{
    if (key.kind == UpdaterSettings::Kind::Text)
        return QStringLiteral("?");
    return 0;
}

bool KeyCheck::toValue(const UpdaterSettings::Key &key, const QString &text, QJsonValue *value, QString *error)
{
    if (key.kind == UpdaterSettings::Kind::Text) {
        if (text.isEmpty()) {
            *error = QStringLiteral("the updater takes no empty value for %1").arg(QLatin1String(key.channelName));
            return false;
        }
        *value = text;
        return true;
    }
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok);
    if (!ok || number < 0 || number > std::numeric_limits<int>::max() || text.trimmed() != text) {
        *error = QStringLiteral("%1 takes a whole number from 0 to %2, not \"%3\"")
                     .arg(QLatin1String(key.channelName))
                     .arg(std::numeric_limits<int>::max())
                     .arg(text);
        return false;
    }
    // The updater would store any other number as 0, switching off what the caller meant to switch on.
    if (key.setRule == UpdaterSettings::SetRule::OneOrZero && number > 1) {
        *error = QStringLiteral("%1 takes 0 (off) or 1 (on), not %2").arg(QLatin1String(key.channelName), text);
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

QString KeyCheck::source(const UpdaterSettings::Key &key, const QSettings &user, const QSettings &system)
{
    if (UpdaterSettings::isReadOnly(key))
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
