#ifndef DELTAPRUNER_H
#define DELTAPRUNER_H

#include "deltamanifest.h"

#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

// Removes from a publishing folder the manifests of versions no longer kept, and the objects and
// patches that no kept version refers to. Refuses to remove anything while a manifest there cannot be
// read: what it refers to is unknown.
class DeltaPruner
{
public:
    struct Result
    {
        int manifests = 0;
        int objects = 0;
        int patches = 0;
        qint64 bytes = 0;
    };
    struct Version
    {
        QString name;           // manifest file name below manifests/
        DeltaManifest manifest;
    };

    // `pinned` names manifests (relative to the folder) that stay whatever their age: those the
    // update information announces.
    static bool prune(const QString &outputDir, int keep, const QStringList &pinned, Result *result, QString *error);

    // The manifests to keep: per key the `keep` highest version codes, and every pinned one.
    static QSet<QString> keptNames(const QVector<Version> &versions, int keep, const QStringList &pinned);
    // Every object and patch path (relative to the folder) that the kept versions refer to.
    static QSet<QString> referencedPaths(const QVector<Version> &versions, const QSet<QString> &kept);
    // The manifests the update information in `infoPath` names in its entries; empty when it has none.
    static QStringList announcedManifests(const QString &infoPath, bool *readable);
};

#endif
