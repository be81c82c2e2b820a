#ifndef CONTROLSOCKET_H
#define CONTROLSOCKET_H

#include <QString>
#include <QtGlobal>

// Where the updater's control socket lives: a folder that only this user can reach, derived from
// the user id alone (never from the environment, so that a technician's shell finds the same one).
// The updater listens there and the launcher connects there.
namespace ControlSocket {

// The private folder; empty, with the reason in error, when no safe folder can be had.
QString folder(QString *error);
// The rule behind folder() with its two candidates given: runtime when it is a folder of this user,
// else fallback, created with mode 0700 if missing and used only if it is a folder (not a link) of
// this user with mode 0700.
QString folderFrom(const QString &runtime, const QString &fallback, QString *error);
// The socket path for a local server name, "<folder>/<name>"; empty as folder() is.
QString path(const QString &name, QString *error);
// Whether the process at the other end of a connected local socket runs as this user.
bool peerIsOwnUser(qintptr descriptor, QString *error);

}

#endif
