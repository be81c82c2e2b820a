#include "settings.h"

#include "userpath.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QStandardPaths>

namespace {
const char defaultUpdateLink[] = "http://update.tovrel.net/update";
}

Settings::Settings(QObject *parent)
    : QObject(parent)
    , store(QSettings::NativeFormat, QSettings::UserScope, QCoreApplication::organizationName(),
            QCoreApplication::applicationName())
    , organization(QCoreApplication::organizationName())
{
    Utils::outsn(QCoreApplication::applicationName() + QStringLiteral(" settings: ") + store.fileName());
}

void Settings::init()
{
    read();
}

int Settings::readInt(const QString &key)
{
    // Text that is not a number reads as 0, which is a valid value and is kept.
    const QVariant value = store.value(key, -1);
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok ? number : 0;
}

QString Settings::readString(const QString &key, const QString &fallback)
{
    return store.value(key, fallback).toString();
}

void Settings::read()
{
    store.sync();

    appFolder = readString(QStringLiteral("app/folder"));
    if (appFolder.isEmpty()) {
        appFolder = QStringLiteral("C:/") + organization + QStringLiteral("/app");
        store.setValue(QStringLiteral("app/folder"), appFolder);
        qDebug() << "[Settings]" << "set appFolder";
    }
    appFolder = expandUserPath(appFolder);

    appVersionCode = readInt(QStringLiteral("app/version"));
    if (appVersionCode < 0) {
        appVersionCode = 407;
        store.setValue(QStringLiteral("app/version"), appVersionCode);
        qDebug() << "[Settings]" << "set appVersionCode";
    }

    deviceId = readString(QStringLiteral("app/device_id"), QStringLiteral("-"));
    if (deviceId == QLatin1String("-")) {
        deviceId = QLatin1String("");
        store.setValue(QStringLiteral("app/device_id"), deviceId);
        qDebug() << "[Settings]" << "set deviceId" << deviceId;
    }

    appKey = readString(QStringLiteral("update/key"));
    if (appKey.isEmpty()) {
        appKey = QStringLiteral("windows");
        store.setValue(QStringLiteral("update/key"), appKey);
        qDebug() << "[Settings]" << "set appKey" << appKey;
    }

    updateLink = readString(QStringLiteral("update/link"));
    if (updateLink.isEmpty()) {
        updateLink = QString::fromLatin1(defaultUpdateLink);
        store.setValue(QStringLiteral("update/link"), updateLink);
        qDebug() << "[Settings]" << "set updateLink" << updateLink;
    }

    updateInfoRequest = readString(QStringLiteral("update/info"));
    if (updateInfoRequest.isEmpty()) {
        updateInfoRequest = QStringLiteral("update.json");
        store.setValue(QStringLiteral("update/info"), updateInfoRequest);
        qDebug() << "[Settings]" << "set updateInfoRequest";
    }

    periodCheckUpdate = readInt(QStringLiteral("update/period"));
    if (periodCheckUpdate < 0) {
        periodCheckUpdate = 3600;
        store.setValue(QStringLiteral("update/period"), periodCheckUpdate);
        qDebug() << "[Settings]" << "set periodCheckUpdate";
    }

    appDownloadActive = readInt(QStringLiteral("update/download"));
    if (appDownloadActive < 0) {
        appDownloadActive = 1;
        store.setValue(QStringLiteral("update/download"), appDownloadActive);
        qDebug() << "[Settings]" << "set appDownloadActive";
    }

    appUpdateActive = readInt(QStringLiteral("update/update"));
    if (appUpdateActive < 0) {
        appUpdateActive = 0;
        store.setValue(QStringLiteral("update/update"), appUpdateActive);
        qDebug() << "[Settings]" << "set appUpdateActive";
    }

    tempDir = readString(QStringLiteral("update/directory"));
    if (tempDir.isEmpty()) {
        tempDir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        store.setValue(QStringLiteral("update/directory"), tempDir);
        qDebug() << "[Settings]" << "set tempDir";
    }
    tempDir = expandUserPath(tempDir);

    serverName = readString(QStringLiteral("localserver/name"));
    if (serverName.isEmpty()) {
        serverName = QStringLiteral("tovrelupdater");
        store.setValue(QStringLiteral("localserver/name"), serverName);
        qDebug() << "[Settings]" << "set serverName";
    }

    store.sync();
}

void Settings::setAppVersionCode(int version)
{
    appVersionCode = version;
    store.setValue(QStringLiteral("app/version"), version);
    store.sync();
}

int Settings::getAppVersionCode()
{
    store.sync();
    appVersionCode = readInt(QStringLiteral("app/version"));
    return appVersionCode;
}

void Settings::setActiveDowload(int op)
{
    appDownloadActive = op == 1 ? 1 : 0;
    store.setValue(QStringLiteral("update/download"), appDownloadActive);
    store.sync();
}

void Settings::setActiveUpdate(int op)
{
    appUpdateActive = op == 1 ? 1 : 0;
    store.setValue(QStringLiteral("update/update"), appUpdateActive);
    store.sync();
}

QString Settings::getDownloadLink()
{
    store.sync();
    updateLink = readString(QStringLiteral("update/link"));
    return updateLink;
}

void Settings::setDownloadLink(QString link)
{
    updateLink = link;
    store.setValue(QStringLiteral("update/link"), link);
    store.sync();
}

void Settings::setAppDir(QString dir)
{
    appFolder = dir;
    store.setValue(QStringLiteral("app/folder"), dir);
    store.sync();
}

QString Settings::getAppDir()
{
    store.sync();
    appFolder = expandUserPath(readString(QStringLiteral("app/folder")));
    return appFolder;
}

void Settings::setPeriodCheckUpdate(int period)
{
    if (period < 0)
        return;
    periodCheckUpdate = period;
    store.setValue(QStringLiteral("update/period"), period);
    store.sync();
}

int Settings::getPeriodCheckUpdate()
{
    store.sync();
    periodCheckUpdate = readInt(QStringLiteral("update/period"));
    return periodCheckUpdate;
}

QString Settings::getDeviceId()
{
    store.sync();
    deviceId = readString(QStringLiteral("app/device_id"), QStringLiteral("-"));
    return deviceId;
}

void Settings::setDeviceId(QString id)
{
    deviceId = id;
    store.setValue(QStringLiteral("app/device_id"), id);
    store.sync();
}
