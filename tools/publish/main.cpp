#include "deltapruner.h"
#include "fleetreport.h"
#include "publisher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

namespace {

int keygen(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes a new Ed25519 key pair for signing update information: update-signing.pem (the private "
        "key, readable only by you) and update-signing.pub (the public key for the devices' "
        "update/publickey)."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("keygen"), QStringLiteral("Make a key pair."));
    const QCommandLineOption out(QStringLiteral("out"), QStringLiteral("Folder for the two key files."),
                                 QStringLiteral("folder"));
    parser.addOption(out);
    parser.process(app);

    QTextStream err(stderr);
    if (!parser.isSet(out) || parser.positionalArguments() != QStringList{QStringLiteral("keygen")}) {
        err << "tovrel-publish: keygen takes --out and nothing else\n\n" << parser.helpText();
        return 1;
    }
    Publisher::KeyFiles files;
    QString error;
    if (!Publisher::generateKeys(parser.value(out), &files, &error)) {
        err << "tovrel-publish: " << error << '\n';
        return 2;
    }
    QTextStream(stdout) << "private key: " << files.privateKeyPath << '\n'
                        << "public key file: " << files.publicKeyPath << '\n'
                        << "public key: " << files.publicKey << '\n';
    return 0;
}

int report(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reports on the fleet from the update server's access log (in the log format of the publishing "
        "guide; plain files and .gz rotations, in any order): devices per version, rollout, failing, "
        "rolled back and silent devices, bytes served. Writes a static HTML page and, with --json, the "
        "same facts as JSON."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("report"), QStringLiteral("Write a fleet report."));
    const QCommandLineOption log(QStringLiteral("log"), QStringLiteral("Access log file (repeat; or several after one --log)."),
                                 QStringLiteral("file"));
    const QCommandLineOption info(QStringLiteral("info"), QStringLiteral("Update information to compare the rollout with."),
                                  QStringLiteral("update.json"));
    const QCommandLineOption since(QStringLiteral("since"), QStringLiteral("Only the last DAYS days of the log."),
                                   QStringLiteral("days"));
    const QCommandLineOption silentAfter(QStringLiteral("silent-after"),
                                         QStringLiteral("Hours without a request after which a device counts as silent (default 24)."),
                                         QStringLiteral("hours"), QStringLiteral("24"));
    const QCommandLineOption html(QStringLiteral("html"), QStringLiteral("The HTML page to write."), QStringLiteral("file"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("The JSON facts to write."), QStringLiteral("file"));
    parser.addOptions({log, info, since, silentAfter, html, json});
    parser.process(app);

    QTextStream err(stderr);
    // Log files may follow --log as further arguments, so that a shell glob works: --log access.log*.
    QStringList positional = parser.positionalArguments();
    if (positional.value(0) != QLatin1String("report") || !parser.isSet(log) || !parser.isSet(html)) {
        err << "tovrel-publish: report needs --log and --html\n\n" << parser.helpText();
        return 1;
    }
    positional.removeFirst();
    FleetReport::Options options;
    options.logs = parser.values(log) + positional;
    options.infoPath = parser.value(info);
    options.htmlPath = parser.value(html);
    options.jsonPath = parser.value(json);
    options.now = QDateTime::currentSecsSinceEpoch();
    bool numeric = true;
    if (parser.isSet(since)) {
        options.sinceDays = parser.value(since).toInt(&numeric);
        if (!numeric || options.sinceDays < 1) {
            err << "tovrel-publish: --since is not a whole number of days above 0: " << parser.value(since) << '\n';
            return 1;
        }
    }
    options.silentAfterHours = parser.value(silentAfter).toDouble(&numeric);
    if (!numeric || !(options.silentAfterHours > 0) || options.silentAfterHours > 24 * 3660) {
        err << "tovrel-publish: --silent-after is not a number of hours above 0: " << parser.value(silentAfter) << '\n';
        return 1;
    }
    QString error;
    if (!FleetReport::run(options, &error)) {
        err << "tovrel-publish: " << error << '\n';
        return 2;
    }
    QTextStream(stdout) << "report: " << options.htmlPath << '\n';
    if (!options.jsonPath.isEmpty())
        QTextStream(stdout) << "facts:  " << options.jsonPath << '\n';
    return 0;
}

int prune(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Removes from the output folder the manifests of all but the newest versions of each platform key "
        "(and never one that the update information announces), then the file objects and patches that no "
        "kept version refers to. Packages and the update information stay."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("prune"), QStringLiteral("Remove what no kept version needs."));
    const QCommandLineOption output(QStringLiteral("output"), QStringLiteral("Folder the HTTP server serves."),
                                    QStringLiteral("folder"));
    const QCommandLineOption keep(QStringLiteral("keep"), QStringLiteral("Newest versions to keep per platform key."),
                                  QStringLiteral("count"));
    const QCommandLineOption infoName(QStringLiteral("info-name"),
                                      QStringLiteral("Name of the update information, as in update/info."),
                                      QStringLiteral("name"), QStringLiteral("update.json"));
    parser.addOptions({output, keep, infoName});
    parser.process(app);

