// Times the installation of two packages through FileManager::extractPackage (staging and
// moves included) against bsdtar and unzip on the same archives, each run into a fresh folder.
//
//   bench_extract [work folder]      (default: a temporary folder; everything is removed at the end)

#include "filemanager.h"
#include "updatersettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/stat.h>

namespace {

const int runs = 3;

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// Text-like bytes that deflate to about half: realistic for binaries and resources alike.
void fillPseudoText(QByteArray &block, quint32 &seed)
{
    static const char alphabet[] = "etaoinshrdlucmfwypvbgkqjxz0123456789ETAOINSHRDLU _-.,;:/\n\t{}()";
    for (int i = 0; i < block.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        block[i] = alphabet[(seed >> 24) % (sizeof(alphabet) - 1)];
    }
}

bool writePseudoFile(const QString &path, qint64 size, quint32 seed)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1024 * 1024, '\0');
    for (qint64 done = 0; done < size;) {
        fillPseudoText(block, seed);
        const qint64 n = std::min<qint64>(block.size(), size - done);
        if (f.write(block.constData(), n) != n)
            return false;
        done += n;
    }
    return true;
}

// Zips every file below sourceRoot (relative names, executable bit kept) into archivePath.
bool zipFolder(const QString &sourceRoot, const QStringList &files, const QString &archivePath)
{
    int error = 0;
    zip_t *archive = zip_open(QFile::encodeName(archivePath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        return false;
    for (const QString &name : files) {
        const QString path = sourceRoot + QLatin1Char('/') + name;
        zip_source_t *source = zip_source_file(archive, QFile::encodeName(path).constData(), 0, -1);
        const zip_int64_t index = source ? zip_file_add(archive, name.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (source)
                zip_source_free(source);
            zip_discard(archive);
            return false;
        }
        const unsigned mode = QFileInfo(path).isExecutable() ? 0755 : 0644;
        zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX, zip_uint32_t(S_IFREG | mode) << 16);
        zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_DEFLATE, 6);
    }
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        return false;
    }
    return true;
}

bool makeSmallFiles(const QString &root, const QString &archive)
{
    QStringList files;
    quint32 seed = 7;
    for (int i = 0; i < 2000; ++i) {
        // Sizes from 2 KiB to 62 KiB, about 65 MB in all, spread over three levels of folders.
        const qint64 size = 2048 + (qint64(i) * 7919 % 61) * 1024;
        const QString name = QStringLiteral("app/d%1/e%2/f%3/file%4.dat").arg(i % 10).arg(i % 7).arg(i % 3).arg(i);
        if (!writePseudoFile(root + QLatin1Char('/') + name, size, seed++))
            return false;
        files << name;
    }
    return zipFolder(root, files, archive);
}

bool makeBigEntry(const QString &root, const QString &archive)
{
    QStringList files = {QStringLiteral("tovrel.exe"), QStringLiteral("data/big.bin"), QStringLiteral("lib/a.so"),
                         QStringLiteral("share/readme.txt")};
    if (!writePseudoFile(root + QStringLiteral("/tovrel.exe"), 200000, 1)
        || !writePseudoFile(root + QStringLiteral("/data/big.bin"), 512LL * 1024 * 1024, 2)
        || !writePseudoFile(root + QStringLiteral("/lib/a.so"), 50000, 3)
        || !writePseudoFile(root + QStringLiteral("/share/readme.txt"), 3000, 4))
        return false;
    QFile::setPermissions(root + QStringLiteral("/tovrel.exe"), QFile::permissions(root + QStringLiteral("/tovrel.exe")) | QFile::ExeOwner);
    return zipFolder(root, files, archive);
}

struct Sample
{
    double seconds = 0;
    qint64 peakKib = 0;
};

// Runs one extraction under /usr/bin/time for its peak RSS; the wall time is taken here.
bool runOnce(const QStringList &command, const QProcessEnvironment &env, Sample *sample)
{
    QProcess::execute(QStringLiteral("sync"), {});
    QProcess process;
    process.setProcessEnvironment(env);
    QStringList args = {QStringLiteral("-f"), QStringLiteral("maxrss %M")};
    args += command;
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("/usr/bin/time"), args);
    if (!process.waitForFinished(600000) || process.exitCode() != 0) {
        out() << "failed: " << command.join(QLatin1Char(' ')) << "\n" << process.readAllStandardError() << Qt::endl;
        return false;
    }
    sample->seconds = timer.nsecsElapsed() / 1e9;
    const QList<QByteArray> lines = process.readAllStandardError().trimmed().split('\n');
    sample->peakKib = lines.isEmpty() ? 0 : lines.last().mid(7).toLongLong();
    return true;
}

