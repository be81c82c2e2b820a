// One transfer through DownloadFile, timed: bench_download_client URL FILE [MD5 [SHA256 SIZE]]
// Prints "code=<finished code> bytes=<file size> seconds=<wall time>"; exit code 0 on success.
//
// bench_download_client --limit FILE MIB [CHUNK_KIB]
// The most one thread can do with the bytes of a download: hash them with MD5 and write them to
// FILE, from memory, CHUNK_KIB (default 1024, the cap of the reply's read buffer) at a time, no network at all. Prints
// "limit bytes=<n> seconds=<hash and write> hash_seconds=<hash alone> write_seconds=<write alone>
// both_seconds=<MD5, SHA-256 and write> both_hash_seconds=<MD5 and SHA-256 alone>". The hashes are
// libcrypto's, as in DownloadFile.
#include "downloadfile.h"
#include "streamhash.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace {

// Hashes and/or writes `total` bytes from one reused block; returns the seconds taken, flush and
// close included, or a negative value when the file cannot be written.
double hashAndWrite(const QString &path, qint64 total, int chunk, bool hash, bool write, bool sha256 = false)
{
    QByteArray block(chunk, Qt::Uninitialized);
    quint32 seed = 1;
    for (int i = 0; i < block.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        block[i] = char(seed >> 24);
    }
    QFile::remove(path);
    QFile file(path);
    if (write && !file.open(QIODevice::WriteOnly))
        return -1;
    StreamHash digest(StreamHash::Md5);
    StreamHash second(StreamHash::Sha256);
    QElapsedTimer clock;
    clock.start();
    for (qint64 done = 0; done < total; done += chunk) {
        const int n = int(qMin<qint64>(chunk, total - done));
        if (hash)
            digest.addData(block.constData(), n);
        if (sha256)
            second.addData(block.constData(), n);
        if (write && file.write(block.constData(), n) != n)
            return -1;
    }
    if (write) {
        if (!file.flush())
            return -1;
        file.close();
    }
    const QByteArray result = digest.hexResult() + second.hexResult();
    const double seconds = clock.nsecsElapsed() / 1e9;
    QFile::remove(path);
    return result.isEmpty() ? -1 : seconds;
}

int limit(const QStringList &args)
{
    const QString path = args.at(2);
    const qint64 total = args.at(3).toLongLong() * 1024 * 1024;
    const int chunk = (args.size() > 4 ? args.at(4).toInt() : 1024) * 1024;
    if (total <= 0 || chunk <= 0)
        return 2;
    // The first write of a run pays for fresh page-cache memory; the others reuse what it freed.
    if (hashAndWrite(path, total, chunk, false, true) < 0) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return 1;
    }
    const double both = hashAndWrite(path, total, chunk, true, true);
    const double hashOnly = hashAndWrite(path, total, chunk, true, false);
    const double writeOnly = hashAndWrite(path, total, chunk, false, true);
    const double bothHashes = hashAndWrite(path, total, chunk, true, true, true);
    const double bothHashesOnly = hashAndWrite(path, total, chunk, true, false, true);
    if (both < 0 || hashOnly < 0 || writeOnly < 0 || bothHashes < 0 || bothHashesOnly < 0) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return 1;
    }
    QTextStream(stdout) << "limit bytes=" << total << " seconds=" << both << " hash_seconds=" << hashOnly
                        << " write_seconds=" << writeOnly << " both_seconds=" << bothHashes
                        << " both_hash_seconds=" << bothHashesOnly << '\n';
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 4 && args.at(1) == QLatin1String("--limit"))
        return limit(args);
    if (args.size() < 3) {
        QTextStream(stderr) << "usage: bench_download_client URL FILE [MD5 [SHA256 SIZE]]\n"
                               "       bench_download_client --limit FILE MIB [CHUNK_KIB]\n";
        return 2;
    }
    const QString file = args.at(2);
    DownloadFile download;
    QElapsedTimer clock;
    int result = 1;
    QObject::connect(&download, &DownloadFile::finished, &app, [&](int code, const QString &content) {
        const double seconds = clock.nsecsElapsed() / 1e9;
        QTextStream(stdout) << "code=" << code << " bytes=" << QFileInfo(file).size() << " seconds=" << seconds
                            << (code == 0 ? QString() : QStringLiteral(" error=") + content) << '\n';
        result = code == 0 ? 0 : 1;
        app.quit();
    });
    QVariantMap params{{QStringLiteral("source"), args.at(1)},
                       {QStringLiteral("file"), file},
                       {QStringLiteral("clean"), true}};
    if (args.size() > 3)
        params.insert(QStringLiteral("hash"), args.at(3));
    if (args.size() > 5) {
        params.insert(QStringLiteral("sha256"), args.at(4));
        params.insert(QStringLiteral("size"), args.at(5).toLongLong());
    }
    clock.start();
    if (!download.start(params)) {
        QTextStream(stderr) << "start refused\n";
        return 2;
    }
    app.exec();
    return result;
}
