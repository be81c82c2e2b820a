#ifndef DELTAPLAN_H
#define DELTAPLAN_H

#include "deltamanifest.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

// Decides, for every file of a version's manifest, what the device has to fetch: nothing when the
// installed file already has the content, a patch when an installed file is the patch's reference
// and the patch is worth it and fits in memory, else the file's whole object. Pure: the caller
// supplies what is installed and what the work folder already holds.
class DeltaPlan
{
public:
    struct Installed
    {
        qint64 size = 0;
        QByteArray sha256;
    };
    enum class Action { Keep, Patch, Object };
    struct Step
    {
        QString path;
        Action action = Action::Keep;
        QString fetch;          // relative name of the object or patch on the server; empty for Keep
        qint64 fetchSize = 0;   // its announced size
        qint64 move = 0;        // bytes still to download for it: 0 when present or shared
        QString reference;      // Patch: the installed file that is the reference
        QByteArray sha256;      // the content the step must give
    };

    // The patch memory cap when none is configured.
    static constexpr qint64 defaultPatchCap = qint64(256) * 1024 * 1024;

    // present: relative names of complete objects and patches in the work folder with their sizes;
    // one counts only at its announced size. patchCap: bytes a patch may need in memory, which is
    // its reference plus the result (the decoder's window spans both).
    static DeltaPlan make(const QVector<DeltaManifest::File> &files, const QHash<QString, Installed> &installed,
                          const QHash<QString, qint64> &present, qint64 patchCap);

    QVector<Step> steps;
    qint64 bytesToMove = 0;
};

#endif
