#ifndef DOWNLOADFILE_P_H
#define DOWNLOADFILE_P_H

#include "streamhash.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QSslCertificate>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>

#include <QNetworkReply>

class DownloadFile;
class QFileDevice;
class QIODevice;

// What is known when the current reply ends, gathered by the reply handler.
struct ReplyEnd
{
    int failCode = 0;               // set when the data handler ended the reply itself
    QString failText;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorText;
    int status = 0;                 // HTTP status, 0 when none arrived
    bool redirected = false;        // a 301/302 whose body was skipped
    QUrl url;                       // of the request the reply answers
    QUrl redirectTarget;
    int redirectsFollowed = 0;      // in this transfer so far
    bool stalled = false;           // the stall timer cancelled the reply
    int stallReconnects = 0;        // since the last window at the lowest acceptable speed
    bool hasOutput = false;
    qint64 offset = 0;              // bytes of the resource the output held when the request was sent
    QString expectedHash;
    QString receivedHash;           // hexadecimal digest of every byte the output holds
    QByteArray expectedSha256;      // lower-case hex, empty: none expected
    QByteArray receivedSha256;
    qint64 expectedSize = -1;       // of the whole resource, -1: unknown
    qint64 held = 0;                // bytes of the resource the output holds
    qint64 expectedEnd = -1;        // where the body should end by its Content-Length, -1 unknown
};

// How a transfer goes on after a reply: one more request, or its end.
struct ReplyDecision
{
    enum Action { Finish, Redirect, Reconnect, Restart };
    Action action = Finish;
    int code = 0;                   // Finish: 0 commits the output as the result
    QString text;                   // Finish with an error: its text
    QUrl url;                       // Redirect: the absolute target
};

// Transfer state of one DownloadFile: the request in flight, the output device and the digest.
class DownloadFilePrivate
{
public:
    explicit DownloadFilePrivate(DownloadFile *q);
    ~DownloadFilePrivate();
    DownloadFilePrivate(const DownloadFilePrivate &) = delete;
    DownloadFilePrivate &operator=(const DownloadFilePrivate &) = delete;

    void sendRequest();
    void readData(QNetworkReply *source);
    void onStallTimeout();
    void onSpeedWindow();
    void downloadFinished(QNetworkReply *finishedReply);
    static ReplyDecision decide(const ReplyEnd &end);
    // Closes the output and turns it into the result: the final file or the body.
    void commitOutput(QIODevice *device, int &code, QString &content);
    void finishTransfer(QIODevice *device, int code, const QString &content);
    // Drops what the output holds and what the digest has seen, so the transfer restarts at byte 0.
    bool rewindOutput();
    // Ends the current reply; finished() then reports errorCode and errorText instead of the reply's.
    void failTransfer(int errorCode, const QString &errorText);
    int stallIntervalMs() const;
    // Refuses the reply's body when its announced length does not fit on the file's volume.
    bool checkRoom(QNetworkReply *source);
    qint64 freeSpace() const;
    bool readMarker();
    void writeMarker();
    // What a partial file belongs to: the expected digests (and size) of the whole resource.
    QByteArray markerIdentity() const;
    bool hashing() const { return !expectedHash.isEmpty() || !expectedSha256.isEmpty(); }
    void recordValidator(QNetworkReply *source);
    // Ends the transfer once the resource is known to exceed maxSize.
    bool checkSize(qint64 total);
    // The code and text of a failed write; errorNumber is errno right after it.
    void writeFailure(QFileDevice *file, int errorNumber, int &code, QString &text) const;
    QNetworkAccessManager *network();
    void clearCaches();

    DownloadFile *q;
    QNetworkAccessManager *manager = nullptr;
    StreamHash digest;
    StreamHash sha256;
    QTimer stallTimer;
    QTimer speedTimer;              // one low-speed window per interval
    qint64 windowBytes = 0;
    QNetworkReply *reply = nullptr;
    QIODevice *output = nullptr;
    bool firstChunk = false;
    bool redirected = false;
    bool toFile = false;
    bool resuming = false;
    bool checkSpace = false;
    double progress = 0;
    QString expectedHash;
    QByteArray expectedSha256;
    qint64 expectedSize = -1;
    bool useCaCertificates = false; // a CA file was configured: trust only its certificates
    QList<QSslCertificate> caCertificates;
    QUrl url;
    qint64 offset = 0;
    qint64 held = 0;                // bytes of the resource the output holds
    qint64 expectedEnd = -1;        // by the Content-Length of the current reply, -1 unknown
    QString markerName;
    QByteArray validator;           // sent as If-Range with a range request
    qint64 maxSize = 0;             // 0: no limit

    int redirectCount = 0;
    int stallReconnects = 0;
    bool statusLogged = false;
    int stallOverrideMs = 0;
    int failCode = 0;
    QString failText;
    std::function<qint64(const QString &)> freeSpaceProbe;
};

#endif
