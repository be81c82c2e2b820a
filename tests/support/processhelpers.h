#ifndef PROCESSHELPERS_H
#define PROCESSHELPERS_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// Helpers for tests that run real child processes: configured copies of the stand-in program and
// the records it writes.
class ProcessHelpers
{
public:
    struct ToolRun
    {
        int exitCode = -1; // -1 when the tool crashed or did not end in time
        QByteArray out;
        QByteArray err;
        bool ok() const { return exitCode == 0; }
    };
    // Runs a tool to its end (killed after timeoutMs) and keeps what it wrote.
    static ToolRun runTool(const QString &program, const QStringList &arguments, int timeoutMs = 60000);

    // Copies the stand-in binary to <folder>/<name> (creating the folder), writes its options file
    // "<name>.options" (one argument per line) and, when version is not empty, "version.txt" beside it.
    // Returns the path of the copy, or an empty string on failure.
    static QString installStandin(const QString &standinBinary, const QString &folder, const QString &name,
                                  const QStringList &options, const QString &version = QString());

    // The JSON lines a stand-in appended with --record; empty when the file does not exist.
    static QList<QJsonObject> readRecords(const QString &recordFile);

    // Waits (processing events) until the record file holds at least count lines.
    static bool waitForRecords(const QString &recordFile, int count, int timeoutMs);

    // The arguments of a record as a string list.
    static QStringList recordArguments(const QJsonObject &record);

    // True while a process with this id exists and is not a zombie.
    static bool processExists(qint64 pid);

    // Waits until no process with this id exists any more.
    static bool waitForProcessGone(qint64 pid, int timeoutMs);

    // True when the process is a program of another architecture run by qemu-user (cross builds):
    // the kernel started the emulator as "interpreter program argv0 args...", with threads of its own.
    static bool isEmulated(qint64 pid);

    // The direct children of a process, from /proc.
    static QList<qint64> childrenOf(qint64 pid);
    // The program and arguments a process was started with (without the emulator's, under qemu-user).
    static QStringList commandLineOf(qint64 pid);
    // The canonical path of the program a process runs (the emulated one under qemu-user).
    static QString executableOf(qint64 pid);
};

#endif
