#include "stagedinstall.h"

#include "fileops.h"
#include "logtext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {
// A staged file that equals the one in place (bytes and mode) is not moved: the kept generation
// then holds only what changed, and a probation does not double the folder.
bool sameAsInPlace(const QString &staged, const QString &target)
{
    FileOps::Stamp a;
    FileOps::Stamp b;
    if (!FileOps::stampOf(staged, &a) || !FileOps::stampOf(target, &b) || a.size != b.size || a.mode != b.mode)
        return false;
    QFile left;
    QFile right;
    if (!FileOps::openFileNoFollow(left, staged) || !FileOps::openFileNoFollow(right, target))
        return false;
    const qint64 chunk = 64 * 1024;
    while (!left.atEnd()) {
        const QByteArray x = left.read(chunk);
        if (x.isEmpty() || x != right.read(chunk))
            return false;
    }
    return right.atEnd();
}
}

StagedInstall::StagedInstall(const QString &destination)
    : m_dest(QDir::cleanPath(destination))
{
}

StagedInstall::~StagedInstall() = default;

template <typename... Items>
bool StagedInstall::fail(const Items &...items)
{
    m_failed = true;
    m_errorLines << logText(items...);
    return false;
}

void StagedInstall::log(const QString &line) const
{
    if (m_logger)
        m_logger(line);
}

