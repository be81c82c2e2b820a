#include "publisher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tovrel-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Publishes an application version for the updater: writes the package zip and the update "
        "information into a folder that any static HTTP server serves."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption source(QStringLiteral("source"),
                                    QStringLiteral("Application folder or zip archive to publish."),
                                    QStringLiteral("path"));
    const QCommandLineOption versionCode(QStringLiteral("version-code"),
                                         QStringLiteral("Version code of this version (above 0)."),
                                         QStringLiteral("code"));
    const QCommandLineOption key(QStringLiteral("key"),
                                 QStringLiteral("Platform key, as in the devices' update/key."),
                                 QStringLiteral("key"));
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("Device id allowed to take it (repeat; none: every device)."),
                                    QStringLiteral("id"));
    const QCommandLineOption baseUrl(QStringLiteral("base-url"),
                                     QStringLiteral("URL under which the output folder is served, as in the "
                                                    "devices' update/link."),
                                     QStringLiteral("url"));
    const QCommandLineOption output(QStringLiteral("output"), QStringLiteral("Folder the HTTP server serves."),
                                    QStringLiteral("folder"));
    const QCommandLineOption infoName(QStringLiteral("info-name"),
                                      QStringLiteral("Name of the update information, as in update/info."),
                                      QStringLiteral("name"), QStringLiteral("update.json"));
    const QCommandLineOption fileName(QStringLiteral("file-name"),
                                      QStringLiteral("Package file name (default <key>-<code>.zip)."),
                                      QStringLiteral("name"));
    parser.addOptions({source, versionCode, key, device, baseUrl, output, infoName, fileName});
    parser.process(app);

    QTextStream err(stderr);
    for (const QCommandLineOption &required : {source, versionCode, key, baseUrl, output}) {
        if (!parser.isSet(required)) {
            err << "tovrel-publish: --" << required.names().constFirst() << " is required\n\n"
                << parser.helpText();
            return 1;
        }
    }
    bool numeric = false;
    Publisher::Request request;
    request.source = parser.value(source);
    request.versionCode = parser.value(versionCode).toInt(&numeric);
    if (!numeric) {
        err << "tovrel-publish: version code is not a whole number: " << parser.value(versionCode) << '\n';
        return 1;
    }
    request.platformKey = parser.value(key);
    request.deviceIds = parser.values(device);
    request.baseUrl = parser.value(baseUrl);
    request.outputDir = parser.value(output);
    request.infoName = parser.value(infoName);
    request.fileName = parser.value(fileName);

    Publisher publisher;
    Publisher::Result result;
    QString error;
    const bool ok = publisher.publish(request, &result, &error);
    for (const QString &warning : qAsConst(result.warnings))
        err << "tovrel-publish: warning: " << warning << '\n';
    if (!ok) {
        err << "tovrel-publish: " << error << '\n';
        return 2;
    }
    QTextStream out(stdout);
    out << "package: " << result.packagePath << '\n'
        << "info:    " << result.infoPath << '\n'
        << "link:    " << result.link << '\n'
        << "md5:     " << result.hash << '\n';
    return 0;
}
