#include "publisher.h"

#include "deltapublisher.h"
#include "streamhash.h"
#include "updateinfo.h"
#include "updatesignature.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

namespace {

// libzip's text for the error code that zip_open() reports.
QString zipOpenErrorText(int code)
{
    zip_error_t detail;
    zip_error_init_with_code(&detail, code);
    const QString text = QString::fromLocal8Bit(zip_error_strerror(&detail));
    zip_error_fini(&detail);
    return text;
}
const QString partialSuffix = QStringLiteral(".partial");

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Makes sure the bytes are on disk before a rename makes them visible under their final name.
bool syncFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return ::fsync(file.handle()) == 0;
}

bool isSafeEntryName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'))
        || (name.size() >= 2 && name.at(1) == QLatin1Char(':')))
        return false;
    QString segments = name;
    segments.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return !segments.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

bool isPlainName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && !name.startsWith(QLatin1Char('.')) && !name.endsWith(partialSuffix);
}

// Creates the file with its final mode in one step (a key is never readable by others, not even for a
// moment) and never replaces an existing one.
bool writeNewFile(const QString &path, const QByteArray &content, mode_t mode, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = QStringLiteral("cannot create ") + path + QStringLiteral(": ") + systemError();
        return false;
    }
    qint64 written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + written, size_t(content.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    const bool ok = written == content.size() && ::fsync(fd) == 0;
    if (!ok)
        *error = QStringLiteral("cannot write ") + path + QStringLiteral(": ") + systemError();
    if (::close(fd) != 0 && ok) {
        *error = QStringLiteral("cannot write ") + path + QStringLiteral(": ") + systemError();
        ::unlink(native.constData());
        return false;
    }
    if (!ok)
        ::unlink(native.constData());
    return ok;
}
}

bool Publisher::generateKeys(const QString &folder, KeyFiles *files, QString *error)
{
    if (folder.isEmpty()) {
        *error = QStringLiteral("key folder not given");
        return false;
    }
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create ") + folder;
        return false;
    }
    const QDir dir(folder);
    files->privateKeyPath = dir.filePath(QStringLiteral("update-signing.pem"));
    files->publicKeyPath = dir.filePath(QStringLiteral("update-signing.pub"));
    for (const QString &path : {files->privateKeyPath, files->publicKeyPath}) {
        if (QFileInfo(path).exists() || QFileInfo(path).isSymLink()) {
            // Replacing a key would lock out every device that trusts the old one.
            *error = path + QStringLiteral(" already exists; a key is never replaced");
            return false;
        }
    }
    QByteArray privatePem;
    if (!UpdateSignature::generateKeyPair(&privatePem, &files->publicKey, error))
        return false;
    const bool ok = writeNewFile(files->privateKeyPath, privatePem, 0600, error);
    privatePem.fill('\0');
    if (!ok)
        return false;
    if (!writeNewFile(files->publicKeyPath, files->publicKey + '\n', 0644, error)) {
        QFile::remove(files->privateKeyPath);
        return false;
    }
    return true;
}

QString Publisher::defaultFileName(const QString &platformKey, int versionCode)
{
    return platformKey + QLatin1Char('-') + QString::number(versionCode) + QStringLiteral(".zip");
}

bool Publisher::validate(const Request &request, QString *error)
{
    const QFileInfo source(request.source);
    if (request.source.isEmpty() || !source.exists()) {
        *error = QStringLiteral("source not found: ") + request.source;
        return false;
    }
    if (!source.isDir() && !source.isFile()) {
        *error = QStringLiteral("source is neither a folder nor a file: ") + request.source;
        return false;
    }
    // Devices take only a version code greater than the one installed, which is never below 0.
    if (request.versionCode <= 0) {
        *error = QStringLiteral("version code must be a whole number above 0");
        return false;
    }
    if (request.platformKey.isEmpty()) {
        *error = QStringLiteral("platform key is empty");
        return false;
    }
    for (const QString &id : request.deviceIds) {
        if (id.isEmpty()) {
            *error = QStringLiteral("empty device id");
            return false;
        }
    }
    const QUrl url(request.baseUrl, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
        *error = QStringLiteral("base URL must be an http or https URL with a host: ") + request.baseUrl;
        return false;
    }
    if (request.outputDir.isEmpty()) {
        *error = QStringLiteral("output folder not given");
        return false;
    }
    if (!isPlainName(request.infoName)) {
        *error = QStringLiteral("not a plain file name: ") + request.infoName;
        return false;
    }
    const QString fileName = request.fileName.isEmpty()
        ? defaultFileName(request.platformKey, request.versionCode) : request.fileName;
    if (!isPlainName(fileName) || fileName == request.infoName) {
        *error = QStringLiteral("not a usable package file name: ") + fileName;
        return false;
    }
    if (request.rollout != 0 && (request.rollout < 1 || request.rollout > 100)) {
        *error = QStringLiteral("rollout must be a whole percentage from 1 to 100");
        return false;
    }
    if (!request.expires.isEmpty()) {
        QDateTime expiresAt;
        if (!UpdateInfo::parseExpires(request.expires, &expiresAt)) {
            *error = QStringLiteral("expiry is not a UTC time like 2027-01-31T12:00:00Z: ") + request.expires;
            return false;
        }
        if (expiresAt <= QDateTime::currentDateTimeUtc()) {
            *error = QStringLiteral("expiry lies in the past: ") + request.expires;
            return false;
        }
        // A device checks the expiry only where it checks the signature.
        if (request.signKeyPath.isEmpty()) {
            *error = QStringLiteral("an expiry needs a signing key");
            return false;
        }
    }
    if (source.isDir()) {
        // The package would otherwise swallow the output folder, earlier packages and all.
        const QString from = source.canonicalFilePath() + QLatin1Char('/');
        const QString to = QFileInfo(request.outputDir).absoluteFilePath() + QLatin1Char('/');
        const QString toCanonical = QFileInfo(request.outputDir).canonicalFilePath() + QLatin1Char('/');
        if (to.startsWith(from) || (toCanonical.size() > 1 && toCanonical.startsWith(from))) {
            *error = QStringLiteral("the output folder lies inside the source folder");
            return false;
        }
    }
    return true;
}

