#include "updatesignature.h"


#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <memory>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

const char UpdateSignature::FormatTag[] = "tovrel-update-1";
const char UpdateSignature::FormatTag2[] = "tovrel-update-2";
const char UpdateSignature::FormatTag3[] = "tovrel-update-3";

namespace {

constexpr int PublicKeySize = 32;
constexpr int SignatureSize = 64;

struct PkeyFree { void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); } };
struct PkeyCtxFree { void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); } };
struct MdCtxFree { void operator()(EVP_MD_CTX *p) const { EVP_MD_CTX_free(p); } };
struct BioFree { void operator()(BIO *p) const { BIO_free(p); } };
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

// libcrypto keeps failures in a per-thread queue that Qt's TLS code reads too; a failure of ours
// must not show up there as the cause of a later handshake error.
QString takeCryptoError(const QString &what)
{
    const unsigned long code = ERR_peek_last_error();
    QString text = what;
    if (code != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += QStringLiteral(" (") + QString::fromLatin1(buffer) + QLatin1Char(')');
    }
    ERR_clear_error();
    return text;
}

// Never asks on a terminal for a passphrase: an encrypted key simply fails to load.
int noPassphrase(char *, int, int, void *)
{
    return -1;
}

Pkey readPrivateKey(const QByteArray &pem, QString *error)
{
    Bio bio(BIO_new_mem_buf(pem.constData(), pem.size()));
    Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr) : nullptr);
    if (!key) {
        *error = takeCryptoError(QStringLiteral("not an unencrypted PEM private key"));
        return nullptr;
    }
    if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        *error = QStringLiteral("not an Ed25519 private key");
        return nullptr;
    }
    return key;
}

QByteArray rawPublicKey(EVP_PKEY *key)
{
    QByteArray raw(PublicKeySize, '\0');
    size_t length = size_t(raw.size());
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char *>(raw.data()), &length) != 1
        || length != size_t(PublicKeySize))
        return QByteArray();
    return raw;
}

// JSON string: quote and backslash escaped, control characters as \u00xx, everything else as raw
// UTF-8. One spelling for every string, so equal texts mean equal values.
void appendString(QByteArray *out, const QString &value)
{
    static const char hex[] = "0123456789abcdef";
    out->append('"');
    for (const char c : value.toUtf8()) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out->append('\\');
            out->append(c);
        } else if (byte < 0x20) {
            out->append("\\u00");
            out->append(hex[byte >> 4]);
            out->append(hex[byte & 0xf]);
        } else {
            out->append(c);
        }
    }
    out->append('"');
}

}

UpdateSignature::Check UpdateSignature::readEntry(const QString &platformKey, const QJsonObject &object,
                                                  Entry *entry, QString *detail)
{
    static const Check byFault[] = {Valid, BadVersionCode, BadFileName, BadSha256, BadSize,
                                    BadExpires, BadRollout, BadDevices, BadProduct, BadComplete, BadManifest};
    Entry read;
    const UpdateInfo::Fault fault = UpdateInfo::parseEntry(platformKey, object, &read, detail);
    if (fault != UpdateInfo::Fault::None)
        return byFault[int(fault)];
    // Unsigned entries may go without them; the signature binds the package by them.
    if (read.sha256.isEmpty()) {
        *detail = QStringLiteral("sha256 is not 64 lower-case hex digits: absent");
        return BadSha256;
    }
    if (read.size < 0) {
        *detail = QStringLiteral("size is not a whole number of bytes: absent");
        return BadSize;
    }
    *entry = read;
    return Valid;
}

QByteArray UpdateSignature::canonicalText(const Entry &entry)
{
    const bool third = !entry.manifestName.isEmpty();
    const bool second = !entry.product.isEmpty() || entry.complete || third;
    QByteArray text("[");
    appendString(&text, QLatin1String(third ? FormatTag3 : second ? FormatTag2 : FormatTag));
    text.append(',');
    appendString(&text, entry.platformKey);
    text.append(',').append(QByteArray::number(entry.versionCode)).append(',');
    appendString(&text, entry.fileName);
    text.append(',');
    appendString(&text, QString::fromLatin1(entry.sha256));
    text.append(',').append(QByteArray::number(entry.size)).append(',');
    appendString(&text, entry.expires);
    text.append(',').append(QByteArray::number(entry.rollout)).append(",[");
    for (int i = 0; i < entry.devices.size(); ++i) {
        if (i > 0)
            text.append(',');
        appendString(&text, entry.devices.at(i));
    }
    text.append(']');
    if (second) {
        text.append(',');
        appendString(&text, entry.product);
        text.append(entry.complete ? ",true" : ",false");
    }
    if (third) {
        text.append(',');
        appendString(&text, entry.manifestName);
        text.append(',').append(QByteArray::number(entry.manifestSize)).append(',');
        appendString(&text, QString::fromLatin1(entry.manifestSha256));
    }
    text.append(']');
    return text;
}

bool UpdateSignature::parsePublicKeys(const QString &list, QList<QByteArray> *keys, QString *error)
{
    keys->clear();
    const QStringList items = list.split(QLatin1Char(','));
    for (const QString &item : items) {
        const QString trimmed = item.trimmed();
        if (trimmed.isEmpty())
            continue;
        const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
            trimmed.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
        if (!UpdateInfo::isWellFormed(trimmed) || trimmed.toLatin1() != trimmed.toUtf8() || !decoded
            || decoded.decoded.size() != PublicKeySize) {
            *error = QStringLiteral("public key is not base64 of 32 bytes: ") + trimmed;
            return false;
        }
        keys->append(decoded.decoded);
    }
    if (keys->isEmpty()) {
        *error = QStringLiteral("no public key given");
        return false;
    }
    return true;
}

