#ifndef STREAMHASH_H
#define STREAMHASH_H

#include <QByteArray>

typedef struct evp_md_ctx_st EVP_MD_CTX;
class QIODevice;

// An incremental MD5 or SHA-256 over libcrypto, for bytes that arrive in pieces (a download, a resumed
// partial file, a package read in chunks). The result can be taken at any point without ending the
// stream, so a resumed download can keep adding after a check.
class StreamHash
{
public:
    enum Algorithm { Md5, Sha256 };

    explicit StreamHash(Algorithm algorithm);
    ~StreamHash();
    StreamHash(const StreamHash &) = delete;
    StreamHash &operator=(const StreamHash &) = delete;

    // False when libcrypto refused the algorithm or an update failed; every later call then fails too.
    bool isValid() const { return m_context != nullptr && m_ok; }
    bool addData(const char *data, qint64 length);
    bool addData(const QByteArray &data) { return addData(data.constData(), data.size()); }
    // Adds everything the device has to give now (a file: up to its end); false, and the hash
    // unusable, on a read error.
    bool addData(QIODevice *device);
    // Starts over with nothing hashed.
    bool reset();
    // Lower-case hex of the digest of everything added so far; empty when the hash is not valid.
    QByteArray hexResult() const;
    qint64 bytesAdded() const { return m_bytes; }

private:
    Algorithm m_algorithm;
    EVP_MD_CTX *m_context = nullptr;
    bool m_ok = false;
    qint64 m_bytes = 0;
};

#endif
