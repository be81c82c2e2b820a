#include "httptestserver.h"

#include <QFile>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

struct HttpTestServer::Connection
{
    QTcpSocket *socket = nullptr;
    QByteArray buffer;
    QByteArray path;
    bool requestDone = false;
    QByteArray head;        // status line and headers, sent once the pre-header stall is over
    QByteArray body;        // in-memory body slice
    QFile *file = nullptr;  // or a file slice
    qint64 position = 0;    // bytes of the response body sent
    qint64 length = 0;      // bytes of the response body to send
    qint64 stallAfter = -1;
    qint64 resetAfter = -1;
    int stallMs = 0;
    int chunkSize = 64 * 1024;
    int chunkDelayMs = 0;
    bool waiting = false;   // a timer will resume pumping
    bool headersSent = false;
    QTimer *timer = nullptr;
};

namespace {
QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}
}

HttpTestServer::HttpTestServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
}

HttpTestServer::~HttpTestServer()
{
    const QList<Connection *> connections = m_connections;
    for (Connection *c : connections)
        dropConnection(c);
}

bool HttpTestServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

quint16 HttpTestServer::port() const
{
    return m_server.serverPort();
}

QUrl HttpTestServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void HttpTestServer::setRoute(const QByteArray &path, const Route &route)
{
    m_routes.insert(path, route);
    m_stallsUsed.remove(path);
    m_resetsUsed.remove(path);
}

HttpTestServer::Route &HttpTestServer::route(const QByteArray &path)
{
    return m_routes[path];
}

void HttpTestServer::serveData(const QByteArray &path, const QByteArray &body, bool honourRange)
{
    Route r;
    r.body = body;
    r.honourRange = honourRange;
    setRoute(path, r);
}

void HttpTestServer::serveFile(const QByteArray &path, const QString &file)
{
    Route r;
    r.file = file;
    setRoute(path, r);
}

void HttpTestServer::redirect(const QByteArray &path, const QByteArray &location, int status)
{
    Route r;
    r.status = status;
    r.location = location;
    r.body = "redirection body that must not be stored";
    setRoute(path, r);
}

void HttpTestServer::fail(const QByteArray &path, int status, const QByteArray &body)
{
    Route r;
    r.status = status;
    r.body = body;
    setRoute(path, r);
}

QList<HttpTestServer::Request> HttpTestServer::requestsFor(const QByteArray &path) const
{
    QList<Request> result;
    for (const Request &r : m_requests) {
        if (r.path == path)
            result << r;
    }
    return result;
}

int HttpTestServer::openConnections() const
{
    return m_connections.size();
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto *c = new Connection;
        c->socket = socket;
        c->timer = new QTimer(socket);
        c->timer->setSingleShot(true);
        m_connections << c;
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, c] { pump(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { dropConnection(c); });
        connect(c->timer, &QTimer::timeout, this, [this, c] {
            c->waiting = false;
            if (!c->headersSent)
                sendHeaders(c);
            pump(c);
        });
    }
}

void HttpTestServer::dropConnection(Connection *c)
{
    if (!m_connections.removeOne(c))
        return;
    c->timer->stop();
    c->socket->disconnect(this);
    c->socket->abort();
    c->socket->deleteLater();
    delete c->file;
    delete c;
}

void HttpTestServer::onReadyRead(Connection *c)
{
    c->buffer += c->socket->readAll();
    if (c->requestDone)
        return;
    const int end = c->buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    c->requestDone = true;

    const QList<QByteArray> lines = c->buffer.left(end).split('\n');
    Request request;
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.path = first.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0)
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    m_requests << request;
    c->path = request.path;
    emit requestReceived(request.path);
    respond(c, request);
}