int extractChild(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    UpdaterSettings settings;
    settings.tempDir = QString::fromLocal8Bit(argv[2]);
    FileManager manager;
    manager.setSettings(&settings);
    UpdateInfo::Entry package;
    package.fileName = QString::fromLocal8Bit(argv[3]);
    manager.setOffer(package, false);
    QString error;
    return manager.extractPackage(QString::fromLocal8Bit(argv[4]), &error) ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 5 && qstrcmp(argv[1], "--extract") == 0)
        return extractChild(argc, argv);

    QCoreApplication app(argc, argv);
    QTemporaryDir tmp(argc > 1 ? QString::fromLocal8Bit(argv[1]) + QStringLiteral("/bench-extract-XXXXXX")
                               : QDir::tempPath() + QStringLiteral("/bench-extract-XXXXXX"));
    if (!tmp.isValid()) {
        out() << "cannot create work folder" << Qt::endl;
        return 1;
    }
    const QString work = tmp.path();
    // The extracting child opens a settings store; keep it away from the user's own.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), work + QStringLiteral("/config"));
    env.insert(QStringLiteral("HOME"), work + QStringLiteral("/home"));

    const QString pkgDir = work + QStringLiteral("/download");
    QDir().mkpath(pkgDir);
    struct Case { QString name; QString archive; bool (*make)(const QString &, const QString &); };
    const std::vector<Case> cases = {
        {QStringLiteral("(a) 2000 small files"), QStringLiteral("small.zip"), &makeSmallFiles},
        {QStringLiteral("(b) 512 MiB entry + 3 small"), QStringLiteral("big.zip"), &makeBigEntry},
    };

    for (const Case &c : cases) {
        const QString source = work + QStringLiteral("/src");
        const QString archive = pkgDir + QLatin1Char('/') + c.archive;
        QElapsedTimer build;
        build.start();
        if (!c.make(source, archive)) {
            out() << "cannot build " << c.archive << Qt::endl;
            return 1;
        }
        QDir(source).removeRecursively();
        out() << c.name << ": archive " << QFileInfo(archive).size() / 1e6 << " MB, built in " << build.elapsed() / 1000.0
              << " s" << Qt::endl;

        const QStringList tools = {QStringLiteral("extractPackage"), QStringLiteral("bsdtar"), QStringLiteral("unzip")};
        QMap<QString, Sample> medians;
        for (const QString &tool : tools) {
            std::vector<Sample> samples;
            for (int run = 0; run < runs; ++run) {
                const QString dest = work + QStringLiteral("/out-%1-%2").arg(tool).arg(run);
                QDir().mkpath(dest);
                QStringList command;
                if (tool == QLatin1String("extractPackage"))
                    command = QStringList({QCoreApplication::applicationFilePath(), QStringLiteral("--extract"), work, c.archive, dest});
                else if (tool == QLatin1String("bsdtar"))
                    command = QStringList({QStringLiteral("bsdtar"), QStringLiteral("-xf"), archive, QStringLiteral("-C"), dest});
                else
                    command = QStringList({QStringLiteral("unzip"), QStringLiteral("-o"), QStringLiteral("-q"), archive, QStringLiteral("-d"), dest});
                Sample s;
                const bool ok = runOnce(command, env, &s);
                QDir(dest).removeRecursively();
                if (!ok)
                    return 1;
                samples.push_back(s);
            }
            std::sort(samples.begin(), samples.end(), [](const Sample &a, const Sample &b) { return a.seconds < b.seconds; });
            Sample median = samples[samples.size() / 2];
            for (const Sample &s : samples)
                median.peakKib = std::max(median.peakKib, s.peakKib);
            medians.insert(tool, median);
        }
        const double base = medians.value(QStringLiteral("bsdtar")).seconds;
        for (const QString &tool : tools) {
            const Sample s = medians.value(tool);
            out() << QStringLiteral("  %1 median of %2: %3 s  ratio to bsdtar %4  peak RSS %5 MB")
                         .arg(tool, -15).arg(runs).arg(s.seconds, 0, 'f', 3).arg(s.seconds / base, 0, 'f', 2)
                         .arg(s.peakKib / 1024.0, 0, 'f', 1)
                  << Qt::endl;
        }
        QFile::remove(archive);
    }
    return 0;
}
