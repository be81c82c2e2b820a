#ifndef TESTENVIRONMENT_H
#define TESTENVIRONMENT_H

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QVariantMap>

// A private HOME, XDG_CONFIG_HOME, XDG_CONFIG_DIRS and XDG_CACHE_HOME under a temporary folder, so
// that a child process (or this process, with apply()) never reads or writes the user's real settings
// nor the device-wide defaults of an installed package.
class TestEnvironment
{
public:
    TestEnvironment();

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString homePath() const;
    QString configPath() const;
    QString cachePath() const;
    // The device-wide folder (XDG_CONFIG_DIRS).
    QString systemConfigPath() const;

    // The current environment with the private folders in place.
    QProcessEnvironment processEnvironment() const;
    // Points this process's own variables at the private folders.
    void apply() const;
    // apply(), Qt's test mode and organisation "tovrel" with this application name; true when the
    // environment is valid and QSettings now lands in the private folder.
    bool applyAs(const QString &application) const;

    // The settings file Qt uses for organisation "tovrel" and the given application under configPath().
    QString settingsFile(const QString &application) const;
    // Writes these keys into that file (a device's configuration); true once they are on disk.
    bool writeSettings(const QString &application, const QVariantMap &values) const;

    // A local socket name that no other test uses.
    static QString uniqueSocketName(const QString &prefix);

private:
    QTemporaryDir m_dir;
};

#endif