void HttpTestServer::respond(Connection *c, const Request &request)
{
    const bool known = m_routes.contains(request.path);
    Route route = m_routes.value(request.path);
    if (!known) {
        route.status = 404;
        route.body = "not found";
    }

    int status = route.status;
    QList<QByteArray> headers;
    qint64 total = 0;
    if (!route.file.isEmpty()) {
        c->file = new QFile(route.file);
        if (!c->file->open(QIODevice::ReadOnly)) {
            delete c->file;
            c->file = nullptr;
            status = 404;
            route.body = "missing file";
        } else {
            total = c->file->size();
        }
    }
    if (!c->file)
        total = route.body.size();

    if (!route.user.isEmpty()) {
        const QByteArray expected = "Basic " + (route.user + ':' + route.password).toBase64();
        if (request.header("Authorization") != expected) {
            status = 401;
            headers << "WWW-Authenticate: Basic realm=\"test\"";
            delete c->file;
            c->file = nullptr;
            route.body = "authentication required";
            total = route.body.size();
        }
    }

    qint64 from = 0;
    qint64 length = total;
    QByteArray range = request.header("Range");
    const QByteArray ifRange = request.header("If-Range");
    // A validator that no longer matches asks for the whole, current resource.
    if (!ifRange.isEmpty() && ifRange != route.etag && ifRange != route.lastModified)
        range.clear();
    if (status == 200 && route.honourRange && range.startsWith("bytes=")) {
        const QList<QByteArray> parts = range.mid(6).split('-');
        bool ok = false;
        const qint64 start = parts.value(0).toLongLong(&ok);
        qint64 last = total - 1;
        if (!parts.value(1).isEmpty())
            last = qMin(parts.value(1).toLongLong(), total - 1);
        if (!ok || start >= total || last < start) {
            status = 416;
            headers << "Content-Range: bytes */" + QByteArray::number(total);
            delete c->file;
            c->file = nullptr;
            route.body.clear();
            from = 0;
            length = 0;
        } else {
            status = 206;
            headers << "Content-Range: bytes " + QByteArray::number(start) + '-' + QByteArray::number(last) + '/'
                    + QByteArray::number(total);
            from = start;
            length = last - start + 1;
        }
    }
    if (status == 301 || status == 302)
        headers << "Location: " + route.location;
    if (!route.etag.isEmpty())
        headers << "ETag: " + route.etag;
    if (!route.lastModified.isEmpty())
        headers << "Last-Modified: " + route.lastModified;

    const bool stalls = known && (route.stalledRequests < 0 || m_stallsUsed.value(request.path) < route.stalledRequests);
    if (stalls && (route.stallBeforeHeadersMs != 0 || route.stallAfterBytes >= 0))
        m_stallsUsed[request.path] += 1;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    head += "Content-Type: " + route.contentType + "\r\n";
    if (route.sendContentLength)
        head += "Content-Length: " + QByteArray::number(route.announcedLength >= 0 ? route.announcedLength : length) + "\r\n";
    head += "Accept-Ranges: bytes\r\n";
    for (const QByteArray &h : qAsConst(headers))
        head += h + "\r\n";
    head += "Connection: close\r\n\r\n";

    c->head = head;
    c->length = length;
    c->position = 0;
    if (c->file)
        c->file->seek(from);
    else
        c->body = route.body.mid(int(from), int(length));
    c->chunkSize = qMax(1, route.chunkSize);
    c->chunkDelayMs = route.chunkDelayMs;
    if (known && route.resetAfterBytes >= 0
        && (route.resetRequests < 0 || m_resetsUsed.value(request.path) < route.resetRequests)) {
        m_resetsUsed[request.path] += 1;
        c->resetAfter = route.resetAfterBytes;
    }
    if (stalls) {
        c->stallAfter = route.stallAfterBytes;
        c->stallMs = route.stallMs;
    }

    if (stalls && route.stallBeforeHeadersMs != 0) {
        c->waiting = true;
        if (route.stallBeforeHeadersMs > 0)
            c->timer->start(route.stallBeforeHeadersMs);
        return;
    }
    sendHeaders(c);
    pump(c);
}

void HttpTestServer::sendHeaders(Connection *c)
{
    c->headersSent = true;
    c->socket->write(c->head);
}

void HttpTestServer::pump(Connection *c)
{
    if (c->waiting || !c->headersSent || !m_connections.contains(c))
        return;
    // Keep only a little in flight so that stalls and slow transfers happen where asked.
    while (c->position < c->length && c->socket->bytesToWrite() < 4 * c->chunkSize) {
        if (c->resetAfter >= 0 && c->position >= c->resetAfter) {
            // Reset (a short close would pass for the end of the body), once the bytes sent so far
            // have had time to arrive.
            c->resetAfter = -1;
            c->waiting = true;
            c->socket->flush();
            QPointer<QTcpSocket> socket(c->socket);
            QTimer::singleShot(200, this, [this, c, socket] {
                if (socket && m_connections.contains(c))
                    dropConnection(c);
            });
            return;
        }
        if (c->stallAfter >= 0 && c->position >= c->stallAfter) {
            c->stallAfter = -1;
            c->waiting = true;
            if (c->stallMs >= 0)
                c->timer->start(c->stallMs);
            emit responseStalled(c->path);
            return;
        }
        qint64 n = qMin<qint64>(c->chunkSize, c->length - c->position);
        if (c->stallAfter >= 0)
            n = qMin(n, c->stallAfter - c->position);
        if (c->resetAfter >= 0)
            n = qMin(n, c->resetAfter - c->position);
        const QByteArray chunk = c->file ? c->file->read(n) : c->body.mid(int(c->position), int(n));
        if (chunk.isEmpty())
            break;
        c->socket->write(chunk);
        c->position += chunk.size();
        if (c->chunkDelayMs > 0 && c->position < c->length) {
            c->waiting = true;
            c->timer->start(c->chunkDelayMs);
            return;
        }
    }
    if (c->position >= c->length && c->socket->bytesToWrite() == 0)
        c->socket->disconnectFromHost();
}
