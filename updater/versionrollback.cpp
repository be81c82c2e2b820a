#include "versionrollback.h"

#include "fileops.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

const char prefix[] = "[VersionRollback]";

QString parentOf(const QString &path)
{
    return QFileInfo(path).path();
}

bool isMissing(const QString &path)
{
    return FileOps::kindOf(path) == FileOps::Kind::Missing;
}

// The backup mirrors the folder's tree; a parent may be missing after a cut-off or for an added file.
bool makeParent(const QString &path, QString *error)
{
    const QString parent = parentOf(path);
    if (FileOps::kindOf(parent) == FileOps::Kind::Folder || QDir().mkpath(parent))
        return true;
    *error = QStringLiteral("cannot create folder %1").arg(parent);
    return false;
}

} // namespace

VersionRollback::VersionRollback(const QString &folder)
    : m_folder(QDir::cleanPath(folder))
{
}

void VersionRollback::setVersionStore(InstallJournal::VersionStore store)
{
    m_versionStore = std::move(store);
}

void VersionRollback::setRefusalStore(InstallJournal::RefusalStore store)
{
    m_refusalStore = std::move(store);
}

bool VersionRollback::prepare()
{
    m_prepared = false;
    if (InstallJournal::existsIn(m_folder)) {
        // An unfinished journal may be a return already under way: its source is the kept folder.
        m_error = QStringLiteral("an unfinished journal is in the folder: %1").arg(InstallJournal::pathIn(m_folder));
        return false;
    }
    if (!InstallJournal::keptExistsIn(m_folder)) {
        m_error = QStringLiteral("no previous version is kept in %1").arg(m_folder);
        return false;
    }
    InstallJournal kept;
    QString error;
    if (!kept.loadKept(m_folder, &error)) {
        m_error = QStringLiteral("cannot read the kept record %1: %2").arg(InstallJournal::keptPathIn(m_folder), error);
        return false;
    }
    if (kept.kind != InstallJournal::Kind::Installation || kept.state != InstallJournal::State::Done) {
        m_error = QStringLiteral("the kept record is not that of a finished installation");
        return false;
    }
    InstallJournal journal;
    journal.folder = m_folder;
    journal.kind = InstallJournal::Kind::Rollback;
    journal.source = kept.backup;
    journal.fromVersion = kept.toVersion;
    journal.toVersion = kept.fromVersion;
    journal.createdFolders = kept.createdFolders;
    int restored = 0;
    for (const InstallJournal::Entry &entry : kept.entries) {
        // A removal by a complete package brings its file back like a replaced one.
        const bool hadOld = entry.hadOld || entry.action == InstallJournal::Action::Remove;
        if (hadOld) {
            // Checked before anything moves: a return without one of the old files would leave a mix.
            const FileOps::Kind old = FileOps::kindOf(kept.full(kept.backup + QLatin1Char('/') + entry.path));
            if (old == FileOps::Kind::Missing || old == FileOps::Kind::Folder) {
                m_error = QStringLiteral("a kept file is missing: %1/%2").arg(kept.backup, entry.path);
                return false;
            }
            // The record of brought files alone is nothing to go back to.
            if (entry.path != InstallJournal::recordName())
                ++restored;
        }
        journal.entries.push_back({entry.path, hadOld ? InstallJournal::Action::Put : InstallJournal::Action::Remove, true});
    }
    if (restored == 0) {
        m_error = QStringLiteral("nothing to go back to: the last installation replaced no file");
        return false;
    }
    QStringList unsafe;
    if (!journal.checkPaths(&unsafe)) {
        m_error = unsafe.join(QStringLiteral("; "));
        return false;
    }
    QTemporaryDir backup(m_folder + QLatin1Char('/') + InstallJournal::backupPrefix() + QStringLiteral("XXXXXX"));
    if (!backup.isValid()) {
        m_error = QStringLiteral("cannot create a backup folder in %1: %2").arg(m_folder, backup.errorString());
        return false;
    }
    backup.setAutoRemove(false);
    journal.backup = QFileInfo(backup.path()).fileName();
    m_journal = journal;
    m_prepared = true;
    qWarning() << prefix << "return from version" << journal.fromVersion << "to" << journal.toVersion << "planned:"
               << restored << "files back," << int(journal.entries.size()) - restored << "added files out, backup"
               << journal.backup;
    return true;
}

