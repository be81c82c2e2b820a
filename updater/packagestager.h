#ifndef PACKAGESTAGER_H
#define PACKAGESTAGER_H

#include "packageinstaller.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class StagedInstall;
struct zip;

// Reads one zip package into the staging folder of a StagedInstall: refuses entries that would
// land outside the folder, checks that the volume holds the unpacked files, and writes every file
// with the permissions the package may give it. The steps run in order, each only when the one
// before succeeded: open(), readEntries(), checkTargets(), checkSpace(), write().
class PackageStager
{
public:
    PackageStager(const QString &package, const QString &destination);
    ~PackageStager();
    PackageStager(const PackageStager &) = delete;
    PackageStager &operator=(const PackageStager &) = delete;

    void setPackageDescriptor(int descriptor);
    void setModeSetter(PackageInstaller::ModeSetter setter);
    void setSpaceProbe(PackageInstaller::SpaceProbe probe);
    // The volume that holds folder as QStorageInfo sees it: the probe unless a test replaces it.
    static PackageInstaller::Space volumeSpace(const QString &folder);
    // Whether needed bytes fit on a volume with this space and still leave *reserve bytes free for
    // the log, the settings and the next download; true when the space is unknown.
    static bool fitsWithReserve(qint64 needed, const PackageInstaller::Space &space, qint64 *reserve);

    // Opens the archive and creates the destination folder.
    bool open();
    bool readEntries();
    bool checkTargets();
    bool checkSpace();
    // Writes the files into install's staging folder and announces each to it.
    bool write(StagedInstall *install);
    void close();

    PackageInstaller::Error error() const;
    QStringList errorLines() const;
    QStringList warnings() const;

private:
    struct ZipCloser
    {
        void operator()(zip *archive) const;
    };
    struct Entry
    {
        quint64 index = 0;
        QString path;       // relative, '/' separated, no "." or ".." segments
        bool isDir = false;
        bool isLink = false;
        bool superseded = false;    // a later entry of the same path wins, as it would when unpacking in order
        bool sizeKnown = false;
        quint64 size = 0;
        unsigned mode = 0644;
    };

    template <typename... Items>
    bool fail(PackageInstaller::Error kind, const Items &...items);
    bool writeEntry(const Entry &entry, const QString &target);

    QString m_package;
    int m_packageDescriptor = -1;
    QString m_dest;
    QString m_canonicalDest;
    PackageInstaller::Error m_error = PackageInstaller::NoError;
    QStringList m_errorLines;
    QStringList m_warnings;
    PackageInstaller::ModeSetter m_setMode;
    PackageInstaller::SpaceProbe m_spaceProbe;
    std::unique_ptr<zip, ZipCloser> m_zip;
    std::vector<Entry> m_entries;
    QByteArray m_buffer;
};

#endif
