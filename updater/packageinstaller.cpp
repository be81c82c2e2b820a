#include "packageinstaller.h"

#include "fileops.h"
#include "installjournal.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStorageInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <zip.h>

#include <vector>

namespace {

const qint64 chunkSize = 64 * 1024;

// The file-type bits of a Unix mode as zip archives store them in the external attributes.
const unsigned unixTypeMask = 0170000;
const unsigned unixLink = 0120000;
const unsigned unixFolder = 0040000;
const unsigned dosReadOnly = 0x01;

// Archives from these systems keep the MS-DOS attribute byte in the low bits.
bool hasDosAttributes(zip_uint8_t opsys)
{
    return opsys == ZIP_OPSYS_DOS || opsys == ZIP_OPSYS_OS_2 || opsys == ZIP_OPSYS_WINDOWS_NTFS
        || opsys == ZIP_OPSYS_VFAT;
}

// Never fill a volume to the last byte: the log, the settings and the next download need room.
const qint64 minimumReserve = 32LL * 1024 * 1024;
const qint64 reservePercent = 2;

PackageInstaller::Space volumeSpace(const QString &folder)
{
    const QStorageInfo volume(folder);
    PackageInstaller::Space space;
    if (volume.isValid() && volume.isReady()) {
        space.available = volume.bytesAvailable();
        space.total = volume.bytesTotal();
    }
    return space;
}

struct ZipCloser
{
    void operator()(zip_t *z) const { zip_discard(z); }
};

struct ZipFileCloser
{
    void operator()(zip_file_t *f) const { zip_fclose(f); }
};

struct Entry
{
    zip_uint64_t index = 0;
    QString path;       // relative, '/' separated, no "." or ".." segments
    bool isDir = false;
    bool isLink = false;
    bool superseded = false;    // a later entry of the same path wins, as it would when unpacking in order
    bool sizeKnown = false;
    zip_uint64_t size = 0;
    unsigned mode = 0644;
};

// The items as one log line would show them, so that the owner's log reads as if it had
// written them itself.
template <typename... Items>
QString logText(const Items &...items)
{
    QString text;
    {
        QDebug stream(&text);
        (stream << ... << items);
    }
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

// Returns the clean relative path of an archive entry, "." when it names the destination itself
// (bsdtar stores the folder it packed as "./"), or an empty string when the entry would land
// outside the destination (absolute path, drive letter, ".." segment) or names nothing.
QString safeRelativePath(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return QString();
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':'))
        return QString();
    QStringList parts;
    bool dotted = false;
    // Backslashes count as separators here only to refuse Windows-style ".." tricks. Split by hand:
    // a regular expression per entry costs a compilation each and pulls in the matcher's pages.
    int begin = 0;
    for (int i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name.at(i) != QLatin1Char('/') && name.at(i) != QLatin1Char('\\'))
            continue;
        const QStringRef segment = name.midRef(begin, i - begin);
        begin = i + 1;
        if (segment == QLatin1String(".."))
            return QString();
        if (segment == QLatin1String(".")) {
            dotted = true;
            continue;
        }
        if (segment.isEmpty())
            continue;
        parts << segment.toString();
    }
    if (parts.isEmpty())
        return dotted ? QStringLiteral(".") : QString();
    // Our own journal and working folders inside the destination must never come from a package.
    if (InstallJournal::isReservedName(parts.first()))
        return QString();
    return parts.join(QLatin1Char('/'));
}

bool isInside(const QString &canonicalPath, const QString &canonicalRoot)
{
    return canonicalPath == canonicalRoot
        || canonicalPath.startsWith(canonicalRoot.endsWith(QLatin1Char('/'))
                                        ? canonicalRoot
                                        : canonicalRoot + QLatin1Char('/'));
}

} // namespace

class PackageInstallerPrivate
{
public:
    PackageInstallerPrivate(const QString &package, const QString &dest)
        : m_package(package), m_dest(QDir::cleanPath(dest))
    {
        m_buffer.resize(chunkSize);
    }

    bool run();

    template <typename... Items>
    bool fail(PackageInstaller::Error kind, const Items &...items)
    {
        if (m_error == PackageInstaller::NoError)
            m_error = kind;
        m_errorLines << logText(items...);
        return false;
    }

