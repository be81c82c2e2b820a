// One transfer through DownloadFile, timed: bench_download_client URL FILE [MD5]
// Prints "code=<finished code> bytes=<file size> seconds=<wall time>"; exit code 0 on success.
#include "downloadfile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        QTextStream(stderr) << "usage: bench_download_client URL FILE [MD5]\n";
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
    clock.start();
    if (!download.start(params)) {
        QTextStream(stderr) << "start refused\n";
        return 2;
    }
    app.exec();
    return result;
}
