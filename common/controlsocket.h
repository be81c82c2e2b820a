#ifndef CONTROLSOCKET_H
#define CONTROLSOCKET_H

#include <QString>
#include <QtGlobal>

// Where the updater's control socket lives: a folder that only this user can reach, derived from
// the user id alone (never from the environment, so that a technician's shell finds the same one).
// The updater listens there and the launcher connects there.
namespace ControlSocket {

// A socket path stays below this many bytes (the system's limit is 108, with its terminating zero).
constexpr int MaxPathBytes = 100;

// The private folder, leaving room for a socket name of nameBytes; empty, with the reason in error,
// when no safe folder can be had. When the last resort in /tmp is taken, note says why.
QString folder(QString *error, QString *note = nullptr, int nameBytes = 0);
// The rule behind folder() with its candidates given: runtime when it is a folder of this user;
// else the folder belowHome() inside home (the user's home from the user database, empty when there
// is none), made with mode 0700 if missing and used only when home and every folder on the way are
// closed to other users; else fallback, made likewise and used only if it is a folder (not a link)
// of this user with mode 0700. A candidate whose socket path would reach MaxPathBytes is skipped.
QString folderFrom(const QString &runtime, const QString &home, const QString &fallback, int nameBytes,
                   QString *error, QString *note);
// The private folder's place relative to the home folder.
QString belowHome();
// The socket path for a local server name, "<folder>/<name>"; empty as folder() is.
QString path(const QString &name, QString *error, QString *note = nullptr);
// Whether the process at the other end of a connected local socket runs as this user.
bool peerIsOwnUser(qintptr descriptor, QString *error);

}

#endif
