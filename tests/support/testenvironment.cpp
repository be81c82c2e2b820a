#include "testenvironment.h"
#include "settingsstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QUuid>

TestEnvironment::TestEnvironment()
{
    QDir().mkpath(homePath());
    QDir().mkpath(configPath());
    QDir().mkpath(cachePath());
}

QString TestEnvironment::homePath() const { return m_dir.filePath(QStringLiteral("home")); }
QString TestEnvironment::configPath() const { return m_dir.filePath(QStringLiteral("config")); }
QString TestEnvironment::cachePath() const { return m_dir.filePath(QStringLiteral("cache")); }
QString TestEnvironment::systemConfigPath() const { return m_dir.filePath(QStringLiteral("system")); }

QProcessEnvironment TestEnvironment::processEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), homePath());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configPath());
    env.insert(QStringLiteral("XDG_CACHE_HOME"), cachePath());
    env.insert(QStringLiteral("XDG_CONFIG_DIRS"), systemConfigPath());
    return env;
}

void TestEnvironment::apply() const
{
    qputenv("HOME", QFile::encodeName(homePath()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configPath()));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cachePath()));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(systemConfigPath()));
}

QString TestEnvironment::settingsFile(const QString &application) const
{
    return configPath() + QStringLiteral("/tovrel/") + application + QStringLiteral(".conf");
}

QString TestEnvironment::uniqueSocketName(const QString &prefix)
{
    return prefix + QLatin1Char('-') + QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-')
        + QUuid::createUuid().toString(QUuid::Id128).left(12);
}

bool TestEnvironment::applyAs(const QString &application) const
{
    if (!isValid())
        return false;
    apply();
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("tovrel"));
    QCoreApplication::setApplicationName(application);
    return SettingsStore::open()->fileName().startsWith(path());
}

bool TestEnvironment::writeSettings(const QString &application, const QVariantMap &values) const
{
    QSettings store(settingsFile(application), QSettings::IniFormat);
    for (auto it = values.begin(); it != values.end(); ++it)
        store.setValue(it.key(), it.value());
    store.sync();
    return store.status() == QSettings::NoError;
}
