// The updater's control channel: the bytes are what one client sends in one go, split into the
// pieces in which the socket hands them over at each 0x1E byte. The server reads every request
// of the burst ("get" and "set" against a settings store on a memory file system, "quit" and
// "update" go nowhere) and its replies are read and thrown away. Before every input the store is
// emptied and the client's unfinished request dropped, so a crash reproduces from its input alone.
//
// The server listens for real and one client stays connected, so that the replies go the way
// they go in the product; that takes an event loop, hence the one application object.

#include "controllocalserver.h"
#include "fuzzsupport.h"
#include "localserver.h"
#include "updatersettings.h"
#include "updaterstatus.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QLocalSocket>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

QCoreApplication *application = nullptr;
UpdaterSettings *settings = nullptr;
UpdaterStatus *status = nullptr;
ControlLocalServer *control = nullptr;
LocalServer *server = nullptr;
QLocalSocket *client = nullptr;
qlonglong clientId = 0;
QString socketPath;

// Runs the event loop until the server's replies are written and read, or a bounded number of
// turns has passed (a client that does not read is dropped by the server, which is fine here).
void drain()
{
    for (int turn = 0; turn < 50; ++turn) {
        QCoreApplication::processEvents();
        client->readAll();
        if (server->unsentBytes() == 0 && client->bytesAvailable() == 0)
            break;
    }
}

void connectClient()
{
    delete client;
    clientId = 0;
    client = new QLocalSocket;
    client->connectToServer(socketPath);
    if (!client->waitForConnected(5000))
        std::abort();
    for (int turn = 0; turn < 1000 && clientId == 0; ++turn)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    if (clientId == 0)
        std::abort();
    drain();
}

}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    const QString root = FuzzSupport::prepare("updater");
    application = new QCoreApplication(*argc, *argv);
    settings = new UpdaterSettings;
    settings->init();
    settings->serverName = QStringLiteral("fuzz-control-%1").arg(QCoreApplication::applicationPid());
    control = new ControlLocalServer;
    status = new UpdaterStatus;
    control->init(settings, status);
    server = control->findChild<LocalServer *>();
    if (!control->isListening() || !server)
        std::abort();
    QObject::connect(server, &LocalServer::clientConnected, [](qlonglong id) { clientId = id; });
    socketPath = server->fullServerName();
    connectClient();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    settings->store.clear();
    settings->store.sync();
    settings->read();
    status->stateDownload.clear();
    status->stateUpdate = QStringLiteral("init");
    status->readyVersionCode = 0;
    status->downloadProgress.clear();
    if (!server->hasClient(clientId))
        connectClient();

    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    for (const QByteArray &piece : bytes.split('\x1e'))
        control->dataReceived(clientId, QString::fromUtf8(piece));
    // As a disconnect does: what the client left unfinished is forgotten.
    control->clientDisconnected(clientId);
    drain();
    return 0;
}
