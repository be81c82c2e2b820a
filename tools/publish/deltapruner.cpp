#include "deltapruner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

const QString manifestFolder = QStringLiteral("manifests");

bool isPatchName(const QString &name)
{
    const int dash = name.indexOf(QLatin1Char('-'));
    return dash == 64 && name.size() == 129 && DeltaManifest::isSha256(name.left(64).toLatin1())
        && DeltaManifest::isSha256(name.mid(65).toLatin1());
}

// Removes one file that nothing needs any more and counts it.
void drop(const QFileInfo &file, int *count, DeltaPruner::Result *result)
{
    const qint64 size = file.size();
    if (QFile::remove(file.filePath())) {
        ++*count;
        result->bytes += size;
    }
}

}

QStringList DeltaPruner::announcedManifests(const QString &infoPath, bool *readable)
{
    QStringList names;
    *readable = true;
    QFile file(infoPath);
    if (!file.exists())
        return names;
    const QJsonDocument document = file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll())
                                                                  : QJsonDocument();
    if (!document.isObject()) {
        *readable = false;
        return names;
    }
    const QJsonObject root = document.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        const QString name = it.value().toObject().value(QStringLiteral("manifest")).toObject()
                                 .value(QStringLiteral("name")).toString();
        if (!name.isEmpty())
            names.append(name);
    }
    return names;
}

QSet<QString> DeltaPruner::keptNames(const QVector<Version> &versions, int keep, const QStringList &pinned)
{
    QHash<QString, QVector<const Version *>> byKey;
    for (const Version &version : versions)
        byKey[version.manifest.key].append(&version);
    QSet<QString> kept;
    for (auto it = byKey.begin(); it != byKey.end(); ++it) {
        QVector<const Version *> &list = it.value();
        std::sort(list.begin(), list.end(), [](const Version *a, const Version *b) {
            return a->manifest.versionCode > b->manifest.versionCode;
        });
        for (int i = 0; i < list.size() && i < keep; ++i)
            kept.insert(list.at(i)->name);
    }
    for (const Version &version : versions) {
        if (pinned.contains(version.name))
            kept.insert(version.name);
    }
    return kept;
}

QSet<QString> DeltaPruner::referencedPaths(const QVector<Version> &versions, const QSet<QString> &kept)
{
    QSet<QString> paths;
    for (const Version &version : versions) {
        if (!kept.contains(version.name))
            continue;
        for (const DeltaManifest::File &file : version.manifest.files) {
            paths.insert(DeltaManifest::objectPath(file.sha256));
            for (const DeltaManifest::Patch &patch : file.patches)
                paths.insert(DeltaManifest::patchPath(patch.from, file.sha256));
        }
    }
    return paths;
}

bool DeltaPruner::prune(const QString &outputDir, int keep, const QStringList &pinned, Result *result, QString *error)
{
    if (keep < 1) {
        *error = QStringLiteral("--keep must be at least 1");
        return false;
    }
    const QDir out(outputDir);
    const QDir manifests(out.filePath(manifestFolder));
    QVector<Version> versions;
    for (const QFileInfo &info : manifests.entryInfoList({QStringLiteral("*.json")}, QDir::Files)) {
        QFile file(info.filePath());
        Version version;
        version.name = manifestFolder + QLatin1Char('/') + info.fileName();
        QString reason;
        if (!file.open(QIODevice::ReadOnly) || !DeltaManifest::parse(file.read(DeltaManifest::MaxSize + 1),
                                                                     &version.manifest, &reason)) {
            *error = info.filePath() + QStringLiteral(" cannot be read (") + reason
                + QStringLiteral("), so what it needs is unknown; nothing removed");
            return false;
        }
        versions.append(version);
    }
    const QSet<QString> kept = keptNames(versions, keep, pinned);
    const QSet<QString> needed = referencedPaths(versions, kept);

    // Manifests first: a version whose manifest is gone is never again asked for its objects.
    for (const Version &version : qAsConst(versions)) {
        if (!kept.contains(version.name))
            drop(QFileInfo(out.filePath(version.name)), &result->manifests, result);
    }
    const QDir objects(out.filePath(QStringLiteral("objects")));
    for (const QString &prefix : objects.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDir sub(objects.filePath(prefix));
        for (const QFileInfo &info : sub.entryInfoList(QDir::Files)) {
            const QByteArray name = info.fileName().toLatin1();
            const QString relative = DeltaManifest::objectPath(name);
            if (DeltaManifest::isSha256(name) && name.startsWith(prefix.toLatin1()) && !needed.contains(relative))
                drop(info, &result->objects, result);
        }
        objects.rmdir(prefix); // only when it is empty now
    }
    const QDir patches(out.filePath(QStringLiteral("patches")));
    for (const QFileInfo &info : patches.entryInfoList(QDir::Files)) {
        if (isPatchName(info.fileName()) && !needed.contains(QStringLiteral("patches/") + info.fileName()))
            drop(info, &result->patches, result);
    }
    return true;
}
