#include "launch.h"
#include "logwriter.h"
#include "settings.h"
#include "signalquitter.h"

#include <QCoreApplication>
#include <QDebug>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("tovrel"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("tovrel.example"));
    QCoreApplication::setApplicationName(QStringLiteral("zorvan"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.1"));

    SignalQuitter signalQuitter;

    // Read before the log handler exists: these lines go to the default output only.
    Settings settings;
    settings.readSettings();

    openLogFile(settings.logFolder, QStringLiteral("zorvan"));
    qInstallMessageHandler(logMessageHandler);

    if (settings.launcherActive == 0) {
        qDebug() << "zorvan quit";
        return 0;
    }

    // Destroyed in reverse order once the loop has ended: the supervisor first, so that it stops
    // its child while everything it logs through still exists.
    Launch launch;
    launch.init(&settings);

    return app.exec();
}