UpdateSignature::Result UpdateSignature::verify(const QString &platformKey, const QJsonObject &object,
                                                const QString &publicKeys, const QDateTime &now)
{
    Result result;
    const QJsonValue signature = object.value(QStringLiteral("signature"));
    if (signature.isUndefined() || signature.isNull()) {
        result.check = NoSignature;
        result.detail = QStringLiteral("the entry has no signature");
        return result;
    }
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        signature.toString().toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!signature.isString() || !decoded || decoded.decoded.size() != SignatureSize) {
        result.check = BadSignatureEncoding;
        result.detail = QStringLiteral("signature is not base64 of 64 bytes");
        return result;
    }
    result.check = readEntry(platformKey, object, &result.entry, &result.detail);
    if (result.check != Valid)
        return result;

    QList<QByteArray> keys;
    if (!parsePublicKeys(publicKeys, &keys, &result.detail)) {
        result.check = BadPublicKey;
        return result;
    }
    const QByteArray text = canonicalText(result.entry);
    result.keyCount = int(keys.size());
    for (int i = 0; i < keys.size() && result.keyIndex == 0; ++i) {
        if (verifyText(text, decoded.decoded, keys.at(i)))
            result.keyIndex = i + 1;
    }
    if (result.keyIndex == 0) {
        result.check = NoKeyMatches;
        result.detail = QStringLiteral("the signature is made by none of the %1 configured public key(s)")
                            .arg(keys.size());
        return result;
    }
    if (result.entry.expiresAt.isValid() && now >= result.entry.expiresAt) {
        result.check = Expired;
        result.detail = QStringLiteral("the entry expired at ") + result.entry.expires
            + QStringLiteral(", the clock says ") + now.toUTC().toString(Qt::ISODate);
        return result;
    }
    result.check = Valid;
    result.detail.clear();
    return result;
}

bool UpdateSignature::generateKeyPair(QByteArray *privatePem, QByteArray *publicKeyBase64, QString *error)
{
    PkeyCtx context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY *made = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &made) != 1) {
        *error = takeCryptoError(QStringLiteral("cannot make an Ed25519 key"));
        return false;
    }
    const Pkey key(made);
    Bio bio(BIO_new(BIO_s_mem()));
    // Writes PKCS#8 ("BEGIN PRIVATE KEY"), unencrypted.
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        *error = takeCryptoError(QStringLiteral("cannot write the private key"));
        return false;
    }
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    const QByteArray raw = rawPublicKey(key.get());
    if (length <= 0 || raw.isEmpty()) {
        *error = takeCryptoError(QStringLiteral("cannot write the key pair"));
        return false;
    }
    *privatePem = QByteArray(data, int(length));
    *publicKeyBase64 = raw.toBase64();
    return true;
}

bool UpdateSignature::publicKeyOf(const QByteArray &privatePem, QByteArray *publicKeyBase64, QString *error)
{
    const Pkey key = readPrivateKey(privatePem, error);
    if (!key)
        return false;
    const QByteArray raw = rawPublicKey(key.get());
    if (raw.isEmpty()) {
        *error = takeCryptoError(QStringLiteral("cannot read the public half of the key"));
        return false;
    }
    *publicKeyBase64 = raw.toBase64();
    return true;
}

QByteArray UpdateSignature::sign(const QByteArray &text, const QByteArray &privatePem, QString *error)
{
    const Pkey key = readPrivateKey(privatePem, error);
    if (!key)
        return QByteArray();
    MdCtx context(EVP_MD_CTX_new());
    QByteArray signature(SignatureSize, '\0');
    size_t length = size_t(signature.size());
    // Ed25519 hashes internally and signs in one shot: no digest is given.
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                          reinterpret_cast<const unsigned char *>(text.constData()), size_t(text.size())) != 1
        || length != size_t(SignatureSize)) {
        *error = takeCryptoError(QStringLiteral("cannot sign"));
        return QByteArray();
    }
    return signature;
}

bool UpdateSignature::verifyText(const QByteArray &text, const QByteArray &signature, const QByteArray &rawPublicKey)
{
    if (signature.size() != SignatureSize || rawPublicKey.size() != PublicKeySize)
        return false;
    const Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                               reinterpret_cast<const unsigned char *>(rawPublicKey.constData()),
                                               size_t(rawPublicKey.size())));
    MdCtx context(EVP_MD_CTX_new());
    const bool ok = key && context
        && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1
        && EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                            size_t(signature.size()), reinterpret_cast<const unsigned char *>(text.constData()),
                            size_t(text.size()))
            == 1;
    ERR_clear_error();
    return ok;
}

QString UpdateSignature::checkText(Check check)
{
    switch (check) {
    case Valid: return QStringLiteral("valid");
    case NoSignature: return QStringLiteral("no signature");
    case BadSignatureEncoding: return QStringLiteral("bad signature encoding");
    case BadVersionCode: return QStringLiteral("bad version_code");
    case BadFileName: return QStringLiteral("bad file_name");
    case BadSha256: return QStringLiteral("bad sha256");
    case BadSize: return QStringLiteral("bad size");
    case BadExpires: return QStringLiteral("bad expires");
    case BadRollout: return QStringLiteral("bad rollout");
    case BadDevices: return QStringLiteral("bad devices_id");
    case BadProduct: return QStringLiteral("bad product");
    case BadComplete: return QStringLiteral("bad complete");
    case BadManifest: return QStringLiteral("bad manifest");
    case BadPublicKey: return QStringLiteral("bad public key");
    case NoKeyMatches: return QStringLiteral("no key matches");
    case Expired: return QStringLiteral("expired");
    }
    return QString();
}
