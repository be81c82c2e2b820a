#ifndef DEVICECONFIG_H
#define DEVICECONFIG_H

#include <QString>
#include <QVariant>
#include <QVariantMap>

class TestEnvironment;

// A device's configuration as the updater's and the launcher's stores hold it, written under a
// TestEnvironment: the user's store (XDG_CONFIG_HOME) or the device-wide one (XDG_CONFIG_DIRS).
// Child programs started with the environment's processEnvironment() read exactly these files.
class DeviceConfig
{
public:
    enum Program { Updater, Launcher };
    enum Store { User, System };

    explicit DeviceConfig(const TestEnvironment &env);

    QString file(Program program, Store store = User) const;
    // Sets these keys and leaves the others; true once they are on disk.
    bool write(Program program, const QVariantMap &values, Store store = User) const;
    QVariant value(Program program, const QString &key, Store store = User) const;

    // An updater that keeps the application in appFolder and its downloads in workFolder, asks
    // link for "update.json" under the platform key, serves its control socket as socketName,
    // downloads on its own, installs only when asked, and checks once an hour. Version 1 installed.
    static QVariantMap updaterKeys(const QString &appFolder, const QString &workFolder, const QString &link,
                                   const QString &platform, const QString &socketName);
    // A launcher that runs appFolder/appName, logs into logFolder, shows the real message window and
    // starts the real updater on socketName; no watchdog.
    static QVariantMap launcherKeys(const QString &appFolder, const QString &appName, const QString &logFolder,
                                    const QString &socketName);

private:
    const TestEnvironment &m_env;
};

#endif
