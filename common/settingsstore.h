#ifndef SETTINGSSTORE_H
#define SETTINGSSTORE_H

#include <QSettings>
#include <QString>

#include <memory>

// Opens the settings stores of both programs. Every instance in a process must be opened here:
// Qt parses a file once per process, and one instance opened without the UTF-8 codec would make
// all others misread non-ASCII text.
namespace SettingsStore {

// The store of this application (organisation and application name of the running program).
std::unique_ptr<QSettings> open();
// The store of one program by name, e.g. for a tool or a test that inspects it.
std::unique_ptr<QSettings> open(const QString &organization, const QString &application);
// The system-wide store of a program (on Linux the first folder of XDG_CONFIG_DIRS, by default
// /etc/xdg), and only that: no fallback to the user's store.
std::unique_ptr<QSettings> openSystem(const QString &organization, const QString &application);
// A store file at a known path.
std::unique_ptr<QSettings> openFile(const QString &path);

// A text value. Qt reads an unquoted value with commas as a list; it is joined back with commas
// (so a hand-typed "a, b" reads as "a,b").
QString text(const QSettings &store, const QString &key, const QString &fallback = QString());

}

#endif
