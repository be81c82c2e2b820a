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
    static void quit();
    static void outsn(QString str);
    static qint64 getDiskTotal();
    static qint64 getDiskAvailable();
    static int getFileSize(QString fileName);
    static QString getFileHash(QString fileName);
    static bool isPathExists(QString path);
    static bool createFolder(QString path);
    static bool deleteFile(QString path);
    static bool deleteDir(QString path);

    static QString userAgent();

private:
    Utils() = delete;
};

#endif