    QTextStream err(stderr);
    if (!parser.isSet(output) || !parser.isSet(keep) || parser.positionalArguments() != QStringList{QStringLiteral("prune")}) {
        err << "tovrel-publish: prune needs --output and --keep\n\n" << parser.helpText();
        return 1;
    }
    bool numeric = false;
    const int count = parser.value(keep).toInt(&numeric);
    if (!numeric || count < 1) {
        err << "tovrel-publish: --keep is not a whole number above 0: " << parser.value(keep) << '\n';
        return 1;
    }
    const QString folder = parser.value(output);
    bool readable = false;
    const QStringList pinned =
        DeltaPruner::announcedManifests(QDir(folder).filePath(parser.value(infoName)), &readable);
    if (!readable) {
        err << "tovrel-publish: " << parser.value(infoName) << " in " << folder
            << " is not valid update information; nothing removed\n";
        return 2;
    }
    DeltaPruner::Result result;
    QString error;
    if (!DeltaPruner::prune(folder, count, pinned, &result, &error)) {
        err << "tovrel-publish: " << error << '\n';
        return 2;
    }
    QTextStream(stdout) << "removed: " << result.manifests << " manifests, " << result.objects << " objects, "
                        << result.patches << " patches (" << result.bytes << " bytes)\n";
    return 0;
}

}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tovrel-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
    if (argc > 1 && qstrcmp(argv[1], "keygen") == 0)
        return keygen(app);
    if (argc > 1 && qstrcmp(argv[1], "report") == 0)
        return report(app);
    if (argc > 1 && qstrcmp(argv[1], "prune") == 0)
        return prune(app);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Publishes an application version for the updater: writes the package zip and the update "
        "information into a folder that any static HTTP server serves.\n"
        "tovrel-publish keygen --out <folder> makes a key pair for --sign-key.\n"
        "tovrel-publish report --log <file>... --html <file> reports on the fleet (see report --help).\n"
        "tovrel-publish prune --output <folder> --keep <count> removes file objects, patches and manifests "
        "that no kept version needs."));
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
    const QCommandLineOption signKey(QStringLiteral("sign-key"),
                                     QStringLiteral("Ed25519 private key (PEM) that signs the entry."),
                                     QStringLiteral("file"));
    const QCommandLineOption expires(QStringLiteral("expires"),
                                     QStringLiteral("UTC time after which devices refuse the entry, "
                                                    "e.g. 2027-01-31T12:00:00Z (needs --sign-key)."),
                                     QStringLiteral("time"));
    const QCommandLineOption rollout(QStringLiteral("rollout"),
                                     QStringLiteral("Percentage of devices that take this version (1-100)."),
                                     QStringLiteral("percent"));
    const QCommandLineOption product(QStringLiteral("product"),
                                     QStringLiteral("Product name, as in the devices' update/product (signed with "
                                                    "the entry)."),
                                     QStringLiteral("name"));
    const QCommandLineOption overlay(QStringLiteral("overlay"),
                                     QStringLiteral("Mark a package made from a folder as holding changed files "
                                                    "only: devices keep the files it lacks. Without it such a "
                                                    "package is complete and devices remove files of the "
                                                    "previous version that it lacks."));
    const QCommandLineOption objects(QStringLiteral("objects"),
                                     QStringLiteral("Also write every file as a compressed object and the version's "
                                                    "manifest, so that devices fetch only what changed (the default "
                                                    "for a folder)."));
    const QCommandLineOption noObjects(QStringLiteral("no-objects"),
                                       QStringLiteral("Write the package only, for devices whose updater cannot "
                                                      "check a manifest."));
    const QCommandLineOption patchFrom(QStringLiteral("patch-from"),
                                       QStringLiteral("Previous versions that changed files of 1 MiB or more get "
                                                      "patches from (default 3; 0: none)."),
                                       QStringLiteral("count"), QStringLiteral("3"));
    parser.addOptions({source, versionCode, key, device, baseUrl, output, infoName, fileName, signKey, expires,
                       rollout, product, overlay, objects, noObjects, patchFrom});
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
    request.signKeyPath = parser.value(signKey);
    request.expires = parser.value(expires);
    request.product = parser.value(product);
    request.overlay = parser.isSet(overlay);
    if (parser.isSet(objects) && parser.isSet(noObjects)) {
        err << "tovrel-publish: --objects and --no-objects exclude each other\n";
        return 1;
    }
    if (parser.isSet(objects) && !QFileInfo(request.source).isDir()) {
        err << "tovrel-publish: --objects needs an application folder as source\n";
        return 1;
    }
    request.objects = !parser.isSet(noObjects);
    request.patchFrom = parser.value(patchFrom).toInt(&numeric);
    if (!numeric || request.patchFrom < 0) {
        err << "tovrel-publish: --patch-from is not a whole number of versions: " << parser.value(patchFrom) << '\n';
        return 1;
    }
    if (parser.isSet(rollout)) {
        request.rollout = parser.value(rollout).toInt(&numeric);
        if (!numeric || request.rollout < 1 || request.rollout > 100) {
            err << "tovrel-publish: rollout is not a whole percentage from 1 to 100: " << parser.value(rollout) << '\n';
            return 1;
        }
    }

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
        << "md5:     " << result.hash << '\n'
        << "sha256:  " << result.sha256 << '\n'
        << "size:    " << result.size << '\n'
        << "content: " << (result.complete ? "complete" : "overlay") << '\n';
    if (!result.manifestPath.isEmpty())
        out << "manifest: " << result.manifestPath << " (" << result.objectsWritten << " new objects, "
            << result.patchesWritten << " new patches)\n";
    if (!result.publicKey.isEmpty())
        out << "signed:  " << result.publicKey << '\n';
    return 0;
}
