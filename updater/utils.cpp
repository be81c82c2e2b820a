#include "utils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <QTextStream>

void Utils::outsn(QString str)
{
    QTextStream out(stdout);
    out << str << '\n';
    out.flush();
}

bool Utils::isPathExists(QString path)
{
    return QFileInfo::exists(path);
}

bool Utils::createFolder(QString path)
{
    qDebug() << "create" << path;
    if (QFileInfo(path).isDir())
        return true;
    return QDir().mkpath(path);
}

QString Utils::userAgent()
{
    return QCoreApplication::applicationName() + QLatin1Char('/') + QCoreApplication::applicationVersion()
        + QStringLiteral(" (") + QSysInfo::prettyProductName() + QLatin1Char(')');
}
