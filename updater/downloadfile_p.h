#ifndef DOWNLOADFILE_P_H
#define DOWNLOADFILE_P_H

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QString>
#include <QTimer>
#include <QUrl>

class DownloadFile;
class QIODevice;
class QNetworkReply;

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
    void downloadFinished(QNetworkReply *finishedReply);
    // Drops what the output holds and what the digest has seen, so the transfer restarts at byte 0.
    bool rewindOutput();
    // Ends the current reply; finished() then reports errorCode and errorText instead of the reply's.
    void failTransfer(int errorCode, const QString &errorText);
    int stallIntervalMs() const;
    QNetworkAccessManager *network();
    void clearCaches();

    DownloadFile *q;
    QNetworkAccessManager *manager = nullptr;
    QCryptographicHash digest;
    QTimer stallTimer;
    QNetworkReply *reply = nullptr;
    QIODevice *output = nullptr;
    bool firstChunk = false;
    bool redirected = false;
    bool toFile = false;
    bool resuming = false;
    double progress = 0;
    QString expectedHash;
    QUrl url;
    qint64 offset = 0;

    int redirectCount = 0;
    int stallReconnects = 0;
    bool statusLogged = false;
    int stallOverrideMs = 0;
    int failCode = 0;
    QString failText;
};

#endif
