#include "filemanager.h"

#include "deltamanifest.h"
#include "downloadfile.h"
#include "fileops.h"
#include "packageinstaller.h"
#include "protocol.h"
#include "rollout.h"
#include "updatersettings.h"
#include "streamhash.h"
#include "updatesignature.h"
#include "utils.h"

#include <QDate>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QTextStream>
#include <QUrl>
#include <QVariantMap>

FileManager::FileManager(QObject *parent)
    : QObject(parent)
{
    infoDownloader = new DownloadFile(this);
    packageDownloader = new DownloadFile(this);
    connect(infoDownloader, &DownloadFile::started, this, &FileManager::i_started);
    connect(infoDownloader, &DownloadFile::finished, this, &FileManager::i_finished);
    connect(infoDownloader, &DownloadFile::progressChanged, this, &FileManager::i_progressChanged);
    connect(infoDownloader, &DownloadFile::downloadingChanged, this, &FileManager::i_downloadingChanged);
    connect(packageDownloader, &DownloadFile::started, this, &FileManager::a_started);
    connect(packageDownloader, &DownloadFile::finished, this, &FileManager::a_finished);
    connect(packageDownloader, &DownloadFile::progressChanged, this, &FileManager::a_progressChanged);
    connect(packageDownloader, &DownloadFile::downloadingChanged, this, &FileManager::a_downloadingChanged);
}

FileManager::~FileManager() = default;

void FileManager::setSettings(UpdaterSettings *s)
{
    settings = s;
}

QString FileManager::downloadFolder() const
{
    return settings->tempDir + QLatin1Char('/') + downloadSubfolder;
}

QString FileManager::packagePath() const
{
    return downloadFolder() + QLatin1Char('/') + fileName;
}

bool FileManager::clockLooksWrong()
{
    // __DATE__ is "Mmm dd yyyy" in English whatever the locale.
    static const QDate built = [] {
        const QByteArray text(__DATE__);
        const int month = QByteArray("JanFebMarAprMayJunJulAugSepOctNovDec").indexOf(text.left(3)) / 3 + 1;
        return QDate(text.mid(7, 4).toInt(), month, text.mid(4, 2).trimmed().toInt());
    }();
    return built.isValid() && QDateTime::currentDateTimeUtc().date() < built;
}

void FileManager::reportClock(int errorCode)
{
    if (errorCode == QNetworkReply::SslHandshakeFailedError && clockLooksWrong())
        qWarning() << qPrintable(logPrefix) << "the clock looks wrong (before the build date):"
                   << QDateTime::currentDateTimeUtc().toString(Qt::ISODate)
                   << "certificates cannot be checked until it is set";
}

void FileManager::applyCaFile(DownloadFile *downloader)
{
    if (!downloader->setCaFile(settings->caFile))
        qWarning() << qPrintable(logPrefix) << "no certificate in the CA file, no https server is trusted:"
                   << settings->caFile;
}

void FileManager::downloadUpdateInfo()
{
    infoDownloader->clearConnectionCache();
    applyCaFile(infoDownloader);
    if (!Utils::isPathExists(settings->tempDir))
        Utils::createFolder(settings->tempDir);
    QVariantMap params;
    params.insert(QStringLiteral("file"), settings->tempDir + QLatin1Char('/') + settings->updateInfoRequest);
    params.insert(QStringLiteral("source"), settings->updateLink + QLatin1Char('/') + settings->updateInfoRequest);
    // A partial file of an earlier attempt may belong to an older version of the information:
    // joined to the new end it would announce one version with another's package.
    params.insert(QStringLiteral("clean"), true);
    params.insert(QStringLiteral("max_size"), maxUpdateInfoSize);
    infoDownloader->setExtraHeaders(requestHeaders());
    if (!infoDownloader->start(params))
        reportRefusedStart(params);
}

// A refused start emits nothing, and the update cycle would wait for a result for ever; a
// transfer that cannot begin is reported like one that failed.
void FileManager::reportRefusedStart(const QVariantMap &params)
{
    qWarning() << qPrintable(logPrefix) << "transfer not started:" << params.value(QStringLiteral("source")).toString()
               << "to" << params.value(QStringLiteral("file")).toString();
    emit finished(QNetworkReply::UnknownNetworkError, QStringLiteral("Transfer could not be started"));
}