VersionRollback::Result VersionRollback::run()
{
    if (!m_prepared && !prepare()) {
        qWarning().noquote() << prefix << "rollback refused:" << m_error;
        return Result::NothingKept;
    }
    m_prepared = false;
    QString error;
    // The kept files were written long ago; this only makes sure nothing pending precedes the journal.
    if (!FileOps::syncFileSystem(m_folder, &error) || !m_journal.save(&error)) {
        m_error = QStringLiteral("cannot write the journal %1: %2").arg(InstallJournal::pathIn(m_folder), error);
        qCritical().noquote() << prefix << m_error;
        FileOps::removeEntry(InstallJournal::pathIn(m_folder));
        InstallJournal::removeWorkFolder(m_journal.full(m_journal.backup));
        return Result::Failed;
    }
    qWarning() << prefix << "journal written:" << InstallJournal::pathIn(m_folder) << "version" << m_journal.fromVersion
               << "to" << m_journal.toVersion;
    QStringList errors;
    QSet<QString> touched;
    bool moved = rollForward(m_journal, &errors, &touched);
    if (!moved) {
        for (const QString &line : qAsConst(errors))
            qWarning().noquote() << prefix << line;
        qWarning() << prefix << "trying the remaining moves again";
        errors.clear();
        moved = rollForward(m_journal, &errors, &touched);
    }
    if (!moved || !m_journal.sync(touched, &error)) {
        for (const QString &line : qAsConst(errors))
            qCritical().noquote() << prefix << line;
        m_error = moved ? QStringLiteral("cannot sync the folder: %1").arg(error) : errors.join(QStringLiteral("; "));
        qCritical() << prefix << "rollback incomplete, the journal stays for the next start";
        return Result::Failed;
    }
    m_journal.state = InstallJournal::State::Done;
    if (!m_journal.save(&error)) {
        m_error = QStringLiteral("cannot write the journal: %1").arg(error);
        qCritical().noquote() << prefix << m_error << "- the next start finishes the return";
        return Result::Failed;
    }
    qWarning() << prefix << "moved back and synced:" << int(m_journal.entries.size()) << "files, journal marked done";
    QString reason;
    if (!finish(m_journal, m_versionStore, m_refusalStore, &reason)) {
        m_error = QStringLiteral("the return could not be finished: %1").arg(reason);
        return Result::Failed;
    }
    return Result::RolledBack;
}

bool VersionRollback::rollForward(const InstallJournal &journal, QStringList *errors, QSet<QString> *touched)
{
    if (!journal.checkPaths(errors))
        return false;
    bool ok = true;
    QString error;
    const auto failed = [&](const QString &what, const QString &path) {
        ok = false;
        *errors << QStringLiteral("cannot %1 %2: %3").arg(what, path, error);
    };
    for (const InstallJournal::Entry &entry : journal.entries) {
        const QString target = journal.full(entry.path);
        const QString kept = journal.full(journal.backup + QLatin1Char('/') + entry.path);
        if (entry.action == InstallJournal::Action::Put) {
            const QString old = journal.full(journal.source + QLatin1Char('/') + entry.path);
            // Gone from the source: moved before the cut-off.
            if (isMissing(old))
                continue;
            // Whatever made a folder there, its content is not ours to move aside.
            if (FileOps::kindOf(target) == FileOps::Kind::Folder) {
                error = QStringLiteral("a folder is in the way");
                failed(QStringLiteral("put back"), target);
                continue;
            }
            // A second name for the file that is left, unless an earlier try made it already.
            if (!isMissing(target) && isMissing(kept)) {
                if (!makeParent(kept, &error) || !FileOps::keepAs(target, kept, &error)) {
                    failed(QStringLiteral("keep"), target);
                    continue;
                }
                touched->insert(parentOf(kept));
            }
            // A file that a complete package removed may have lost its folder since.
            if (!makeParent(target, &error) || !FileOps::replace(old, target, &error))
                failed(QStringLiteral("put back"), target);
            touched->insert(parentOf(old));
        } else {
            if (isMissing(target))
                continue;
            if (!makeParent(kept, &error) || !FileOps::replace(target, kept, &error))
                failed(QStringLiteral("remove"), target);
            touched->insert(parentOf(kept));
        }
        touched->insert(parentOf(target));
    }
    removeCreatedFolders(journal, touched);
    return ok;
}