bool Publisher::readInfo(const QString &path, QJsonObject *root, QString *error)
{
    QFile file(path);
    if (!file.exists()) {
        *root = QJsonObject();
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read ") + path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        const QString reason = parseError.error != QJsonParseError::NoError
            ? parseError.errorString() : QStringLiteral("root is not an object");
        *error = path + QStringLiteral(" is not valid update information (") + reason
            + QStringLiteral("); left as it is");
        return false;
    }
    *root = document.object();
    return true;
}

bool Publisher::zipFolder(const QString &folder, const QString &zipPath, QString *error)
{
    const QDir base(QFileInfo(folder).absoluteFilePath());
    QStringList entries;
    QDirIterator it(base.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        // A linked folder could loop or reach outside the application; the updater writes no links.
        if (info.isSymLink() && info.isDir())
            continue;
        if (!info.exists()) {
            *error = QStringLiteral("broken link: ") + info.filePath();
            return false;
        }
        if (info.isFile() && !info.isReadable()) {
            *error = QStringLiteral("cannot read ") + info.filePath();
            return false;
        }
        if (!info.isFile() && !info.isDir())
            continue; // sockets, pipes, devices
        entries.append(base.relativeFilePath(info.filePath()));
    }
    if (entries.isEmpty()) {
        *error = QStringLiteral("nothing to publish in ") + folder;
        return false;
    }
    std::sort(entries.begin(), entries.end());

    int zipError = 0;
    zip_t *archive = zip_open(QFile::encodeName(zipPath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &zipError);
    if (!archive) {
        *error = QStringLiteral("cannot create ") + zipPath + QStringLiteral(": ") + zipOpenErrorText(zipError);
        return false;
    }
    auto fail = [&](const QString &what) {
        *error = what + QStringLiteral(": ") + QString::fromLocal8Bit(zip_strerror(archive));
        zip_discard(archive);
        return false;
    };

    for (const QString &relative : qAsConst(entries)) {
        const QString absolute = base.filePath(relative);
        const QByteArray native = QFile::encodeName(absolute);
        struct stat st;
        if (::stat(native.constData(), &st) != 0) {
            *error = QStringLiteral("cannot read ") + absolute + QStringLiteral(": ") + systemError();
            zip_discard(archive);
            return false;
        }
        zip_int64_t index;
        zip_uint32_t type;
        if (S_ISDIR(st.st_mode)) {
            index = zip_dir_add(archive, (relative + QLatin1Char('/')).toUtf8().constData(), ZIP_FL_ENC_UTF_8);
            type = S_IFDIR;
        } else {
            zip_source_t *data = zip_source_file(archive, native.constData(), 0, -1);
            if (!data)
                return fail(QStringLiteral("cannot add ") + absolute);
            index = zip_file_add(archive, relative.toUtf8().constData(), data, ZIP_FL_ENC_UTF_8);
            if (index < 0)
                zip_source_free(data);
            type = S_IFREG;
        }
        if (index < 0)
            return fail(QStringLiteral("cannot add ") + absolute);
        // Unix attributes carry the permissions, so executables stay executable after extraction.
        const zip_uint32_t attributes = (type | (st.st_mode & 07777)) << 16;
        if (zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX, attributes) != 0)
            return fail(QStringLiteral("cannot set permissions of ") + relative);
    }
    if (zip_close(archive) != 0)
        return fail(QStringLiteral("cannot write ") + zipPath);
    return true;
}

