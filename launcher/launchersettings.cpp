#include "launchersettings.h"
#include "logwriter.h"
#include "userpath.h"
#include "settingsstore.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QSettings>

namespace {
// Missing: Text when empty; Count when negative (a negative feed time would make the watchdog
// countdown never expire); Switch only at -1 or no value, any other number is kept as written;
// OptionalText only when absent, as empty is a value of its own. A number key holding text reads
// as 0 (switched off) and is kept.
enum class Kind { Text, Count, Switch, OptionalText };
// WhenDefaulted: the log name alone when the default had to be written back; Value: the log name
// and the value at every read.
enum class Log { None, WhenDefaulted, Value };

using S = LauncherSettings;

struct Key
{
    const char *key;
    Kind kind;
    QString S::*text;
    int S::*number;
    // A text default lies below "C:/<organisation>" when it starts with '/' or is empty.
    const char *textFallback;
    int numberFallback;
    Log log;
    const char *logName;
    // What follows this key's read: derived paths, checks and grouped log lines.
    void (*then)(S &);
};

QString composePath(QString &folder, const QString &name)
{
    folder = expandUserPath(folder);
    return folder + QLatin1Char('/') + name;
}

// In the order in which the store is read and logged.
const Key keys[] = {
    {"application/log", Kind::Text, &S::logFolder, nullptr, "/app/log", 0, Log::WhenDefaulted, "set logFolder", nullptr},
    // Days of log files to keep and megabytes of one day's file for the application's output; 0: no limit.
    {"application/logdays", Kind::Count, nullptr, &S::logDays, nullptr, 0, Log::Value, "application_logdays:", nullptr},
    {"application/logdaymb", Kind::Count, nullptr, &S::logDayMb, nullptr, 0, Log::Value, "application_logdaymb:", nullptr},
    {"application/folder", Kind::Text, &S::generalAppFolder, nullptr, "/app", 0, Log::WhenDefaulted,
     "set generalAppFolder", nullptr},
    {"application/name", Kind::Text, &S::generalAppName, nullptr, "tovrel.exe", 0, Log::WhenDefaulted,
     "set generalAppName",
     [](S &s) {
         s.logFolder = expandUserPath(s.logFolder);
         s.generalAppPath = composePath(s.generalAppFolder, s.generalAppName);
     }},
    {"settingsapp/folder", Kind::Text, &S::settingsAppFolder, nullptr, "", 0, Log::WhenDefaulted,
     "set settingsAppFolder", nullptr},
    {"settingsapp/name", Kind::Text, &S::settingsAppName, nullptr, "plessa.exe", 0, Log::WhenDefaulted,
     "set settingsAppName", [](S &s) { s.settingsAppPath = composePath(s.settingsAppFolder, s.settingsAppName); }},
    {"settingsapp/active", Kind::Switch, nullptr, &S::settingsAppActive, nullptr, 1, Log::None, nullptr, nullptr},
    {"updaterapp/folder", Kind::Text, &S::updaterAppFolder, nullptr, "", 0, Log::WhenDefaulted,
     "set updaterAppFolder", nullptr},
    {"updaterapp/name", Kind::Text, &S::updaterAppName, nullptr, "updater.exe", 0, Log::WhenDefaulted,
     "set updaterAppName", [](S &s) { s.updaterAppPath = composePath(s.updaterAppFolder, s.updaterAppName); }},
    {"updaterapp/active", Kind::Switch, nullptr, &S::updaterAppActive, nullptr, 1, Log::Value, "updaterapp_active:",
     nullptr},
    {"updaterapp/localserver", Kind::Text, &S::serverName, nullptr, "tovrelupdater", 0, Log::WhenDefaulted,
     "set serverName",
     [](S &s) {
         if (!QFileInfo::exists(s.generalAppPath))
             qCDebug(lcErr) << "[Settings]" << "file " << s.generalAppPath << "not exist";
         if (!QFileInfo::exists(s.settingsAppPath))
             qCDebug(lcErr) << "[Settings]" << "file " << s.settingsAppPath << "not exist, serch in morvaclient folder";
     }},
    {"watchdog/active", Kind::Switch, nullptr, &S::watchdogActive, nullptr, 0, Log::Value, "watchdog_active:", nullptr},
    {"watchdog/feedtime", Kind::Count, nullptr, &S::watchdogFeedTime, nullptr, 20, Log::None, nullptr, nullptr},
    {"watchdog/settime", Kind::Count, nullptr, &S::watchdogSetTime, nullptr, 60, Log::None, nullptr,
     [](S &s) {
         if (s.watchdogActive != 0) {
             qDebug() << "[Settings]" << "watchdog_feedtime:" << s.watchdogFeedTime;
             qDebug() << "[Settings]" << "watchdog_settime:" << s.watchdogSetTime;
         }
     }},
    {"application/fullscreen", Kind::Switch, nullptr, &S::appFullscreen, nullptr, 1, Log::Value,
     "application_fullscreen:", nullptr},
    {"application/active", Kind::Switch, nullptr, &S::appActive, nullptr, 1, Log::Value, "application_active:", nullptr},
    {"launcher/active", Kind::Switch, nullptr, &S::launcherActive, nullptr, 1, Log::Value, "launcher_active:", nullptr},
    {"probation/time", Kind::Count, nullptr, &S::probationTime, nullptr, 600, Log::None, nullptr, nullptr},
    {"probation/failures", Kind::Count, nullptr, &S::probationFailures, nullptr, 3, Log::None, nullptr,
     [](S &s) {
         qDebug() << "[Settings]" << "probation_time:" << s.probationTime << "probation_failures:"
                  << s.probationFailures;
     }},
    {"application/updatewindow", Kind::OptionalText, &S::updateWindow, nullptr, "", 0, Log::Value,
     "application_updatewindow:", nullptr},
};

// Returns true when the default had to be applied (and was written back).
bool readKey(QSettings &store, S &s, const Key &key)
{
    const QString name = QLatin1String(key.key);
    if (key.kind == Kind::OptionalText) {
        if (!store.contains(name))
            store.setValue(name, QString());
        s.*key.text = SettingsStore::text(store, name).trimmed();
        return false;
    }
    QVariant fallback;
    if (key.kind == Kind::Text) {
        s.*key.text = SettingsStore::text(store, name);
        if (!(s.*key.text).isEmpty())
            return false;
        const QString text = QLatin1String(key.textFallback);
        s.*key.text = text.isEmpty() || text.startsWith(QLatin1Char('/')) ? QStringLiteral("C:/") + s.organization + text
                                                                         : text;
        fallback = s.*key.text;
    } else {
        s.*key.number = store.value(name, -1).toInt();
        if (key.kind == Kind::Count ? s.*key.number >= 0 : s.*key.number != -1)
            return false;
        s.*key.number = key.numberFallback;
        fallback = key.numberFallback;
    }
    store.setValue(name, fallback);
    return true;
}
}

