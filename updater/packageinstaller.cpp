#include "packageinstaller.h"

#include "fileops.h"

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
const char stagingPrefix[] = ".update-staging-";
const char backupPrefix[] = ".update-backup-";

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
    // Our own working folders inside the destination must never be touched by a package.
    if (parts.first().startsWith(QLatin1String(stagingPrefix))
        || parts.first().startsWith(QLatin1String(backupPrefix)))
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
    bool moveIntoPlace();
    bool ensureDestFolder(const QString &relativeDir);
    void rollBack();
    void removeStaleFolders();

    QString m_package;
    QString m_dest;
    QString m_canonicalDest;
    PackageInstaller::Error m_error = PackageInstaller::NoError;
    QStringList m_errorLines;
    PackageInstaller::RollBack m_rollBack = PackageInstaller::NothingToRollBack;
    QStringList m_warnings;
    PackageInstaller::ModeSetter m_setMode = FileOps::setMode;
    PackageInstaller::SpaceProbe m_spaceProbe = volumeSpace;
    std::unique_ptr<zip_t, ZipCloser> m_zip;
    std::vector<Entry> m_entries;
    std::unique_ptr<QTemporaryDir> m_staging;
    std::unique_ptr<QTemporaryDir> m_backup;
    QSet<QString> m_stagingDirs;
    QSet<QString> m_destDirs;
    QStringList m_createdDirs;          // created in the destination, in creation order
    QStringList m_installed;            // relative paths renamed into the destination
    QSet<QString> m_backedUp;           // relative paths whose earlier file sits in the backup
    QByteArray m_buffer;
};

bool PackageInstallerPrivate::openArchive()
{
    int error = 0;
    zip_t *archive = zip_open(QFile::encodeName(m_package).constData(), ZIP_RDONLY, &error);
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
    m_staging.reset(new QTemporaryDir(m_dest + QLatin1Char('/') + QLatin1String(stagingPrefix) + QStringLiteral("XXXXXX")));
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
    }
    return true;
}

// Creates the folders of relativeDir below the destination one by one, remembering each new one
// so that a roll-back can remove it again.
bool PackageInstallerPrivate::ensureDestFolder(const QString &relativeDir)
{
    if (relativeDir == QLatin1String(".") || m_destDirs.contains(relativeDir))
        return true;
    const QString parent = QFileInfo(relativeDir).path();
    if (!ensureDestFolder(parent))
        return false;
    const QString full = m_dest + QLatin1Char('/') + relativeDir;
    QString error;
    if (FileOps::kindOf(full) != FileOps::Kind::Missing) {
        // A link to a folder inside the destination was accepted by checkTargets().
        if (!QFileInfo(full).isDir())
            return fail(PackageInstaller::WriteError, "error create folder:", full, "a file is in the way");
    } else if (FileOps::makeFolder(full, &error)) {
        m_createdDirs << full;
    } else {
        return fail(PackageInstaller::WriteError, "error create folder:", full, error);
    }
    m_destDirs.insert(relativeDir);
    return true;
}

bool PackageInstallerPrivate::moveIntoPlace()
{
    m_backup.reset(new QTemporaryDir(m_dest + QLatin1Char('/') + QLatin1String(backupPrefix) + QStringLiteral("XXXXXX")));
    if (!m_backup->isValid())
        return fail(PackageInstaller::WriteError, "error write file:", m_backup->path(), m_backup->errorString());
    QDir backupDir(m_backup->path());
    QSet<QString> backupDirs;
    QString error;
    for (const Entry &entry : m_entries) {
        if (entry.isLink || entry.superseded)
            continue;
        if (entry.isDir) {
            if (!ensureDestFolder(entry.path))
                return false;
            continue;
        }
        const QString relativeDir = QFileInfo(entry.path).path();
        if (!ensureDestFolder(relativeDir))
            return false;
        const QString target = m_dest + QLatin1Char('/') + entry.path;
        const QString staged = m_staging->path() + QLatin1Char('/') + entry.path;
        const FileOps::Kind existing = FileOps::kindOf(target);
        if (existing == FileOps::Kind::Folder)
            return fail(PackageInstaller::WriteError, "error write file:", target, "a folder is in the way");
        if (existing != FileOps::Kind::Missing && !m_backedUp.contains(entry.path)) {
            if (relativeDir != QLatin1String(".") && !backupDirs.contains(relativeDir)) {
                if (!backupDir.mkpath(relativeDir))
                    return fail(PackageInstaller::WriteError, "error create folder:", backupDir.filePath(relativeDir));
                backupDirs.insert(relativeDir);
            }
            // A hard link keeps the old file reachable while the new one replaces it in a
            // single rename, so the target never goes missing.
            if (!FileOps::keepAs(target, backupDir.filePath(entry.path), &error))
                return fail(PackageInstaller::WriteError, "error write file:", target, error);
            m_backedUp.insert(entry.path);
        }
        if (!FileOps::replace(staged, target, &error))
            return fail(PackageInstaller::WriteError, "error write file:", target, error);
        m_installed << entry.path;
    }
    return true;
}

void PackageInstallerPrivate::rollBack()
{
    if (m_installed.isEmpty() && m_backedUp.isEmpty() && m_createdDirs.isEmpty())
        return;
    bool ok = true;
    QSet<QString> restored;
    for (int i = m_installed.size() - 1; i >= 0; --i) {
        const QString &path = m_installed.at(i);
        if (restored.contains(path))
            continue;
        restored.insert(path);
        const QString target = m_dest + QLatin1Char('/') + path;
        if (m_backedUp.contains(path)) {
            if (!FileOps::replace(m_backup->path() + QLatin1Char('/') + path, target))
                ok = false;
        } else if (!FileOps::removeEntry(target)) {
            ok = false;
        }
    }
    // A file moved into the backup whose replacement never landed must come back as well.
    for (const QString &path : qAsConst(m_backedUp)) {
        if (restored.contains(path))
            continue;
        const QString target = m_dest + QLatin1Char('/') + path;
        if (FileOps::kindOf(target) == FileOps::Kind::Missing
            && !FileOps::replace(m_backup->path() + QLatin1Char('/') + path, target))
            ok = false;
    }
    for (int i = m_createdDirs.size() - 1; i >= 0; --i) {
        if (!QDir().rmdir(m_createdDirs.at(i)))
            ok = false;
    }
    m_rollBack = ok ? PackageInstaller::RolledBack : PackageInstaller::RollBackIncomplete;
}

// Staging and backup folders of an earlier run that was cut off (power loss) are ours and stale.
void PackageInstallerPrivate::removeStaleFolders()
{
    const QStringList names = QDir(m_dest).entryList(
        {QLatin1String(stagingPrefix) + QLatin1Char('*'), QLatin1String(backupPrefix) + QLatin1Char('*')},
        QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &name : names)
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
    removeStaleFolders();
    if (!checkSpace())
        return false;
    bool ok = writeStaging() && moveIntoPlace();
    if (!ok)
        rollBack();
    m_zip.reset();
    if (m_staging)
        m_staging->remove();
    if (m_backup)
        m_backup->remove();
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

PackageInstaller::RollBack PackageInstaller::rollBack() const
{
    return d->m_rollBack;
}

QString PackageInstaller::destination() const
{
    return d->m_dest;
}