bool Publisher::checkZip(const QString &zipPath, QString *error)
{
    int zipError = 0;
    zip_t *archive = zip_open(QFile::encodeName(zipPath).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &zipError);
    if (!archive) {
        *error = zipPath + QStringLiteral(" is not a readable zip archive: ") + zipOpenErrorText(zipError);
        return false;
    }
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char *raw = zip_get_name(archive, zip_uint64_t(i), ZIP_FL_ENC_GUESS);
        const QString name = raw ? QString::fromUtf8(raw) : QString();
        if (!isSafeEntryName(name)) {
            zip_discard(archive);
            // The updater refuses to install such an archive, so no device could take it.
            *error = zipPath + QStringLiteral(" has an entry that leads outside the application folder: ") + name;
            return false;
        }
    }
    zip_discard(archive);
    if (count <= 0) {
        *error = zipPath + QStringLiteral(" holds no entries");
        return false;
    }
    return true;
}

bool Publisher::copyFile(const QString &from, const QString &to, QString *error)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read ") + from + QStringLiteral(": ") + in.errorString();
        return false;
    }
    QFile out(to);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString();
        return false;
    }
    QByteArray chunk;
    while (!(chunk = in.read(1 << 20)).isEmpty()) {
        if (out.write(chunk) != chunk.size()) {
            *error = QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString();
            return false;
        }
    }
    if (in.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read ") + from + QStringLiteral(": ") + in.errorString();
        return false;
    }
    if (!out.flush()) {
        *error = QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString();
        return false;
    }
    return true;
}

// One pass over the package for both digests and the size.
bool Publisher::hashFile(const QString &path, Result *result, QString *error)
{
    QFile file(path);
    StreamHash md5(StreamHash::Md5);
    StreamHash sha256(StreamHash::Sha256);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read ") + path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    QByteArray chunk;
    while (!(chunk = file.read(1 << 20)).isEmpty()) {
        if (!md5.addData(chunk) || !sha256.addData(chunk)) {
            *error = QStringLiteral("cannot hash ") + path;
            return false;
        }
    }
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read ") + path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    result->hash = QString::fromLatin1(md5.hexResult());
    result->sha256 = QString::fromLatin1(sha256.hexResult());
    result->size = sha256.bytesAdded();
    if (result->hash.isEmpty() || result->sha256.isEmpty()) {
        *error = QStringLiteral("cannot hash ") + path;
        return false;
    }
    return true;
}

bool Publisher::readSigningKey(const QString &path, QByteArray *pem, Result *result, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read signing key ") + path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    *pem = file.readAll();
    QString reason;
    if (!UpdateSignature::publicKeyOf(*pem, &result->publicKey, &reason)) {
        *error = path + QStringLiteral(" is not a usable signing key: ") + reason;
        return false;
    }
    if (file.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther))
        result->warnings.append(path + QStringLiteral(" can be read or written by other users; whoever reads it "
                                                      "can publish to every device"));
    return true;
}

// Signs the entry as it is written, through the same reading of it that a device does.
bool Publisher::signEntry(const QString &platformKey, const QByteArray &pem, const QByteArray &publicKey,
                          QJsonObject *entry, QString *error)
{
    UpdateInfo::Entry signedEntry;
    QString detail;
    if (UpdateSignature::readEntry(platformKey, *entry, &signedEntry, &detail) != UpdateSignature::Valid) {
        *error = QStringLiteral("cannot sign the entry: ") + detail;
        return false;
    }
    const QByteArray text = UpdateSignature::canonicalText(signedEntry);
    const QByteArray signature = UpdateSignature::sign(text, pem, error);
    if (signature.isEmpty())
        return false;
    if (!UpdateSignature::verifyText(text, signature, QByteArray::fromBase64(publicKey))) {
        *error = QStringLiteral("the signature just made does not verify");
        return false;
    }
    entry->insert(QLatin1String(UpdateInfo::Signature), QString::fromLatin1(signature.toBase64()));
    return true;
}

bool Publisher::replaceFile(const QString &from, const QString &to, QString *error)
{
    if (!syncFile(from)) {
        *error = QStringLiteral("cannot sync ") + from + QStringLiteral(": ") + systemError();
        return false;
    }
    // rename() swaps the name in one step: a reader sees the old file or the new one, never a mix.
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        *error = QStringLiteral("cannot rename ") + from + QStringLiteral(" to ") + to + QStringLiteral(": ")
            + systemError();
        return false;
    }
    return true;
}

