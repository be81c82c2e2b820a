#include "filemanager.h"

#include "downloadfile.h"
#include "fileops.h"
#include "packageinstaller.h"
#include "protocol.h"
#include "updatersettings.h"
#include "updaterstatus.h"
#include "streamhash.h"
#include "updatesignature.h"
#include "updateinfo.h"
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
    for (DownloadFile *downloader : {infoDownloader, packageDownloader}) {
        connect(downloader, &DownloadFile::started, this, &FileManager::started);
        connect(downloader, &DownloadFile::progressChanged, this,
                [this, downloader] { emit progressChanged(downloader->getProgress()); });
        connect(downloader, &DownloadFile::downloadingChanged, this,
                [this, downloader] { emit downloadingChanged(downloader->isDownloading()); });
    }
    connect(infoDownloader, &DownloadFile::finished, this, [this](int errorCode, const QString &content) {
        reportClock(errorCode);
        if (errorCode == DownloadFile::SizeLimitError)
            qWarning() << qPrintable(logPrefix) << "update information larger than" << maxUpdateInfoSize
                       << "bytes, transfer stopped";
        emit finished(errorCode, content);
    });
    connect(packageDownloader, &DownloadFile::finished, this, [this](int errorCode, const QString &content) {
        reportClock(errorCode);
        // The transfer's digest covers the whole file, so an integrity failure means the bytes on
        // disk are wrong and resuming them could never succeed. After a network error they are good.
        cleanDownload = errorCode == DownloadFile::IntegrityError;
        emit finished(errorCode, content);
    });
}

FileManager::~FileManager() = default;

void FileManager::setSettings(UpdaterSettings *s, UpdaterStatus *st)
{
    settings = s;
    status = st;
}

QString FileManager::downloadFolder() const
{
    return settings->tempDir + QStringLiteral("/download");
}

QString FileManager::packagePath() const
{
    return downloadFolder() + QLatin1Char('/') + current.fileName;
}

