#include "downloadfile.h"
#include "downloadfile_p.h"

#include "extraheaders.h"
#include "utils.h"

#include <QAuthenticator>
#include <QBuffer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>
#include <QStorageInfo>

#include <cerrno>

namespace {
const int defaultStallMs = 30000;
const int defaultLowSpeedWindowMs = 60000;
const qint64 readBufferSize = 1024 * 1024;
}

DownloadFilePrivate::DownloadFilePrivate(DownloadFile *q)
    : q(q)
    , digest(StreamHash::Md5)
    , sha256(StreamHash::Sha256)
{
    stallTimer.setSingleShot(true);
    stallTimer.setInterval(defaultStallMs);
    QObject::connect(&stallTimer, &QTimer::timeout, q, [this] { onStallTimeout(); });
    speedTimer.setInterval(defaultLowSpeedWindowMs);
    QObject::connect(&speedTimer, &QTimer::timeout, q, [this] { onSpeedWindow(); });
}

DownloadFilePrivate::~DownloadFilePrivate()
{
    stallTimer.stop();
    speedTimer.stop();
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
                     SLOT(_q_authRequest(QNetworkReply *, QAuthenticator *)));
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
    for (auto it = q->extraHeaders.cbegin(); it != q->extraHeaders.cend(); ++it)
        request.setRawHeader(it.key(), it.value());
    if (offset > 0) {
        resuming = true;
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
        // A resource replaced since the first bytes is then sent whole instead of joined to them.
        if (!marker.validator().isEmpty())
            request.setRawHeader("If-Range", marker.validator());
    }
    // Offsets count bytes of the resource as stored; a compressed answer would shift them.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setRawHeader("User-Agent", Utils::userAgent().toUtf8());
    if (useCaCertificates) {
        QSslConfiguration tls = request.sslConfiguration();
        tls.setCaCertificates(caCertificates);
        request.setSslConfiguration(tls);
    }

    reply = network()->get(request);
    // Without a cap Qt's network thread buffers far ahead of us (hundreds of MB for a big file).
    reply->setReadBufferSize(readBufferSize);
    QNetworkReply *sent = reply;
    QObject::connect(reply, &QNetworkReply::readyRead, q, [this, sent] { readData(sent); });
    // A server that accepts the connection but never answers must not hold the transfer for ever.
    stallTimer.start();
    windowBytes = 0;
    speedTimer.start();
    expectedEnd = -1;
}

bool DownloadFilePrivate::rewindOutput()
{
    offset = 0;
    held = 0;
    digest.reset();
    sha256.reset();
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

qint64 DownloadFilePrivate::freeSpace() const
{
    // The volume of the partial file's own folder: the work folder is often a mount of its own.
    const QString folder = QFileInfo(static_cast<QFile *>(output)->fileName()).absolutePath();
    return freeSpaceProbe ? freeSpaceProbe(folder) : QStorageInfo(folder).bytesAvailable();
}

bool DownloadFilePrivate::checkRoom(QNetworkReply *source)
{
    bool known = false;
    // 64 bits: packages beyond 2 GiB exist, and a truncated length would pass any check.
    const qint64 announced = source->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (!known || announced <= 0)
        return true;
    const qint64 available = freeSpace();
    if (available < 0)
        return true;
    const qint64 needed = announced + qMax(DownloadFile::minSpaceMargin, announced / 50);
    if (available >= needed)
        return true;
    qWarning() << "[DownloadFilePrivate] no space for the file:" << static_cast<QFile *>(output)->fileName()
               << "needs" << needed << "bytes with the margin," << available << "bytes free";
    failTransfer(DownloadFile::NoSpaceError, QStringLiteral("No space left for the file: %1 bytes needed, %2 bytes free")
                                                 .arg(needed)
                                                 .arg(available));
    return false;
}

bool DownloadFilePrivate::checkSize(qint64 total)
{
    if (maxSize <= 0 || total <= maxSize)
        return true;
    failTransfer(DownloadFile::SizeLimitError, QStringLiteral("Resource larger than %1 bytes").arg(maxSize));
    return false;
}

void DownloadFilePrivate::writeFailure(QFileDevice *file, int errorNumber, int &code, QString &text) const
{
    // Qt reports a write cut short by a full disk as "Unknown error"; the errno, or a volume found
    // nearly full right after the failure, tells what it was.
    bool full = errorNumber == ENOSPC || file->error() == QFileDevice::ResourceError;
#ifdef EDQUOT
    full = full || errorNumber == EDQUOT;
#endif
    if (!full) {
        const qint64 available = freeSpace();
        full = available >= 0 && available < readBufferSize;
    }
    if (full) {
        code = DownloadFile::NoSpaceError;
        text = QStringLiteral("Write to partial file failed: no space left on the device");
    } else {
        code = QNetworkReply::UnknownContentError;
        text = QStringLiteral("Write to partial file failed: ") + file->errorString();
    }
}

void DownloadFilePrivate::readData(QNetworkReply *source)
{
    if (!reply || source != reply) {
        qCritical() << "[DownloadFilePrivate] Sender is not QNetworkReply";
        return;
    }
    // Any byte from the server, even of a page we discard, shows the connection is alive.
    stallTimer.start();
    windowBytes += source->bytesAvailable();
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
        bool known = false;
        const qint64 announced = source->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && !checkSize(offset + announced))
            return;
        expectedEnd = known ? offset + announced : -1;
        if (toFile && checkSpace && !checkRoom(source))
            return;
        if (toFile && offset == 0)
            marker.record(source);
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
    // A server may send more than it announced, or announce nothing.
    if (!checkSize(held + data.size()))
        return;
    if (expectedSize >= 0 && held + data.size() > expectedSize) {
        failTransfer(DownloadFile::IntegrityError, QStringLiteral("More bytes than the expected size %1").arg(expectedSize));
        return;
    }
    held += data.size();
    if (hashing()) {
        digest.addData(data);
        // Only a signed package brings a SHA-256 to compare with; unasked, it would halve the speed.
        if (!expectedSha256.isEmpty())
            sha256.addData(data);
    }
    if (output && output->isOpen() && output->write(data) != data.size()) {
        // A short write would leave a hole that the next resume could never repair.
        const int errorNumber = errno;
        if (toFile) {
            int code = 0;
            QString text;
            writeFailure(static_cast<QFileDevice *>(output), errorNumber, code, text);
            failTransfer(code, text);
        } else {
            failTransfer(QNetworkReply::UnknownContentError,
                         QStringLiteral("Write to partial file failed: ") + output->errorString());
        }
    }
}