    bool openArchive();
    bool readEntries();
    bool checkTargets();
    bool checkSpace();
    bool writeStaging();
    bool writeEntry(const Entry &entry, const QString &target);
    bool planMoves();
    bool planFolder(const QString &relativeDir);
    bool planRemovals(QSet<QString> *backupDirs);
    bool planRecord();
    bool moveIntoPlace();
    void undoMoves();
    void removeStaleFolders();
    void log(const QString &line) const
    {
        if (m_logger)
            m_logger(line);
    }

    QString m_package;
    int m_packageDescriptor = -1;
    QString m_dest;
    QString m_canonicalDest;
    PackageInstaller::Error m_error = PackageInstaller::NoError;
    QStringList m_errorLines;
    PackageInstaller::RollBack m_rollBack = PackageInstaller::NothingToRollBack;
    QStringList m_warnings;
    PackageInstaller::ModeSetter m_setMode = FileOps::setMode;
    PackageInstaller::SpaceProbe m_spaceProbe = volumeSpace;
    PackageInstaller::Logger m_logger;
    InstallJournal::VersionStore m_versionStore;
    std::unique_ptr<zip_t, ZipCloser> m_zip;
    std::vector<Entry> m_entries;
    // Removed by run() itself: after a failed undo the old files in the backup must stay.
    std::unique_ptr<QTemporaryDir> m_staging;
    std::unique_ptr<QTemporaryDir> m_backup;
    bool m_keepWorkFolders = false;
    // The backup folder outlives run(): kept for a return, or named by a journal left for the next start.
    bool m_keepBackup = false;
    bool m_keepReplaced = false;
    bool m_complete = false;
    InstallJournal m_journal;
    bool m_journalWritten = false;
    QSet<QString> m_stagingDirs;
    QSet<QString> m_destDirs;           // relative folders that exist or will be created
    int m_stagedFiles = 0;
    QByteArray m_buffer;
};

bool PackageInstallerPrivate::openArchive()
{
    int error = 0;
    zip_t *archive = nullptr;
    if (m_packageDescriptor >= 0) {
        QString reason;
        const int fd = FileOps::duplicate(m_packageDescriptor, &reason);
        if (fd < 0)
            return fail(PackageInstaller::OpenError, "error open package:", m_package, reason);
        // libzip reads from the start of the file whatever the shared offset is, and owns the
        // descriptor only once it has opened the archive.
        archive = zip_fdopen(fd, ZIP_RDONLY, &error);
        if (!archive)
            FileOps::closeDescriptor(fd);
    } else {
        archive = zip_open(QFile::encodeName(m_package).constData(), ZIP_RDONLY, &error);
    }
    if (!archive) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, error);
        fail(PackageInstaller::OpenError, "error open package:", m_package, zip_error_strerror(&ze));
        zip_error_fini(&ze);
        return false;
    }
    m_zip.reset(archive);
    return true;
}

bool PackageInstallerPrivate::readEntries()
{
    const zip_int64_t count = zip_get_num_entries(m_zip.get(), 0);
    if (count < 0)
        return fail(PackageInstaller::ReadError, "error read package:", m_package);
    bool ok = true;
    QHash<QString, size_t> seen;
    m_entries.reserve(size_t(count));
    for (zip_uint64_t i = 0; i < zip_uint64_t(count); ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(m_zip.get(), i, ZIP_FL_ENC_GUESS, &st) != 0 || !(st.valid & ZIP_STAT_NAME))
            return fail(PackageInstaller::ReadError, "error read package entry:", i, zip_strerror(m_zip.get()));
        const QString name = QString::fromUtf8(st.name);
        Entry entry;
        entry.index = i;
        entry.path = safeRelativePath(name);
        if (entry.path.isEmpty()) {
            ok = fail(PackageInstaller::UnsafePathError, "unsafe entry path:", name);
            continue;
        }
        entry.sizeKnown = st.valid & ZIP_STAT_SIZE;
        entry.size = st.size;
        entry.isDir = name.endsWith(QLatin1Char('/'));
        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        const bool stored = zip_file_get_external_attributes(m_zip.get(), i, 0, &opsys, &attributes) == 0;
        if (stored && opsys == ZIP_OPSYS_UNIX) {
            const unsigned mode = attributes >> 16;
            if ((mode & unixTypeMask) == unixLink)
                entry.isLink = true;
            else if ((mode & unixTypeMask) == unixFolder)
                entry.isDir = true;
            // A package's modes are trusted only this far: no set-id bits, and nobody but the
            // owner may change an installed file.
            if (mode & 0777)
                entry.mode = mode & 0755;
        } else if (stored && hasDosAttributes(opsys) && (attributes & dosReadOnly)) {
            // Folders ignore this: a read-only folder would block the next installation.
            entry.mode = 0444;
        }
        if (entry.path == QLatin1String(".")) {
            // The destination folder itself exists already; as a file it could not be written.
            if (!entry.isDir || entry.isLink)
                ok = fail(PackageInstaller::UnsafePathError, "unsafe entry path:", name);
            continue;
        }
        if (entry.isLink)
            m_warnings << logText("symbolic link entry not installed:", entry.path);
        const auto earlier = seen.constFind(entry.path);
        if (earlier != seen.constEnd())
            m_entries[earlier.value()].superseded = true;
        seen.insert(entry.path, m_entries.size());
        m_entries.push_back(entry);
    }
    return ok;
}

