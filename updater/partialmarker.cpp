#include "partialmarker.h"

#include <QDebug>
#include <QFile>
#include <QList>
#include <QNetworkReply>

QByteArray PartialMarker::identity(const QString &md5, const QByteArray &sha256, qint64 size)
{
    QByteArray identity = md5.toLower().toLatin1();
    if (!sha256.isEmpty())
        identity += ' ' + sha256.toLower() + ' ' + QByteArray::number(size);
    return identity;
}

void PartialMarker::reset(const QString &path, const QByteArray &identity)
{
    m_path = path;
    m_identity = identity;
    m_validator.clear();
}

bool PartialMarker::read()
{
    QFile marker(m_path);
    if (!marker.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = marker.readAll().split('\n');
    if (lines.value(0).trimmed().toLower() != m_identity)
        return false;
    m_validator = lines.value(1).trimmed();
    return true;
}

void PartialMarker::restart()
{
    m_validator.clear();
    write();
}

void PartialMarker::record(const QNetworkReply *source)
{
    const QByteArray etag = source->rawHeader("ETag");
    // If-Range compares strongly: a weak tag would never match.
    m_validator = (!etag.isEmpty() && !etag.startsWith("W/")) ? etag : source->rawHeader("Last-Modified");
    write();
}

void PartialMarker::write() const
{
    QFile marker(m_path);
    if (!marker.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || marker.write(m_identity + '\n' + m_validator + '\n') < 0) {
        // Without it the next attempt only starts from byte 0 again.
        qWarning() << "[DownloadFilePrivate] cannot write" << m_path << marker.errorString();
    }
}

void PartialMarker::remove() const
{
    QFile::remove(m_path);
}

QByteArray PartialMarker::validator() const
{
    return m_validator;
}
