#ifndef DOWNLOADFILE_P_H
#define DOWNLOADFILE_P_H

#include "partialmarker.h"
#include "replydecision.h"
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
    static ReplyDecision decide(const ReplyEnd &end) { return ReplyDecision::decide(end); }
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
    bool hashing() const { return !expectedHash.isEmpty() || !expectedSha256.isEmpty(); }
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
    PartialMarker marker;
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
