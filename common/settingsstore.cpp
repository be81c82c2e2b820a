#include "settingsstore.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStringList>

namespace SettingsStore {

namespace {
std::unique_ptr<QSettings> prepared(QSettings *store)
{
    store->setIniCodec("UTF-8");
    return std::unique_ptr<QSettings>(store);
}
}

std::unique_ptr<QSettings> open()
{
    return open(QCoreApplication::organizationName(), QCoreApplication::applicationName());
}

std::unique_ptr<QSettings> open(const QString &organization, const QString &application)
{
    return prepared(new QSettings(QSettings::NativeFormat, QSettings::UserScope, organization, application));
}

std::unique_ptr<QSettings> openSystem(const QString &organization, const QString &application)
{
    return prepared(new QSettings(QSettings::NativeFormat, QSettings::SystemScope, organization, application));
}

std::unique_ptr<QSettings> openFile(const QString &path)
{
    return prepared(new QSettings(path, QSettings::IniFormat));
}

QString text(const QSettings &store, const QString &key, const QString &fallback)
{
    const QVariant value = store.value(key, fallback);
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

}
