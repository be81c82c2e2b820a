#ifndef CONTROLCLIENT_H
#define CONTROLCLIENT_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QJsonObject>
#include <QLocalSocket>
#include <QString>
#include <QStringList>

// A short-lived client of the updater's control channel for a command-line tool: connects, asks,
// and waits for answers with a time-out, blocking (a command has nothing else to do meanwhile).
class ControlClient
{
public:
    enum class Result { Ok, NotRunning, Refused, TimedOut, Closed };

    explicit ControlClient(int timeoutMs);

    // Connects and waits for the first line of the greeting every client gets (ControlKeys::Greeting).
    // Exactly as many greeting lines as that list names are then read before any other line is
    // returned; an updater older than this tool greets with fewer, and its greeting ends with its
    // first line that is not the next one of the list.
    Result open(const QString &socketName);
    // The socket as the system names it, for messages.
    QString socketPath() const;
    // Why the last call did not return Ok.
    QString errorText() const { return m_error; }

    // The current values of the named keys. A key the running updater does not answer is left
    // out of values: the reply to a second "get" marks the end of the replies to the first.
    Result get(const QStringList &names, QJsonObject *values);
    // Sends one request that has no reply.
    Result send(const QJsonObject &request);
    // The next value pushed for key that is one of wanted (any value when wanted is empty), waiting
    // at most timeoutMs. Other values may be late pushes of what happened before the request.
    Result waitForPush(const QString &key, const QStringList &wanted, int timeoutMs, QJsonValue *value);

    // Whether line is the greeting's line number index.
    static bool isGreetingLine(const QJsonObject &line, int index);

private:
    // The next line that is not part of the greeting.
    Result readObject(const QDeadlineTimer &deadline, QJsonObject *object);
    Result readLine(const QDeadlineTimer &deadline, QJsonObject *object);
    Result timedOut(const QString &what);

    QLocalSocket m_socket;
    QString m_name;
    int m_timeoutMs;
    int m_greetingRead = 0;
    QString m_error;
};

#endif