bool StagedInstall::prepare()
{
    // Left by a cut-off run whose recovery failed: the folder may be mixed, so nothing is added.
    if (InstallJournal::existsIn(m_dest))
        return fail("unfinished installation in:", m_dest);
    // Staging and backup folders of an earlier run that was cut off (power loss) are ours and
    // stale; the backup of the kept generation is not.
    QStringList names = QDir(m_dest).entryList(
        {InstallJournal::stagingPrefix() + QLatin1Char('*'), InstallJournal::backupPrefix() + QLatin1Char('*')},
        QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    names.removeAll(InstallJournal::keptBackupIn(m_dest));
    for (const QString &name : qAsConst(names))
        QDir(m_dest + QLatin1Char('/') + name).removeRecursively();
    return true;
}

// The files kept from before the last installation are gone once this one moves anything, and a
// later return could not tell them from this one's. The record goes first, so that no start
// finds it naming a backup that is half removed.
bool StagedInstall::dropKeptGeneration()
{
    if (InstallJournal::repeatsKept(m_dest, m_journal.fromVersion, m_journal.toVersion)) {
        // The same version again changes no file that the kept record does not already describe;
        // its own replaced files are only copies of the version on probation.
        m_keepReplaced = false;
        log(logText("version", m_journal.toVersion, "is installed again, the kept generation stays:",
                    InstallJournal::keptPathIn(m_dest)));
    } else if (InstallJournal::keptExistsIn(m_dest)) {
        const QString keptBackup = InstallJournal::keptBackupIn(m_dest);
        QString error;
        if (!InstallJournal::dropKept(m_dest, &error))
            return fail("cannot drop the kept generation:", InstallJournal::keptPathIn(m_dest), error);
        log(logText("kept generation dropped:", InstallJournal::keptPathIn(m_dest), "and", keptBackup));
    }
    return true;
}

bool StagedInstall::createStaging()
{
    m_staging.reset(new QTemporaryDir(m_dest + QLatin1Char('/') + InstallJournal::stagingPrefix() + QStringLiteral("XXXXXX")));
    m_staging->setAutoRemove(false);
    if (!m_staging->isValid())
        return fail("error write file:", m_staging->path(), m_staging->errorString());
    return true;
}

QString StagedInstall::stagingPath() const
{
    return m_staging ? m_staging->path() : QString();
}

void StagedInstall::addFolder(const QString &relativePath)
{
    m_items.push_back({relativePath, true});
}

void StagedInstall::addFile(const QString &relativePath)
{
    m_items.push_back({relativePath, false});
    ++m_stagedFiles;
}

void StagedInstall::addUnchanged(const QString &relativePath)
{
    m_items.push_back({relativePath, false, true});
}

int StagedInstall::stagedFiles() const
{
    return m_stagedFiles;
}

QStringList StagedInstall::files() const
{
    QStringList paths;
    for (const Item &item : m_items) {
        if (!item.isDir)
            paths << item.path;
    }
    return paths;
}

bool StagedInstall::moveIntoPlace()
{
    m_canonicalDest = QFileInfo(m_dest).canonicalFilePath();
    if (m_canonicalDest.isEmpty())
        return fail("error destination:", m_dest);
    return planMoves() && move();
}

// Notes the folders of relativeDir below the destination that the moves must create, parents
// first; nothing is created yet.
bool StagedInstall::planFolder(const QString &relativeDir)
{
    if (relativeDir == QLatin1String(".") || m_destDirs.contains(relativeDir))
        return true;
    if (!planFolder(QFileInfo(relativeDir).path()))
        return false;
    const QString full = m_dest + QLatin1Char('/') + relativeDir;
    if (FileOps::kindOf(full) == FileOps::Kind::Missing) {
        m_journal.createdFolders << relativeDir;
    } else if (!QFileInfo(full).isDir()) {
        // A link to a folder inside the destination was accepted when the targets were checked.
        return fail("error create folder:", full, "a file is in the way");
    }
    m_destDirs.insert(relativeDir);
    return true;
}

// Decides every move before the first one happens, so that the journal lists them all and a
// file that cannot land is found while the folder is still untouched.
bool StagedInstall::planMoves()
{
    m_backup.reset(new QTemporaryDir(m_dest + QLatin1Char('/') + InstallJournal::backupPrefix() + QStringLiteral("XXXXXX")));
    m_backup->setAutoRemove(false);
    if (!m_backup->isValid())
        return fail("error write file:", m_backup->path(), m_backup->errorString());
    m_journal.folder = m_dest;
    m_journal.source = QFileInfo(m_staging->path()).fileName();
    m_journal.backup = QFileInfo(m_backup->path()).fileName();
    QDir backupDir(m_backup->path());
    QSet<QString> backupDirs;
    for (const Item &item : m_items) {
        const QString relativeDir = item.isDir ? item.path : QFileInfo(item.path).path();
        if (!planFolder(relativeDir))
            return false;
        if (item.isDir)
            continue;
        const QString target = m_dest + QLatin1Char('/') + item.path;
        const FileOps::Kind existing = FileOps::kindOf(target);
        if (item.inPlace) {
            if (existing != FileOps::Kind::File)
                return fail("error write file:", target, "the unchanged file is gone");
            continue;
        }
        if (existing == FileOps::Kind::Folder)
            return fail("error write file:", target, "a folder is in the way");
        if (existing == FileOps::Kind::File
            && sameAsInPlace(m_staging->path() + QLatin1Char('/') + item.path, target)) {
            ++m_unchangedFiles;
            continue;
        }
        InstallJournal::Entry move;
        move.path = item.path;
        move.hadOld = existing != FileOps::Kind::Missing;
        if (move.hadOld && relativeDir != QLatin1String(".") && !backupDirs.contains(relativeDir)) {
            if (!backupDir.mkpath(relativeDir))
                return fail("error create folder:", backupDir.filePath(relativeDir));
            backupDirs.insert(relativeDir);
        }
        m_journal.entries.push_back(move);
    }
    if (m_unchangedFiles > 0)
        log(logText(m_unchangedFiles, "files unchanged, left in place"));
    return !m_complete || (planRemovals(&backupDirs) && planRecord());
}

// The files the previous complete installation brought that this one lacks go into the backup
// like replaced files, so an undo or a rollback puts them back. Files no installation brought stay.
bool StagedInstall::planRemovals(QSet<QString> *backupDirs)
{
    bool found = false;
    const QStringList recorded = InstallJournal::recordedFiles(m_dest, &found);
    if (!found) {
        log(logText("no record of the files the installed version brought, none is removed"));
        return true;
    }
    const QStringList fileList = files();
    const QSet<QString> incoming(fileList.cbegin(), fileList.cend());
    int removals = 0;
    for (const QString &path : recorded) {
        // Gone already, or a folder or link now that no package brought.
        if (incoming.contains(path) || FileOps::kindOf(m_dest + QLatin1Char('/') + path) != FileOps::Kind::File)
            continue;
        const QString relativeDir = QFileInfo(path).path();
        if (!InstallJournal::staysInside(m_dest, m_canonicalDest, relativeDir)) {
            m_warnings << logText("not removed, it lies beyond a link that leads outside the folder:", path);
            continue;
        }
        if (relativeDir != QLatin1String(".") && !backupDirs->contains(relativeDir)) {
            if (!QDir(m_backup->path()).mkpath(relativeDir))
                return fail("error create folder:", m_backup->path() + QLatin1Char('/') + relativeDir);
            backupDirs->insert(relativeDir);
        }
        m_journal.entries.push_back({path, InstallJournal::Action::Remove, true});
        ++removals;
    }
    log(logText(removals, "files that the installed version brought and this one lacks are removed"));
    return true;
}

// The record of what this installation brought is staged and moved like one of its files.
bool StagedInstall::planRecord()
{
    QStringList brought = files();
    brought.sort();
    const QString name = InstallJournal::recordName();
    const QString staged = m_staging->path() + QLatin1Char('/') + name;
    QFile out(staged);
    const QByteArray text = InstallJournal::recordText(brought, m_journal.toVersion);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.flush())
        return fail("error write file:", staged, out.errorString());
    const FileOps::Kind existing = FileOps::kindOf(m_dest + QLatin1Char('/') + name);
    if (existing == FileOps::Kind::Folder)
        return fail("error write file:", m_dest + QLatin1Char('/') + name, "a folder is in the way");
    m_journal.entries.push_back({name, InstallJournal::Action::Put, existing != FileOps::Kind::Missing});
    return true;
}