// A folder of the destination may be a link; a package must not write through one that leads
// out of the destination.
bool PackageInstallerPrivate::checkTargets()
{
    m_canonicalDest = QFileInfo(m_dest).canonicalFilePath();
    if (m_canonicalDest.isEmpty())
        return fail(PackageInstaller::DestinationError, "error destination:", m_dest);
    QSet<QString> checked;
    bool ok = true;
    for (const Entry &entry : m_entries) {
        if (entry.isLink || entry.superseded)
            continue;
        QString dir = entry.isDir ? entry.path : QFileInfo(entry.path).path();
        if (dir == QLatin1String("."))
            continue;
        if (checked.contains(dir))
            continue;
        checked.insert(dir);
        QString probe = m_dest + QLatin1Char('/') + dir;
        while (!QFileInfo::exists(probe) && probe != m_dest)
            probe = QFileInfo(probe).path();
        const QString canonical = QFileInfo(probe).canonicalFilePath();
        if (canonical.isEmpty() || !isInside(canonical, m_canonicalDest))
            ok = fail(PackageInstaller::OutsideDestinationError, "entry leads outside the destination:", entry.path);
    }
    return ok;
}

// Every file is written in full next to the one it replaces, so the volume must hold the whole
// unpacked size at once, plus a reserve.
bool PackageInstallerPrivate::checkSpace()
{
    // Sizes are the archive's claims (a bigger claim than data fails later); capped, so that a
    // hostile one cannot overflow the sum.
    const qint64 cap = qint64(1) << 60;
    qint64 needed = 0;
    for (const Entry &entry : m_entries) {
        if (!entry.isLink && !entry.isDir && !entry.superseded && entry.sizeKnown)
            needed = qMin(cap, needed + qint64(qMin<zip_uint64_t>(entry.size, zip_uint64_t(cap))));
    }
    const PackageInstaller::Space space = m_spaceProbe(m_dest);
    if (space.available < 0 || space.total <= 0)
        return true;
    const qint64 reserve = qMax(minimumReserve, space.total / 100 * reservePercent);
    if (needed + reserve <= space.available)
        return true;
    return fail(PackageInstaller::NoSpaceError, "no space to install:", m_dest, "needs", needed,
                "bytes and a reserve of", reserve, "bytes, has", space.available, "bytes free");
}

bool PackageInstallerPrivate::writeEntry(const Entry &entry, const QString &target)
{
    std::unique_ptr<zip_file_t, ZipFileCloser> in(zip_fopen_index(m_zip.get(), entry.index, 0));
    if (!in)
        return fail(PackageInstaller::ReadError, "error read entry:", entry.path, zip_strerror(m_zip.get()));
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(PackageInstaller::WriteError, "error write file:", target, out.errorString());
    zip_uint64_t total = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(in.get(), m_buffer.data(), zip_uint64_t(m_buffer.size()));
        if (n < 0)
            return fail(PackageInstaller::ReadError, "error read entry:", entry.path, zip_file_strerror(in.get()));
        if (n == 0)
            break;
        if (out.write(m_buffer.constData(), n) != n)
            return fail(PackageInstaller::WriteError, "error write file:", target, out.errorString());
        total += zip_uint64_t(n);
        // The space check believed the archive's claim; libzip compares the sizes only at the end,
        // and a bomb would fill the volume before that.
        if (entry.sizeKnown && total > entry.size)
            return fail(PackageInstaller::ReadError, "error read entry:", entry.path, "holds more than the",
                        entry.size, "bytes it claims");
    }
    if (entry.sizeKnown && total != entry.size)
        return fail(PackageInstaller::ReadError, "error read entry:", entry.path, "size", total, "of", entry.size);
    QString error;
    // File systems without Unix modes (vfat, exFAT) refuse the change; the file is still good.
    if (!m_setMode(out, entry.mode, &error))
        m_warnings << logText("permissions not set:", entry.path, error);
    out.close();
    if (out.error() != QFileDevice::NoError)
        return fail(PackageInstaller::WriteError, "error write file:", target, out.errorString());
    return true;
}

