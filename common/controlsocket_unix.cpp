#include "controlsocket.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace ControlSocket {

namespace {
// A folder that is this user's alone: a real folder (not a link), owned by the user, and, when
// required, with no access for anyone else.
bool isPrivate(const QByteArray &path, uid_t uid, bool exactMode, QString *reason)
{
    struct stat info;
    if (::lstat(path.constData(), &info) != 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (S_ISLNK(info.st_mode) || !S_ISDIR(info.st_mode)) {
        *reason = QStringLiteral("not a folder");
        return false;
    }
    if (info.st_uid != uid) {
        *reason = QStringLiteral("owned by user %1").arg(info.st_uid);
        return false;
    }
    if (exactMode && (info.st_mode & 07777) != 0700) {
        *reason = QStringLiteral("mode %1, not 0700").arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return false;
    }
    return true;
}
}

QString folder(QString *error)
{
    const QString uid = QString::number(uint(::getuid()));
    // The session's runtime folder, made by the system for this user, else one of our own in /tmp.
    return folderFrom(QStringLiteral("/run/user/") + uid, QStringLiteral("/tmp/tovrel-") + uid, error);
}

QString folderFrom(const QString &runtime, const QString &fallback, QString *error)
{
    const uid_t uid = ::getuid();
    QString reason;
    if (isPrivate(QFile::encodeName(runtime), uid, false, &reason))
        return runtime;

    const QByteArray own = QFile::encodeName(fallback);
    if (::mkdir(own.constData(), 0700) == 0) {
        // The umask may have taken bits away.
        ::chmod(own.constData(), 0700);
    } else if (errno != EEXIST) {
        if (error)
            *error = QStringLiteral("cannot create %1: %2").arg(fallback, QString::fromLocal8Bit(std::strerror(errno)));
        return QString();
    }
    // Another user may have made it first, or put a link there: then it is not ours to use.
    if (!isPrivate(own, uid, true, &reason)) {
        if (error)
            *error = QStringLiteral("refusing %1: %2").arg(fallback, reason);
        return QString();
    }
    return fallback;
}

bool peerIsOwnUser(qintptr descriptor, QString *error)
{
    struct ucred credentials;
    socklen_t length = sizeof(credentials);
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (credentials.uid != ::getuid()) {
        if (error)
            *error = QStringLiteral("peer runs as user %1").arg(credentials.uid);
        return false;
    }
    return true;
}

}
