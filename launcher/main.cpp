#include "appupdater.h"
#include "imbeddedwdt.h"
#include "launch.h"
#include "logwriter.h"
#include "launchersettings.h"
#include "stopsignalnotifier.h"
#include "stopsignalquitter.h"

#include <QCoreApplication>
#include <QDebug>

#include <memory>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("tovrel"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("tovrel.example"));
    QCoreApplication::setApplicationName(QStringLiteral("zorvan"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.1"));

    StopSignalQuitter stopSignals;
    // Every log line is echoed to stdout; a reader that goes away (a closed console, an ended
    // pipe) must not take the supervisor down with SIGPIPE. QProcess restores the default
    // disposition in the children it starts.
    StopSignalNotifier::ignoreBrokenPipe();

    // Read before the log handler exists: these lines go to the default output only.
    LauncherSettings settings;
    settings.readSettings();

    setLogLimits(settings.logDays, settings.logDayMb);
    openLogFile(settings.logFolder, QStringLiteral("zorvan"));
    qInstallMessageHandler(logMessageHandler);

    if (settings.launcherActive == 0) {
        qDebug() << "zorvan quit";
        return 0;
    }

    std::unique_ptr<ImbeddedWdt> watchdog;
    if (settings.watchdogActive == 1) {
        watchdog = std::make_unique<ImbeddedWdt>();
        watchdog->startWatchdog(&settings);
    }

    // Destroyed in reverse order once the loop has ended: the supervisor first, so that it stops
    // its child while everything it logs through still exists, then the updater client with the
    // updater child, then the feeder with its shell.
    AppUpdater updater;
    Launch launch;
    QObject::connect(&updater, &AppUpdater::stateUpdateChanged, &launch, &Launch::stateUpdateChanged);
    QObject::connect(&launch, &Launch::startUpdate, &updater, &AppUpdater::startUpdate);
    QObject::connect(&updater, &AppUpdater::connectionLost, &launch, &Launch::updaterConnectionLost);
    QObject::connect(&updater, &AppUpdater::probationStateChanged, &launch, &Launch::probationStateChanged);
    QObject::connect(&launch, &Launch::rollbackRequested, &updater, &AppUpdater::requestRollback);
    QObject::connect(&launch, &Launch::versionAccepted, &updater, &AppUpdater::acceptVersion);
    QObject::connect(&launch, &Launch::rollbackWithdrawn, &updater, &AppUpdater::withdrawRollback);
    updater.init(&settings);
    launch.init(&settings);

    return app.exec();
}