// A trickle of bytes keeps the stall timer from firing; judged over a whole window it is a stall
// too. Only a window at the lowest acceptable speed shows the server is really serving.
void DownloadFilePrivate::onSpeedWindow()
{
    const int window = speedTimer.interval();
    const qint64 needed = DownloadFile::lowSpeedLimit * window / 1000;
    if (windowBytes >= needed) {
        windowBytes = 0;
        stallReconnects = 0;
        return;
    }
    qWarning() << "[DownloadFilePrivate] slower than" << DownloadFile::lowSpeedLimit << "bytes/s for" << window
               << "ms, reconnect";
    onStallTimeout();
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
    finishedReply->deleteLater();
    reply = nullptr;
    stallTimer.stop();
    speedTimer.stop();

    ReplyEnd end;
    end.failCode = failCode;
    end.failText = failText;
    end.error = finishedReply->error();
    end.errorText = finishedReply->errorString();
    end.status = finishedReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    end.redirected = redirected;
    end.url = url;
    end.redirectTarget = finishedReply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    end.redirectsFollowed = redirectCount;
    end.stalled = resuming;
    end.stallReconnects = stallReconnects;
    end.hasOutput = output != nullptr;
    end.offset = offset;
    end.expectedHash = expectedHash;
    end.held = held;
    end.expectedEnd = expectedEnd;
    if (!expectedHash.isEmpty())
        end.receivedHash = QString::fromLatin1(digest.hexResult());
    end.expectedSha256 = expectedSha256;
    end.expectedSize = expectedSize;
    if (!expectedSha256.isEmpty())
        end.receivedSha256 = sha256.hexResult();
    failCode = 0;
    failText.clear();
    redirected = false;

    const ReplyDecision decision = decide(end);
    switch (decision.action) {
    case ReplyDecision::Redirect:
        ++redirectCount;
        url = decision.url;
        qWarning() << "[DownloadFilePrivate] Redirected url: " << url.toString();
        sendRequest();
        return;
    case ReplyDecision::Reconnect:
        ++stallReconnects;
        offset = output->pos();
        qInfo() << "Reconnect download file! ";
        sendRequest();
        return;
    case ReplyDecision::Restart:
        if (rewindOutput()) {
            qWarning() << "[DownloadFilePrivate] Range refused, restart from byte 0";
            sendRequest();
            return;
        }
        finishTransfer(output, end.error, end.errorText);
        return;
    case ReplyDecision::Finish:
        break;
    }
    int code = decision.code;
    QString content = decision.text;
    if (code == 0)
        commitOutput(output, code, content);
    finishTransfer(output, code, content);
}

