#include "filemanager.h"

#include "downloadfile.h"
#include "settings.h"
#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>
#include <QVariantMap>

#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const qint64 chunkSize = 64 * 1024;
const char stagingPrefix[] = ".update-staging-";
const char backupPrefix[] = ".update-backup-";

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

struct ZipCloser
{
    void operator()(zip_t *z) const { zip_discard(z); }
};

struct ZipFileCloser
{
    void operator()(zip_file_t *f) const { zip_fclose(f); }
};

struct Entry
{
    zip_uint64_t index = 0;
    QString path;       // relative, '/' separated, no "." or ".." segments
    bool isDir = false;
    bool isLink = false;
    bool superseded = false;    // a later entry of the same path wins, as it would when unpacking in order
    bool sizeKnown = false;
    zip_uint64_t size = 0;
    mode_t mode = 0644;
};

// Returns the clean relative path of an archive entry, or an empty string when the entry would
// land outside the destination (absolute path, drive letter, ".." segment) or names nothing.
QString safeRelativePath(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return QString();
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':'))
        return QString();
    QStringList parts;
    // Backslashes count as separators here only to refuse Windows-style ".." tricks. Split by hand:
    // a regular expression per entry costs a compilation each and pulls in the matcher's pages.
    int begin = 0;
    for (int i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name.at(i) != QLatin1Char('/') && name.at(i) != QLatin1Char('\\'))
            continue;
        const QStringRef segment = name.midRef(begin, i - begin);
        begin = i + 1;
        if (segment == QLatin1String(".."))
            return QString();
        if (segment.isEmpty() || segment == QLatin1String("."))
            continue;
        parts << segment.toString();
    }
    if (parts.isEmpty())
        return QString();
    // Our own working folders inside the destination must never be touched by a package.
    if (parts.first().startsWith(QLatin1String(stagingPrefix))
        || parts.first().startsWith(QLatin1String(backupPrefix)))
        return QString();
    return parts.join(QLatin1Char('/'));
}

bool isInside(const QString &canonicalPath, const QString &canonicalRoot)
{
    return canonicalPath == canonicalRoot
        || canonicalPath.startsWith(canonicalRoot.endsWith(QLatin1Char('/'))
                                        ? canonicalRoot
                                        : canonicalRoot + QLatin1Char('/'));
}

// Installs one archive into a folder: every file is first written into a staging folder on the
// same file system and then renamed into place, so that a failure at any point can put the
// folder back as it was. Files of the folder that the archive does not contain are left alone.
class PackageInstaller
{
public:
    PackageInstaller(const QString &prefix, const QString &package, const QString &dest)
        : m_prefix(prefix), m_package(package), m_dest(QDir::cleanPath(dest))
    {
        m_buffer.resize(chunkSize);
    }

    bool run();

private:
    bool openArchive();
    bool readEntries();
    bool checkTargets();
    bool writeStaging();
    bool writeEntry(const Entry &entry, const QString &target);
    bool moveIntoPlace();
    bool ensureDestFolder(const QString &relativeDir);
    void rollBack();
    void removeStaleFolders();

    QString m_prefix;
    QString m_package;
    QString m_dest;
    QString m_canonicalDest;
    std::unique_ptr<zip_t, ZipCloser> m_zip;
    std::vector<Entry> m_entries;
    std::unique_ptr<QTemporaryDir> m_staging;
    std::unique_ptr<QTemporaryDir> m_backup;
    QSet<QString> m_stagingDirs;
    QSet<QString> m_destDirs;
    QStringList m_createdDirs;          // created in the destination, in creation order
    QStringList m_installed;            // relative paths renamed into the destination
    QSet<QString> m_backedUp;           // relative paths whose earlier file sits in the backup
    QByteArray m_buffer;
};

bool PackageInstaller::openArchive()
{
    int error = 0;
    zip_t *archive = zip_open(QFile::encodeName(m_package).constData(), ZIP_RDONLY, &error);
    if (!archive) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, error);
        qWarning() << qPrintable(m_prefix) << "error open package:" << m_package << zip_error_strerror(&ze);
        zip_error_fini(&ze);
        return false;
    }
    m_zip.reset(archive);
    return true;
}

