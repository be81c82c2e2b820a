#include "deltapublisher.h"

#include "streamhash.h"
#include "zstdcodec.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray sha256Of(const QByteArray &data)
{
    StreamHash hash(StreamHash::Sha256);
    hash.addData(data);
    return hash.hexResult();
}

bool hashFile(const QString &path, QByteArray *sha256, qint64 *size, QString *error)
{
    QFile file(path);
    StreamHash hash(StreamHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file) || hash.hexResult().isEmpty()) {
        *error = QStringLiteral("cannot read ") + path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    *sha256 = hash.hexResult();
    *size = hash.bytesAdded();
    return true;
}

bool readAll(const QString &path, QByteArray *data, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read ") + path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    *data = file.readAll();
    if (file.error() != QFileDevice::NoError || data->size() != file.size()) {
        *error = QStringLiteral("cannot read ") + path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

// The temporary name next to `path`: hidden, so that nothing fetches a half-written file.
QString partialOf(const QString &path)
{
    const QFileInfo info(path);
    return info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".partial");
}

// Puts a finished temporary file in its place, on disk before its name is visible.
bool settle(const QString &partial, const QString &path, QString *error)
{
    QFile file(partial);
    const bool synced = file.open(QIODevice::ReadOnly) && ::fsync(file.handle()) == 0;
    file.close();
    if (!synced || ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData()) != 0) {
        *error = QStringLiteral("cannot write ") + path + QStringLiteral(": ") + systemError();
        QFile::remove(partial);
        return false;
    }
    return true;
}

bool writeBytes(const QString &path, const QByteArray &data, QString *error)
{
    if (!QDir().mkpath(QFileInfo(path).path())) {
        *error = QStringLiteral("cannot create ") + QFileInfo(path).path();
        return false;
    }
    const QString partial = partialOf(path);
    QFile file(partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size() || !file.flush()) {
        *error = QStringLiteral("cannot write ") + partial + QStringLiteral(": ") + file.errorString();
        file.close();
        QFile::remove(partial);
        return false;
    }
    file.close();
    return settle(partial, path, error);
}

}

QString DeltaPublisher::manifestName(const QString &platformKey, int versionCode)
{
    return QStringLiteral("manifests/") + platformKey + QLatin1Char('-') + QString::number(versionCode)
        + QStringLiteral(".json");
}

