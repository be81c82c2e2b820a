#include "controllocalserver.h"

#include "localserver.h"
#include "settings.h"
#include "utils.h"

#include <QDebug>
#include <QJsonDocument>
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
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '\b': out += QLatin1String("\\b"); break;
        case '\f': out += QLatin1String("\\f"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QString ControlLocalServer::stringMessage(const QString &key, const QString &value)
{
    return QLatin1String("{\"") + key + QLatin1String("\":\"") + escaped(value) + QLatin1String("\"}");
}

QString ControlLocalServer::numberMessage(const QString &key, qint64 value)
{
    return QLatin1String("{\"") + key + QLatin1String("\":") + QString::number(value) + QLatin1Char('}');
}

void ControlLocalServer::init(Settings *s)
{
    qDebug() << prefix << "init()";
    if (!s || s->serverName.isEmpty()) {
        qDebug() << prefix << "server name not set";
        Utils::outsn(QStringLiteral("$UPDATER_ERR_LISTEN"));
        return;
    }
    settings = s;
    server = new LocalServer(this);
    connect(server, &LocalServer::clientConnected, this, &ControlLocalServer::clientConnected);
    connect(server, &LocalServer::clientDisconnected, this, &ControlLocalServer::clientDisconnected);
    connect(server, &LocalServer::clientConnectedError, this, &ControlLocalServer::clientConnectedError);
    connect(server, &LocalServer::dataReceived, this, &ControlLocalServer::dataReceived);

    if (!server->startServer(settings->serverName)) {
        qDebug() << prefix << "Unable to start the server:" << server->lastError();
        Utils::outsn(QStringLiteral("$UPDATER_ERR_LISTEN"));
        server->deleteLater();
        server = nullptr;
        return;
    }
    qDebug() << prefix << "local server listen" << settings->serverName;

    sendTimer = new QTimer(this);
    connect(sendTimer, &QTimer::timeout, this, &ControlLocalServer::sendTimerTimeout);
    Utils::outsn(QStringLiteral("$UPDATER_SERVER_READY"));
}

void ControlLocalServer::clientConnected(qlonglong psocket)
{
    qDebug() << prefix << "clientConnected" << psocket;
    sendStateUpdate(psocket);
    sendStateDownload(psocket);
}

void ControlLocalServer::clientDisconnected(qlonglong psocket)
{
    qDebug() << prefix << "clientDisconnected" << psocket;
}

void ControlLocalServer::clientConnectedError(qlonglong psocket)
{
    qDebug() << prefix << "clientConnectedError" << psocket;
}

void ControlLocalServer::dataReceived(qlonglong psocket, QString message)
{
    qDebug() << prefix << "dataReceived" << psocket << "msg:" << message;
    // The wire is UTF-8 whatever the locale says; a local 8-bit round trip would mangle non-ASCII values.
    const QByteArray bytes = message.toUtf8();
    if (QJsonDocument::fromJson(bytes).isNull() && bytes.contains('\n')) {
        // A client that ends each request with a line feed may have several in one burst.
        for (const QByteArray &line : bytes.split('\n')) {
            if (!line.trimmed().isEmpty())
                handleDocument(psocket, line);
        }
        return;
    }
    handleDocument(psocket, bytes);
}

void ControlLocalServer::handleDocument(qlonglong psocket, const QByteArray &bytes)
{
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (document.isNull()) {
        qDebug() << prefix << "Failed to create JSON doc.";
        return;
    }
    if (!document.isObject()) {
        qDebug() << prefix << "JSON is not an object.";
        return;
    }
    const QJsonObject object = document.object();
    if (object.isEmpty()) {
        qDebug() << prefix << "JSON object is empty.";
        return;
    }
    const QJsonValue action = object.value(QLatin1String("action"));
    if (!action.isString() || action.toString().isEmpty()) {
        qDebug() << prefix << "JSON not action key.";
        return;
    }

    const QString name = action.toString();
    if (name == QLatin1String("quit")) {
        Utils::outsn(QStringLiteral("$QUIT"));
        emit quit();
    } else if (name == QLatin1String("update")) {
        emit update();
    } else if (name == QLatin1String("download_update")) {
        emit downloadUpdate();
    } else {
        handleGetSet(psocket, object);
    }
}

void ControlLocalServer::handleGetSet(qlonglong psocket, const QJsonObject &object)
{
    if (!server || !settings)
        return;
    const QString action = object.value(QLatin1String("action")).toString();
    const bool get = action == QLatin1String("get");
    const bool set = action == QLatin1String("set");

    enum Kind { Text, Number };
    struct Key
    {
        const char *name;
        Kind kind;
        bool readOnly;
    };
    static const Key keys[] = {
        {"link", Text, false},
        {"period", Number, false},
        {"installed_version", Number, false},
        {"device_id", Text, false},
        {"active_download", Number, false},
        {"active_update", Number, false},
        {"state_download", Text, true},
        {"state_update", Text, true},
        {"ready_version", Number, true},
    };

    for (int i = 0; i < int(sizeof(keys) / sizeof(keys[0])); ++i) {
        const QString key = QLatin1String(keys[i].name);
        const QJsonValue member = object.value(key);
        if (keys[i].kind == Text ? !member.isString() : !member.isDouble())
            continue;
        const QString text = member.toString();
        const int number = keys[i].kind == Number ? wholeNumber(member) : 0;
        if (keys[i].kind == Text ? text.isEmpty() : number < 0)
            return;

        if (get || (set && keys[i].readOnly)) {
            QString reply;
            switch (i) {
            case 0: reply = stringMessage(key, settings->getDownloadLink()); break;
            case 1: reply = numberMessage(key, settings->getPeriodCheckUpdate()); break;
            case 2: reply = numberMessage(key, settings->getAppVersionCode()); break;
            case 3: reply = stringMessage(key, settings->getDeviceId()); break;
            case 4: reply = numberMessage(key, settings->appDownloadActive); break;
            case 5: reply = numberMessage(key, settings->appUpdateActive); break;
            case 6: sendStateDownload(psocket); continue;
            case 7: sendStateUpdate(psocket); continue;
            case 8: sendReadyVersion(psocket); continue;
            }
            server->dataSend(psocket, reply);
        } else if (set) {
            switch (i) {
            case 0: settings->setDownloadLink(text); break;
            case 1: settings->setPeriodCheckUpdate(number); break;
            case 2: settings->setAppVersionCode(number); break;
            case 3: settings->setDeviceId(text); break;
            case 4: settings->setActiveDowload(number); break;
            case 5: settings->setActiveUpdate(number); break;
            }
        }
    }
}

void ControlLocalServer::sendStateUpdate(qlonglong psocket)
{
    if (server && settings)
        server->dataSend(psocket, stringMessage(QStringLiteral("state_update"), settings->stateUpdate));
}

void ControlLocalServer::sendStateDownload(qlonglong psocket)
{
    if (server && settings)
        server->dataSend(psocket, stringMessage(QStringLiteral("state_download"), settings->stateDownload));
}

void ControlLocalServer::sendReadyVersion(qlonglong psocket)
{
    if (server && settings)
        server->dataSend(psocket, numberMessage(QStringLiteral("ready_version"), settings->readyVersionCode));
}

void ControlLocalServer::stateUpdateChanged()
{
    if (server && settings)
        server->dataSendToAll(stringMessage(QStringLiteral("state_update"), settings->stateUpdate));
}

void ControlLocalServer::stateDownloadChanged()
{
    if (!server || !settings || !sendTimer)
        return;
    pendingMessage = stringMessage(QStringLiteral("state_download"), settings->stateDownload);
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
