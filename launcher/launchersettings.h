#ifndef LAUNCHERSETTINGS_H
#define LAUNCHERSETTINGS_H

#include <QObject>
#include <QString>

#include <memory>

class QSettings;

// The launcher's configuration. Every read completes the store with defaults, so that after the
// first run the settings file lists every key and can be edited by hand. Fields are read directly.
class LauncherSettings : public QObject
{
    Q_OBJECT
public:
    explicit LauncherSettings(QObject *parent = nullptr);
    ~LauncherSettings() override;

    void readSettings();

    int getWatchdogFeedTime() const { return watchdogFeedTime; }
    int getWatchdogSetTime() const { return watchdogSetTime; }

    QString organization;
    QString generalAppFolder;
    QString generalAppName;
    QString generalAppPath;
    QString logFolder;
    int logDays = 0;
    int logDayMb = 0;
    QString settingsAppFolder;
    QString settingsAppName;
    QString settingsAppPath;
    int settingsAppActive = 0;
    QString updaterAppFolder;
    QString updaterAppName;
    QString updaterAppPath;
    QString serverName;
    int updaterAppActive = 0;
    QString settingsFileName;
    int watchdogActive = 0;
    int watchdogFeedTime = 0;
    int watchdogSetTime = 0;
    int appFullscreen = 0;
    int launcherActive = 0;
    int appActive = 0;
    // Seconds a newly installed version must run without failure before the files it replaced go,
    // and the failures after which the previous version is put back (0: never).
    int probationTime = 0;
    int probationFailures = 0;
    // "HH:MM-HH:MM" of local time in which a ready update may end the running application; empty:
    // updates wait until it ends by itself.
    QString updateWindow;

    // Only the two probation keys, quietly: the probation must use the time in force when it logs it.
    void readProbationSettings();

private:
    std::unique_ptr<QSettings> store;
};

#endif
