#include "controllocalserver.h"
#include "folderlock.h"
#include "recovery.h"
#include "priority.h"
#include "updatersettings.h"
#include "settingsstore.h"
#include "stopsignalnotifier.h"
#include "stopsignalquitter.h"
#include "updater.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QTimer>

#include <cstdio>

namespace {

void consoleMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    QString line;
    switch (type) {
    case QtDebugMsg: line = QStringLiteral("[Debug] %1").arg(msg); break;
    case QtWarningMsg: line = QStringLiteral("[Warning] %1").arg(msg); break;
    case QtCriticalMsg: line = QStringLiteral("[Critical] %1").arg(msg); break;
    case QtFatalMsg: line = QStringLiteral("[Fatal] %1").arg(msg); break;
    default: line = msg; break;
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

int asInteger(const QString &text)
{
    // Anything that is not a number counts as 0.
    return text.toInt();
}

const char organization[] = "tovrel";

// Reads "update/nice" from the store UpdaterSettings opens later, under the program name QCoreApplication
// will take from argv[0]; called while this is still the only thread. The report is logged later:
// --version prints one line only, and SIGPIPE is not ignored yet.
bool lowerPriority(const char *argv0, QString *report)
{
    const QString program = QFile::decodeName(argv0).section(QLatin1Char('/'), -1);
    const std::unique_ptr<QSettings> store = SettingsStore::open(QLatin1String(organization), program);
    return Priority::lower(UpdaterSettings::storedNice(*store), report);
}

struct Options
{
    QCommandLineOption download;
    QCommandLineOption update;
    QCommandLineOption versionCode;
    QCommandLineOption link;
    QCommandLineOption dir;
};

Options addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral("tovrel updater"));
    parser.addHelpOption();
    parser.addVersionOption();
    Options options{
        {QStringLiteral("download"), QStringLiteral("set for download the application"), QStringLiteral("download"),
         QStringLiteral("0")},
        {QStringLiteral("update"), QStringLiteral("set for update the application"), QStringLiteral("update"),
         QStringLiteral("0")},
        {QStringLiteral("versioncode"), QStringLiteral("set current version code application"),
         QStringLiteral("versioncode"), QStringLiteral("0")},
        {QStringLiteral("link"), QStringLiteral("set download application link"), QStringLiteral("link"), QString()},
        {QStringLiteral("dir"), QStringLiteral("set application lokation dir"), QStringLiteral("dir"), QString()},
    };
    for (const QCommandLineOption *option :
         {&options.download, &options.update, &options.versionCode, &options.link, &options.dir})
        parser.addOption(*option);
    return options;
}

void applyOptions(const QCommandLineParser &parser, const Options &options, UpdaterSettings &settings)
{
    if (parser.isSet(options.download))
        settings.setActiveDownload(asInteger(parser.value(options.download)));
    if (parser.isSet(options.update))
        settings.setActiveUpdate(asInteger(parser.value(options.update)));
    if (parser.isSet(options.versionCode))
        settings.setAppVersionCode(asInteger(parser.value(options.versionCode)));
    if (parser.isSet(options.link))
        settings.setDownloadLink(parser.value(options.link));
    if (parser.isSet(options.dir))
        settings.setAppDir(parser.value(options.dir));
}

