#include "controllocalserver.h"

#include "controlsocket.h"
#include "jsonline.h"
#include "localserver.h"
#include "protocol.h"
#include "updatersettings.h"
#include "updaterstatus.h"
#include "utils.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QTimer>

#include <cmath>
#include <limits>

namespace {
const char prefix[] = "[ControlLocalServer]";

// A number member as a whole number; -1 (invalid) when it has a fraction or does not fit.
int wholeNumber(const QJsonValue &value)
{
    const double number = value.toDouble();
    if (std::floor(number) != number || number < std::numeric_limits<int>::min()
        || number > std::numeric_limits<int>::max())
        return -1;
    return int(number);
}
}

ControlLocalServer::ControlLocalServer(QObject *parent)
    : QObject(parent)
{
}

ControlLocalServer::~ControlLocalServer()
{
    if (server)
        server->close();
}

QString ControlLocalServer::escaped(const QString &value)
{
    return JsonLine::escaped(value);
}

QString ControlLocalServer::stringMessage(const QString &key, const QString &value)
{
    return JsonLine::stringMessage(key, value);
}

QString ControlLocalServer::numberMessage(const QString &key, qint64 value)
{
    return JsonLine::numberMessage(key, value);
}

void ControlLocalServer::init(UpdaterSettings *s, UpdaterStatus *st)
{
    qDebug() << prefix << "init()";
    if (!s || !st || s->serverName.isEmpty()) {
        qDebug() << prefix << "server name not set";
        Utils::outsn(QLatin1String(Protocol::Token::UpdaterErrListen));
        return;
    }
    settings = s;
    status = st;
    server = new LocalServer(this);
    connect(server, &LocalServer::clientConnected, this, &ControlLocalServer::clientConnected);
    connect(server, &LocalServer::clientDisconnected, this, &ControlLocalServer::clientDisconnected);
    connect(server, &LocalServer::clientConnectedError, this, &ControlLocalServer::clientConnectedError);
    connect(server, &LocalServer::dataReceived, this, &ControlLocalServer::dataReceived);

    QString error;
    QString note;
    const QString path = ControlSocket::path(settings->serverName, &error, &note);
    if (!note.isEmpty())
        qWarning() << prefix << "control socket folder:" << note;
    if (path.isEmpty() || !server->startServer(path)) {
        qDebug() << prefix << "Unable to start the server:" << (path.isEmpty() ? error : server->lastError());
        Utils::outsn(QLatin1String(Protocol::Token::UpdaterErrListen));
        server->deleteLater();
        server = nullptr;
        return;
    }
    qDebug() << prefix << "local server listen" << settings->serverName;
    // A client that knows only the name looks for it in the system's temporary folder; our own
    // programs use the private folder, where no other user can put a server of theirs.
    if (!server->alsoListen(settings->serverName))
        qWarning() << prefix << "plain name not taken:" << settings->serverName << server->lastError();

    sendTimer = new QTimer(this);
    connect(sendTimer, &QTimer::timeout, this, &ControlLocalServer::sendTimerTimeout);
    connect(status, &UpdaterStatus::stateDownloadChanged, this, &ControlLocalServer::stateDownloadChanged);
    connect(status, &UpdaterStatus::stateUpdateChanged, this, &ControlLocalServer::stateUpdateChanged);
    connect(status, &UpdaterStatus::stateProbationChanged, this, &ControlLocalServer::stateProbationChanged);
    connect(status, &UpdaterStatus::stateJournalChanged, this, &ControlLocalServer::stateJournalChanged);
    Utils::outsn(QLatin1String(Protocol::Token::UpdaterServerReady));
}

void ControlLocalServer::clientConnected(qlonglong psocket)
{
    qDebug() << prefix << "clientConnected" << psocket;
    if (!server || !settings)
        return;
    // Each on a line of its own: the launcher reads only the first member of a line.
    for (const ControlKeys::Id id : ControlKeys::Greeting) {
        const ControlKeys::Key &key = ControlKeys::keys[id];
        server->dataSend(psocket, stringMessage(QLatin1String(key.name), channelValue(key).toString()));
    }
}

void ControlLocalServer::clientDisconnected(qlonglong psocket)
{
    qDebug() << prefix << "clientDisconnected" << psocket;
    pendingRequests.remove(psocket);
}

void ControlLocalServer::clientConnectedError(qlonglong psocket)
{
    qDebug() << prefix << "clientConnectedError" << psocket;
}

void ControlLocalServer::dataReceived(qlonglong psocket, QString message)
{
    qDebug() << prefix << "dataReceived" << psocket << "msg:" << message.left(MaxLoggedChars);
    // The wire is UTF-8 whatever the locale says; a local 8-bit round trip would mangle non-ASCII values.
    // Taken out while handled: a reply may end the client and with it its entry.
    QByteArray buffer = pendingRequests.take(psocket) + message.toUtf8();
    handleBuffered(psocket, buffer);
    if (buffer.size() > MaxPendingRequestBytes) {
        qDebug() << prefix << "request too long, dropped" << buffer.size();
        buffer.clear();
    }
    if (!buffer.isEmpty() && server && server->hasClient(psocket))
        pendingRequests.insert(psocket, buffer);
}

