#include "appupdater.h"

#include "logwriter.h"
#include "controlsocket.h"
#include "jsonline.h"
#include "launchersettings.h"
#include "tokens.h"

#include <QDebug>
#include <QJsonObject>
#include <QTimer>

namespace {
constexpr int FirstAttemptMs = 100;
constexpr int SoonAttemptMs = 1000;
constexpr int RetryAttemptMs = 60000;
}

AppUpdater::AppUpdater(QObject *parent)
    : AppProcess(parent)
    , m_timer(new QTimer(this))
    , socket(new QLocalSocket(this))
{
    // Each chunk is logged once, by appReadyRead().
    logOutput = false;
    connect(socket, &QLocalSocket::readyRead, this, &AppUpdater::socketReadyRead);
    connect(socket, &QLocalSocket::errorOccurred, this, &AppUpdater::socketError);
    connect(socket, &QLocalSocket::stateChanged, this, &AppUpdater::socketStateChanged);
    connect(socket, &QLocalSocket::disconnected, this, &AppUpdater::socketDisconnected);
    connect(socket, &QLocalSocket::connected, this, &AppUpdater::socketConnected);
    connect(m_timer, &QTimer::timeout, this, &AppUpdater::m_timerTimeout);
}

AppUpdater::~AppUpdater()
{
    // The socket's own teardown must not call back into a half-destroyed client.
    disconnect(socket, nullptr, this, nullptr);
    socket->deleteLater();
}

void AppUpdater::init(LauncherSettings *s)
{
    if (!s) {
        qDebug() << "AppUpdater s=null";
        return;
    }
    settings = s;
    updaterState = NOTRUNNING;
    m_timer->start(FirstAttemptMs);
}

int AppUpdater::pendingAttemptMs() const
{
    return m_timer->isActive() ? m_timer->interval() : 0;
}

void AppUpdater::m_timerTimeout()
{
    m_timer->stop();
    restartAtOnce = false;
    qDebug() << "[AppUpdater]" << "socketConnect";
    m_timer->start(RetryAttemptMs);
    socket->abort();
    QString error;
    const QString path = ControlSocket::path(settings->serverName, &error);
    if (path.isEmpty()) {
        qWarning() << "[AppUpdater]" << "no private folder for the control socket:" << error;
        return;
    }
    socket->connectToServer(path, QIODevice::ReadWrite);
}

void AppUpdater::socketConnected()
{
    QString error;
    // The folder is private, but only the peer's own credentials prove who listens there.
    if (!ControlSocket::peerIsOwnUser(socket->socketDescriptor(), &error)) {
        qWarning() << "[AppUpdater]" << "control socket refused, not our updater:" << error;
        socket->abort();
        return;
    }
    qDebug() << "[AppUpdater]" << "connected to local socket" << settings->serverName;
    m_timer->stop();
    sendPending();
}

void AppUpdater::requestRollback()
{
    rollbackPending = true;
    sendPending();
    lookForUpdaterSoon();
}

void AppUpdater::withdrawRollback()
{
    if (!rollbackPending)
        return;
    qWarning() << "[AppUpdater]" << "rollback withdrawn, no updater was reached";
    rollbackPending = false;
}

void AppUpdater::acceptVersion()
{
    commitPending = true;
    sendPending();
    lookForUpdaterSoon();
}

void AppUpdater::lookForUpdaterSoon()
{
    // The device shows a waiting window until a rollback is answered, and no update is installed
    // until the kept files are dropped: an updater that ended after an installation is looked
    // for now, not at the next attempt a minute later.
    if (!isConnected() && (updaterState == NOTRUNNING || updaterState == RECONNECT)
        && m_timer->interval() == RetryAttemptMs)
        m_timer->start(SoonAttemptMs);
}

void AppUpdater::sendPending()
{
    if (socket->state() != QLocalSocket::ConnectedState)
        return;
    // Each on a line of its own: the older requests go without a line feed, and two requests that
    // reach the updater in one read would otherwise be one broken line.
    if (rollbackPending) {
        qWarning() << "[AppUpdater]" << "rollback";
        socket->write('\n' + JsonLine::request(QLatin1String(Protocol::Action::Rollback)) + '\n');
        rollbackPending = false;
    }
    if (commitPending) {
        qDebug() << "[AppUpdater]" << "commit";
        socket->write('\n' + JsonLine::request(QLatin1String(Protocol::Action::Commit)) + '\n');
        commitPending = false;
    }
}

void AppUpdater::socketDisconnected()
{
    // Routine: every updater ends itself after an installation.
    qDebug() << "[AppUpdater]" << "disconnected from local socket, reconnect 60s";
    updaterState = RECONNECT;
    m_timer->start(restartAtOnce ? FirstAttemptMs : RetryAttemptMs);
    emit connectionLost();
}

void AppUpdater::socketStateChanged(QLocalSocket::LocalSocketState socketState)
{
    qDebug() << "[AppUpdater]" << "socketState:" << socketState;
}

void AppUpdater::socketError(QLocalSocket::LocalSocketError socketError)
{
    switch (socketError) {
    case QLocalSocket::ConnectionRefusedError:
        qDebug() << "[AppUpdater]" << "Connection Refused Error";
        // A refused connection with no updater known to run is the name left behind by a crashed
        // updater. A new updater clears such a name (and ends with "$UPDATER_ERR_LISTEN" if a live
        // server holds it), so starting one spares the device the reboot.
        if (updaterState == NOTRUNNING || updaterState == RECONNECT) {
            startUpdaterProgram();
        } else {
            qWarning() << "[AppUpdater]" << "device reboot required";
            updaterState = ERROR;
        }
        break;
    case QLocalSocket::PeerClosedError:
        // Routine: every updater closes the connection when it ends after an installation.
        qDebug() << "[AppUpdater]" << "Peer Closed Error";
        break;
    case QLocalSocket::ServerNotFoundError:
        qDebug() << "[AppUpdater]" << "local server:" << settings->serverName << "not found";
        if (updaterState == NOTRUNNING || updaterState == RECONNECT)
            startUpdaterProgram();
        break;
    default:
        break;
    }
    // Qt words a missing server "Invalid name", which it is not; the line above says what it is.
    if (socketError != QLocalSocket::ServerNotFoundError)
        qDebug() << "[AppUpdater]" << tr("The following error occurred: %1.").arg(socket->errorString());
    qDebug() << "[AppUpdater]" << "updaterState:" << enumName(updaterState);
}

