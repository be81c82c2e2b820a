#include "utils.h"

#include "fileops.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QSysInfo>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>

void Utils::quit()
{
    std::fflush(stdout);
    std::exit(0);
}

void Utils::outsn(QString str)
{
    QTextStream out(stdout);
    out << str << '\n';
    out.flush();
}

qint64 Utils::getDiskTotal()
{
    return QStorageInfo::root().bytesTotal();
}

qint64 Utils::getDiskAvailable()
{
    return QStorageInfo::root().bytesAvailable();
}

int Utils::getFileSize(QString fileName)
{
    // Callers expect a plain int; sizes of 2 GiB and more wrap by design.
    return static_cast<int>(static_cast<quint32>(QFileInfo(fileName).size()));
}

QString Utils::getFileHash(QString fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
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

bool Utils::deleteFile(QString path)
{
    const FileOps::Kind kind = FileOps::kindOf(path);
    if (kind == FileOps::Kind::Missing || kind == FileOps::Kind::Folder)
        return false;
    return FileOps::removeEntry(path);
}

bool Utils::deleteDir(QString path)
{
    const FileOps::Kind kind = FileOps::kindOf(path);
    if (kind == FileOps::Kind::Link)
        // Remove the link only: following it would empty a folder that is not ours.
        return !QFileInfo(path).isDir() || FileOps::removeEntry(path);
    if (kind != FileOps::Kind::Folder)
        return true;

    const QDir dir(path);
    const QStringList names = dir.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name | QDir::DirsFirst);
    for (const QString &name : names) {
        const QString entry = dir.filePath(name);
        const bool removed = FileOps::kindOf(entry) == FileOps::Kind::Folder ? deleteDir(entry)
                                                                             : FileOps::removeEntry(entry);
        if (!removed)
            return false;
    }
    return QDir().rmdir(path);
}

QString Utils::userAgent()
{
    return QCoreApplication::applicationName() + QLatin1Char('/') + QCoreApplication::applicationVersion()
        + QStringLiteral(" (") + QSysInfo::prettyProductName() + QLatin1Char(')');
}