void ControlLocalServer::handleBuffered(qlonglong psocket, QByteArray &buffer)
{
    // The launcher writes one object with no line feed: what is one whole document is one request.
    const QByteArray trimmed = buffer.trimmed();
    if ((trimmed.endsWith('}') || trimmed.endsWith(']')) && JsonLine::isDocument(buffer)) {
        const QByteArray request = buffer;
        buffer.clear();
        handleDocument(psocket, request);
        return;
    }
    // Otherwise a client ends each request with a line feed and may send several, or one in pieces.
    int end;
    while ((end = buffer.indexOf('\n')) >= 0) {
        const QByteArray line = buffer.left(end);
        buffer.remove(0, end + 1);
        if (!line.trimmed().isEmpty())
            handleDocument(psocket, line);
    }
    // A tail that more bytes can still complete waits for them; one that is whole or already
    // broken beyond repair is handled now.
    if (!buffer.trimmed().isEmpty() && !JsonLine::isUnfinished(buffer)) {
        const QByteArray request = buffer;
        buffer.clear();
        handleDocument(psocket, request);
    }
}

void ControlLocalServer::handleDocument(qlonglong psocket, const QByteArray &bytes)
{
    QJsonObject object;
    const JsonLine::ParseError error = JsonLine::parseObject(bytes, &object);
    if (error != JsonLine::ParseError::None) {
        qDebug() << prefix << JsonLine::errorText(error);
        return;
    }
    const QJsonValue action = object.value(QLatin1String(Protocol::Key::Action));
    if (!action.isString() || action.toString().isEmpty()) {
        qDebug() << prefix << "JSON not action key.";
        return;
    }

    const QString name = action.toString();
    if (name == QLatin1String(Protocol::Action::Quit)) {
        Utils::outsn(QLatin1String(Protocol::Token::Quit));
        emit quit();
    } else if (name == QLatin1String(Protocol::Action::Update)) {
        emit update();
    } else if (name == QLatin1String(Protocol::Action::DownloadUpdate)) {
        emit downloadUpdate();
    } else if (name == QLatin1String(Protocol::Action::Rollback)) {
        emit rollback();
    } else if (name == QLatin1String(Protocol::Action::Commit)) {
        emit commit();
    } else {
        handleGetSet(psocket, object);
    }
}

void ControlLocalServer::handleGetSet(qlonglong psocket, const QJsonObject &object)
{
    if (!server || !settings)
        return;
    const QString action = object.value(QLatin1String(Protocol::Key::Action)).toString();
    const bool get = action == QLatin1String(Protocol::Action::Get);
    const bool set = action == QLatin1String(Protocol::Action::Set);

    for (const ControlKeys::Key &key : ControlKeys::keys) {
        const QString name = QLatin1String(key.name);
        const bool text = key.kind == ControlKeys::Kind::Text;
        const QJsonValue member = object.value(name);
        if (text ? !member.isString() : !member.isDouble())
            continue;
        const QVariant value = text ? QVariant(member.toString()) : QVariant(wholeNumber(member));
        // One invalid value ends the request; what was already answered or stored stays.
        if (text ? value.toString().isEmpty() : value.toInt() < 0)
            return;

        if (get || (set && ControlKeys::isReadOnly(key))) {
            const QVariant current = channelValue(key);
            server->dataSend(psocket, text ? stringMessage(name, current.toString())
                                           : numberMessage(name, current.toLongLong()));
        } else if (set) {
            settings->setChannelValue(key, value);
        }
    }
}

QVariant ControlLocalServer::channelValue(const ControlKeys::Key &key) const
{
    const QVariant value = status->channelValue(key);
    return value.isValid() ? value : settings->channelValue(key);
}

void ControlLocalServer::stateJournalChanged()
{
    if (server && status)
        server->dataSendToAll(stringMessage(QLatin1String(Protocol::Key::StateJournal), status->stateJournal));
}

void ControlLocalServer::stateProbationChanged()
{
    if (server && status)
        server->dataSendToAll(stringMessage(QLatin1String(Protocol::Key::StateProbation), status->stateProbation));
}

void ControlLocalServer::stateUpdateChanged()
{
    if (server && status)
        server->dataSendToAll(stringMessage(QLatin1String(Protocol::Key::StateUpdate), status->stateUpdate));
}

void ControlLocalServer::stateDownloadChanged()
{
    if (!server || !status || !sendTimer)
        return;
    pendingMessage = stringMessage(QLatin1String(Protocol::Key::StateDownload), status->stateDownload);
    sendTimer->start(1);
}

bool ControlLocalServer::hasPendingDownloadState() const
{
    return sendTimer && sendTimer->isActive();
}

void ControlLocalServer::sendTimerTimeout()
{
    if (!hasPendingDownloadState())
        return;
    sendTimer->stop();
    if (server)
        server->dataSendToAll(pendingMessage);
}

void ControlLocalServer::deliverPending(int timeoutMs)
{
    sendTimerTimeout();
    const QDeadlineTimer deadline(timeoutMs);
    auto *poll = new QTimer(this);
    const auto check = [this, poll, deadline] {
        if (server && server->unsentBytes() > 0 && !deadline.hasExpired())
            return;
        if (server && server->unsentBytes() > 0)
            qDebug() << prefix << "replies not delivered in time" << server->unsentBytes();
        poll->stop();
        poll->deleteLater();
        emit delivered();
    };
    connect(poll, &QTimer::timeout, this, check);
    // The socket writes on its own in the event loop; looking every 10 ms costs nothing.
    poll->start(10);
}
