#include "packageinstaller.h"

#include "logtext.h"
#include "packagestager.h"
#include "stagedinstall.h"

class PackageInstallerPrivate
{
public:
    PackageInstallerPrivate(const QString &package, const QString &destination)
        : stager(package, destination), install(destination)
    {
    }

    bool run();

    PackageStager stager;
    StagedInstall install;
    PackageInstaller::Logger logger;
};

bool PackageInstallerPrivate::run()
{
    install.setLogger(logger);
    if (!stager.open() || !stager.readEntries() || !stager.checkTargets() || !install.prepare()
        || !stager.checkSpace() || !install.dropKeptGeneration())
        return false;
    bool ok = stager.write(&install);
    if (ok && logger)
        logger(logText("staged", install.stagedFiles(), "files in", install.stagingPath()));
    ok = ok && install.moveIntoPlace();
    stager.close();
    install.removeWorkFolders();
    return ok;
}

PackageInstaller::PackageInstaller(const QString &package, const QString &destination)
    : d(new PackageInstallerPrivate(package, destination))
{
}

PackageInstaller::~PackageInstaller() = default;

bool PackageInstaller::run()
{
    return d->run();
}

PackageInstaller::Error PackageInstaller::error() const
{
    // Only one of the two stops a run: the package's faults come first, the moves' are write errors.
    if (d->stager.error() != NoError)
        return d->stager.error();
    return d->install.failed() ? WriteError : NoError;
}

QString PackageInstaller::errorString() const
{
    return (d->stager.errorLines() + d->install.errorLines()).join(QLatin1Char('\n'));
}

QStringList PackageInstaller::warnings() const
{
    return d->stager.warnings() + d->install.warnings();
}

void PackageInstaller::setModeSetter(ModeSetter setter)
{
    d->stager.setModeSetter(std::move(setter));
}

void PackageInstaller::setSpaceProbe(SpaceProbe probe)
{
    d->stager.setSpaceProbe(std::move(probe));
}

void PackageInstaller::setVersionCodes(int installed, int incoming)
{
    d->install.setVersionCodes(installed, incoming);
}

void PackageInstaller::setVersionStore(VersionStore store)
{
    d->install.setVersionStore(std::move(store));
}

void PackageInstaller::setPackageDescriptor(int descriptor)
{
    d->stager.setPackageDescriptor(descriptor);
}

void PackageInstaller::setLogger(Logger logger)
{
    d->logger = std::move(logger);
}

void PackageInstaller::setKeepReplaced(bool keep)
{
    d->install.setKeepReplaced(keep);
}

void PackageInstaller::setComplete(bool complete)
{
    d->install.setComplete(complete);
}

PackageInstaller::RollBack PackageInstaller::rollBack() const
{
    switch (d->install.rollBack()) {
    case StagedInstall::RolledBack:
        return RolledBack;
    case StagedInstall::RollBackIncomplete:
        return RollBackIncomplete;
    case StagedInstall::NothingToRollBack:
        break;
    }
    return NothingToRollBack;
}

QString PackageInstaller::destination() const
{
    return d->install.destination();
}
