#ifndef SETTINGS_H
#define SETTINGS_H

#include <QObject>
#include <QSettings>
#include <QString>

// The updater's configuration and the run-time state strings shared by the update cycle and the
// control channel. Every read completes missing or invalid values with defaults and writes them
// back, so after the first run the store lists every key.
class Settings : public QObject
{
    Q_OBJECT
public:
    explicit Settings(QObject *parent = nullptr);

    Q_INVOKABLE void init();
    Q_INVOKABLE void read();
    Q_INVOKABLE void setAppVersionCode(int version);
    Q_INVOKABLE int getAppVersionCode();
    Q_INVOKABLE void setActiveDowload(int op);
    Q_INVOKABLE void setActiveUpdate(int op);
    Q_INVOKABLE QString getDownloadLink();
    Q_INVOKABLE void setDownloadLink(QString link);
    Q_INVOKABLE void setAppDir(QString dir);
    Q_INVOKABLE QString getAppDir();
    Q_INVOKABLE void setPeriodCheckUpdate(int period);
    Q_INVOKABLE int getPeriodCheckUpdate();

    QString getDeviceId();
    void setDeviceId(QString id);

    QSettings store;
    QString organization;
    QString appFolder;
    qint32 appVersionCode = 0;
    QString appKey;
    QString deviceId;
    QString updateLink;
    QString updateInfoRequest;
    qint32 periodCheckUpdate = 0;
    qint32 appDownloadActive = 0;
    qint32 appUpdateActive = 0;
    QString tempDir;
    QString serverName;
    QString stateDownload;
    QString stateUpdate;
    qint32 readyVersionCode = 0;

private:
    int readInt(const QString &key);
    QString readString(const QString &key, const QString &fallback = QString());
};

#endif