bool PackageInstaller::readEntries()
{
    const zip_int64_t count = zip_get_num_entries(m_zip.get(), 0);
    if (count < 0) {
        qWarning() << qPrintable(m_prefix) << "error read package:" << m_package;
        return false;
    }
    bool ok = true;
    QHash<QString, size_t> seen;
    m_entries.reserve(size_t(count));
    for (zip_uint64_t i = 0; i < zip_uint64_t(count); ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(m_zip.get(), i, ZIP_FL_ENC_GUESS, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) {
            qWarning() << qPrintable(m_prefix) << "error read package entry:" << i << zip_strerror(m_zip.get());
            return false;
        }
        const QString name = QString::fromUtf8(st.name);
        Entry entry;
        entry.index = i;
        entry.path = safeRelativePath(name);
        if (entry.path.isEmpty()) {
            qWarning() << qPrintable(m_prefix) << "unsafe entry path:" << name;
            ok = false;
            continue;
        }
        entry.sizeKnown = st.valid & ZIP_STAT_SIZE;
        entry.size = st.size;
        entry.isDir = name.endsWith(QLatin1Char('/'));
        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(m_zip.get(), i, 0, &opsys, &attributes) == 0
            && opsys == ZIP_OPSYS_UNIX) {
            const mode_t mode = mode_t(attributes >> 16);
            if (S_ISLNK(mode))
                entry.isLink = true;
            else if (S_ISDIR(mode))
                entry.isDir = true;
            if (mode & 0777)
                entry.mode = mode & 0777;
        }
        const auto earlier = seen.constFind(entry.path);
        if (earlier != seen.constEnd())
            m_entries[earlier.value()].superseded = true;
        seen.insert(entry.path, m_entries.size());
        m_entries.push_back(entry);
    }
    return ok;
}

// A folder of the destination may be a link; a package must not write through one that leads
// out of the destination.
bool PackageInstaller::checkTargets()
{
    m_canonicalDest = QFileInfo(m_dest).canonicalFilePath();
    if (m_canonicalDest.isEmpty()) {
        qWarning() << qPrintable(m_prefix) << "error destination:" << m_dest;
        return false;
    }
    QSet<QString> checked;
    bool ok = true;
    for (const Entry &entry : m_entries) {
        if (entry.isLink || entry.superseded)
            continue;
        QString dir = entry.isDir ? entry.path : QFileInfo(entry.path).path();
        if (dir == QLatin1String("."))
            continue;
        if (checked.contains(dir))
            continue;
        checked.insert(dir);
        QString probe = m_dest + QLatin1Char('/') + dir;
        while (!QFileInfo::exists(probe) && probe != m_dest)
            probe = QFileInfo(probe).path();
        const QString canonical = QFileInfo(probe).canonicalFilePath();
        if (canonical.isEmpty() || !isInside(canonical, m_canonicalDest)) {
            qWarning() << qPrintable(m_prefix) << "entry leads outside the destination:" << entry.path;
            ok = false;
        }
    }
    return ok;
}

bool PackageInstaller::writeEntry(const Entry &entry, const QString &target)
{
    std::unique_ptr<zip_file_t, ZipFileCloser> in(zip_fopen_index(m_zip.get(), entry.index, 0));
    if (!in) {
        qWarning() << qPrintable(m_prefix) << "error read entry:" << entry.path << zip_strerror(m_zip.get());
        return false;
    }
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qWarning() << qPrintable(m_prefix) << "error write file:" << target << out.errorString();
        return false;
    }
    zip_uint64_t total = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(in.get(), m_buffer.data(), zip_uint64_t(m_buffer.size()));
        if (n < 0) {
            qWarning() << qPrintable(m_prefix) << "error read entry:" << entry.path << zip_file_strerror(in.get());
            return false;
        }
        if (n == 0)
            break;
        if (out.write(m_buffer.constData(), n) != n) {
            qWarning() << qPrintable(m_prefix) << "error write file:" << target << out.errorString();
            return false;
        }
        total += zip_uint64_t(n);
    }
    if (entry.sizeKnown && total != entry.size) {
        qWarning() << qPrintable(m_prefix) << "error read entry:" << entry.path << "size" << total << "of" << entry.size;
        return false;
    }
    if (::fchmod(out.handle(), entry.mode) != 0) {
        qWarning() << qPrintable(m_prefix) << "error set permissions:" << target << errnoText();
        return false;
    }
    out.close();
    if (out.error() != QFileDevice::NoError) {
        qWarning() << qPrintable(m_prefix) << "error write file:" << target << out.errorString();
        return false;
    }
    return true;
}

bool PackageInstaller::writeStaging()
{
    m_staging.reset(new QTemporaryDir(m_dest + QLatin1Char('/') + QLatin1String(stagingPrefix) + QStringLiteral("XXXXXX")));
    if (!m_staging->isValid()) {
        qWarning() << qPrintable(m_prefix) << "error write file:" << m_staging->path() << m_staging->errorString();
        return false;
    }
    const QString root = m_staging->path();
    QDir rootDir(root);
    for (const Entry &entry : m_entries) {
        if (entry.isLink || entry.superseded)
            continue;
        const QString dir = entry.isDir ? entry.path : QFileInfo(entry.path).path();
        if (dir != QLatin1String(".") && !m_stagingDirs.contains(dir)) {
            if (!rootDir.mkpath(dir)) {
                qWarning() << qPrintable(m_prefix) << "error create folder:" << root + QLatin1Char('/') + dir;
                return false;
            }
            m_stagingDirs.insert(dir);
        }
        if (!entry.isDir && !writeEntry(entry, root + QLatin1Char('/') + entry.path))
            return false;
    }
    return true;
}