int DeltaPublisher::versionOfManifest(const QString &fileName, const QString &platformKey)
{
    const QString prefix = platformKey + QLatin1Char('-');
    if (!fileName.startsWith(prefix) || !fileName.endsWith(QLatin1String(".json")))
        return 0;
    const QString digits = fileName.mid(prefix.size(), fileName.size() - prefix.size() - 5);
    // Only the form this tool writes: no sign, no leading zero, so one version has one name.
    if (digits.isEmpty() || digits.startsWith(QLatin1Char('0'))
        || !std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
        return 0;
    bool ok = false;
    const int version = digits.toInt(&ok);
    return ok ? version : 0;
}

QVector<QByteArray> DeltaPublisher::patchSources(const DeltaManifest::File &file,
                                                 const QVector<DeltaManifest> &previous, int count)
{
    QVector<QByteArray> sources;
    if (file.size < MinPatchSize || file.size > MaxPatchSize)
        return sources;
    for (int i = 0; i < previous.size() && i < count; ++i) {
        for (const DeltaManifest::File &old : previous.at(i).files) {
            if (old.path == file.path && old.sha256 != file.sha256 && old.size <= MaxPatchSize
                && !sources.contains(old.sha256))
                sources.append(old.sha256);
        }
    }
    return sources;
}

bool DeltaPublisher::scan(const QString &source, DeltaManifest *manifest, QMap<QString, QString> *absolute,
                          QString *error)
{
    const QDir base(QFileInfo(source).absoluteFilePath());
    QDirIterator it(base.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        // The same choice as the package: linked folders are left out, linked files give their content.
        if (info.isSymLink() && info.isDir())
            continue;
        const QString relative = base.relativeFilePath(info.filePath());
        struct stat st;
        if (::stat(QFile::encodeName(info.filePath()).constData(), &st) != 0) {
            *error = QStringLiteral("cannot read ") + info.filePath() + QStringLiteral(": ") + systemError();
            return false;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
            continue;
        if (!DeltaManifest::isSafePath(relative)) {
            *error = QStringLiteral("a device would refuse the path ") + relative;
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            manifest->folders.append({relative, int(st.st_mode & 07777)});
        } else {
            DeltaManifest::File file;
            file.path = relative;
            file.mode = int(st.st_mode & 07777);
            manifest->files.append(file);
            absolute->insert(relative, info.filePath());
        }
    }
    return true;
}

bool DeltaPublisher::writeObject(const QString &outputDir, const QString &from, int level, DeltaManifest::File *file,
                                 Result *result, QString *error)
{
    if (!hashFile(from, &file->sha256, &file->size, error))
        return false;
    const QString path = QDir(outputDir).filePath(DeltaManifest::objectPath(file->sha256));
    const QFileInfo present(path);
    if (present.isFile()) {
        file->objectSize = present.size();
        ++result->objectsPresent;
        return true;
    }
    if (!QDir().mkpath(present.path())) {
        *error = QStringLiteral("cannot create ") + present.path();
        return false;
    }
    const QString partial = partialOf(path);
    QByteArray compressed;
    if (!ZstdCodec::compressFile(from, partial, level, &file->objectSize, &compressed, error)) {
        QFile::remove(partial);
        return false;
    }
    // The content must still be the one the name promises: the file may have changed meanwhile.
    if (compressed != file->sha256) {
        QFile::remove(partial);
        *error = from + QStringLiteral(" changed while it was published");
        return false;
    }
    if (!settle(partial, path, error))
        return false;
    ++result->objectsWritten;
    result->bytesWritten += file->objectSize;
    return true;
}

bool DeltaPublisher::writePatches(const Options &options, const QVector<DeltaManifest> &previous, const QString &from,
                                  DeltaManifest::File *file, Result *result, QString *error)
{
    const QVector<QByteArray> sources = patchSources(*file, previous, options.patchFrom);
    const QDir out(options.outputDir);
    QByteArray content;
    for (const QByteArray &old : sources) {
        const QString path = out.filePath(DeltaManifest::patchPath(old, file->sha256));
        const QFileInfo present(path);
        if (present.isFile()) {
            if (present.size() > 0 && present.size() < file->objectSize)
                file->patches.append({old, present.size()});
            continue;
        }
        QByteArray frame;
        QByteArray reference;
        QString reason;
        if (!readAll(out.filePath(DeltaManifest::objectPath(old)), &frame, &reason)
            || !ZstdCodec::decompress(frame, QByteArray(), MaxPatchSize, &reference, &reason)
            || sha256Of(reference) != old) {
            result->warnings.append(QStringLiteral("no patch for %1 from %2: its object is missing or damaged (%3)")
                                        .arg(file->path, QString::fromLatin1(old), reason));
            continue;
        }
        if (content.isEmpty() && (!readAll(from, &content, error) || sha256Of(content) != file->sha256)) {
            if (error->isEmpty())
                *error = from + QStringLiteral(" changed while it was published");
            return false;
        }
        const QByteArray patch = ZstdCodec::compressWithReference(reference, content, options.level, error);
        if (patch.isEmpty())
            return false;
        if (patch.size() >= file->objectSize)
            continue;
        // A patch that does not give back the content would send every device to the zip.
        QByteArray back;
        if (!ZstdCodec::decompress(patch, reference, file->size, &back, error) || back != content) {
            *error = QStringLiteral("the patch of ") + file->path + QStringLiteral(" does not give back its content");
            return false;
        }
        if (!writeBytes(path, patch, error))
            return false;
        file->patches.append({old, patch.size()});
        ++result->patchesWritten;
        result->bytesWritten += patch.size();
    }
    return true;
}

QVector<DeltaManifest> DeltaPublisher::previousVersions(const Options &options, Result *result)
{
    const QDir folder(QDir(options.outputDir).filePath(QStringLiteral("manifests")));
    QMap<int, QString> byVersion;
    for (const QString &name : folder.entryList(QDir::Files)) {
        const int version = versionOfManifest(name, options.platformKey);
        if (version > 0 && version < options.versionCode)
            byVersion.insert(version, folder.filePath(name));
    }
    QVector<DeltaManifest> previous;
    for (auto it = byVersion.constEnd(); it != byVersion.constBegin() && previous.size() < options.patchFrom;) {
        --it;
        QByteArray json;
        QString reason;
        DeltaManifest manifest;
        if (!readAll(it.value(), &json, &reason) || !DeltaManifest::parse(json, &manifest, &reason)) {
            result->warnings.append(it.value() + QStringLiteral(" is not usable, no patches from it: ") + reason);
            continue;
        }
        previous.append(manifest);
    }
    return previous;
}

bool DeltaPublisher::publish(const Options &options, Result *result, QString *error)
{
    const QString &key = options.platformKey;
    if (key.isEmpty() || key.contains(QLatin1Char('/')) || key.contains(QLatin1Char('\\')) || key.startsWith(QLatin1Char('.'))) {
        *error = QStringLiteral("the platform key cannot name a manifest file: ") + key;
        return false;
    }
    DeltaManifest manifest;
    manifest.key = key;
    manifest.versionCode = options.versionCode;
    manifest.complete = options.complete;
    QMap<QString, QString> absolute;
    if (!scan(options.source, &manifest, &absolute, error))
        return false;
    const QVector<DeltaManifest> previous = options.patchFrom > 0 ? previousVersions(options, result)
                                                                  : QVector<DeltaManifest>();
    for (DeltaManifest::File &file : manifest.files) {
        const QString from = absolute.value(file.path);
        if (!writeObject(options.outputDir, from, options.level, &file, result, error)
            || !writePatches(options, previous, from, &file, result, error))
            return false;
    }
    const QByteArray json = manifest.toJson();
    result->manifestName = manifestName(key, options.versionCode);
    result->manifestSize = json.size();
    result->manifestSha256 = sha256Of(json);
    if (json.size() > DeltaManifest::MaxSize) {
        *error = QStringLiteral("the manifest would exceed 16 MiB; publish with --no-objects");
        return false;
    }
    return writeBytes(QDir(options.outputDir).filePath(result->manifestName), json, error);
}