void DownloadFilePrivate::commitOutput(QIODevice *device, int &code, QString &content)
{
    if (!toFile) {
        content = QString::fromUtf8(static_cast<QBuffer *>(device)->data());
        return;
    }
    auto *file = static_cast<QFile *>(device);
    const QString partName = file->fileName();
    const bool flushed = file->flush();
    const int errorNumber = errno;
    if (!flushed) {
        writeFailure(file, errorNumber, code, content);
        file->close();
        return;
    }
    file->close();
    const QString finalName = partName.left(partName.size() - 4);
    if (QFile::exists(finalName))
        QFile::remove(finalName);
    if (QFile::rename(partName, finalName)) {
        content = finalName;
    } else {
        code = DownloadFile::RenameError;
        content = QStringLiteral("Attempt to rename file failed");
    }
}

void DownloadFilePrivate::finishTransfer(QIODevice *device, int code, const QString &content)
{
    output = nullptr;
    // Closed before finished() so that a new start() on the same file sees everything written.
    if (device) {
        device->close();
        device->deleteLater();
        // The marker lets only this package's bytes be continued; after an integrity failure
        // they are not worth continuing either.
        if (toFile && (code == 0 || code == DownloadFile::IntegrityError || code == DownloadFile::NoSpaceError))
            marker.remove();
        if (code == DownloadFile::NoSpaceError && toFile) {
            // Kept, the partial file would hold the volume full and fail every later transfer,
            // the small update information included.
            const QString partName = static_cast<QFile *>(device)->fileName();
            if (QFile::remove(partName))
                qWarning() << "[DownloadFilePrivate] partial file removed to free the volume:" << partName;
        }
    }
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

bool DownloadFile::isDownloading() const
{
    return d->output != nullptr;
}

double DownloadFile::getProgress() const
{
    return d->progress;
}

void DownloadFile::setLowSpeedWindow(int msec)
{
    d->speedTimer.setInterval(msec > 0 ? msec : defaultLowSpeedWindowMs);
}

void DownloadFile::setFreeSpaceProbe(const FreeSpaceProbe &probe)
{
    d->freeSpaceProbe = probe;
}

void DownloadFile::setExtraHeaders(const QMap<QByteArray, QByteArray> &headers)
{
    extraHeaders = ExtraHeaders::safe(headers);
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

void DownloadFile::_q_authRequest(QNetworkReply *reply, QAuthenticator *auth)
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
    d->stallTimer.setInterval(d->stallIntervalMs());

    const QString filePath = params.value(QStringLiteral("file")).toString();
    d->checkSpace = params.value(QStringLiteral("check_space")).toBool();
    d->expectedHash = params.value(QStringLiteral("hash")).toString();
    d->expectedSha256 = params.value(QStringLiteral("sha256")).toString().toLatin1();
    bool sizeGiven = false;
    d->expectedSize = params.value(QStringLiteral("size")).toLongLong(&sizeGiven);
    if (!sizeGiven || !params.contains(QStringLiteral("size")))
        d->expectedSize = -1;
    d->digest.reset();
    d->sha256.reset();
    d->offset = 0;
    d->held = 0;
    d->maxSize = params.value(QStringLiteral("max_size")).toLongLong();
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
        d->marker.reset(partialMarkerPath(filePath),
                        PartialMarker::identity(d->expectedHash, d->expectedSha256, d->expectedSize));
        // Only bytes of the same announced package may be continued; anything else starts anew.
        const bool resume = file->exists() && !clean && d->marker.read();
        if (!file->open(resume ? (QIODevice::WriteOnly | QIODevice::Append)
                               : (QIODevice::WriteOnly | QIODevice::Truncate))) {
            delete file;
            return false;
        }
        if (!resume)
            d->marker.restart();
        if (file->pos() > 0 && d->hashing()) {
            // The expected digests are those of the whole file, so the bytes kept from an earlier
            // start must go into them before the new ones.
            QFile part(file->fileName());
            bool read = part.open(QIODevice::ReadOnly);
            while (read && !part.atEnd()) {
                const QByteArray chunk = part.read(readBufferSize);
                read = !chunk.isEmpty() && d->digest.addData(chunk)
                    && (d->expectedSha256.isEmpty() || d->sha256.addData(chunk));
            }
            if (!read || part.pos() != file->pos()) {
                d->digest.reset();
                d->sha256.reset();
                if (!file->resize(0)) {
                    delete file;
                    return false;
                }
            }
        }
        d->toFile = true;
        d->output = file;
        d->offset = file->pos();
        d->held = d->offset;
    }

    d->redirected = false;
    d->sendRequest();
    emit downloadingChanged();
    return true;
}

bool DownloadFile::setCaFile(const QString &pemPath)
{
    d->useCaCertificates = !pemPath.isEmpty();
    d->caCertificates = d->useCaCertificates ? QSslCertificate::fromPath(pemPath) : QList<QSslCertificate>();
    return !d->useCaCertificates || !d->caCertificates.isEmpty();
}

QString DownloadFile::partialMarkerPath(const QString &file)
{
    return file + QStringLiteral(".tmp.meta");
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
