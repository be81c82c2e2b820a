#ifndef PARTIALMARKER_H
#define PARTIALMARKER_H

#include <QByteArray>
#include <QString>

class QNetworkReply;

// The marker beside a partial file: what its bytes belong to (the expected digests and size of
// the whole resource), then the validator of the reply that delivered its first byte, sent as
// If-Range when the transfer resumes. Only bytes of the same resource may be continued.
class PartialMarker
{
public:
    // Only the MD5 for a transfer without SHA-256, as markers were before, so those partial files resume.
    static QByteArray identity(const QString &md5, const QByteArray &sha256, qint64 size);

    // The marker at path for a resource of this identity; no validator yet.
    void reset(const QString &path, const QByteArray &identity);
    // True when the marker on disk names the same identity; its validator is then taken.
    bool read();
    // Writes the identity with no validator: the partial file starts anew.
    void restart();
    // Takes the validator of the reply that delivers the first byte, and writes it.
    void record(const QNetworkReply *source);
    void remove() const;
    QByteArray validator() const;

private:
    void write() const;

    QString m_path;
    QByteArray m_identity;
    QByteArray m_validator;
};

#endif
