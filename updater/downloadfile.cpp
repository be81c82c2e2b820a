#include "downloadfile.h"
#include "downloadfile_p.h"

#include "utils.h"

#include <QAuthenticator>
#include <QBuffer>
#include <QDebug>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

namespace {
const int defaultStallMs = 30000;
const qint64 readBufferSize = 1024 * 1024;
}

DownloadFilePrivate::DownloadFilePrivate(DownloadFile *q)
    : q(q)
    , digest(QCryptographicHash::Md5)
{
    stallTimer.setSingleShot(true);
    stallTimer.setInterval(defaultStallMs);
    QObject::connect(&stallTimer, &QTimer::timeout, q, [this] { onStallTimeout(); });
}

DownloadFilePrivate::~DownloadFilePrivate()
{
    stallTimer.stop();
    if (manager)
        QObject::disconnect(manager, nullptr, q, nullptr);
    if (reply) {
        reply->disconnect();
        reply->abort();
    }
    delete manager;
}

// Built on the first request: constructing an access manager loads the network bearer plugins
// and the libraries behind them (some megabytes), which a process that never downloads need not pay.
QNetworkAccessManager *DownloadFilePrivate::network()
{
    if (manager)
        return manager;
    manager = new QNetworkAccessManager;
    // Redirections are followed here, not by the access manager, so that the partial file, the
    // digest and the range survive them.
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    QObject::connect(manager, SIGNAL(finished(QNetworkReply *)), q, SLOT(_q_downloadFinished(QNetworkReply *)));
    QObject::connect(manager, SIGNAL(authenticationRequired(QNetworkReply *, QAuthenticator *)), q,
                     SLOT(_q_authRequset(QNetworkReply *, QAuthenticator *)));
    return manager;
}

void DownloadFilePrivate::clearCaches()
{
    if (!manager)
        return;
    manager->clearConnectionCache();
    manager->clearAccessCache();
}

int DownloadFilePrivate::stallIntervalMs() const
{
    return stallOverrideMs > 0 ? stallOverrideMs : defaultStallMs;
}

void DownloadFilePrivate::sendRequest()
{
    firstChunk = true;
    resuming = false;
    // A stall may interrupt a redirection reply; its reconnection is an ordinary request.
    redirected = false;
    statusLogged = false;

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (offset > 0) {
        resuming = true;
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
    }
    // Offsets count bytes of the resource as stored; a compressed answer would shift them.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setRawHeader("User-Agent", Utils::userAgent().toUtf8());

    reply = network()->get(request);
    // Without a cap Qt's network thread buffers far ahead of us (hundreds of MB for a big file).
    reply->setReadBufferSize(readBufferSize);
    QNetworkReply *sent = reply;
    QObject::connect(reply, &QNetworkReply::readyRead, q, [this, sent] { readData(sent); });
    // A server that accepts the connection but never answers must not hold the transfer for ever.
    stallTimer.start();
}

bool DownloadFilePrivate::rewindOutput()
{
    offset = 0;
    digest.reset();
    if (!output)
        return true;
    if (auto *buffer = qobject_cast<QBuffer *>(output)) {
        buffer->buffer().clear();
        return buffer->seek(0);
    }
    auto *file = static_cast<QFile *>(output);
    return file->resize(0) && file->pos() == 0;
}

void DownloadFilePrivate::failTransfer(int errorCode, const QString &errorText)
{
    failCode = errorCode;
    failText = errorText;
    resuming = false;
    if (reply)
        reply->abort();
}