void VersionRollback::removeCreatedFolders(const InstallJournal &journal, QSet<QString> *touched)
{
    // Deepest first; a folder that holds something else now stays, as would any file of the user.
    for (int i = journal.createdFolders.size() - 1; i >= 0; --i) {
        const QString path = journal.full(journal.createdFolders.at(i));
        if (FileOps::kindOf(path) != FileOps::Kind::Folder)
            continue;
        if (QDir().rmdir(path))
            touched->insert(parentOf(path));
        else
            qWarning() << prefix << "folder not removed, it is not empty:" << path;
    }
}

bool VersionRollback::finishCutOff(InstallJournal &journal, const InstallJournal::VersionStore &store,
                                   const InstallJournal::RefusalStore &refuse, QString *reason)
{
    QString ignored;
    QString &why = reason ? *reason : ignored;
    QString error;
    if (journal.state == InstallJournal::State::Moving) {
        qWarning() << prefix << "carrying the moves of the return to version" << journal.toVersion << "through:"
                   << int(journal.entries.size()) << "entries";
        QStringList errors;
        QSet<QString> touched;
        const bool moved = rollForward(journal, &errors, &touched);
        for (const QString &line : qAsConst(errors))
            qCritical().noquote() << prefix << line;
        if (!moved || !journal.sync(touched, &error)) {
            if (moved)
                qCritical() << prefix << "cannot sync the folder:" << error;
            qCritical() << prefix << "rollback incomplete, the journal stays for the next start";
            why = moved ? QStringLiteral("cannot sync the folder: %1").arg(error) : errors.join(QStringLiteral("; "));
            return false;
        }
        journal.state = InstallJournal::State::Done;
        if (!journal.save(&error)) {
            qCritical() << prefix << "cannot mark the journal done:" << error << "- it stays for the next start";
            why = QStringLiteral("cannot mark the journal done: %1").arg(error);
            return false;
        }
        qWarning() << prefix << "moves carried through and synced, journal marked done";
    } else {
        qWarning() << prefix << "every file of version" << journal.toVersion << "is back, finishing";
    }
    return finish(journal, store, refuse, &why);
}

// The order matters after a cut-off: the stores first (a done journal still names both codes),
// then the kept record (its backup is the journal's source), then the journal, the marker.
bool VersionRollback::finish(InstallJournal &journal, const InstallJournal::VersionStore &store,
                             const InstallJournal::RefusalStore &refuse, QString *reason)
{
    if (journal.toVersion < 0) {
        qWarning() << prefix << "no version code recorded, the stored one is left as it is";
    } else if (!store || !store(journal.toVersion)) {
        qCritical() << prefix << "cannot store the version code" << journal.toVersion << ", the journal stays for the next start";
        *reason = QStringLiteral("cannot store the version code %1").arg(journal.toVersion);
        return false;
    } else {
        qWarning() << prefix << "stored version code:" << journal.toVersion;
    }
    if (journal.fromVersion < 0) {
        qWarning() << prefix << "no version code to refuse recorded";
    } else if (!refuse || !refuse(journal.fromVersion)) {
        qCritical() << prefix << "cannot store the refused version code" << journal.fromVersion
                    << ", the journal stays for the next start";
        *reason = QStringLiteral("cannot store the refused version code %1").arg(journal.fromVersion);
        return false;
    } else {
        qWarning() << prefix << "version" << journal.fromVersion << "refused from now on";
    }
    QString error;
    const QString keptPath = InstallJournal::keptPathIn(journal.folder);
    if (!isMissing(keptPath)
        && (!FileOps::removeEntry(keptPath, &error) || !FileOps::syncFolder(journal.folder, &error))) {
        qCritical() << prefix << "cannot remove the kept record:" << error << "- the journal stays for the next start";
        *reason = QStringLiteral("cannot remove the kept record: %1").arg(error);
        return false;
    }
    if (!journal.discard(&error)) {
        qCritical() << prefix << "cannot remove the journal:" << error;
        *reason = QStringLiteral("cannot remove the journal: %1").arg(error);
        return false;
    }
    journal.removeWorkFolders();
    // Gone already unless a cut-off came between the moves and their folders.
    QSet<QString> touched;
    removeCreatedFolders(journal, &touched);
    qWarning() << prefix << "back on version" << journal.toVersion << ", kept record and journal removed";
    return true;
}