// Takes the entry only with a valid signature by a configured key, and then decides by the signed
// values alone: they replace the members of the entry that the rest of the reading uses.
bool FileManager::verifyEntry(QJsonObject *entry)
{
    const UpdateSignature::Result result =
        UpdateSignature::verify(settings->appKey, *entry, settings->publicKeys, QDateTime::currentDateTimeUtc());
    if (!result.ok()) {
        qWarning().noquote() << logPrefix << "update information refused:"
                             << UpdateSignature::checkText(result.check) + QStringLiteral(":") << result.detail;
        infoError = QStringLiteral("signature refused: ") + UpdateSignature::checkText(result.check)
            + QStringLiteral(": ") + result.detail;
        if (result.check == UpdateSignature::Expired && clockLooksWrong())
            qWarning() << qPrintable(logPrefix) << "the clock looks wrong (before the build date):"
                       << QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
        return false;
    }
    qDebug().noquote() << logPrefix << QStringLiteral("signature ok, key %1 of %2").arg(result.keyIndex).arg(result.keyCount);
    const UpdateSignature::Entry &signedValues = result.entry;
    entry->insert(QStringLiteral("version_code"), signedValues.versionCode);
    entry->insert(QStringLiteral("file_name"), signedValues.fileName);
    entry->insert(QStringLiteral("rollout"), signedValues.rollout);
    entry->insert(QStringLiteral("devices_id"), QJsonArray::fromStringList(signedValues.devices));
    entry->insert(QStringLiteral("complete"), signedValues.complete);
    if (signedValues.product.isEmpty())
        entry->remove(QStringLiteral("product"));
    else
        entry->insert(QStringLiteral("product"), signedValues.product);
    packageSha256 = signedValues.sha256;
    packageSize = signedValues.size;
    signedEntry = true;
    return true;
}

bool FileManager::systemSettingsUsable() const
{
    if (settings->systemError.isEmpty())
        return true;
    qCritical().noquote() << logPrefix << settings->systemError
                          << "- whether updates must be signed is unknown, nothing is installed until it can be read";
    return false;
}

// Two products may share a signing key; the device's product keeps the other's entries out.
bool FileManager::productAdmits(const QJsonObject &entry)
{
    if (settings->product.isEmpty())
        return true;
    const QJsonValue product = entry.value(QStringLiteral("product"));
    if (product.isString() && product.toString() == settings->product)
        return true;
    const QString named = product.isString() && !product.toString().isEmpty()
        ? QStringLiteral("product \"") + product.toString() + QLatin1Char('"')
        : QStringLiteral("no product");
    const QString device = QStringLiteral("and this device is \"") + settings->product + QLatin1Char('"');
    qWarning().noquote() << logPrefix << "update information refused: the entry is for" << named << device;
    infoError = QStringLiteral("the entry is for ") + named + QLatin1Char(' ') + device;
    return false;
}

