#include "fileops.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool failed(QString *error)
{
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

} // namespace

namespace FileOps {

Kind kindOf(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return Kind::Missing;
    if (S_ISLNK(st.st_mode))
        return Kind::Link;
    if (S_ISDIR(st.st_mode))
        return Kind::Folder;
    if (S_ISREG(st.st_mode))
        return Kind::File;
    return Kind::Other;
}

bool makeFolder(const QString &path, QString *error)
{
    return ::mkdir(QFile::encodeName(path).constData(), 0755) == 0 || failed(error);
}

bool keepAs(const QString &from, const QString &to, QString *error)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    return ::link(source.constData(), target.constData()) == 0
        || ::rename(source.constData(), target.constData()) == 0 || failed(error);
}

bool replace(const QString &from, const QString &to, QString *error)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0 || failed(error);
}

bool removeEntry(const QString &path, QString *error)
{
    return ::unlink(QFile::encodeName(path).constData()) == 0 || failed(error);
}

bool setMode(QFile &file, unsigned mode, QString *error)
{
    return ::fchmod(file.handle(), mode_t(mode)) == 0 || failed(error);
}

} // namespace FileOps