void AppUpdater::startUpdaterProgram()
{
    if (settings->updaterAppActive == 0) {
        qDebug() << "[AppUpdater]" << "updater active = 0";
        return;
    }
    qDebug() << "[AppUpdater]" << "start updater";
    program = settings->updaterAppPath;
    if (fileExists(program)) {
        AppProcess::init(0);
        start();
    } else {
        qDebug() << "[AppUpdater]" << "file not exists:" << program;
        m_timer->start(RetryAttemptMs);
    }
}

void AppUpdater::socketReadyRead()
{
    // Only complete lines are messages; a partial one stays in the socket's buffer until its line
    // feed arrives with a later read.
    while (socket->canReadLine()) {
        QByteArray line = socket->readLine();
        line.chop(1);
        socketData(QString::fromUtf8(line));
    }
    if (socket->bytesAvailable() > MaxLineBytes) {
        qWarning() << "[AppUpdater]" << "line too long, dropped" << socket->bytesAvailable();
        socket->readAll();
    }
}

void AppUpdater::socketData(QString line)
{
    qDebug() << "[AppUpdater]" << "socketData" << line;
    // The wire carries UTF-8; re-encoding in the local 8-bit code page would mangle non-ASCII text
    // on devices whose code page is not UTF-8.
    QJsonObject object;
    const JsonLine::ParseError error = JsonLine::parseObject(line.toUtf8(), &object);
    if (error != JsonLine::ParseError::None) {
        qDebug() << "[AppUpdater]" << JsonLine::errorText(error);
        return;
    }
    const QString key = object.keys().constFirst();
    qDebug() << "[AppUpdater]" << "key:" << key;
    const QJsonValue value = object.value(key);
    if (key == QLatin1String(Protocol::Key::StateUpdate) && value.isString() && !value.toString().isEmpty()) {
        qDebug() << "[AppUpdater]" << "updater called" << key << ":" << value.toString();
        updatedSeen = value.toString() == QLatin1String(Protocol::State::Updated);
        emit stateUpdateChanged(value.toString());
    } else if (key == QLatin1String(Protocol::Key::StateProbation) && value.isString() && !value.toString().isEmpty()) {
        qDebug() << "[AppUpdater]" << "updater called" << key << ":" << value.toString();
        emit probationStateChanged(value.toString());
    }
}

void AppUpdater::sendAction(const QString &action)
{
    socket->write(JsonLine::request(action));
}

void AppUpdater::startUpdate()
{
    if (socket->state() != QLocalSocket::ConnectedState)
        return;
    qDebug() << "[AppUpdater]" << "startUpdate";
    sendAction(QLatin1String(Protocol::Action::Update));
}

void AppUpdater::appReadyRead()
{
    qDebug() << "[AppUpdater]" << "appReadyRead" << output;
    if (output.contains(QLatin1String(Tokens::UpdaterServerReady))) {
        updaterState = RUNNING;
        m_timer->start(SoonAttemptMs);
    } else if (output.contains(QLatin1String(Tokens::UpdaterErrListen))) {
        updaterState = ERROR;
        qWarning() << "[AppUpdater]" << Tokens::UpdaterErrListen;
    } else if (output.contains(QLatin1String(Tokens::Quit))) {
        updaterState = NOTRUNNING;
    }
}

void AppUpdater::appStarted()
{
    qDebug() << "[AppUpdater]" << "updaterStarted";
    updaterState = RUNNING;
    m_timer->start(SoonAttemptMs);
}

void AppUpdater::appFinished()
{
    const bool normalEnd = exitStatus == int(QProcess::NormalExit) && exitCode == 0;
    if (normalEnd)
        qDebug() << "[AppUpdater]" << "updater finished";
    else
        qWarning() << "[AppUpdater]" << "updater finished";
    updaterState = NOTRUNNING;
    // After an installation the updater ends by design; every later check and "tovrel-ctl" need
    // the next one now, not at the next attempt a minute later.
    if (normalEnd && updatedSeen) {
        updatedSeen = false;
        restartAtOnce = true;
        qDebug() << "[AppUpdater]" << "updater ended after an installation, starting it again";
        m_timer->start(FirstAttemptMs);
        return;
    }
    updatedSeen = false;
    // An updater that ends before it could be reached (it cannot come up at all) would otherwise
    // be started again by the attempt due 1 s after its start, every second, for ever.
    if (!isConnected())
        m_timer->start(RetryAttemptMs);
}

void AppUpdater::appTimeout()
{
    qDebug() << "[AppUpdater]" << "appTimeout";
    m_timer->start(SoonAttemptMs);
}

void AppUpdater::appError()
{
    qWarning() << "[AppUpdater]" << "appError";
}

void AppUpdater::appExit()
{
    qDebug() << "[AppUpdater]" << "appExit";
    if (socket->state() == QLocalSocket::ConnectedState) {
        qDebug() << "[AppUpdater]" << "send quit";
        sendAction(QLatin1String(Protocol::Action::Quit));
    }
}