// What devices that took the previous entry of this platform will make of the new one.
void Publisher::warnAboutPrevious(const Request &request, const QJsonValue &previous, Result *result)
{
    if (!previous.isObject())
        return;
    const int previousCode = previous.toObject().value(QLatin1String(UpdateInfo::VersionCode)).toInt();
    if (previousCode >= request.versionCode)
        result->warnings.append(QStringLiteral("\"%1\" announced version %2 so far; devices that installed "
                                               "it will not take version %3")
                                    .arg(request.platformKey)
                                    .arg(previousCode)
                                    .arg(request.versionCode));
    // Devices that require signatures would refuse the new entry and stay on the old version.
    if (request.signKeyPath.isEmpty() && previous.toObject().contains(QLatin1String(UpdateInfo::Signature)))
        result->warnings.append(QStringLiteral("\"%1\" was signed so far (version %2); this entry is not "
                                               "signed (no --sign-key), so devices that require signed "
                                               "updates refuse version %3")
                                    .arg(request.platformKey)
                                    .arg(previousCode)
                                    .arg(request.versionCode));
}

QJsonObject Publisher::makeEntry(const Request &request, const QString &fileName, Result *result)
{
    UpdateInfo::Entry entry;
    entry.devices = request.deviceIds;
    entry.versionCode = request.versionCode;
    entry.fileName = fileName;
    entry.hash = result->hash;
    entry.link = result->link;
    entry.sha256 = result->sha256.toLatin1();
    entry.size = result->size;
    entry.expires = request.expires;
    entry.product = request.product;
    // Only a folder is known to hold every file of the version; a zip may have been made by hand
    // with the changed files alone.
    result->complete = QFileInfo(request.source).isDir() && !request.overlay;
    entry.complete = result->complete;
    QJsonObject object = UpdateInfo::toJson(entry);
    // Written as asked, 100 too.
    if (request.rollout != 0)
        object.insert(QLatin1String(UpdateInfo::Rollout), request.rollout);
    return object;
}

bool Publisher::publish(const Request &request, Result *result, QString *error)
{
    if (!validate(request, error))
        return false;

    const QDir out(request.outputDir);
    if (!out.exists() && !QDir().mkpath(request.outputDir)) {
        *error = QStringLiteral("cannot create ") + request.outputDir;
        return false;
    }
    const QString fileName = request.fileName.isEmpty()
        ? defaultFileName(request.platformKey, request.versionCode) : request.fileName;
    result->packagePath = out.filePath(fileName);
    result->infoPath = out.filePath(request.infoName);

    // Refuse before writing anything when the existing information cannot be kept or signed.
    QJsonObject root;
    if (!readInfo(result->infoPath, &root, error))
        return false;
    QByteArray signingKey;
    if (!request.signKeyPath.isEmpty() && !readSigningKey(request.signKeyPath, &signingKey, result, error))
        return false;
    warnAboutPrevious(request, root.value(request.platformKey), result);

    const QString partial = out.filePath(QLatin1Char('.') + fileName + partialSuffix);
    const bool written = QFileInfo(request.source).isDir() ? zipFolder(request.source, partial, error)
                                                           : checkZip(request.source, error)
            && copyFile(request.source, partial, error);
    if (!written || !replaceFile(partial, result->packagePath, error)) {
        QFile::remove(partial);
        return false;
    }

    if (!hashFile(result->packagePath, result, error))
        return false;
    QString base = request.baseUrl;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    result->link = base + QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(fileName));

    QJsonObject entry = makeEntry(request, fileName, result);
    if (request.objects && QFileInfo(request.source).isDir()) {
        DeltaPublisher::Result delta;
        const bool written = DeltaPublisher::publish({request.source, request.outputDir, request.platformKey,
                                                      request.versionCode, result->complete, request.patchFrom},
                                                     &delta, error);
        result->warnings += delta.warnings;
        if (!written)
            return false;
        entry.insert(QStringLiteral("manifest"),
                     QJsonObject{{QStringLiteral("name"), delta.manifestName},
                                 {QStringLiteral("size"), double(delta.manifestSize)},
                                 {QStringLiteral("sha256"), QString::fromLatin1(delta.manifestSha256)}});
        result->manifestPath = out.filePath(delta.manifestName);
        result->objectsWritten = delta.objectsWritten;
        result->patchesWritten = delta.patchesWritten;
    }
    const bool signedEntry = !signingKey.isEmpty()
        && signEntry(request.platformKey, signingKey, result->publicKey, &entry, error);
    signingKey.fill('\0');
    if (!request.signKeyPath.isEmpty() && !signedEntry)
        return false;
    root.insert(request.platformKey, entry);
    QSaveFile info(result->infoPath);
    if (!info.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write ") + result->infoPath + QStringLiteral(": ") + info.errorString();
        return false;
    }
    info.write(QJsonDocument(root).toJson(QJsonDocument::Indented));
    if (!info.commit()) {
        *error = QStringLiteral("cannot write ") + result->infoPath + QStringLiteral(": ") + info.errorString();
        return false;
    }
    return true;
}
