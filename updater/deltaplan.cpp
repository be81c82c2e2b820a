#include "deltaplan.h"

#include <QSet>

DeltaPlan DeltaPlan::make(const QVector<DeltaManifest::File> &files, const QHash<QString, Installed> &installed,
                          const QHash<QString, qint64> &present, qint64 patchCap)
{
    // Any installed file may serve as a reference, not only the one at the same path: a renamed
    // file is patched from its old place. The file at the same path wins when both have the content.
    QHash<QByteArray, QString> byContent;
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        const QString known = byContent.value(it.value().sha256);
        if (known.isEmpty() || it.key() < known)
            byContent.insert(it.value().sha256, it.key());
    }
    const auto isPresent = [&present](const QString &name, qint64 size) {
        const auto it = present.constFind(name);
        return it != present.cend() && it.value() == size;
    };

    DeltaPlan plan;
    QSet<QString> counted;
    for (const DeltaManifest::File &file : files) {
        Step step;
        step.path = file.path;
        step.sha256 = file.sha256;
        const auto here = installed.constFind(file.path);
        if (here != installed.cend() && here.value().sha256 == file.sha256 && here.value().size == file.size) {
            plan.steps.append(step);
            continue;
        }
        step.action = Action::Object;
        step.fetch = DeltaManifest::objectPath(file.sha256);
        step.fetchSize = file.objectSize;
        qint64 cost = isPresent(step.fetch, step.fetchSize) ? 0 : file.objectSize;
        for (const DeltaManifest::Patch &patch : file.patches) {
            QString reference;
            if (here != installed.cend() && here.value().sha256 == patch.from)
                reference = file.path;
            else
                reference = byContent.value(patch.from);
            if (reference.isEmpty())
                continue;
            const qint64 need = installed.value(reference).size + file.size;
            if (need > patchCap)
                continue;
            const QString name = DeltaManifest::patchPath(patch.from, file.sha256);
            const qint64 patchCost = isPresent(name, patch.size) ? 0 : patch.size;
            // A patch is taken only when it moves fewer bytes; at a tie the object needs no reference.
            if (patchCost < cost) {
                cost = patchCost;
                step.action = Action::Patch;
                step.fetch = name;
                step.fetchSize = patch.size;
                step.reference = reference;
            }
        }
        // Files with the same content share one download.
        if (!counted.contains(step.fetch)) {
            counted.insert(step.fetch);
            step.move = cost;
            plan.bytesToMove += cost;
        }
        plan.steps.append(step);
    }
    return plan;
}