void FileManager::setOffer(const UpdateInfo::Entry &entry, bool verifiedEntry)
{
    checkedPackage.reset();
    current = entry;
    verified = verifiedEntry;
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

bool FileManager::systemSettingsUsable() const
{
    if (settings->systemError.isEmpty())
        return true;
    qCritical().noquote() << logPrefix << settings->systemError
                          << "- whether updates must be signed is unknown, nothing is installed until it can be read";
    return false;
}

FileManager::Info FileManager::readUpdateInfo()
{
    Info info;
    if (!systemSettingsUsable()) {
        info.error = settings->systemError + QStringLiteral(": whether updates must be signed is unknown");
        return info;
    }
    QFile file(settings->tempDir + QLatin1Char('/') + settings->updateInfoRequest);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        info.outcome = file.exists() ? Info::Unreadable : Info::Absent;
        info.error = QStringLiteral("cannot read ") + file.fileName() + QStringLiteral(": ") + file.errorString();
        return info;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (doc.isNull() || !doc.isObject()) {
        info.error = QStringLiteral("the update information is not a JSON object");
        return info;
    }
    const QJsonObject entry = doc.object().value(settings->appKey).toObject();
    if (entry.isEmpty()) {
        info.error = QStringLiteral("the update information has no entry \"") + settings->appKey + QLatin1Char('"');
        return info;
    }
    if (readEntry(entry, &info))
        info.outcome = Info::Read;
    return info;
}

// With public keys the entry counts only with a valid signature by one of them.
bool FileManager::readEntry(const QJsonObject &object, Info *info)
{
    if (settings->publicKeys.isEmpty()) {
        const UpdateInfo::Fault fault = UpdateInfo::parseEntry(settings->appKey, object, &info->entry, &info->error);
        if (fault == UpdateInfo::Fault::None)
            return true;
        if (fault == UpdateInfo::Fault::FileName && object.value(QLatin1String(UpdateInfo::FileName)).isString()) {
            const QString name = object.value(QLatin1String(UpdateInfo::FileName)).toString();
            qWarning() << qPrintable(logPrefix) << "file name is not a plain name:" << name;
            info->error = QStringLiteral("the file name is not a plain name: ") + name;
            return false;
        }
        qWarning().noquote() << logPrefix << "update information refused:"
                             << UpdateInfo::faultText(fault) + QStringLiteral(":") << info->error;
        info->error = UpdateInfo::faultText(fault) + QStringLiteral(": ") + info->error;
        return false;
    }
    const UpdateSignature::Result result =
        UpdateSignature::verify(settings->appKey, object, settings->publicKeys, QDateTime::currentDateTimeUtc());
    if (!result.ok()) {
        qWarning().noquote() << logPrefix << "update information refused:"
                             << UpdateSignature::checkText(result.check) + QStringLiteral(":") << result.detail;
        info->error = QStringLiteral("signature refused: ") + UpdateSignature::checkText(result.check)
            + QStringLiteral(": ") + result.detail;
        if (result.check == UpdateSignature::Expired && clockLooksWrong())
            qWarning() << qPrintable(logPrefix) << "the clock looks wrong (before the build date):"
                       << QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
        return false;
    }
    qDebug().noquote() << logPrefix << QStringLiteral("signature ok, key %1 of %2").arg(result.keyIndex).arg(result.keyCount);
    info->entry = result.entry;
    info->verified = true;
    return true;
}

QUrl FileManager::infoUrl() const
{
    return QUrl(settings->updateLink + QLatin1Char('/') + settings->updateInfoRequest);
}

QString FileManager::rolloutIdentity() const
{
    return settings->deviceId.isEmpty() ? settings->rolloutId : settings->deviceId;
}

QMap<QByteArray, QByteArray> FileManager::requestHeaders() const
{
    QMap<QByteArray, QByteArray> headers;
    // An id is any text and a header value one line of ASCII; the usual ids pass unchanged.
    headers.insert("X-Tovrel-Device", QUrl::toPercentEncoding(rolloutIdentity()));
    headers.insert("X-Tovrel-Version", QByteArray::number(settings->appVersionCode));
    // A rollback is what the server most needs to see, until a version installs again.
    headers.insert("X-Tovrel-State", settings->rolledBackVersion > 0 ? QByteArray(Protocol::Probation::RolledBack)
                                                                     : status->stateUpdate.toUtf8());
    headers.insert("X-Tovrel-Probation", status->stateProbation.toUtf8());
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
    if (current.fileName.isEmpty())
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
    if (withSha256 && !verified)
        return false;
    // A missing or unreadable package has no digest; it must not pass for an announcement that
    // carries no hash.
    if (current.fileName.isEmpty() || !FileOps::openFileNoFollow(*package, packagePath()))
        return false;
    if (withSha256 && package->size() != current.size)
        return false;
    StreamHash md5(StreamHash::Md5);
    StreamHash sha256(StreamHash::Sha256);
    while (!package->atEnd()) {
        const QByteArray chunk = package->read(1024 * 1024);
        if (chunk.isEmpty() || !md5.addData(chunk) || (withSha256 && !sha256.addData(chunk)))
            return false;
    }
    // Hexadecimal digits are the same digest in either case.
    return (!withSha256 || sha256.hexResult() == current.sha256)
        && md5.hexResult().compare(current.hash.toLatin1(), Qt::CaseInsensitive) == 0;
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
    const QStringList keep{current.fileName, current.fileName + QStringLiteral(".tmp"),
                           QFileInfo(DownloadFile::partialMarkerPath(packagePath())).fileName()};
    const QFileInfoList earlier = QDir(downloadFolder()).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &file : earlier) {
        if (!keep.contains(file.fileName()) && !QFile::remove(file.absoluteFilePath()))
            qWarning() << qPrintable(logPrefix) << "cannot remove earlier package:" << file.absoluteFilePath();
    }
    QVariantMap params;
    params.insert(QStringLiteral("file"), packagePath());
    params.insert(QStringLiteral("source"), current.link);
    params.insert(QStringLiteral("hash"), current.hash);
    if (verified) {
        params.insert(QStringLiteral("sha256"), QString::fromLatin1(current.sha256));
        params.insert(QStringLiteral("size"), current.size);
    }
    params.insert(QStringLiteral("clean"), cleanDownload);
    params.insert(QStringLiteral("check_space"), true);
    packageDownloader->setExtraHeaders(requestHeaders());
    if (!packageDownloader->start(params))
        reportRefusedStart(params);
}

bool FileManager::extractPackage(const QString &destDir, QString *error)
{
    extractOk = true;
    qWarning() << qPrintable(logPrefix) << "extracting:" << packagePath() << ", to:" << destDir;
    // Installs the very file that isPackageValid() checked, even if another has taken its name since.
    std::unique_ptr<QFile> package = std::move(checkedPackage);
    if (!package || !package->isOpen()) {
        package = std::make_unique<QFile>();
        QString openError;
        if (!FileOps::openFileNoFollow(*package, packagePath(), &openError)
            && FileOps::kindOf(packagePath()) == FileOps::Kind::Link) {
            qWarning() << qPrintable(logPrefix) << "package is a link, not extracted:" << packagePath();
            extractOk = false;
            *error = QStringLiteral("package is a link, not extracted: ") + packagePath();
            return false;
        }
    }
    PackageInstaller installer(packagePath(), destDir);
    if (package->isOpen())
        installer.setPackageDescriptor(package->handle());
    installer.setVersionCodes(settings->getAppVersionCode(), current.versionCode);
    installer.setVersionStore([this](int code) { return settings->storeVersionCode(code); });
    installer.setLogger([this](const QString &line) { qWarning().noquote() << logPrefix << line; });
    // The replaced files stay until the new version is committed or rolled back.
    installer.setKeepReplaced(true);
    installer.setComplete(current.complete);
    const bool result = installer.run();
    *error = result ? QString() : installer.errorString().replace(QLatin1Char('\n'), QStringLiteral("; "));
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