void DownloadFilePrivate::readData(QNetworkReply *source)
{
    if (!reply || source != reply) {
        qCritical() << "[DownloadFilePrivate] Sender is not QNetworkReply";
        return;
    }
    // Any byte from the server, even of a page we discard, shows the connection is alive.
    stallTimer.start();
    stallReconnects = 0;
    if (redirected) {
        // The body of a redirection is never stored; drained so that it cannot fill the read buffer.
        source->readAll();
        return;
    }
    if (firstChunk) {
        const int status = source->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (resuming && status == 200) {
            // The server ignored the range and sends the whole resource again.
            if (!rewindOutput()) {
                failTransfer(QNetworkReply::UnknownContentError,
                             QStringLiteral("Cannot rewrite partial file: ") + output->errorString());
                return;
            }
        } else if (status < 200 || status > 299) {
            if (!statusLogged)
                qWarning() << "[DownloadFilePrivate] HTTP Status " << status;
            statusLogged = true;
            if (status == 301 || status == 302)
                redirected = true;
            source->readAll();
            return;
        }
        firstChunk = false;
        resuming = false;
        emit q->started(source->header(QNetworkRequest::ContentTypeHeader).toString(),
                        source->header(QNetworkRequest::ContentLengthHeader).toInt());
        QObject::connect(source, SIGNAL(downloadProgress(qint64, qint64)), q,
                         SLOT(_q_downloadProgress(qint64, qint64)));
        if (source != reply)
            return; // a receiver of started() ended the transfer
    }

    const QByteArray data = source->readAll();
    if (!expectedHash.isEmpty())
        digest.addData(data);
    if (output && output->isOpen() && output->write(data) != data.size()) {
        // A short write would leave a hole that the next resume could never repair.
        failTransfer(QNetworkReply::UnknownContentError,
                     QStringLiteral("Write to partial file failed: ") + output->errorString());
    }
}

void DownloadFilePrivate::onStallTimeout()
{
    resuming = true;
    if (reply)
        reply->abort();
}

void DownloadFilePrivate::downloadFinished(QNetworkReply *finishedReply)
{
    if (finishedReply != reply) {
        finishedReply->deleteLater();
        return;
    }

    QIODevice *device = output;
    output = nullptr;
    reply = nullptr;
    stallTimer.stop();

    const int status = finishedReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    int code = 0;
    QString content;

    if (failCode != 0) {
        code = failCode;
        content = failText;
        failCode = 0;
        failText.clear();
    } else if (finishedReply->error() == QNetworkReply::NoError) {
        if (redirected || status == 301 || status == 302) {
            redirected = false;
            const QUrl target = finishedReply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
            if (++redirectCount > DownloadFile::maxRedirects) {
                code = QNetworkReply::TooManyRedirectsError;
                content = QStringLiteral("Too many redirects");
            } else if (target.isEmpty()) {
                code = QNetworkReply::ProtocolFailure;
                content = QStringLiteral("Redirection without a target");
            } else {
                output = device;
                url = url.resolved(target);
                qWarning() << "[DownloadFilePrivate] Redirected url: " << url.toString();
                sendRequest();
                finishedReply->deleteLater();
                return;
            }
        } else if (status != 0 && (status < 200 || status > 299)) {
            // Any other status Qt does not count as an error (303, 304, 307 ...) is not the file.
            code = QNetworkReply::ProtocolUnknownError;
            content = QStringLiteral("Unexpected HTTP status %1").arg(status);
        } else if (!expectedHash.isEmpty() && expectedHash != QString::fromLatin1(digest.result().toHex())) {
            code = -3;
            content = QStringLiteral("Integrity check failed");
        } else if (toFile) {
            auto *file = static_cast<QFile *>(device);
            const QString partName = file->fileName();
            const bool flushed = file->flush();
            file->close();
            if (!flushed) {
                code = QNetworkReply::UnknownContentError;
                content = QStringLiteral("Write to partial file failed: ") + file->errorString();
            } else {
                const QString finalName = partName.left(partName.size() - 4);
                if (QFile::exists(finalName))
                    QFile::remove(finalName);
                if (QFile::rename(partName, finalName)) {
                    content = finalName;
                } else {
                    code = -2;
                    content = QStringLiteral("Attempt to rename file failed");
                }
            }
        } else {
            content = QString::fromUtf8(static_cast<QBuffer *>(device)->data());
        }
    } else {
        const QNetworkReply::NetworkError error = finishedReply->error();
        if (error == QNetworkReply::OperationCanceledError && resuming && device) {
            if (++stallReconnects <= DownloadFile::maxStallReconnects) {
                output = device;
                offset = device->pos();
                qInfo() << "Reconnect download file! ";
                sendRequest();
                finishedReply->deleteLater();
                return;
            }
            // A server that takes connections but sends nothing would otherwise hold the
            // transfer, and whoever waits for its result, for ever.
            code = QNetworkReply::TimeoutError;
            content = QStringLiteral("No data from the server after %1 reconnections")
                          .arg(DownloadFile::maxStallReconnects);
        } else {
            if (status == 416 && offset > 0 && device) {
                // The partial file is as long as the resource or longer: it cannot be resumed, so the
                // transfer starts again instead of failing the same way on every later attempt.
                output = device;
                if (rewindOutput()) {
                    qWarning() << "[DownloadFilePrivate] Range refused, restart from byte 0";
                    sendRequest();
                    finishedReply->deleteLater();
                    return;
                }
                output = nullptr;
            }
            code = error;
            content = finishedReply->errorString();
        }
    }

    // Closed before finished() so that a new start() on the same file sees everything written.
    if (device) {
        device->close();
        device->deleteLater();
    }
    finishedReply->deleteLater();

    QPointer<DownloadFile> guard(q);
    emit q->finished(code, content);
    if (guard)
        emit q->downloadingChanged();
}

