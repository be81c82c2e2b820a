// The package: the bytes are a zip archive that PackageInstaller installs into an empty folder
// inside a sentinel folder. Whatever the archive holds, the installer refuses it or installs it;
// nothing appears next to the destination or next to the package, nothing of the installer's own
// work is left behind, and a refused package leaves the destination as empty as it was.
//
// Everything lives on a memory file system, and the installer is told it has a small volume (the
// archive's claimed sizes are checked against that), so a bomb cannot fill the disk.
// No application object: the installer needs no event loop.

#include "fuzzsupport.h"
#include "packageinstaller.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QString root;
QString sentinel;
QString destination;
QString package;

// The installer keeps this much free, then takes what the archive says it unpacks to.
const qint64 reserve = 32LL * 1024 * 1024;
const qint64 unpackedLimit = 64LL * 1024 * 1024;

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

[[noreturn]] void fault(const char *what, const QStringList &found)
{
    std::fprintf(stderr, "fuzz: %s: %s\n", what, qPrintable(found.join(QLatin1String(", "))));
    std::abort();
}

}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    root = FuzzSupport::prepare("updater");
    sentinel = root + QStringLiteral("/sentinel");
    destination = sentinel + QStringLiteral("/app");
    package = root + QStringLiteral("/package.zip");
    QDir().mkpath(sentinel);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QDir(destination).removeRecursively();
    QFile file(package);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        std::abort();
    file.close();

    PackageInstaller installer(package, destination);
    installer.setSpaceProbe([](const QString &) {
        PackageInstaller::Space space;
        space.total = 1; // the reserve is then its minimum
        space.available = reserve + unpackedLimit;
        return space;
    });
    const bool installed = installer.run();

    const QStringList besideDestination = entries(sentinel);
    if (!besideDestination.isEmpty() && besideDestination != QStringList{QStringLiteral("app")})
        fault("written next to the destination", besideDestination);
    QStringList besidePackage = entries(root);
    besidePackage.removeAll(QStringLiteral("package.zip"));
    besidePackage.removeAll(QStringLiteral("sentinel"));
    if (!besidePackage.isEmpty())
        fault("written next to the package", besidePackage);
    const QStringList installedEntries = entries(destination);
    // The installer's own staging and backup folders; a package may not name its entries so.
    for (const QString &name : installedEntries) {
        if (name.startsWith(QLatin1String(".update-staging-")) || name.startsWith(QLatin1String(".update-backup-")))
            fault("work folder left behind", installedEntries);
    }
    if (!installed && installer.rollBack() != PackageInstaller::RollBackIncomplete && !installedEntries.isEmpty())
        fault("refused package left files", installedEntries);
    if (installed != (installer.error() == PackageInstaller::NoError))
        fault("outcome and error disagree", {installer.errorString()});
    return 0;
}
