#include "recovery.h"

#include "fileops.h"
#include "versionrollback.h"

#include <QDebug>
#include <QDir>

void Recovery::removeStaleFolders(const QString &folder)
{
    // The kept generation's backup is the previous version, not a leftover.
    const QString kept = InstallJournal::keptBackupIn(folder);
    QStringList names = QDir(folder).entryList(
        {InstallJournal::stagingPrefix() + QLatin1Char('*'), InstallJournal::backupPrefix() + QLatin1Char('*')},
        QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    names.removeAll(kept);
    for (const QString &name : qAsConst(names)) {
        qWarning() << "[InstallJournal]" << "removing stale working folder:" << name;
        InstallJournal::removeWorkFolder(folder + QLatin1Char('/') + name);
    }
}

Recovery::Result Recovery::recover(const QString &dir, const InstallJournal::VersionStore &store,
                                   const InstallJournal::RefusalStore &refuse, QString *reason)
{
    QString ignored;
    QString &why = reason ? *reason : ignored;
    const QString folder = QDir::cleanPath(dir);
    // A journal cut off while being written never replaced the one before it.
    const QString unfinished = InstallJournal::pathIn(folder) + QStringLiteral(".new");
    if (FileOps::kindOf(unfinished) == FileOps::Kind::File) {
        qWarning() << "[InstallJournal]" << "removing unfinished journal copy:" << unfinished;
        FileOps::removeEntry(unfinished);
    }
    if (!InstallJournal::existsIn(folder)) {
        removeStaleFolders(folder);
        return Result::Nothing;
    }
    qWarning() << "[InstallJournal]" << "unfinished installation found:" << InstallJournal::pathIn(folder);
    InstallJournal journal;
    QString error;
    if (!journal.load(folder, &error)) {
        qCritical() << "[InstallJournal]" << "cannot read the journal:" << error << "- the folder is left as it is";
        why = QStringLiteral("cannot read the journal: %1").arg(error);
        return Result::Failed;
    }
    if (journal.kind == InstallJournal::Kind::Rollback) {
        // Undoing it would need the old files it has already moved out of the kept folder; the
        // goal is the old version anyway, so it is carried through.
        qWarning() << "[InstallJournal]" << "unfinished return to version" << journal.toVersion << "found, finishing it";
        if (!VersionRollback::finishCutOff(journal, store, refuse, &why))
            return Result::Failed;
        removeStaleFolders(folder);
        return Result::RolledBack;
    }
    return finishInstallation(journal, store, &why);
}

Recovery::Result Recovery::finishInstallation(InstallJournal &journal, const InstallJournal::VersionStore &store,
                                              QString *why)
{
    const QString &folder = journal.folder;
    QString error;
    int version = journal.toVersion;
    if (journal.state == InstallJournal::State::Done) {
        qWarning() << "[InstallJournal]" << "every file of version" << journal.toVersion << "is in place, finishing";
    } else {
        qWarning() << "[InstallJournal]" << "moves to version" << journal.toVersion << "were cut off, undoing"
                   << journal.entries.size() << "entries";
        QStringList errors;
        QSet<QString> touched;
        const bool undone = journal.undo(&errors, &touched);
        for (const QString &line : qAsConst(errors))
            qCritical().noquote() << "[InstallJournal]" << line;
        if (!undone || !journal.sync(touched, &error)) {
            if (undone)
                qCritical() << "[InstallJournal]" << "cannot sync the folder:" << error;
            qCritical() << "[InstallJournal]" << "undo incomplete, the journal stays for the next start";
            *why = undone ? QStringLiteral("cannot sync the folder: %1").arg(error) : errors.join(QStringLiteral("; "));
            return Result::Failed;
        }
        version = journal.fromVersion;
        qWarning() << "[InstallJournal]" << "undone, the folder holds version" << version << "again";
    }
    if (version < 0) {
        qWarning() << "[InstallJournal]" << "no version code recorded, the stored one is left as it is";
    } else if (!store(version)) {
        qCritical() << "[InstallJournal]" << "cannot store the version code" << version
                    << ", the journal stays for the next start";
        *why = QStringLiteral("cannot store the version code %1").arg(version);
        return Result::Failed;
    } else {
        qWarning() << "[InstallJournal]" << "stored version code:" << version;
    }
    if (journal.state == InstallJournal::State::Done
        && !InstallJournal::repeatsKept(folder, journal.fromVersion, journal.toVersion)) {
        // As at the end of an uninterrupted installation: the replaced files stay until the new
        // version is committed or rolled back.
        if (!journal.keep(&error)) {
            qCritical() << "[InstallJournal]" << "cannot keep the journal as" << InstallJournal::keptPathIn(folder) << ":"
                        << error;
            *why = QStringLiteral("cannot keep the journal as %1: %2").arg(InstallJournal::keptPathIn(folder), error);
            return Result::Failed;
        }
        journal.removeSourceFolder();
        removeStaleFolders(folder);
        qWarning() << "[InstallJournal]" << "journal kept as" << InstallJournal::keptPathIn(folder) << "with backup"
                   << journal.backup;
        return Result::Finished;
    }
    if (!journal.discard(&error)) {
        qCritical() << "[InstallJournal]" << "cannot remove the journal:" << error;
        *why = QStringLiteral("cannot remove the journal: %1").arg(error);
        return Result::Failed;
    }
    journal.removeWorkFolders();
    removeStaleFolders(folder);
    qWarning() << "[InstallJournal]" << "journal removed:" << InstallJournal::pathIn(folder);
    return journal.state == InstallJournal::State::Done ? Result::Finished : Result::Undone;
}
