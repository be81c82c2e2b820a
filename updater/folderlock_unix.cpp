#include "folderlock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

FolderLock::FolderLock(const QString &workFolder)
    : folder(workFolder)
{
}

FolderLock::~FolderLock()
{
    if (descriptor >= 0)
        ::close(descriptor);
}

QString FolderLock::fileName()
{
    return QStringLiteral("updater.lock");
}

QString FolderLock::path() const
{
    return folder + QLatin1Char('/') + fileName();
}

bool FolderLock::acquire()
{
    if (descriptor >= 0)
        return true;
    error.clear();
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    const QByteArray native = QFile::encodeName(path());
    // A link or another user's file would let someone else hold or break the lock.
    const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = QStringLiteral("%1: %2").arg(path(), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        error = QStringLiteral("%1: not a file of this user").arg(path());
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? QStringLiteral("%1: held by another updater").arg(path())
                                     : QStringLiteral("%1: %2").arg(path(), QString::fromLocal8Bit(std::strerror(errno)));
    } else {
        descriptor = fd;
        return true;
    }
    ::close(fd);
    return false;
}
