#include "deviceconfig.h"
#include "settingsstore.h"
#include "testenvironment.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString applicationName(DeviceConfig::Program program)
{
    return program == DeviceConfig::Updater ? QStringLiteral("updater") : QStringLiteral("zorvan");
}

}

DeviceConfig::DeviceConfig(const TestEnvironment &env)
    : m_env(env)
{
}

QString DeviceConfig::file(Program program, Store store) const
{
    if (store == User)
        return m_env.settingsFile(applicationName(program));
    return m_env.systemConfigPath() + QStringLiteral("/tovrel/") + applicationName(program) + QStringLiteral(".conf");
}

bool DeviceConfig::write(Program program, const QVariantMap &values, Store store) const
{
    const QString path = file(program, store);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    const auto settings = SettingsStore::openFile(path);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings->setValue(it.key(), it.value());
    settings->sync();
    return settings->status() == QSettings::NoError;
}

QVariant DeviceConfig::value(Program program, const QString &key, Store store) const
{
    return SettingsStore::openFile(file(program, store))->value(key);
}

QVariantMap DeviceConfig::updaterKeys(const QString &appFolder, const QString &workFolder, const QString &link,
                                      const QString &platform, const QString &socketName)
{
    return {{QStringLiteral("app/folder"), appFolder},
            {QStringLiteral("app/version"), 1},
            {QStringLiteral("update/key"), platform},
            {QStringLiteral("update/link"), link},
            {QStringLiteral("update/info"), QStringLiteral("update.json")},
            {QStringLiteral("update/period"), 3600},
            {QStringLiteral("update/download"), 1},
            {QStringLiteral("update/update"), 0},
            {QStringLiteral("update/directory"), workFolder},
            {QStringLiteral("localserver/name"), socketName}};
}

QVariantMap DeviceConfig::launcherKeys(const QString &appFolder, const QString &appName, const QString &logFolder,
                                       const QString &socketName)
{
    const QFileInfo plessa(QStringLiteral(PLESSA_BIN));
    const QFileInfo updater(QStringLiteral(UPDATER_BIN));
    return {{QStringLiteral("application/folder"), appFolder},
            {QStringLiteral("application/name"), appName},
            {QStringLiteral("application/log"), logFolder},
            {QStringLiteral("settingsapp/folder"), plessa.absolutePath()},
            {QStringLiteral("settingsapp/name"), plessa.fileName()},
            {QStringLiteral("updaterapp/folder"), updater.absolutePath()},
            {QStringLiteral("updaterapp/name"), updater.fileName()},
            {QStringLiteral("updaterapp/localserver"), socketName},
            {QStringLiteral("watchdog/active"), 0}};
}
