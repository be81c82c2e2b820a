// The launcher's reading of what its updater says: one chunk of the updater's console output (its
// tokens), then the same bytes as lines of the control channel, whose pushed states reach the
// supervisor. Nothing may crash and every reading must end in a state the launcher knows.
//
// No application object: none of this needs an event loop, and Qt's start-up allocations would be
// reported as leaks on the first input.

#include "appupdater.h"
#include "launch.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// The product logs every chunk and line; at millions of inputs that would be all the fuzzer does.
void discardMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

// Opens the hook that the process wrapper calls with each chunk of the child's output.
class UpdaterReader : public AppUpdater
{
public:
    using AppUpdater::appReadyRead;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(discardMessage);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));

    UpdaterReader updater;
    Launch launch;
    launch.setAutoTick(false);
    QObject::connect(&updater, &AppUpdater::stateUpdateChanged, &launch, &Launch::stateUpdateChanged);

    updater.output = QString::fromUtf8(bytes);
    updater.appReadyRead();
    switch (updater.getUpdaterState()) {
    case AppUpdater::NOTRUNNING:
    case AppUpdater::RUNNING:
    case AppUpdater::ERROR:
        break;
    default:
        std::abort();
    }

    // As socketReadyRead() hands them over: complete lines only, without their line feed.
    int from = 0;
    for (int end = bytes.indexOf('\n'); end >= 0; end = bytes.indexOf('\n', from)) {
        updater.socketData(QString::fromUtf8(bytes.mid(from, end - from)));
        from = end + 1;
        switch (launch.getUpdateState()) {
        case 0: // nothing heard yet
        case 1: // ready
        case 2: // updating
        case 3: // updated
        case 5: // error
            break;
        default:
            std::abort();
        }
    }
    return 0;
}
