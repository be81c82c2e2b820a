#include "deltamanifest.h"

#include "protocol.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <cmath>

const char DeltaManifest::FormatTag[] = "tovrel-manifest-1";

namespace {

// Whole numbers that a double holds exactly; beyond that two sizes could read back as one.
constexpr double maxExact = 9007199254740992.0;

bool readWhole(const QJsonValue &value, double min, double max, qint64 *out)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::floor(d) != d || d < min || d > max)
        return false;
    *out = qint64(d);
    return true;
}

bool readMode(const QJsonObject &object, int *mode)
{
    qint64 value = 0;
    if (!readWhole(object.value(QStringLiteral("mode")), 0, 07777, &value))
        return false;
    *mode = int(value);
    return true;
}

QString parentOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash);
}

}

bool DeltaManifest::isSha256(const QByteArray &text)
{
    if (text.size() != 64)
        return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool DeltaManifest::isReservedName(const QString &topLevelName)
{
    // The same names the installer keeps for its journal, working folders and file record; any
    // suffix counts, as the installer's temporary twins carry one.
    static const char *const prefixes[] = {Protocol::Folder::Journal, Protocol::Folder::Kept, ".update-staging-",
                                           ".update-backup-", ".update-files"};
    for (const char *prefix : prefixes) {
        if (topLevelName.startsWith(QLatin1String(prefix)))
            return true;
    }
    return false;
}

bool DeltaManifest::isSafePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\'))
        || path.contains(QChar(0)))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return !isReservedName(parts.constFirst());
}

QString DeltaManifest::objectPath(const QByteArray &sha256)
{
    return QStringLiteral("objects/") + QString::fromLatin1(sha256.left(2)) + QLatin1Char('/')
        + QString::fromLatin1(sha256);
}

QString DeltaManifest::patchPath(const QByteArray &from, const QByteArray &to)
{
    return QStringLiteral("patches/") + QString::fromLatin1(from) + QLatin1Char('-') + QString::fromLatin1(to);
}

