#include "fileops.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool failed(QString *error)
{
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

// Runs call on a descriptor of path opened for reading; folders need no write access for fsync.
template <typename Call>
bool withDescriptor(const QString &path, int flags, QString *error, Call call)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0)
        return failed(error);
    const bool ok = call(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok || failed(error);
}

bool toStamp(int result, const struct stat &st, FileOps::Stamp *stamp, QString *error)
{
    if (result != 0)
        return failed(error);
    if (!S_ISREG(st.st_mode)) {
        if (error)
            *error = QStringLiteral("not a regular file");
        return false;
    }
    stamp->size = qint64(st.st_size);
    stamp->modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp->inode = quint64(st.st_ino);
    stamp->device = quint64(st.st_dev);
    stamp->mode = unsigned(st.st_mode & 07777);
    return true;
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

bool writeSynced(const QString &path, const QByteArray &data, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return failed(error);
    const char *at = data.constData();
    qint64 left = data.size();
    bool ok = true;
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, at, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok) {
            at += n;
            left -= n;
        }
    }
    const bool written = ok && ::fsync(fd) == 0;
    const int saved = errno;
    const bool closed = ::close(fd) == 0;
    if (written && closed)
        return true;
    if (!written)
        errno = saved ? saved : EIO;
    return failed(error);
}

bool syncFolder(const QString &path, QString *error)
{
    return withDescriptor(path, O_DIRECTORY, error, [](int fd) { return ::fsync(fd); });
}

bool syncFileSystem(const QString &path, QString *error)
{
    return withDescriptor(path, O_DIRECTORY, error, [](int fd) { return ::syncfs(fd); });
}

bool openFileNoFollow(QFile &file, const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return failed(error);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error)
            *error = QStringLiteral("not a regular file");
        ::close(fd);
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (error)
            *error = file.errorString();
        ::close(fd);
        return false;
    }
    return true;
}

int duplicate(int descriptor, QString *error)
{
    const int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        failed(error);
    return fd;
}

void closeDescriptor(int descriptor)
{
    ::close(descriptor);
}

bool stampOf(const QString &path, Stamp *stamp, QString *error)
{
    struct stat st;
    const int result = ::lstat(QFile::encodeName(path).constData(), &st);
    return toStamp(result, st, stamp, error);
}

bool stampOf(QFile &file, Stamp *stamp, QString *error)
{
    struct stat st;
    const int result = ::fstat(file.handle(), &st);
    return toStamp(result, st, stamp, error);
}

} // namespace FileOps