// The exit timer ends the loop a moment after the last step, so that the last lines and replies get out.
void connectParts(Updater &updater, ControlLocalServer &server, QTimer &exitTimer)
{
    exitTimer.setSingleShot(true);
    QObject::connect(&exitTimer, &QTimer::timeout, QCoreApplication::instance(), [] {
        qDebug() << "exit handler code:" << 0;
        QCoreApplication::exit(0);
    });
    QObject::connect(&updater, &Updater::quit, &exitTimer, [&exitTimer] { exitTimer.start(100); });
    QObject::connect(&server, &ControlLocalServer::quit, &exitTimer, [&exitTimer] { exitTimer.start(100); });
    // After an installation the next check runs in a fresh process, started again by the launcher.
    QObject::connect(&updater, &Updater::installed, &server, [&server] {
        qDebug() << "application updated, exit once the clients know";
        server.deliverPending(5000);
    });
    QObject::connect(&server, &ControlLocalServer::delivered, &exitTimer, [&exitTimer] { exitTimer.start(100); });
    QObject::connect(&server, &ControlLocalServer::downloadUpdate, &updater, &Updater::startDownload);
    QObject::connect(&server, &ControlLocalServer::update, &updater, &Updater::startUpdate);
    QObject::connect(&server, &ControlLocalServer::rollback, &updater, &Updater::rollBack);
    QObject::connect(&server, &ControlLocalServer::commit, &updater, &Updater::commitVersion);
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(consoleMessageHandler);
    QString priorityReport;
    const bool priorityLowered = lowerPriority(argc > 0 ? argv[0] : "updater", &priorityReport);
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QLatin1String(organization));
    QCoreApplication::setOrganizationDomain(QStringLiteral("tovrel.net"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2.3"));

    QCommandLineParser parser;
    const Options options = addOptions(parser);
    parser.process(app);

    // Owned by the application object, the last to go: a stop request during the teardown after
    // the loop is swallowed, not the end of a half-finished shutdown.
    new StopSignalQuitter("cannot install the exit handler for SIGINT and SIGTERM", true, &app);
    // Every log line goes to stdout, which is the launcher's pipe: when the launcher goes away,
    // SIGPIPE must not end the updater, least of all while it moves files into the application folder.
    StopSignalNotifier::ignoreBrokenPipe();

    UpdaterSettings settings;
    settings.init();
    if (priorityLowered)
        qDebug() << "[Updater]" << qPrintable(priorityReport);
    else
        qWarning() << "[Updater]" << qPrintable(priorityReport);

    const bool downloadGiven = parser.isSet(options.download);
    const bool updateGiven = parser.isSet(options.update);
    applyOptions(parser, options, settings);

    QTimer exitTimer;

    // Outlives the objects that ask it.
    FolderLock folderLock(settings.tempDir);
    ControlLocalServer server;
    Updater updater;
    connectParts(updater, server, exitTimer);

    // The server listens before the cycle starts, so its first state changes already reach clients;
    // clients are served once the loop runs, after the recovery. The lock, not the socket, decides
    // who may touch the application folder: a second updater of this configuration must not, while
    // one that merely cannot listen still finishes what a crash left unfinished.
    server.init(&settings, updater.status());
    const bool owner = folderLock.acquire();
    updater.setFolderGate([&folderLock] { return folderLock.acquire(); });
    // Without a name the updater runs with no channel by design; only a failed listen counts.
    const bool listenFailed = !settings.serverName.isEmpty() && !server.isListening();
    if (!owner) {
        qWarning() << "[Updater]" << "application folder left alone:" << qPrintable(folderLock.errorString());
    } else if (listenFailed && InstallJournal::existsIn(settings.appFolder)) {
        // What a crash or power loss cut off is finished even without a channel; an updater that
        // listens does it first thing in Updater::init.
        qWarning() << "[Updater]" << "no control socket; finishing the journal in" << settings.appFolder << "all the same";
        Recovery::recover(
            settings.appFolder,
            [&settings](int code) { return settings.storeVersionCode(code); },
            [&settings](int code) { return settings.refuseVersion(code); });
    }
    const bool alone = owner && !listenFailed;
    if (alone)
        updater.init(&settings);

    if (!alone) {
        exitTimer.start(100);
    } else if (downloadGiven && settings.appDownloadActive == 1) {
        updater.startDownload();
        qDebug() << (settings.appUpdateActive != 0 ? "check download and update app" : "check download app only");
    } else if (updateGiven && settings.appUpdateActive == 1) {
        qDebug() << "unconditional update app dir";
        updater.startUpdate();
        exitTimer.start(100);
    }

    return app.exec();
}
