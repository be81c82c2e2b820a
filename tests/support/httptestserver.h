#ifndef HTTPTESTSERVER_H
#define HTTPTESTSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A small HTTP/1.1 server on the loopback interface for download tests. Each path is a route that
// serves bytes (or a file, read as it is sent) and can be told to misbehave: ignore Range, redirect,
// stall before the headers or in the middle of the body, break the connection, claim another length,
// demand Basic authentication or answer with an error status. If-Range is honoured against the
// route's ETag or Last-Modified. Every request is logged with its headers. One request per connection.
class HttpTestServer : public QObject
{
    Q_OBJECT
public:
    struct Route
    {
        QByteArray body;               // served when file is empty
        QString file;                  // served from disk in chunks when set
        int status = 200;              // 301/302 use location; 4xx/5xx send body as the error page
        QByteArray location;           // Location header of a redirection, sent as given
        bool honourRange = true;       // false: answer 200 with the whole body despite a Range header
        QByteArray contentType = "application/octet-stream";
        int stallBeforeHeadersMs = 0;  // wait this long before sending anything; -1 = for ever
        qint64 stallAfterBytes = -1;   // pause after this many body bytes of the response ...
        int stallMs = 0;               // ... for this long; -1 = for ever (until the client leaves)
        int stalledRequests = 1;       // how many requests of this route stall; -1 = all of them
        QByteArray user;               // non-empty: Basic authentication with user/password required
        QByteArray password;
        int chunkSize = 64 * 1024;     // body bytes per write
        int chunkDelayMs = 0;          // pause between chunks, to make a transfer slow
        QByteArray etag;               // sent as ETag when set
        QByteArray lastModified;       // sent as Last-Modified when set
        qint64 resetAfterBytes = -1;   // reset the connection after this many body bytes ...
        int resetRequests = 1;         // ... in this many requests of the route; -1 = all of them
        qint64 announcedLength = -1;   // Content-Length to claim instead of the true one
        bool sendContentLength = true; // false: the body ends when the connection closes
    };

    struct Request
    {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    };

    explicit HttpTestServer(QObject *parent = nullptr);
    ~HttpTestServer() override;

    // Listens on 127.0.0.1 on a free port.
    bool listen();
    quint16 port() const;
    QUrl url(const QString &path) const;

    void setRoute(const QByteArray &path, const Route &route);
    Route &route(const QByteArray &path);
    void serveData(const QByteArray &path, const QByteArray &body, bool honourRange = true);
    void serveFile(const QByteArray &path, const QString &file);
    void redirect(const QByteArray &path, const QByteArray &location, int status = 302);
    void fail(const QByteArray &path, int status, const QByteArray &body = QByteArray("error page"));

    QList<Request> requests() const { return m_requests; }
    QList<Request> requestsFor(const QByteArray &path) const;
    void clearRequests() { m_requests.clear(); }
    // Connections currently open (a stalled response keeps its connection).
    int openConnections() const;

signals:
    void requestReceived(const QByteArray &path);
    // A response has sent its body up to stallAfterBytes and now pauses.
    void responseStalled(const QByteArray &path);

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(Connection *c);
    void respond(Connection *c, const Request &request);
    void sendHeaders(Connection *c);
    void pump(Connection *c);
    void dropConnection(Connection *c);

    QTcpServer m_server;
    QHash<QByteArray, Route> m_routes;
    QHash<QByteArray, int> m_stallsUsed;
    QHash<QByteArray, int> m_resetsUsed;
    QList<Request> m_requests;
    QList<Connection *> m_connections;
};

#endif
