#include "replydecision.h"

#include "downloadfile.h"

ReplyDecision ReplyDecision::decide(const ReplyEnd &end)
{
    ReplyDecision decision;
    if (end.failCode != 0) {
        decision.code = end.failCode;
        decision.text = end.failText;
    } else if (end.error == QNetworkReply::NoError) {
        if (end.redirected || end.status == 301 || end.status == 302) {
            if (end.redirectsFollowed + 1 > DownloadFile::maxRedirects) {
                decision.code = QNetworkReply::TooManyRedirectsError;
                decision.text = QStringLiteral("Too many redirects");
            } else if (end.redirectTarget.isEmpty()) {
                decision.code = QNetworkReply::ProtocolFailure;
                decision.text = QStringLiteral("Redirection without a target");
            } else {
                const QUrl target = end.url.resolved(end.redirectTarget);
                const QString scheme = target.scheme().toLower();
                if (end.url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
                    && scheme == QLatin1String("http")) {
                    // The certificate check would be left behind with the rest of the transfer.
                    decision.code = QNetworkReply::InsecureRedirectError;
                    decision.text = QStringLiteral("Redirection from https to http refused");
                } else if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
                    decision.action = Redirect;
                    decision.url = target;
                } else {
                    // A server must not turn a download into reading a local file or another protocol.
                    decision.code = QNetworkReply::ProtocolUnknownError;
                    decision.text = QStringLiteral("Redirection to an unsupported scheme: %1").arg(scheme);
                }
            }
        } else if (end.status != 0 && (end.status < 200 || end.status > 299)) {
            // Any other status Qt does not count as an error (303, 304, 307 ...) is not the file.
            decision.code = QNetworkReply::ProtocolUnknownError;
            decision.text = QStringLiteral("Unexpected HTTP status %1").arg(end.status);
        } else if (end.expectedEnd >= 0 && end.held < end.expectedEnd) {
            // Qt reports a connection closed early as a complete body; the bytes are good and
            // worth continuing, the result is not.
            decision.code = QNetworkReply::RemoteHostClosedError;
            decision.text = QStringLiteral("Connection closed after %1 of %2 bytes").arg(end.held).arg(end.expectedEnd);
        } else if (!end.expectedHash.isEmpty() && end.expectedHash.compare(end.receivedHash, Qt::CaseInsensitive) != 0) {
            decision.code = DownloadFile::IntegrityError;
            decision.text = QStringLiteral("Integrity check failed");
        } else if (end.expectedSize >= 0 && end.held != end.expectedSize) {
            decision.code = DownloadFile::IntegrityError;
            decision.text = QStringLiteral("Size check failed: %1 of %2 bytes").arg(end.held).arg(end.expectedSize);
        } else if (!end.expectedSha256.isEmpty() && end.expectedSha256.toLower() != end.receivedSha256) {
            decision.code = DownloadFile::IntegrityError;
            decision.text = QStringLiteral("SHA-256 check failed");
        }
    } else if (end.error == QNetworkReply::OperationCanceledError && end.stalled && end.hasOutput) {
        if (end.stallReconnects + 1 <= DownloadFile::maxStallReconnects) {
            decision.action = Reconnect;
        } else {
            // A server that takes connections but sends nothing would otherwise hold the
            // transfer, and whoever waits for its result, for ever.
            decision.code = QNetworkReply::TimeoutError;
            decision.text = QStringLiteral("No data from the server after %1 reconnections")
                                .arg(DownloadFile::maxStallReconnects);
        }
    } else if (end.status == 416 && end.offset > 0 && end.hasOutput) {
        // The partial file is as long as the resource or longer: it cannot be resumed, so the
        // transfer starts again instead of failing the same way on every later attempt.
        decision.action = Restart;
    } else {
        decision.code = end.error;
        decision.text = end.errorText;
    }
    return decision;
}
