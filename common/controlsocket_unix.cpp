#include "controlsocket.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace ControlSocket {

namespace {
QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A folder that is this user's alone: a real folder (not a link), owned by the user, and, when
// required, with no access for anyone else.
bool isPrivate(const QByteArray &path, uid_t uid, bool exactMode, QString *reason)
{
    struct stat info;
    if (::lstat(path.constData(), &info) != 0) {
        *reason = systemError();
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

// A folder in which no other user can create, rename or remove anything: the user's or root's, and
// writable by nobody else. A link counts for the folder it leads to.
bool isClosed(const QByteArray &path, uid_t uid, QString *reason)
{
    struct stat info;
    if (::stat(path.constData(), &info) != 0) {
        *reason = systemError();
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        *reason = QStringLiteral("not a folder");
        return false;
    }
    if (info.st_uid != uid && info.st_uid != 0) {
        *reason = QStringLiteral("owned by user %1").arg(info.st_uid);
        return false;
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        *reason = QStringLiteral("writable by others");
        return false;
    }
    return true;
}

// Made with mode 0700 when missing; an existing one is judged by the caller.
bool makeFolder(const QByteArray &path, QString *reason)
{
    if (::mkdir(path.constData(), 0700) == 0) {
        // The umask may have taken bits away.
        ::chmod(path.constData(), 0700);
        return true;
    }
    if (errno == EEXIST)
        return true;
    *reason = QStringLiteral("cannot create it: %1").arg(systemError());
    return false;
}

bool fits(const QString &folder, int nameBytes)
{
    return QFile::encodeName(folder).size() + 1 + nameBytes < MaxPathBytes;
}

// The private folder below home; empty, with the reason, when the way there is open to others.
QString privateBelow(const QString &home, uid_t uid, QString *why)
{
    QString reason;
    if (!QDir::isAbsolutePath(home) || !isClosed(QFile::encodeName(home), uid, &reason)) {
        *why = QStringLiteral("home folder %1: %2").arg(home, reason.isEmpty() ? QStringLiteral("not absolute") : reason);
        return QString();
    }
    QString current = QDir::cleanPath(home);
    const QStringList parts = belowHome().split(QLatin1Char('/'));
    for (int i = 0; i < parts.size(); ++i) {
        current = QDir::cleanPath(current + QLatin1Char('/') + parts.at(i));
        const QByteArray native = QFile::encodeName(current);
        const bool last = i == parts.size() - 1;
        if (!makeFolder(native, &reason) || !(last ? isPrivate(native, uid, true, &reason) : isClosed(native, uid, &reason))) {
            *why = QStringLiteral("%1: %2").arg(current, reason);
            return QString();
        }
    }
    return current;
}

QString homeOf(uid_t uid)
{
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    QByteArray buffer(int(size > 0 ? size : 16384), Qt::Uninitialized);
    struct passwd entry;
    struct passwd *found = nullptr;
    int result;
    while ((result = ::getpwuid_r(uid, &entry, buffer.data(), size_t(buffer.size()), &found)) == ERANGE
           && buffer.size() < (1 << 20))
        buffer.resize(buffer.size() * 2);
    if (result != 0 || !found || !found->pw_dir)
        return QString();
    return QFile::decodeName(found->pw_dir);
}
}

QString folder(QString *error, QString *note, int nameBytes)
{
    const uid_t uid = ::getuid();
    const QString id = QString::number(uint(uid));
    // The session's runtime folder, made by the system for this user; else one below the home folder
    // that the user database names, which no other user can make first; else one in /tmp.
    return folderFrom(QStringLiteral("/run/user/") + id, homeOf(uid), QStringLiteral("/tmp/tovrel-") + id, nameBytes,
                      error, note);
}

QString folderFrom(const QString &runtime, const QString &home, const QString &fallback, int nameBytes,
                   QString *error, QString *note)
{
    const uid_t uid = ::getuid();
    QString reason;
    if (fits(runtime, nameBytes) && isPrivate(QFile::encodeName(runtime), uid, false, &reason))
        return runtime;

    QString why;
    if (home.isEmpty()) {
        why = QStringLiteral("no home folder in the user database");
    } else {
        const QString own = QDir::cleanPath(home + QLatin1Char('/') + belowHome());
        if (!fits(own, nameBytes)) {
            why = QStringLiteral("%1 leaves no room for the socket name (%2 bytes at most)").arg(own).arg(MaxPathBytes - 1);
        } else {
            const QString made = privateBelow(home, uid, &why);
            if (!made.isEmpty())
                return made;
        }
    }
    // Anyone may take this name first; the checks below refuse it then.
    if (note)
        *note = QStringLiteral("%1; using %2").arg(why, fallback);

    const QByteArray own = QFile::encodeName(fallback);
    if (::mkdir(own.constData(), 0700) == 0) {
        // The umask may have taken bits away.
        ::chmod(own.constData(), 0700);
    } else if (errno != EEXIST) {
        if (error)
            *error = QStringLiteral("cannot create %1: %2").arg(fallback, systemError());
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
            *error = systemError();
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