bool FileManager::readUpdateInfo()
{
    checkedPackage.reset();
    signedEntry = false;
    completePackage = false;
    packageSha256.clear();
    packageSize = -1;
    infoError.clear();
    infoAbsent = false;
    if (!systemSettingsUsable()) {
        infoError = settings->systemError + QStringLiteral(": whether updates must be signed is unknown");
        return false;
    }
    QFile file(settings->tempDir + QLatin1Char('/') + settings->updateInfoRequest);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        versionCode = 0;
        settings->readyVersionCode = 0;
        infoAbsent = !file.exists();
        infoError = QStringLiteral("cannot read ") + file.fileName() + QStringLiteral(": ") + file.errorString();
        return false;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (doc.isNull() || !doc.isObject()) {
        infoError = QStringLiteral("the update information is not a JSON object");
        return false;
    }
    QJsonObject entry = doc.object().value(settings->appKey).toObject();
    if (entry.isEmpty()) {
        infoError = QStringLiteral("the update information has no entry \"") + settings->appKey + QLatin1Char('"');
        return false;
    }
    if (!settings->publicKeys.isEmpty() && !verifyEntry(&entry))
        return false;
    if (!productAdmits(entry))
        return false;
    const QString announcedName = entry.value(QStringLiteral("file_name")).toString();
    if (announcedName.isEmpty() || announcedName.contains(QLatin1Char('/')) || announcedName.contains(QLatin1Char('\\'))
        || announcedName == QLatin1String(".") || announcedName == QLatin1String("..")) {
        // The package is stored under this name in the download folder: a path would place it elsewhere.
        qWarning() << qPrintable(logPrefix) << "file name is not a plain name:" << announcedName;
        infoError = QStringLiteral("the file name is not a plain name: ") + announcedName;
        return false;
    }
    const QJsonValue devicesValue = entry.value(QStringLiteral("devices_id"));
    const QJsonArray devices = devicesValue.toArray();
    // Read as a list, a value of another type would be empty and admit every device.
    bool devicesValid = devicesValue.isUndefined() || devicesValue.isArray();
    for (const QJsonValue &device : devices)
        devicesValid = devicesValid && device.isString();
    if (!devicesValid)
        qWarning() << qPrintable(logPrefix) << "devices_id is not a list of strings: no device permitted";
    versionCode = entry.value(QStringLiteral("version_code")).toInt();
    fileName = announcedName;
    // Only a bool counts: a stray string must not switch removals on.
    completePackage = entry.value(QStringLiteral("complete")).toBool(false);
    packageHash = entry.value(QStringLiteral("hash")).toString();
    packageLink = entry.value(QStringLiteral("link")).toString();
    readManifestMember(entry);
    settings->readyVersionCode = versionCode;
    permitted = devicesValid && devices.isEmpty();
    if (devicesValid && !permitted && !settings->deviceId.isEmpty()) {
        for (const QJsonValue &device : devices) {
            if (device.toString() == settings->deviceId) {
                permitted = true;
                break;
            }
        }
    }
    if (!permitted)
        qDebug() << qPrintable(logPrefix) << "refused by devices_id";
    else
        permitted = rolloutAdmits(entry);
    return true;
}

void FileManager::readManifestMember(const QJsonObject &entry)
{
    manifestName.clear();
    manifestSize = -1;
    manifestSha256.clear();
    const QJsonValue value = entry.value(QStringLiteral("manifest"));
    if (value.isUndefined() || value.isNull())
        return;
    const QJsonObject manifest = value.toObject();
    const QString name = manifest.value(QStringLiteral("name")).toString();
    const double size = manifest.value(QStringLiteral("size")).toDouble(-1);
    const QByteArray sha256 = manifest.value(QStringLiteral("sha256")).toString().toLatin1();
    // A malformed member only closes the road through it; the package stays usable.
    if (!DeltaManifest::isSafePath(name) || size <= 0 || size > DeltaManifest::MaxSize || size != qint64(size)
        || !DeltaManifest::isSha256(sha256)) {
        qWarning() << qPrintable(logPrefix) << "manifest member not usable, the package is taken";
        return;
    }
    manifestName = name;
    manifestSize = qint64(size);
    manifestSha256 = sha256;
}

QUrl FileManager::infoUrl() const
{
    return QUrl(settings->updateLink + QLatin1Char('/') + settings->updateInfoRequest);
}

QString FileManager::rolloutIdentity() const
{
    return settings->deviceId.isEmpty() ? settings->rolloutId : settings->deviceId;
}

bool FileManager::rolloutAdmits(const QJsonObject &entry) const
{
    int percent = 100;
    if (!Rollout::readPercent(entry.value(QStringLiteral("rollout")), &percent)) {
        qWarning() << qPrintable(logPrefix) << "rollout is not a whole percentage from 1 to 100: no device permitted";
        return false;
    }
    if (percent == 100)
        return true;
    const QString id = rolloutIdentity();
    const int bucket = Rollout::bucket(id, versionCode);
    const bool admitted = Rollout::admits(bucket, percent);
    qDebug() << qPrintable(logPrefix) << (admitted ? "taken by rollout" : "refused by rollout") << percent
             << "%, bucket" << bucket << "of" << id;
    return admitted;
}