// The order that makes a cut-off at any point recoverable: staged files on disk, then the
// journal that names them, then the moves, the moves on disk, and the journal marked done; only
// then is the new version code stored and the journal removed.
bool StagedInstall::move()
{
    QString error;
    if (!FileOps::syncFileSystem(m_dest, &error))
        return fail("error sync:", m_dest, error);
    const QString journalPath = InstallJournal::pathIn(m_dest);
    if (!m_journal.save(&error))
        return fail("error write journal:", journalPath, error);
    log(logText("journal written:", journalPath, "files", int(m_journal.entries.size()), "new folders",
                m_journal.createdFolders.size(), "version", m_journal.fromVersion, "to", m_journal.toVersion));
    QSet<QString> touched;
    if (!m_journal.apply(&error, &touched)) {
        fail("error write file:", error);
        undoMoves();
        return false;
    }
    if (!m_journal.sync(touched, &error)) {
        fail("error sync:", m_dest, error);
        undoMoves();
        return false;
    }
    m_journal.state = InstallJournal::State::Done;
    if (!m_journal.save(&error)) {
        fail("error write journal:", journalPath, error);
        // The record may have landed before the failure; it must not claim the new version.
        m_journal.state = InstallJournal::State::Moving;
        m_journal.save(&error);
        undoMoves();
        return false;
    }
    log(logText("moved into place and synced:", int(m_journal.entries.size()), "files, journal marked done"));
    // The new files stay from here on; what is left to do a start after a crash does as well.
    if (m_versionStore && m_journal.toVersion >= 0 && !m_versionStore(m_journal.toVersion)) {
        m_warnings << logText("cannot store version code", m_journal.toVersion, ", the journal stays for the next start");
        // The start that finishes the journal keeps it, and with it this backup.
        m_keepBackup = true;
        return true;
    }
    if (m_keepReplaced) {
        if (!m_journal.keep(&error))
            m_warnings << logText("cannot keep the journal:", journalPath, error, ", it stays for the next start");
        else
            log(logText("journal kept as", InstallJournal::keptPathIn(m_dest), "with the replaced files in",
                        m_journal.backup));
        m_keepBackup = true;
        return true;
    }
    if (!m_journal.discard(&error)) {
        m_warnings << logText("cannot remove the journal:", journalPath, error);
        return true;
    }
    log(logText("journal removed:", journalPath));
    return true;
}

void StagedInstall::undoMoves()
{
    QStringList errors;
    QSet<QString> touched;
    QString error;
    if (!m_journal.undo(&errors, &touched))
        error = errors.join(QStringLiteral("; "));
    else if (m_journal.sync(touched, &error) && m_journal.discard(&error))
        error.clear();
    if (error.isEmpty()) {
        m_rollBack = RolledBack;
        log(logText("moves undone, journal removed"));
        return;
    }
    // The journal and the old files in the backup stay, so that the next start can try again.
    m_errorLines << logText("undo incomplete:", error);
    m_keepWorkFolders = true;
    m_rollBack = RollBackIncomplete;
}

void StagedInstall::removeWorkFolders()
{
    if (m_keepWorkFolders)
        return;
    if (m_staging)
        m_staging->remove();
    if (m_backup && !m_keepBackup)
        m_backup->remove();
}

void StagedInstall::setVersionCodes(int installed, int incoming)
{
    m_journal.fromVersion = installed;
    m_journal.toVersion = incoming;
}

void StagedInstall::setVersionStore(InstallJournal::VersionStore store)
{
    m_versionStore = std::move(store);
}

void StagedInstall::setLogger(Logger logger)
{
    m_logger = std::move(logger);
}

void StagedInstall::setKeepReplaced(bool keep)
{
    m_keepReplaced = keep;
}

void StagedInstall::setComplete(bool complete)
{
    m_complete = complete;
}

QString StagedInstall::destination() const
{
    return m_dest;
}

bool StagedInstall::failed() const
{
    return m_failed;
}

QStringList StagedInstall::errorLines() const
{
    return m_errorLines;
}

QStringList StagedInstall::warnings() const
{
    return m_warnings;
}

StagedInstall::RollBack StagedInstall::rollBack() const
{
    return m_rollBack;
}
