#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

// What every fuzz target of the updater needs before its first input: a private folder on a
// memory file system (a hostile input cannot fill the disk) that is HOME, the configuration and
// the cache of the process, and the program's names for its settings store. No application
// object: Qt's start-up allocations would be reported as leaks on the first input.

#include <QCoreApplication>
#include <QStandardPaths>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <unistd.h>

namespace FuzzSupport {

inline void discardMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

inline std::string &folderPath()
{
    static std::string path;
    return path;
}

// At a normal end only; after a crash the folder stays for a look. No Qt here: its statics may be gone.
inline void removeFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(folderPath(), ignored);
}

// Creates the folder once per process; exits when it cannot, as nothing could be tested.
inline QString prepare(const char *application)
{
    char pattern[] = "/dev/shm/tovrel-fuzz-XXXXXX";
    const char *folder = mkdtemp(pattern);
    if (!folder) {
        std::perror("fuzz: cannot create a folder in /dev/shm");
        std::exit(1);
    }
    const QString root = QString::fromLocal8Bit(folder);
    folderPath() = folder;
    std::atexit(removeFolder);
    qputenv("HOME", folder);
    qputenv("XDG_CONFIG_HOME", QByteArray(folder) + "/config");
    qputenv("XDG_CACHE_HOME", QByteArray(folder) + "/cache");
    qputenv("XDG_DATA_HOME", QByteArray(folder) + "/data");
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("tovrel"));
    QCoreApplication::setApplicationName(QString::fromLatin1(application));
    // The product logs every request and prints its console tokens; at millions of inputs that
    // would be all the fuzzer does. libFuzzer reports on standard error.
    qInstallMessageHandler(discardMessage);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    return root;
}

}

#endif