QMap<QByteArray, QByteArray> FileManager::requestHeaders() const
{
    QMap<QByteArray, QByteArray> headers;
    // An id is any text and a header value one line of ASCII; the usual ids pass unchanged.
    headers.insert("X-Tovrel-Device", QUrl::toPercentEncoding(rolloutIdentity()));
    headers.insert("X-Tovrel-Version", QByteArray::number(settings->appVersionCode));
    // A rollback is what the server most needs to see, until a version installs again.
    headers.insert("X-Tovrel-State", settings->rolledBackVersion > 0 ? QByteArray(Protocol::Probation::RolledBack)
                                                                     : settings->stateUpdate.toUtf8());
    headers.insert("X-Tovrel-Probation", settings->stateProbation.toUtf8());
    // Only whole numbers: the list is hand-editable text and must stay one header line.
    QByteArrayList refused;
    for (const QString &code : settings->refusedVersions.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int number = code.trimmed().toInt(&ok);
        if (ok)
            refused << QByteArray::number(number);
    }
    // Sent empty rather than left out, so that a log tells "none" from an older updater.
    headers.insert("X-Tovrel-Refused", refused.isEmpty() ? QByteArray("") : refused.join(','));
    return headers;
}

void FileManager::removePackage()
{
    if (fileName.isEmpty())
        return;
    for (const QString &path : {packagePath(), packagePath() + QStringLiteral(".tmp"),
                                DownloadFile::partialMarkerPath(packagePath())}) {
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            continue;
        if (QFile::remove(path))
            qDebug() << qPrintable(logPrefix) << "removed:" << path;
        else
            qWarning() << qPrintable(logPrefix) << "cannot remove:" << path;
    }
    checkedPackage.reset();
}

bool FileManager::isPackageValid()
{
    checkedPackage.reset();
    auto package = std::make_unique<QFile>();
    if (!checkPackage(package.get()))
        return false;
    checkedPackage = std::move(package);
    return true;
}

bool FileManager::checkPackage(QFile *package)
{
    if (!systemSettingsUsable())
        return false;
    const bool withSha256 = !settings->publicKeys.isEmpty();
    if (withSha256 && !signedEntry)
        return false;
    // A missing or unreadable package has no digest; it must not pass for an announcement that
    // carries no hash.
    if (fileName.isEmpty() || !FileOps::openFileNoFollow(*package, packagePath()))
        return false;
    if (withSha256 && package->size() != packageSize)
        return false;
    StreamHash md5(StreamHash::Md5);
    StreamHash sha256(StreamHash::Sha256);
    while (!package->atEnd()) {
        const QByteArray chunk = package->read(1024 * 1024);
        if (chunk.isEmpty() || !md5.addData(chunk) || (withSha256 && !sha256.addData(chunk)))
            return false;
    }
    // Hexadecimal digits are the same digest in either case.
    return (!withSha256 || sha256.hexResult() == packageSha256)
        && md5.hexResult().compare(packageHash.toLatin1(), Qt::CaseInsensitive) == 0;
}

void FileManager::downloadPackage()
{
    checkedPackage.reset();
    packageDownloader->clearConnectionCache();
    applyCaFile(packageDownloader);
    if (!Utils::isPathExists(downloadFolder()))
        Utils::createFolder(downloadFolder());
    // Packages of earlier versions are never needed again; kept, they would fill the device over
    // the months. Only the announced package and its partial file stay.
    const QStringList keep{fileName, fileName + QStringLiteral(".tmp"),
                           QFileInfo(DownloadFile::partialMarkerPath(packagePath())).fileName()};
    const QFileInfoList earlier = QDir(downloadFolder()).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &file : earlier) {
        if (!keep.contains(file.fileName()) && !QFile::remove(file.absoluteFilePath()))
            qWarning() << qPrintable(logPrefix) << "cannot remove earlier package:" << file.absoluteFilePath();
    }
    QVariantMap params;
    params.insert(QStringLiteral("file"), packagePath());
    params.insert(QStringLiteral("source"), packageLink);
    params.insert(QStringLiteral("hash"), packageHash);
    if (signedEntry) {
        params.insert(QStringLiteral("sha256"), QString::fromLatin1(packageSha256));
        params.insert(QStringLiteral("size"), packageSize);
    }
    params.insert(QStringLiteral("clean"), cleanDownload);
    params.insert(QStringLiteral("check_space"), true);
    packageDownloader->setExtraHeaders(requestHeaders());
    if (!packageDownloader->start(params))
        reportRefusedStart(params);
}