bool DeltaManifest::parse(const QByteArray &json, DeltaManifest *out, QString *error)
{
    if (json.size() > MaxSize) {
        *error = QStringLiteral("manifest larger than 16 MiB");
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("manifest is not a JSON object");
        return false;
    }
    const QJsonObject root = document.object();
    if (root.value(QStringLiteral("format")).toString() != QLatin1String(FormatTag)) {
        *error = QStringLiteral("manifest format is not ") + QLatin1String(FormatTag);
        return false;
    }
    DeltaManifest m;
    qint64 number = 0;
    m.key = root.value(QStringLiteral("key")).toString();
    if (m.key.isEmpty()) {
        *error = QStringLiteral("manifest has no key");
        return false;
    }
    if (!readWhole(root.value(QStringLiteral("version_code")), 1, 2147483647.0, &number)) {
        *error = QStringLiteral("manifest version_code is not a whole number above 0");
        return false;
    }
    m.versionCode = int(number);
    const QJsonValue complete = root.value(QStringLiteral("complete"));
    if (!complete.isBool()) {
        *error = QStringLiteral("manifest complete is not true or false");
        return false;
    }
    m.complete = complete.toBool();
    const QJsonValue folders = root.value(QStringLiteral("folders"));
    const QJsonValue files = root.value(QStringLiteral("files"));
    if (!folders.isArray() || !files.isArray()) {
        *error = QStringLiteral("manifest folders or files is not an array");
        return false;
    }

    // Every path once; a folder is true, a file false.
    QHash<QString, bool> seen;
    const auto bad = [error](const QString &what, const QString &path) {
        *error = QStringLiteral("manifest ") + what + QStringLiteral(": ") + path;
        return false;
    };
    for (const QJsonValue &value : folders.toArray()) {
        const QJsonObject object = value.toObject();
        Folder folder;
        folder.path = object.value(QStringLiteral("path")).toString();
        if (!isSafePath(folder.path))
            return bad(QStringLiteral("folder path is not a safe relative path"), folder.path);
        if (!readMode(object, &folder.mode))
            return bad(QStringLiteral("folder mode is not 0 to 07777"), folder.path);
        if (seen.contains(folder.path))
            return bad(QStringLiteral("lists a path twice"), folder.path);
        seen.insert(folder.path, true);
        m.folders.append(folder);
    }
    for (const QJsonValue &value : files.toArray()) {
        const QJsonObject object = value.toObject();
        File file;
        file.path = object.value(QStringLiteral("path")).toString();
        if (!isSafePath(file.path))
            return bad(QStringLiteral("file path is not a safe relative path"), file.path);
        if (!readMode(object, &file.mode))
            return bad(QStringLiteral("file mode is not 0 to 07777"), file.path);
        if (!readWhole(object.value(QStringLiteral("size")), 0, maxExact, &file.size))
            return bad(QStringLiteral("file size is not a whole number"), file.path);
        file.sha256 = object.value(QStringLiteral("sha256")).toString().toLatin1();
        if (!isSha256(file.sha256))
            return bad(QStringLiteral("file sha256 is not 64 lower-case hex digits"), file.path);
        if (!readWhole(object.value(QStringLiteral("object_size")), 1, maxExact, &file.objectSize))
            return bad(QStringLiteral("file object_size is not a whole number above 0"), file.path);
        const QJsonValue patches = object.value(QStringLiteral("patches"));
        if (!patches.isUndefined() && !patches.isArray())
            return bad(QStringLiteral("file patches is not an array"), file.path);
        QSet<QByteArray> froms;
        for (const QJsonValue &p : patches.toArray()) {
            Patch patch;
            patch.from = p.toObject().value(QStringLiteral("from")).toString().toLatin1();
            if (!isSha256(patch.from) || patch.from == file.sha256 || froms.contains(patch.from))
                return bad(QStringLiteral("file patch from is not another content's sha256, or repeats"), file.path);
            if (!readWhole(p.toObject().value(QStringLiteral("size")), 1, maxExact, &patch.size))
                return bad(QStringLiteral("file patch size is not a whole number above 0"), file.path);
            froms.insert(patch.from);
            file.patches.append(patch);
        }
        if (seen.contains(file.path))
            return bad(QStringLiteral("lists a path twice"), file.path);
        seen.insert(file.path, false);
        m.files.append(file);
    }
    // Parents are listed or implied, but never a file: one path cannot be both.
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        for (QString parent = parentOf(it.key()); !parent.isEmpty(); parent = parentOf(parent)) {
            const auto found = seen.constFind(parent);
            if (found != seen.cend() && !found.value())
                return bad(QStringLiteral("puts a path below a file"), it.key());
        }
    }
    *out = m;
    return true;
}

QByteArray DeltaManifest::toJson() const
{
    QVector<Folder> sortedFolders = folders;
    QVector<File> sortedFiles = files;
    std::sort(sortedFolders.begin(), sortedFolders.end(),
              [](const Folder &a, const Folder &b) { return a.path < b.path; });
    std::sort(sortedFiles.begin(), sortedFiles.end(), [](const File &a, const File &b) { return a.path < b.path; });
    QJsonArray folderArray;
    for (const Folder &folder : qAsConst(sortedFolders))
        folderArray.append(QJsonObject{{QStringLiteral("path"), folder.path}, {QStringLiteral("mode"), folder.mode}});
    QJsonArray fileArray;
    for (const File &file : qAsConst(sortedFiles)) {
        QJsonObject object{{QStringLiteral("path"), file.path},
                           {QStringLiteral("mode"), file.mode},
                           {QStringLiteral("size"), double(file.size)},
                           {QStringLiteral("sha256"), QString::fromLatin1(file.sha256)},
                           {QStringLiteral("object_size"), double(file.objectSize)}};
        if (!file.patches.isEmpty()) {
            QJsonArray patchArray;
            for (const Patch &patch : file.patches)
                patchArray.append(QJsonObject{{QStringLiteral("from"), QString::fromLatin1(patch.from)},
                                              {QStringLiteral("size"), double(patch.size)}});
            object.insert(QStringLiteral("patches"), patchArray);
        }
        fileArray.append(object);
    }
    const QJsonObject root{{QStringLiteral("format"), QLatin1String(FormatTag)},
                           {QStringLiteral("key"), key},
                           {QStringLiteral("version_code"), versionCode},
                           {QStringLiteral("complete"), complete},
                           {QStringLiteral("folders"), folderArray},
                           {QStringLiteral("files"), fileArray}};
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}
