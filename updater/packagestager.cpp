#include "packagestager.h"

#include "fileops.h"
#include "installjournal.h"
#include "logtext.h"
#include "stagedinstall.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStorageInfo>

#include <zip.h>

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

struct ZipFileCloser
{
    void operator()(zip_file_t *f) const { zip_fclose(f); }
};

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

PackageInstaller::Space PackageStager::volumeSpace(const QString &folder)
{
    const QStorageInfo volume(folder);
    PackageInstaller::Space space;
    if (volume.isValid() && volume.isReady()) {
        space.available = volume.bytesAvailable();
        space.total = volume.bytesTotal();
    }
    return space;
}

bool PackageStager::fitsWithReserve(qint64 needed, const PackageInstaller::Space &space, qint64 *reserve)
{
    if (space.available < 0 || space.total <= 0)
        return true;
    *reserve = qMax(minimumReserve, space.total / 100 * reservePercent);
    return needed + *reserve <= space.available;
}

PackageStager::PackageStager(const QString &package, const QString &destination)
    : m_package(package), m_dest(QDir::cleanPath(destination)), m_setMode(FileOps::setMode),
      m_spaceProbe(volumeSpace)
{
    m_buffer.resize(chunkSize);
}

PackageStager::~PackageStager() = default;

void PackageStager::ZipCloser::operator()(zip *archive) const
{
    zip_discard(archive);
}

template <typename... Items>
bool PackageStager::fail(PackageInstaller::Error kind, const Items &...items)
{
    if (m_error == PackageInstaller::NoError)
        m_error = kind;
    m_errorLines << logText(items...);
    return false;
}

bool PackageStager::open()
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
    if (!QDir().mkpath(m_dest))
        return fail(PackageInstaller::DestinationError, "error create folder:", m_dest);
    return true;
}

bool PackageStager::readEntries()
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
bool PackageStager::checkTargets()
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
bool PackageStager::checkSpace()
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
    qint64 reserve = 0;
    if (fitsWithReserve(needed, space, &reserve))
        return true;
    return fail(PackageInstaller::NoSpaceError, "no space to install:", m_dest, "needs", needed,
                "bytes and a reserve of", reserve, "bytes, has", space.available, "bytes free");
}

bool PackageStager::writeEntry(const Entry &entry, const QString &target)
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

bool PackageStager::write(StagedInstall *install)
{
    if (!install->createStaging())
        return false;
    const QString root = install->stagingPath();
    QDir rootDir(root);
    QSet<QString> stagingDirs;
    for (const Entry &entry : m_entries) {
        if (entry.isLink || entry.superseded)
            continue;
        const QString dir = entry.isDir ? entry.path : QFileInfo(entry.path).path();
        if (dir != QLatin1String(".") && !stagingDirs.contains(dir)) {
            if (!rootDir.mkpath(dir))
                return fail(PackageInstaller::WriteError, "error create folder:", root + QLatin1Char('/') + dir);
            stagingDirs.insert(dir);
        }
        if (entry.isDir) {
            install->addFolder(entry.path);
            continue;
        }
        if (!writeEntry(entry, root + QLatin1Char('/') + entry.path))
            return false;
        install->addFile(entry.path);
    }
    return true;
}

void PackageStager::close()
{
    m_zip.reset();
}

void PackageStager::setPackageDescriptor(int descriptor)
{
    m_packageDescriptor = descriptor;
}

void PackageStager::setModeSetter(PackageInstaller::ModeSetter setter)
{
    m_setMode = std::move(setter);
}

void PackageStager::setSpaceProbe(PackageInstaller::SpaceProbe probe)
{
    m_spaceProbe = std::move(probe);
}

PackageInstaller::Error PackageStager::error() const
{
    return m_error;
}

QStringList PackageStager::errorLines() const
{
    return m_errorLines;
}

QStringList PackageStager::warnings() const
{
    return m_warnings;
}