// Creates the folders of relativeDir below the destination one by one, remembering each new one
// so that a roll-back can remove it again.
bool PackageInstaller::ensureDestFolder(const QString &relativeDir)
{
    if (relativeDir == QLatin1String(".") || m_destDirs.contains(relativeDir))
        return true;
    const QString parent = QFileInfo(relativeDir).path();
    if (!ensureDestFolder(parent))
        return false;
    const QString full = m_dest + QLatin1Char('/') + relativeDir;
    struct stat st;
    if (::lstat(QFile::encodeName(full).constData(), &st) == 0) {
        // A link to a folder inside the destination was accepted by checkTargets().
        if (!QFileInfo(full).isDir()) {
            qWarning() << qPrintable(m_prefix) << "error create folder:" << full << "a file is in the way";
            return false;
        }
    } else if (::mkdir(QFile::encodeName(full).constData(), 0755) == 0) {
        m_createdDirs << full;
    } else {
        qWarning() << qPrintable(m_prefix) << "error create folder:" << full << errnoText();
        return false;
    }
    m_destDirs.insert(relativeDir);
    return true;
}

bool PackageInstaller::moveIntoPlace()
{
    m_backup.reset(new QTemporaryDir(m_dest + QLatin1Char('/') + QLatin1String(backupPrefix) + QStringLiteral("XXXXXX")));
    if (!m_backup->isValid()) {
        qWarning() << qPrintable(m_prefix) << "error write file:" << m_backup->path() << m_backup->errorString();
        return false;
    }
    QDir backupDir(m_backup->path());
    QSet<QString> backupDirs;
    for (const Entry &entry : m_entries) {
        if (entry.isLink || entry.superseded)
            continue;
        if (entry.isDir) {
            if (!ensureDestFolder(entry.path))
                return false;
            continue;
        }
        const QString relativeDir = QFileInfo(entry.path).path();
        if (!ensureDestFolder(relativeDir))
            return false;
        const QByteArray target = QFile::encodeName(m_dest + QLatin1Char('/') + entry.path);
        const QByteArray staged = QFile::encodeName(m_staging->path() + QLatin1Char('/') + entry.path);
        struct stat st;
        if (::lstat(target.constData(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) {
                qWarning() << qPrintable(m_prefix) << "error write file:" << QFile::decodeName(target) << "a folder is in the way";
                return false;
            }
            if (!m_backedUp.contains(entry.path)) {
                if (relativeDir != QLatin1String(".") && !backupDirs.contains(relativeDir)) {
                    if (!backupDir.mkpath(relativeDir)) {
                        qWarning() << qPrintable(m_prefix) << "error create folder:" << backupDir.filePath(relativeDir);
                        return false;
                    }
                    backupDirs.insert(relativeDir);
                }
                // A hard link keeps the old file reachable while the new one replaces it in a
                // single rename, so the target never goes missing.
                const QByteArray saved = QFile::encodeName(backupDir.filePath(entry.path));
                if (::link(target.constData(), saved.constData()) != 0
                    && ::rename(target.constData(), saved.constData()) != 0) {
                    qWarning() << qPrintable(m_prefix) << "error write file:" << QFile::decodeName(target) << errnoText();
                    return false;
                }
                m_backedUp.insert(entry.path);
            }
        }
        if (::rename(staged.constData(), target.constData()) != 0) {
            qWarning() << qPrintable(m_prefix) << "error write file:" << QFile::decodeName(target) << errnoText();
            return false;
        }
        m_installed << entry.path;
    }
    return true;
}

void PackageInstaller::rollBack()
{
    if (m_installed.isEmpty() && m_backedUp.isEmpty() && m_createdDirs.isEmpty())
        return;
    bool ok = true;
    QSet<QString> restored;
    for (int i = m_installed.size() - 1; i >= 0; --i) {
        const QString &path = m_installed.at(i);
        if (restored.contains(path))
            continue;
        restored.insert(path);
        const QByteArray target = QFile::encodeName(m_dest + QLatin1Char('/') + path);
        if (m_backedUp.contains(path)) {
            const QByteArray saved = QFile::encodeName(m_backup->path() + QLatin1Char('/') + path);
            if (::rename(saved.constData(), target.constData()) != 0)
                ok = false;
        } else if (::unlink(target.constData()) != 0) {
            ok = false;
        }
    }
    // A file moved into the backup whose replacement never landed must come back as well.
    for (const QString &path : qAsConst(m_backedUp)) {
        if (restored.contains(path))
            continue;
        const QByteArray target = QFile::encodeName(m_dest + QLatin1Char('/') + path);
        const QByteArray saved = QFile::encodeName(m_backup->path() + QLatin1Char('/') + path);
        struct stat st;
        if (::lstat(target.constData(), &st) != 0 && ::rename(saved.constData(), target.constData()) != 0)
            ok = false;
    }
    for (int i = m_createdDirs.size() - 1; i >= 0; --i) {
        if (::rmdir(QFile::encodeName(m_createdDirs.at(i)).constData()) != 0)
            ok = false;
    }
    if (ok)
        qWarning() << qPrintable(m_prefix) << "rolled back:" << m_dest;
    else
        qCritical() << qPrintable(m_prefix) << "roll back incomplete:" << m_dest;
}

// Staging and backup folders of an earlier run that was cut off (power loss) are ours and stale.
void PackageInstaller::removeStaleFolders()
{
    const QStringList names = QDir(m_dest).entryList(
        {QLatin1String(stagingPrefix) + QLatin1Char('*'), QLatin1String(backupPrefix) + QLatin1Char('*')},
        QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &name : names)
        QDir(m_dest + QLatin1Char('/') + name).removeRecursively();
}

bool PackageInstaller::run()
{
    if (!openArchive())
        return false;
    if (!QDir().mkpath(m_dest)) {
        qWarning() << qPrintable(m_prefix) << "error create folder:" << m_dest;
        return false;
    }
    if (!readEntries() || !checkTargets())
        return false;
    removeStaleFolders();
    bool ok = writeStaging() && moveIntoPlace();
    if (!ok)
        rollBack();
    m_zip.reset();
    if (m_staging)
        m_staging->remove();
    if (m_backup)
        m_backup->remove();
    return ok;
}

} // namespace

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

