#include "launchersettings.h"
#include "logwriter.h"
#include "userpath.h"
#include "settingsstore.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QSettings>

LauncherSettings::LauncherSettings(QObject *parent)
    : QObject(parent)
    , store(SettingsStore::open())
{
    organization = QCoreApplication::organizationName();
    settingsFileName = store->fileName();
}

LauncherSettings::~LauncherSettings() = default;

bool LauncherSettings::readString(const QString &key, QString &field, const QString &fallback)
{
    field = SettingsStore::text(*store, key);
    if (!field.isEmpty())
        return false;
    field = fallback;
    store->setValue(key, field);
    return true;
}

bool LauncherSettings::readInt(const QString &key, int &field, int fallback)
{
    // A value that is not a number reads as 0 (switched off) and is kept. For times and counts any
    // negative value counts as missing, not only -1: a negative feed time would make the watchdog
    // countdown never expire.
    field = store->value(key, -1).toInt();
    if (field >= 0)
        return false;
    field = fallback;
    store->setValue(key, field);
    return true;
}

bool LauncherSettings::readSwitch(const QString &key, int &field, int fallback)
{
    field = store->value(key, -1).toInt();
    if (field != -1)
        return false;
    field = fallback;
    store->setValue(key, field);
    return true;
}

void LauncherSettings::readSettings()
{
    store->sync();
    qDebug() << "[Settings]" << settingsFileName;
    // The defaults below still apply; the warning tells why edits or write-backs do not stick.
    if (store->status() == QSettings::AccessError)
        qWarning() << "[Settings]" << "cannot access" << settingsFileName;
    else if (store->status() == QSettings::FormatError)
        qWarning() << "[Settings]" << "cannot parse" << settingsFileName;

    const QString base = QStringLiteral("C:/") + organization;

    if (readString(QStringLiteral("application/log"), logFolder, base + QStringLiteral("/app/log")))
        qDebug() << "[Settings]" << "set logFolder";
    // Days of log files to keep and megabytes of one day's file for the application's output; 0: no limit.
    readInt(QStringLiteral("application/logdays"), logDays, 0);
    qDebug() << "[Settings]" << "application_logdays:" << logDays;
    readInt(QStringLiteral("application/logdaymb"), logDayMb, 0);
    qDebug() << "[Settings]" << "application_logdaymb:" << logDayMb;
    if (readString(QStringLiteral("application/folder"), generalAppFolder, base + QStringLiteral("/app")))
        qDebug() << "[Settings]" << "set generalAppFolder";
    if (readString(QStringLiteral("application/name"), generalAppName, QStringLiteral("tovrel.exe")))
        qDebug() << "[Settings]" << "set generalAppName";
    logFolder = expandUserPath(logFolder);
    generalAppFolder = expandUserPath(generalAppFolder);
    generalAppPath = generalAppFolder + QLatin1Char('/') + generalAppName;

    if (readString(QStringLiteral("settingsapp/folder"), settingsAppFolder, base))
        qDebug() << "[Settings]" << "set settingsAppFolder";
    if (readString(QStringLiteral("settingsapp/name"), settingsAppName, QStringLiteral("plessa.exe")))
        qDebug() << "[Settings]" << "set settingsAppName";
    settingsAppFolder = expandUserPath(settingsAppFolder);
    settingsAppPath = settingsAppFolder + QLatin1Char('/') + settingsAppName;
    readSwitch(QStringLiteral("settingsapp/active"), settingsAppActive, 1);

    if (readString(QStringLiteral("updaterapp/folder"), updaterAppFolder, base))
        qDebug() << "[Settings]" << "set updaterAppFolder";
    if (readString(QStringLiteral("updaterapp/name"), updaterAppName, QStringLiteral("updater.exe")))
        qDebug() << "[Settings]" << "set updaterAppName";
    updaterAppFolder = expandUserPath(updaterAppFolder);
    updaterAppPath = updaterAppFolder + QLatin1Char('/') + updaterAppName;
    readSwitch(QStringLiteral("updaterapp/active"), updaterAppActive, 1);
    qDebug() << "[Settings]" << "updaterapp_active:" << updaterAppActive;
    if (readString(QStringLiteral("updaterapp/localserver"), serverName, QStringLiteral("tovrelupdater")))
        qDebug() << "[Settings]" << "set serverName";

    if (!QFileInfo::exists(generalAppPath))
        qCDebug(lcErr) << "[Settings]" << "file " << generalAppPath << "not exist";
    if (!QFileInfo::exists(settingsAppPath))
        qCDebug(lcErr) << "[Settings]" << "file " << settingsAppPath << "not exist, serch in morvaclient folder";

    readSwitch(QStringLiteral("watchdog/active"), watchdogActive, 0);
    qDebug() << "[Settings]" << "watchdog_active:" << watchdogActive;
    readInt(QStringLiteral("watchdog/feedtime"), watchdogFeedTime, 20);
    readInt(QStringLiteral("watchdog/settime"), watchdogSetTime, 60);
    if (watchdogActive != 0) {
        qDebug() << "[Settings]" << "watchdog_feedtime:" << watchdogFeedTime;
        qDebug() << "[Settings]" << "watchdog_settime:" << watchdogSetTime;
    }

    readSwitch(QStringLiteral("application/fullscreen"), appFullscreen, 1);
    qDebug() << "[Settings]" << "application_fullscreen:" << appFullscreen;
    readSwitch(QStringLiteral("application/active"), appActive, 1);
    qDebug() << "[Settings]" << "application_active:" << appActive;
    readSwitch(QStringLiteral("launcher/active"), launcherActive, 1);
    qDebug() << "[Settings]" << "launcher_active:" << launcherActive;
    readInt(QStringLiteral("probation/time"), probationTime, 600);
    readInt(QStringLiteral("probation/failures"), probationFailures, 3);
    qDebug() << "[Settings]" << "probation_time:" << probationTime << "probation_failures:" << probationFailures;
    // Empty is a value of its own here (no window), so only an absent key is written back.
    const QString windowKey = QStringLiteral("application/updatewindow");
    if (!store->contains(windowKey))
        store->setValue(windowKey, QString());
    updateWindow = SettingsStore::text(*store, windowKey).trimmed();
    qDebug() << "[Settings]" << "application_updatewindow:" << updateWindow;
}

void LauncherSettings::readProbationSettings()
{
    store->sync();
    readInt(QStringLiteral("probation/time"), probationTime, 600);
    readInt(QStringLiteral("probation/failures"), probationFailures, 3);
}
