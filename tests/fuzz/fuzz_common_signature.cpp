// The signature and canonical-text check: the bytes are update information, and its "linux" entry
// is checked with UpdateSignature::verify() against one fixed test key at a fixed time. Besides
// not crashing, whatever passes the reading of the signed members must give a canonical text
// that is a JSON array holding exactly those values (the publishing tool signs that text; one
// that reads back otherwise could make two entries share a signature).
//
// No application object: none of this needs one.

#include "updatesignature.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// The public half of a key made for this target only; seeds are signed with its private half.
const char testPublicKey[] = "NlQJ0dMU3FJSIi/3ZxxOEkjMOwedfhg3clMuTLqgZao=";

void checkCanonical(const UpdateSignature::Entry &entry)
{
    const QByteArray text = UpdateSignature::canonicalText(entry);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    const QJsonArray a = doc.array();
    QJsonArray devices;
    for (const QString &device : entry.devices)
        devices.append(device);
    const bool third = !entry.manifestName.isEmpty();
    const bool second = !entry.product.isEmpty() || entry.complete || third;
    const bool same = error.error == QJsonParseError::NoError && doc.isArray()
        && a.size() == (third ? 14 : second ? 11 : 9)
        && a.at(0) == QLatin1String(third ? UpdateSignature::FormatTag3
                                          : second ? UpdateSignature::FormatTag2 : UpdateSignature::FormatTag)
        && a.at(1) == entry.platformKey
        && a.at(2) == entry.versionCode && a.at(3) == entry.fileName && a.at(4) == QString::fromLatin1(entry.sha256)
        && a.at(5) == double(entry.size) && a.at(6) == entry.expires && a.at(7) == entry.rollout
        && a.at(8) == devices && (!second || (a.at(9) == entry.product && a.at(10) == entry.complete))
        && (!third || (a.at(11) == entry.manifestName && a.at(12) == double(entry.manifestSize)
                       && a.at(13) == QString::fromLatin1(entry.manifestSha256)));
    if (!same) {
        std::fprintf(stderr, "fuzz: canonical text does not read back: %s\n", text.constData());
        std::abort();
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (!doc.isObject())
        return 0;
    const QString platformKey = QStringLiteral("linux");
    const QJsonObject object = doc.object().value(platformKey).toObject();
    const QDateTime now(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);

    const UpdateSignature::Result result =
        UpdateSignature::verify(platformKey, object, QString::fromLatin1(testPublicKey), now);
    UpdateSignature::Entry entry;
    QString detail;
    const UpdateSignature::Check read = UpdateSignature::readEntry(platformKey, object, &entry, &detail);
    if (read == UpdateSignature::Valid) {
        checkCanonical(entry);
        if (result.check == UpdateSignature::BadVersionCode || result.check == UpdateSignature::BadFileName)
            std::abort();
    } else if (result.ok()) {
        std::abort();
    }
    if (result.ok() && (result.entry.expiresAt.isValid() && now >= result.entry.expiresAt))
        std::abort();
    return 0;
}