bool FileManager::extractPackage(const QString &destDir)
{
    extractOk = true;
    qWarning() << qPrintable(logPrefix) << "extracting:" << packagePath() << ", to:" << destDir;
    // Installs the very file that isPackageValid() checked, even if another has taken its name since.
    std::unique_ptr<QFile> package = std::move(checkedPackage);
    if (!package || !package->isOpen()) {
        package = std::make_unique<QFile>();
        QString error;
        if (!FileOps::openFileNoFollow(*package, packagePath(), &error)
            && FileOps::kindOf(packagePath()) == FileOps::Kind::Link) {
            qWarning() << qPrintable(logPrefix) << "package is a link, not extracted:" << packagePath();
            extractOk = false;
            return false;
        }
    }
    PackageInstaller installer(packagePath(), destDir);
    if (package->isOpen())
        installer.setPackageDescriptor(package->handle());
    installer.setVersionCodes(settings->getAppVersionCode(), versionCode);
    installer.setVersionStore([this](int code) { return settings->storeVersionCode(code); });
    installer.setLogger([this](const QString &line) { qWarning().noquote() << logPrefix << line; });
    // The replaced files stay until the new version is committed or rolled back.
    installer.setKeepReplaced(true);
    installer.setComplete(completePackage);
    const bool result = installer.run();
    extractError = result ? QString() : installer.errorString().replace(QLatin1Char('\n'), QStringLiteral("; "));
    const QStringList warnings = installer.warnings();
    for (const QString &line : warnings)
        qWarning().noquote() << logPrefix << line;
    if (!result) {
        const QStringList lines = installer.errorString().split(QLatin1Char('\n'));
        for (const QString &line : lines)
            qWarning().noquote() << logPrefix << line;
    }
    if (installer.rollBack() == PackageInstaller::RolledBack)
        qWarning() << qPrintable(logPrefix) << "rolled back:" << installer.destination();
    else if (installer.rollBack() == PackageInstaller::RollBackIncomplete)
        qCritical() << qPrintable(logPrefix) << "roll back incomplete:" << installer.destination();
    extractOk = result;
    qWarning() << qPrintable(logPrefix) << "extracting result:" << result;
    return result;
}

void FileManager::i_finished(int errorCode, QString content)
{
    reportClock(errorCode);
    if (errorCode == DownloadFile::SizeLimitError)
        qWarning() << qPrintable(logPrefix) << "update information larger than" << maxUpdateInfoSize
                   << "bytes, transfer stopped";
    emit finished(errorCode, content);
}

void FileManager::i_started(QString contentType, int contentLength)
{
    emit started(contentType, contentLength);
}

void FileManager::i_progressChanged()
{
    emit progressChanged(infoDownloader->getProgress());
}

void FileManager::i_downloadingChanged()
{
    emit downloadingChanged(infoDownloader->isDownloading());
}

void FileManager::a_finished(int errorCode, QString content)
{
    reportClock(errorCode);
    // The transfer's digest covers the whole file, so an integrity failure means the bytes on disk
    // are wrong and resuming them could never succeed. After a network error they are good.
    cleanDownload = errorCode == DownloadFile::IntegrityError;
    emit finished(errorCode, content);
}

void FileManager::a_started(QString contentType, int contentLength)
{
    emit started(contentType, contentLength);
}

void FileManager::a_progressChanged()
{
    emit progressChanged(packageDownloader->getProgress());
}

void FileManager::a_downloadingChanged()
{
    emit downloadingChanged(packageDownloader->isDownloading());
}
