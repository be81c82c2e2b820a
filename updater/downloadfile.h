#ifndef DOWNLOADFILE_H
#define DOWNLOADFILE_H

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QVariantMap>

#include <functional>

class QAuthenticator;
class QNetworkReply;
class DownloadFilePrivate;

// Fetches one HTTP resource into memory or into a file, resuming through a ".tmp" partial file
// (also across runs, and guarded by If-Range), following 301/302, reconnecting after a stall and checking an MD5
// digest and, when given ("sha256", "size"), the SHA-256 and length of the whole resource.
// A transfer with "max_size" ends as soon as the resource is known to be larger.
// With "check_space" a file transfer is refused when its announced length does not fit on the
// volume. Every successful start() ends with exactly one finished().
class DownloadFile : public QObject
{
    Q_OBJECT

public:
    explicit DownloadFile(QObject *parent = nullptr);
    ~DownloadFile() override;

    bool isDownloading() const;
    double getProgress() const;

    // Replaces the 30 s stall time-out that start() applies, so tests need not wait that long.
    // 0 restores the default.
    void setStallInterval(int msec);
    // Replaces the 60 s window over which less than lowSpeedLimit bytes/s count as a stall.
    // 0 restores the default.
    void setLowSpeedWindow(int msec);
    static constexpr qint64 lowSpeedLimit = 1024;

    // Headers sent with every request of the transfers started afterwards, redirections and
    // reconnections included, so that a plain web server can log them. A header whose name is not a
    // token or whose value holds a control character is left out with a warning: it could split the
    // request. The transfer's own headers (Range, If-Range, Accept-Encoding, User-Agent) win.
    void setExtraHeaders(const QMap<QByteArray, QByteArray> &headers);

    // Codes of finished() of our own; every other non-zero code is a QNetworkReply::NetworkError.
    enum TransferError {
        RenameError = -2,       // the complete partial file could not take its final name
        IntegrityError = -3,    // the bytes differ from the expected digest
        NoSpaceError = -4,      // the file's volume cannot hold it; the partial file is removed
        SizeLimitError = -5,    // the resource is larger than "max_size"
    };

    // Free bytes on the volume of a folder, -1 when unknown. Replaces QStorageInfo in tests.
    using FreeSpaceProbe = std::function<qint64(const QString &folder)>;
    void setFreeSpaceProbe(const FreeSpaceProbe &probe);
    // Room kept free beyond the announced length: the larger of this and 2 % of the length.
    static constexpr qint64 minSpaceMargin = 32 * 1024 * 1024;

    // Beside the partial file of "file": what it belongs to. A partial file is resumed only when
    // its marker names the same expected digest.
    static QString partialMarkerPath(const QString &file);

    // Trusts only the certificates of this PEM file for https, on every request of later transfers
    // (redirections and reconnections included); empty: the system's CAs. False when the file gives
    // no certificate: then no https server is trusted at all rather than any.
    bool setCaFile(const QString &pemPath);

    static constexpr int maxRedirects = 10;
    // Stalls (no byte for the stall interval, or a window below lowSpeedLimit) before the transfer
    // gives up; a window at lowSpeedLimit or faster starts the count again.
    static constexpr int maxStallReconnects = 10;

signals:
    void finished(int errorCode, QString content);
    void started(QString contentType, int contentLength);
    void progressChanged();
    void downloadingChanged();

private slots:
    void _q_downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void _q_downloadFinished(QNetworkReply *reply);
    void _q_authRequest(QNetworkReply *reply, QAuthenticator *auth);

public:
    bool start(QVariantMap params);
    void abort();
    void setAuth(QString user, QString password);
    void clearConnectionCache();

private:
    friend class DownloadFilePrivate;

    QString user;
    QString password;
    QMap<QByteArray, QByteArray> extraHeaders;
    QSharedPointer<DownloadFilePrivate> d;
};

#endif