bool PackageInstallerPrivate::writeStaging()
{
    m_staging.reset(new QTemporaryDir(m_dest + QLatin1Char('/') + InstallJournal::stagingPrefix() + QStringLiteral("XXXXXX")));
    m_staging->setAutoRemove(false);
    if (!m_staging->isValid())
        return fail(PackageInstaller::WriteError, "error write file:", m_staging->path(), m_staging->errorString());
    const QString root = m_staging->path();
    QDir rootDir(root);
    for (const Entry &entry : m_entries) {
        if (entry.isLink || entry.superseded)
            continue;
        const QString dir = entry.isDir ? entry.path : QFileInfo(entry.path).path();
        if (dir != QLatin1String(".") && !m_stagingDirs.contains(dir)) {
            if (!rootDir.mkpath(dir))
                return fail(PackageInstaller::WriteError, "error create folder:", root + QLatin1Char('/') + dir);
            m_stagingDirs.insert(dir);
        }
        if (!entry.isDir && !writeEntry(entry, root + QLatin1Char('/') + entry.path))
            return false;
        if (!entry.isDir)
            ++m_stagedFiles;
    }
    return true;
}

// Notes the folders of relativeDir below the destination that the moves must create, parents
// first; nothing is created yet.
bool PackageInstallerPrivate::planFolder(const QString &relativeDir)
{
    if (relativeDir == QLatin1String(".") || m_destDirs.contains(relativeDir))
        return true;
    if (!planFolder(QFileInfo(relativeDir).path()))
        return false;
    const QString full = m_dest + QLatin1Char('/') + relativeDir;
    if (FileOps::kindOf(full) == FileOps::Kind::Missing) {
        m_journal.createdFolders << relativeDir;
    } else if (!QFileInfo(full).isDir()) {
        // A link to a folder inside the destination was accepted by checkTargets().
        return fail(PackageInstaller::WriteError, "error create folder:", full, "a file is in the way");
    }
    m_destDirs.insert(relativeDir);
    return true;
}

// Decides every move before the first one happens, so that the journal lists them all and a
// file that cannot land is found while the folder is still untouched.
bool PackageInstallerPrivate::planMoves()
{
    m_backup.reset(new QTemporaryDir(m_dest + QLatin1Char('/') + InstallJournal::backupPrefix() + QStringLiteral("XXXXXX")));
    m_backup->setAutoRemove(false);
    if (!m_backup->isValid())
        return fail(PackageInstaller::WriteError, "error write file:", m_backup->path(), m_backup->errorString());
    m_journal.folder = m_dest;
    m_journal.source = QFileInfo(m_staging->path()).fileName();
    m_journal.backup = QFileInfo(m_backup->path()).fileName();
    QDir backupDir(m_backup->path());
    QSet<QString> backupDirs;
    for (const Entry &entry : m_entries) {
        if (entry.isLink || entry.superseded)
            continue;
        const QString relativeDir = entry.isDir ? entry.path : QFileInfo(entry.path).path();
        if (!planFolder(relativeDir))
            return false;
        if (entry.isDir)
            continue;
        const QString target = m_dest + QLatin1Char('/') + entry.path;
        const FileOps::Kind existing = FileOps::kindOf(target);
        if (existing == FileOps::Kind::Folder)
            return fail(PackageInstaller::WriteError, "error write file:", target, "a folder is in the way");
        InstallJournal::Entry move;
        move.path = entry.path;
        move.hadOld = existing != FileOps::Kind::Missing;
        if (move.hadOld && relativeDir != QLatin1String(".") && !backupDirs.contains(relativeDir)) {
            if (!backupDir.mkpath(relativeDir))
                return fail(PackageInstaller::WriteError, "error create folder:", backupDir.filePath(relativeDir));
            backupDirs.insert(relativeDir);
        }
        m_journal.entries.push_back(move);
    }
    return !m_complete || (planRemovals(&backupDirs) && planRecord());
}