LauncherSettings::LauncherSettings(QObject *parent)
    : QObject(parent)
    , store(SettingsStore::open())
{
    organization = QCoreApplication::organizationName();
    settingsFileName = store->fileName();
}

LauncherSettings::~LauncherSettings() = default;

void LauncherSettings::readSettings()
{
    store->sync();
    qDebug() << "[Settings]" << settingsFileName;
    // The defaults below still apply; the warning tells why edits or write-backs do not stick.
    if (store->status() == QSettings::AccessError)
        qWarning() << "[Settings]" << "cannot access" << settingsFileName;
    else if (store->status() == QSettings::FormatError)
        qWarning() << "[Settings]" << "cannot parse" << settingsFileName;

    for (const Key &key : keys) {
        const bool defaulted = readKey(*store, *this, key);
        if (key.log == Log::WhenDefaulted && defaulted)
            qDebug() << "[Settings]" << key.logName;
        else if (key.log == Log::Value && key.text)
            qDebug() << "[Settings]" << key.logName << this->*key.text;
        else if (key.log == Log::Value)
            qDebug() << "[Settings]" << key.logName << this->*key.number;
        if (key.then)
            key.then(*this);
    }
}

void LauncherSettings::readProbationSettings()
{
    store->sync();
    for (const Key &key : keys) {
        if (key.number == &LauncherSettings::probationTime || key.number == &LauncherSettings::probationFailures)
            readKey(*store, *this, key);
    }
}
