#include "streamhash.h"

#include <QIODevice>

#include <openssl/evp.h>

namespace {

const EVP_MD *digestOf(StreamHash::Algorithm algorithm)
{
    return algorithm == StreamHash::Md5 ? EVP_md5() : EVP_sha256();
}

}

StreamHash::StreamHash(Algorithm algorithm)
    : m_algorithm(algorithm), m_context(EVP_MD_CTX_new())
{
    reset();
}

StreamHash::~StreamHash()
{
    EVP_MD_CTX_free(m_context);
}

bool StreamHash::reset()
{
    m_bytes = 0;
    m_ok = m_context != nullptr && EVP_DigestInit_ex(m_context, digestOf(m_algorithm), nullptr) == 1;
    return m_ok;
}

bool StreamHash::addData(const char *data, qint64 length)
{
    if (!isValid() || length < 0)
        return m_ok = false;
    if (length == 0)
        return true;
    m_ok = EVP_DigestUpdate(m_context, data, size_t(length)) == 1;
    if (m_ok)
        m_bytes += length;
    return m_ok;
}

bool StreamHash::addData(QIODevice *device)
{
    if (!device || !device->isReadable())
        return m_ok = false;
    char buffer[64 * 1024];
    for (;;) {
        const qint64 read = device->read(buffer, sizeof buffer);
        if (read < 0)
            return m_ok = false;
        if (read == 0)
            return isValid();
        if (!addData(buffer, read))
            return false;
    }
}

QByteArray StreamHash::hexResult() const
{
    if (!isValid())
        return QByteArray();
    // Finishing a copy leaves the running context open for more data.
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool done = copy && EVP_MD_CTX_copy_ex(copy, m_context) == 1
        && EVP_DigestFinal_ex(copy, digest, &length) == 1;
    EVP_MD_CTX_free(copy);
    if (!done)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}
