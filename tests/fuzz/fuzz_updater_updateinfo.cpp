// The update information as the server sends it: the bytes become the file in the work folder,
// FileManager reads this device's platform entry, and UpdateOffer judges it as the update cycle
// does. A file name that would place the package outside the download
// folder must never be accepted, and nothing may crash.
//
// The first byte chooses this device's id (none, or one the seeds name), so that both ways of
// the permission check are reached; the rest is the file.

#include "filemanager.h"
#include "fuzzsupport.h"
#include "updateoffer.h"
#include "updatersettings.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

UpdaterSettings *settings = nullptr;
FileManager *fileManager = nullptr;
QString infoPath;

}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const QString root = FuzzSupport::prepare("updater");
    settings = new UpdaterSettings;
    settings->init();
    settings->tempDir = root + QStringLiteral("/work");
    settings->appKey = QStringLiteral("linux");
    settings->updateInfoRequest = QStringLiteral("update.json");
    QDir().mkpath(settings->tempDir);
    infoPath = settings->tempDir + QLatin1Char('/') + settings->updateInfoRequest;
    fileManager = new FileManager;
    fileManager->setSettings(settings);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    UpdateOffer::DeviceFacts facts;
    facts.deviceId = (data[0] & 1) ? QStringLiteral("device-7") : QString();
    facts.rolloutId = QStringLiteral("r-fixed");
    facts.installedVersion = 100;

    QFile file(infoPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data) + 1, qint64(size - 1)) != qint64(size - 1))
        std::abort();
    file.close();

    const FileManager::Info info = fileManager->readUpdateInfo();
    if (info.outcome != FileManager::Info::Read)
        return 0;
    // The package is stored under this name in the download folder.
    const QString name = info.entry.fileName;
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))
        || name == QLatin1String(".") || name == QLatin1String(".."))
        std::abort();
    fileManager->setOffer(info.entry, info.verified);
    if (QFileInfo(fileManager->packagePath()).dir().absolutePath()
        != QDir(fileManager->downloadFolder()).absolutePath())
        std::abort();
    // Only a newer version is ever taken.
    const UpdateOffer::Verdict verdict = UpdateOffer::judge(info.entry, facts).verdict;
    if ((verdict == UpdateOffer::Verdict::Fetch || verdict == UpdateOffer::Verdict::Ready)
        && info.entry.versionCode <= facts.installedVersion)
        std::abort();
    return 0;
}