void FileManager::setSettings(Settings *s)
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

void FileManager::downloadUpdateInfo()
{
    infoDownloader->clearConnectionCache();
    if (!Utils::isPathExists(settings->tempDir))
        Utils::createFolder(settings->tempDir);
    QVariantMap params;
    params.insert(QStringLiteral("file"), settings->tempDir + QLatin1Char('/') + settings->updateInfoRequest);
    params.insert(QStringLiteral("source"), settings->updateLink + QLatin1Char('/') + settings->updateInfoRequest);
    // A partial file of an earlier attempt may belong to an older version of the information:
    // joined to the new end it would announce one version with another's package.
    params.insert(QStringLiteral("clean"), true);
    params.insert(QStringLiteral("max_size"), maxUpdateInfoSize);
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

bool FileManager::readUpdateInfo()
{
    QFile file(settings->tempDir + QLatin1Char('/') + settings->updateInfoRequest);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        versionCode = 0;
        settings->readyVersionCode = 0;
        return false;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (doc.isNull() || !doc.isObject())
        return false;
    const QJsonObject entry = doc.object().value(settings->appKey).toObject();
    if (entry.isEmpty())
        return false;
    const QString announcedName = entry.value(QStringLiteral("file_name")).toString();
    if (announcedName.isEmpty() || announcedName.contains(QLatin1Char('/')) || announcedName.contains(QLatin1Char('\\'))
        || announcedName == QLatin1String(".") || announcedName == QLatin1String("..")) {
        // The package is stored under this name in the download folder: a path would place it elsewhere.
        qWarning() << qPrintable(logPrefix) << "file name is not a plain name:" << announcedName;
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
    packageHash = entry.value(QStringLiteral("hash")).toString();
    packageLink = entry.value(QStringLiteral("link")).toString();
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
    return true;
}

bool FileManager::isPackageValid()
{
    // An unreadable or missing package has no digest; it must not pass for an announcement
    // that carries no hash.
    const QString digest = Utils::getFileHash(packagePath());
    // Hexadecimal digits are the same digest in either case.
    return !digest.isEmpty() && digest.compare(packageHash, Qt::CaseInsensitive) == 0;
}

void FileManager::downloadPackage()
{
    packageDownloader->clearConnectionCache();
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
    params.insert(QStringLiteral("clean"), cleanDownload);
    params.insert(QStringLiteral("check_space"), true);
    if (!packageDownloader->start(params))
        reportRefusedStart(params);
}

bool FileManager::extractPackage(const QString &destDir)
{
    extractOk = true;
    qWarning() << qPrintable(logPrefix) << "extracting:" << packagePath() << ", to:" << destDir;
    PackageInstaller installer(logPrefix, packagePath(), destDir);
    const bool result = installer.run();
    extractOk = result;
    qWarning() << qPrintable(logPrefix) << "extracting result:" << result;
    return result;
}

void FileManager::i_finished(int errorCode, QString content)
{
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
