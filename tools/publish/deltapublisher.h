#ifndef DELTAPUBLISHER_H
#define DELTAPUBLISHER_H

#include "deltamanifest.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// Writes what a device needs to move only what changed, next to the package: every file's content
// as a compressed object named by its SHA-256, patches of large changed files from their content in
// the previous versions, and the manifest of the version. Objects and patches are named by content,
// so one that exists is never written again and versions share them.
class DeltaPublisher
{
public:
    // Files below this size change as a whole object; a patch would save little.
    static constexpr qint64 MinPatchSize = 1024 * 1024;
    // A patch holds both contents in memory while it is made.
    static constexpr qint64 MaxPatchSize = 1024 * 1024 * 1024;

    struct Options
    {
        QString source;         // the application folder
        QString outputDir;
        QString platformKey;
        int versionCode = 0;
        bool complete = true;
        int patchFrom = 3;      // how many previous versions to make patches from
        int level = 9;          // zstd level of objects and patches
    };
    struct Result
    {
        QString manifestName;   // relative to the output folder
        qint64 manifestSize = 0;
        QByteArray manifestSha256;
        int objectsWritten = 0;
        int objectsPresent = 0;
        int patchesWritten = 0;
        qint64 bytesWritten = 0;
        QStringList warnings;
    };

    static bool publish(const Options &options, Result *result, QString *error);

    static QString manifestName(const QString &platformKey, int versionCode);
    // The version code of a manifest file of this key, or 0 when the name is not one.
    static int versionOfManifest(const QString &fileName, const QString &platformKey);
    // The earlier contents a file should get patches from: its content at the same path in each of
    // the given previous versions (newest first, at most `count`), without its own content and
    // without repeats. None for a small file.
    static QVector<QByteArray> patchSources(const DeltaManifest::File &file, const QVector<DeltaManifest> &previous,
                                            int count);

private:
    static bool scan(const QString &source, DeltaManifest *manifest, QMap<QString, QString> *absolute,
                     QString *error);
    static bool writeObject(const QString &outputDir, const QString &from, int level, DeltaManifest::File *file,
                            Result *result, QString *error);
    static bool writePatches(const Options &options, const QVector<DeltaManifest> &previous, const QString &from,
                             DeltaManifest::File *file, Result *result, QString *error);
    static QVector<DeltaManifest> previousVersions(const Options &options, Result *result);
};

#endif