// The files the previous complete package brought that this one lacks go into the backup like
// replaced files, so an undo or a rollback puts them back. Files no package brought stay.
bool PackageInstallerPrivate::planRemovals(QSet<QString> *backupDirs)
{
    bool found = false;
    const QStringList recorded = InstallJournal::recordedFiles(m_dest, &found);
    if (!found) {
        log(logText("no record of the files the installed version brought, none is removed"));
        return true;
    }
    QSet<QString> incoming;
    for (const Entry &entry : m_entries) {
        if (!entry.isDir && !entry.isLink && !entry.superseded)
            incoming.insert(entry.path);
    }
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
                return fail(PackageInstaller::WriteError, "error create folder:", m_backup->path() + QLatin1Char('/') + relativeDir);
            backupDirs->insert(relativeDir);
        }
        m_journal.entries.push_back({path, InstallJournal::Action::Remove, true});
        ++removals;
    }
    log(logText(removals, "files that the installed version brought and this one lacks are removed"));
    return true;
}

// The record of what this package brought is staged and moved like one of its files.
bool PackageInstallerPrivate::planRecord()
{
    QStringList brought;
    for (const Entry &entry : m_entries) {
        if (!entry.isDir && !entry.isLink && !entry.superseded)
            brought << entry.path;
    }
    brought.sort();
    const QString name = InstallJournal::recordName();
    const QString staged = m_staging->path() + QLatin1Char('/') + name;
    QFile out(staged);
    const QByteArray text = InstallJournal::recordText(brought, m_journal.toVersion);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.flush())
        return fail(PackageInstaller::WriteError, "error write file:", staged, out.errorString());
    const FileOps::Kind existing = FileOps::kindOf(m_dest + QLatin1Char('/') + name);
    if (existing == FileOps::Kind::Folder)
        return fail(PackageInstaller::WriteError, "error write file:", m_dest + QLatin1Char('/') + name,
                    "a folder is in the way");
    m_journal.entries.push_back({name, InstallJournal::Action::Put, existing != FileOps::Kind::Missing});
    return true;
}

// The order that makes a cut-off at any point recoverable: staged files on disk, then the
// journal that names them, then the moves, the moves on disk, and the journal marked done; only
// then is the new version code stored and the journal removed.
bool PackageInstallerPrivate::moveIntoPlace()
{
    QString error;
    if (!FileOps::syncFileSystem(m_dest, &error))
        return fail(PackageInstaller::WriteError, "error sync:", m_dest, error);
    const QString journalPath = InstallJournal::pathIn(m_dest);
    if (!m_journal.save(&error))
        return fail(PackageInstaller::WriteError, "error write journal:", journalPath, error);
    m_journalWritten = true;
    log(logText("journal written:", journalPath, "files", int(m_journal.entries.size()), "new folders",
                m_journal.createdFolders.size(), "version", m_journal.fromVersion, "to", m_journal.toVersion));
    QSet<QString> touched;
    if (!m_journal.apply(&error, &touched)) {
        fail(PackageInstaller::WriteError, "error write file:", error);
        undoMoves();
        return false;
    }
    if (!m_journal.sync(touched, &error)) {
        fail(PackageInstaller::WriteError, "error sync:", m_dest, error);
        undoMoves();
        return false;
    }
    m_journal.state = InstallJournal::State::Done;
    if (!m_journal.save(&error)) {
        fail(PackageInstaller::WriteError, "error write journal:", journalPath, error);
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
        if (!m_journal.keep(&error)) {
            m_warnings << logText("cannot keep the journal:", journalPath, error, ", it stays for the next start");
        } else {
            m_journalWritten = false;
            log(logText("journal kept as", InstallJournal::keptPathIn(m_dest), "with the replaced files in",
                        m_journal.backup));
        }
        m_keepBackup = true;
        return true;
    }
    if (!m_journal.discard(&error)) {
        m_warnings << logText("cannot remove the journal:", journalPath, error);
        return true;
    }
    m_journalWritten = false;
    log(logText("journal removed:", journalPath));
    return true;
}

