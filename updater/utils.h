#ifndef UTILS_H
#define UTILS_H

#include <QObject>
#include <QString>

// Small stateless file, disk and console helpers of the updater. Every console token leaves the
// process through outsn(), so a token always stands on a line of its own.
class Utils : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE static void quit();
    Q_INVOKABLE static void outsn(QString str);
    Q_INVOKABLE static qint64 getDiskTotal();
    Q_INVOKABLE static qint64 getDiskAvailable();
    Q_INVOKABLE static int getFileSize(QString fileName);
    Q_INVOKABLE static QString getFileHash(QString fileName);
    Q_INVOKABLE static bool isPathExists(QString path);
    Q_INVOKABLE static bool createFolder(QString path);
    Q_INVOKABLE static bool deleteFile(QString path);
    Q_INVOKABLE static bool deleteDir(QString path);

    static QString userAgent();

private:
    Utils() = delete;
};

#endif
