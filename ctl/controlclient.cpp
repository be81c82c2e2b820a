#include "controlclient.h"

#include "jsonline.h"
#include "keycheck.h"
#include "protocol.h"

#include <QDir>
#include <QJsonDocument>

namespace {
const QString endMarkKey = QLatin1String(Protocol::Key::ReadyVersion);
}

ControlClient::ControlClient(int timeoutMs)
    : m_timeoutMs(timeoutMs)
{
}

QString ControlClient::socketPath() const
{
    if (!m_socket.fullServerName().isEmpty())
        return m_socket.fullServerName();
    // Where Qt looks for a bare name; a failed connect leaves fullServerName() empty.
    const QString &name = m_name;
    return name.startsWith(QLatin1Char('/')) ? name : QDir::tempPath() + QLatin1Char('/') + name;
}

ControlClient::Result ControlClient::timedOut(const QString &what)
{
    m_error = QStringLiteral("no answer from the updater at %1 within %2 s while %3")
                  .arg(socketPath())
                  .arg(m_timeoutMs / 1000.0)
                  .arg(what);
    return Result::TimedOut;
}

ControlClient::Result ControlClient::open(const QString &socketName)
{
    m_name = socketName;
    m_socket.connectToServer(socketName);
    if (!m_socket.waitForConnected(m_timeoutMs)) {
        switch (m_socket.error()) {
        case QLocalSocket::ServerNotFoundError:
            m_error = QStringLiteral("the updater is not running (no socket %1)").arg(socketPath());
            return Result::NotRunning;
        case QLocalSocket::ConnectionRefusedError:
            m_error = QStringLiteral("the socket %1 refused the connection (an updater that was killed leaves "
                                     "its socket behind; a running one may be too busy)")
                          .arg(socketPath());
            return Result::Refused;
        case QLocalSocket::SocketAccessError:
            m_error = QStringLiteral("no permission to connect to %1 (it belongs to another user?)").arg(socketPath());
            return Result::Refused;
        case QLocalSocket::SocketTimeoutError:
            return timedOut(QStringLiteral("connecting"));
        default:
            m_error = QStringLiteral("cannot connect to %1: %2").arg(socketPath(), m_socket.errorString());
            return Result::Refused;
        }
    }
    // The rest of the greeting is read before the first reply: waiting here for all of it would
    // hang on an older updater that sends fewer lines.
    const QDeadlineTimer deadline(m_timeoutMs);
    QJsonObject first;
    const Result result = readLine(deadline, &first);
    if (result == Result::TimedOut)
        return timedOut(QStringLiteral("waiting for its greeting"));
    if (result != Result::Ok)
        return result;
    m_greetingRead = isGreetingLine(first, 0) ? 1 : ControlKeys::GreetingLines;
    return Result::Ok;
}

bool ControlClient::isGreetingLine(const QJsonObject &line, int index)
{
    return index >= 0 && index < ControlKeys::GreetingLines && line.size() == 1
        && line.contains(QLatin1String(ControlKeys::keys[ControlKeys::Greeting[index]].name));
}

ControlClient::Result ControlClient::readObject(const QDeadlineTimer &deadline, QJsonObject *object)
{
    for (;;) {
        const Result result = readLine(deadline, object);
        if (result != Result::Ok || m_greetingRead >= ControlKeys::GreetingLines)
            return result;
        if (!isGreetingLine(*object, m_greetingRead)) {
            m_greetingRead = ControlKeys::GreetingLines;
            return result;
        }
        ++m_greetingRead;
    }
}

ControlClient::Result ControlClient::readLine(const QDeadlineTimer &deadline, QJsonObject *object)
{
    for (;;) {
        while (m_socket.canReadLine()) {
            // Lines that are not one object are not ours to judge; the next one may be.
            if (JsonLine::parseObject(m_socket.readLine().trimmed(), object) == JsonLine::ParseError::None)
                return Result::Ok;
        }
        if (m_socket.state() != QLocalSocket::ConnectedState) {
            m_error = QStringLiteral("the updater closed the connection");
            return Result::Closed;
        }
        if (deadline.hasExpired())
            return Result::TimedOut;
        if (!m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))
            && m_socket.state() != QLocalSocket::ConnectedState && !m_socket.canReadLine()) {
            m_error = QStringLiteral("the updater closed the connection");
            return Result::Closed;
        }
    }
}

ControlClient::Result ControlClient::send(const QJsonObject &request)
{
    // One object per line: the updater takes line-separated requests that arrive in one burst apart.
    m_socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    if (!m_socket.waitForBytesWritten(m_timeoutMs) && m_socket.bytesToWrite() > 0) {
        if (m_socket.state() != QLocalSocket::ConnectedState) {
            m_error = QStringLiteral("the updater closed the connection");
            return Result::Closed;
        }
        return timedOut(QStringLiteral("sending"));
    }
    return Result::Ok;
}

ControlClient::Result ControlClient::get(const QStringList &names, QJsonObject *values)
{
    // "ready_version" is never pushed, so its reply is certainly ours. Every answer to the first
    // request precedes the answer to the second, which also covers keys newer than the updater.
    QJsonObject request{{QLatin1String(Protocol::Key::Action), QLatin1String(Protocol::Action::Get)}};
    for (const QString &name : names) {
        if (const ControlKeys::Key *key = KeyCheck::find(name))
            request.insert(name, KeyCheck::placeholder(*key));
    }
    request.insert(endMarkKey, 0);
    const QJsonObject endMark{{QLatin1String(Protocol::Key::Action), QLatin1String(Protocol::Action::Get)},
                              {endMarkKey, 0}};

    Result result = send(request);
    if (result != Result::Ok)
        return result;
    const QDeadlineTimer deadline(m_timeoutMs);
    QJsonObject received;
    for (int marks = 0; marks < 2;) {
        QJsonObject line;
        result = readObject(deadline, &line);
        if (result == Result::TimedOut)
            return timedOut(QStringLiteral("waiting for the values"));
        if (result != Result::Ok)
            return result;
        for (auto it = line.constBegin(); it != line.constEnd(); ++it) {
            if (it.key() == endMarkKey && ++marks == 1 && (result = send(endMark)) != Result::Ok)
                return result;
            // A pushed state replaces the reply: it is newer.
            if (marks < 2 || it.key() != endMarkKey)
                received.insert(it.key(), it.value());
        }
    }
    values->swap(received);
    for (auto it = values->begin(); it != values->end();) {
        if (!names.contains(it.key()))
            it = values->erase(it);
        else
            ++it;
    }
    return Result::Ok;
}

ControlClient::Result ControlClient::waitForPush(const QString &key, const QStringList &wanted, int timeoutMs,
                                                QJsonValue *value)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        QJsonObject line;
        const Result result = readObject(deadline, &line);
        if (result == Result::TimedOut) {
            m_error = QStringLiteral("the updater sent no %1 within %2 s").arg(key).arg(timeoutMs / 1000.0);
            return result;
        }
        if (result != Result::Ok)
            return result;
        if (line.contains(key) && (wanted.isEmpty() || wanted.contains(line.value(key).toString()))) {
            *value = line.value(key);
            return Result::Ok;
        }
    }
}