void PackageInstallerPrivate::undoMoves()
{
    QStringList errors;
    QSet<QString> touched;
    QString error;
    if (!m_journal.undo(&errors, &touched))
        error = errors.join(QStringLiteral("; "));
    else if (m_journal.sync(touched, &error) && m_journal.discard(&error))
        error.clear();
    if (error.isEmpty()) {
        m_journalWritten = false;
        m_rollBack = PackageInstaller::RolledBack;
        log(logText("moves undone, journal removed"));
        return;
    }
    // The journal and the old files in the backup stay, so that the next start can try again.
    m_errorLines << logText("undo incomplete:", error);
    m_keepWorkFolders = true;
    m_rollBack = PackageInstaller::RollBackIncomplete;
}

// Staging and backup folders of an earlier run that was cut off (power loss) are ours and stale;
// the backup of the kept generation is not.
void PackageInstallerPrivate::removeStaleFolders()
{
    QStringList names = QDir(m_dest).entryList(
        {InstallJournal::stagingPrefix() + QLatin1Char('*'), InstallJournal::backupPrefix() + QLatin1Char('*')},
        QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    names.removeAll(InstallJournal::keptBackupIn(m_dest));
    for (const QString &name : qAsConst(names))
        QDir(m_dest + QLatin1Char('/') + name).removeRecursively();
}

bool PackageInstallerPrivate::run()
{
    if (!openArchive())
        return false;
    if (!QDir().mkpath(m_dest))
        return fail(PackageInstaller::DestinationError, "error create folder:", m_dest);
    if (!readEntries() || !checkTargets())
        return false;
    // Left by a cut-off run whose recovery failed: the folder may be mixed, so nothing is added.
    if (InstallJournal::existsIn(m_dest))
        return fail(PackageInstaller::WriteError, "unfinished installation in:", m_dest);
    removeStaleFolders();
    if (!checkSpace())
        return false;
    // One generation: the files kept from before the last installation are gone once this one
    // moves anything, and a later return could not tell them from this one's. The record goes
    // first, so that no start finds it naming a backup that is half removed.
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
            return fail(PackageInstaller::WriteError, "cannot drop the kept generation:", InstallJournal::keptPathIn(m_dest),
                        error);
        log(logText("kept generation dropped:", InstallJournal::keptPathIn(m_dest), "and", keptBackup));
    }
    bool ok = writeStaging();
    if (ok)
        log(logText("staged", m_stagedFiles, "files in", m_staging->path()));
    ok = ok && planMoves() && moveIntoPlace();
    m_zip.reset();
    if (!m_keepWorkFolders) {
        if (m_staging)
            m_staging->remove();
        if (m_backup && !m_keepBackup)
            m_backup->remove();
    }
    return ok;
}

PackageInstaller::PackageInstaller(const QString &package, const QString &destination)
    : d(new PackageInstallerPrivate(package, destination))
{
}

PackageInstaller::~PackageInstaller() = default;

bool PackageInstaller::run()
{
    return d->run();
}

PackageInstaller::Error PackageInstaller::error() const
{
    return d->m_error;
}

QString PackageInstaller::errorString() const
{
    return d->m_errorLines.join(QLatin1Char('\n'));
}

QStringList PackageInstaller::warnings() const
{
    return d->m_warnings;
}

void PackageInstaller::setModeSetter(ModeSetter setter)
{
    d->m_setMode = std::move(setter);
}

void PackageInstaller::setSpaceProbe(SpaceProbe probe)
{
    d->m_spaceProbe = std::move(probe);
}

void PackageInstaller::setVersionCodes(int installed, int incoming)
{
    d->m_journal.fromVersion = installed;
    d->m_journal.toVersion = incoming;
}

void PackageInstaller::setVersionStore(VersionStore store)
{
    d->m_versionStore = std::move(store);
}

void PackageInstaller::setPackageDescriptor(int descriptor)
{
    d->m_packageDescriptor = descriptor;
}

void PackageInstaller::setLogger(Logger logger)
{
    d->m_logger = std::move(logger);
}

void PackageInstaller::setKeepReplaced(bool keep)
{
    d->m_keepReplaced = keep;
}

void PackageInstaller::setComplete(bool complete)
{
    d->m_complete = complete;
}

PackageInstaller::RollBack PackageInstaller::rollBack() const
{
    return d->m_rollBack;
}

QString PackageInstaller::destination() const
{
    return d->m_dest;
}
