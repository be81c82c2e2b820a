#ifndef UTILS_H
#define UTILS_H

#include <QObject>
#include <QString>

// Small stateless file and console helpers of the updater. Every console token leaves the
// process through outsn(), so a token always stands on a line of its own.
class Utils : public QObject
{
    Q_OBJECT
public:
    static void outsn(QString str);
    static bool isPathExists(QString path);
    static bool createFolder(QString path);

    static QString userAgent();

private:
    Utils() = delete;
};

#endif