DownloadFile::DownloadFile(QObject *parent)
    : QObject(parent)
    , d(new DownloadFilePrivate(this))
{
}

DownloadFile::~DownloadFile() = default;

void DownloadFile::setTimeout(int seconds)
{
    timeout = seconds;
    if (seconds > 0 && d->stallOverrideMs <= 0)
        d->stallTimer.setInterval(seconds * 1000);
}

bool DownloadFile::isDownloading() const
{
    return d->output != nullptr;
}

double DownloadFile::getProgress() const
{
    return d->progress;
}

void DownloadFile::setStallInterval(int msec)
{
    d->stallOverrideMs = msec;
    d->stallTimer.setInterval(d->stallIntervalMs());
}

void DownloadFile::_q_downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal)
    d->progress = double(bytesReceived + d->offset);
    emit progressChanged();
}

void DownloadFile::_q_downloadFinished(QNetworkReply *reply)
{
    d->downloadFinished(reply);
}

void DownloadFile::_q_authRequset(QNetworkReply *reply, QAuthenticator *auth)
{
    Q_UNUSED(reply)
    if (!user.isEmpty() && !password.isEmpty()) {
        auth->setUser(user);
        auth->setPassword(password);
    }
}

bool DownloadFile::start(QVariantMap params)
{
    const QString source = params.value(QStringLiteral("source")).toString();
    const bool clean = params.value(QStringLiteral("clean")).toBool();
    if (d->reply || d->output || source.isEmpty())
        return false;

    d->url = QUrl(source);
    timeout = 30;
    d->stallTimer.setInterval(d->stallIntervalMs());

    const QString filePath = params.value(QStringLiteral("file")).toString();
    d->expectedHash = params.value(QStringLiteral("hash")).toString();
    d->digest.reset();
    d->offset = 0;
    d->redirectCount = 0;
    d->stallReconnects = 0;
    d->failCode = 0;
    d->failText.clear();

    if (filePath.isEmpty()) {
        auto *buffer = new QBuffer(this);
        buffer->open(QIODevice::WriteOnly);
        d->toFile = false;
        d->output = buffer;
    } else {
        auto *file = new QFile(filePath + QStringLiteral(".tmp"), this);
        const bool resume = file->exists() && !clean;
        if (!file->open(resume ? (QIODevice::WriteOnly | QIODevice::Append)
                               : (QIODevice::WriteOnly | QIODevice::Truncate))) {
            delete file;
            return false;
        }
        if (file->pos() > 0 && !d->expectedHash.isEmpty()) {
            // The expected digest is that of the whole file, so the bytes kept from an earlier
            // start must go into it before the new ones.
            QFile part(file->fileName());
            if (!part.open(QIODevice::ReadOnly) || !d->digest.addData(&part) || part.pos() != file->pos()) {
                d->digest.reset();
                if (!file->resize(0)) {
                    delete file;
                    return false;
                }
            }
        }
        d->toFile = true;
        d->output = file;
        d->offset = file->pos();
    }

    d->redirected = false;
    d->sendRequest();
    emit downloadingChanged();
    return true;
}

void DownloadFile::abort()
{
    d->resuming = false;
    if (d->reply)
        d->reply->abort();
}

void DownloadFile::setAuth(QString user, QString password)
{
    this->user = user;
    this->password = password;
    d->clearCaches();
}

void DownloadFile::clearConnectionCache()
{
    d->clearCaches();
    d->resuming = false;
    if (d->reply)
        d->reply->abort();
}
