#include "updateinfo.h"

#include "deltamanifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {

using Fault = UpdateInfo::Fault;

// Beyond this a JSON number no longer holds every whole number exactly.
constexpr double LargestExactInteger = 9007199254740991.0;

bool readWholeNumber(const QJsonValue &value, double low, double high, qint64 *number)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (!(d >= low && d <= high) || std::floor(d) != d)
        return false;
    *number = qint64(d);
    return true;
}

bool isLowerHex(const QString &text, int length)
{
    if (text.size() != length)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

bool isAbsent(const QJsonValue &value)
{
    return value.isUndefined() || value.isNull();
}

QString quoted(const QJsonValue &value)
{
    if (value.isString())
        return QLatin1Char('"') + value.toString() + QLatin1Char('"');
    if (value.isUndefined())
        return QStringLiteral("absent");
    QJsonArray wrapper{value};
    const QByteArray json = QJsonDocument(wrapper).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

// Reads one member at a time and remembers the first that is wrong.
struct Reader
{
    const QJsonObject &object;
    UpdateInfo::Entry &read;
    Fault fault = Fault::None;
    QString error;

    QJsonValue value(const char *name) const { return object.value(QLatin1String(name)); }
    bool fail(Fault which, const char *name, const char *what, const QJsonValue &found)
    {
        fault = which;
        error = QLatin1String(name) + QLatin1String(what) + quoted(found);
        return false;
    }

    bool required(); // version, file name, hash, link
    bool package();  // sha256, size, expires
    bool audience(); // rollout, devices, product, complete
    bool manifest();
};

bool Reader::required()
{
    qint64 number = 0;
    const QJsonValue versionCode = value(UpdateInfo::VersionCode);
    if (!readWholeNumber(versionCode, 1, 2147483647.0, &number))
        return fail(Fault::VersionCode, UpdateInfo::VersionCode, " is not a whole number from 1 to 2147483647: ",
                    versionCode);
    read.versionCode = int(number);
    const QJsonValue fileName = value(UpdateInfo::FileName);
    read.fileName = fileName.toString();
    if (!fileName.isString() || read.fileName.isEmpty() || !UpdateInfo::isWellFormed(read.fileName))
        return fail(Fault::FileName, UpdateInfo::FileName, " is not a name: ", fileName);
    // The package is stored under this name in the download folder: a path would place it elsewhere.
    if (!UpdateInfo::isPlainName(read.fileName))
        return fail(Fault::FileName, UpdateInfo::FileName, " is not a plain name: ", fileName);
    // Only read by the MD5 check, which fails on anything that is not the digest.
    read.hash = value(UpdateInfo::Hash).toString();
    read.link = value(UpdateInfo::Link).toString();
    return true;
}

bool Reader::package()
{
    qint64 number = 0;
    const QJsonValue sha256 = value(UpdateInfo::Sha256);
    if (!isAbsent(sha256)) {
        if (!sha256.isString() || !isLowerHex(sha256.toString(), 64))
            return fail(Fault::Sha256, UpdateInfo::Sha256, " is not 64 lower-case hex digits: ", sha256);
        read.sha256 = sha256.toString().toLatin1();
    }
    const QJsonValue size = value(UpdateInfo::Size);
    if (!isAbsent(size)) {
        if (!readWholeNumber(size, 0, LargestExactInteger, &number))
            return fail(Fault::Size, UpdateInfo::Size, " is not a whole number of bytes: ", size);
        read.size = number;
    }
    const QJsonValue expires = value(UpdateInfo::Expires);
    if (!isAbsent(expires)) {
        read.expires = expires.toString();
        if (!expires.isString() || (!read.expires.isEmpty() && !UpdateInfo::parseExpires(read.expires, &read.expiresAt)))
            return fail(Fault::Expires, UpdateInfo::Expires, " is not a UTC time like 2027-01-31T12:00:00Z: ", expires);
    }
    return true;
}

bool Reader::audience()
{
    qint64 number = 0;
    const QJsonValue rollout = value(UpdateInfo::Rollout);
    if (!isAbsent(rollout)) {
        if (!readWholeNumber(rollout, 1, 100, &number))
            return fail(Fault::Rollout, UpdateInfo::Rollout, " is not a whole percentage from 1 to 100: ", rollout);
        read.rollout = int(number);
    }
    // A null or a text read as a list would be empty, which admits every device.
    const QJsonValue devices = value(UpdateInfo::Devices);
    if (!devices.isUndefined() && !devices.isArray())
        return fail(Fault::Devices, UpdateInfo::Devices, " is not a list: ", devices);
    QList<QByteArray> ids;
    for (const QJsonValue &device : devices.toArray()) {
        if (!device.isString() || !UpdateInfo::isWellFormed(device.toString()))
            return fail(Fault::Devices, UpdateInfo::Devices, " holds something other than a text: ", device);
        ids.append(device.toString().toUtf8());
    }
    // QByteArray compares bytes as unsigned, which is the order of the code points; QString's
    // order (UTF-16) differs above U+FFFF.
    std::sort(ids.begin(), ids.end());
    for (const QByteArray &id : qAsConst(ids))
        read.devices.append(QString::fromUtf8(id));
    const QJsonValue product = value(UpdateInfo::Product);
    if (!isAbsent(product)) {
        read.product = product.toString();
        if (!product.isString() || !UpdateInfo::isWellFormed(read.product))
            return fail(Fault::Product, UpdateInfo::Product, " is not a text: ", product);
    }
    // Only a bool switches on the removal of what the previous package brought.
    const QJsonValue complete = value(UpdateInfo::Complete);
    if (!isAbsent(complete)) {
        if (!complete.isBool())
            return fail(Fault::Complete, UpdateInfo::Complete, " is not true or false: ", complete);
        read.complete = complete.toBool();
    }
    return true;
}

bool Reader::manifest()
{
    const QJsonValue manifest = value(UpdateInfo::Manifest);
    if (isAbsent(manifest))
        return true;
    const QJsonObject m = manifest.toObject();
    const QString name = m.value(QStringLiteral("name")).toString();
    const QString sha256 = m.value(QStringLiteral("sha256")).toString();
    qint64 size = 0;
    if (!manifest.isObject() || !DeltaManifest::isSafePath(name) || !UpdateInfo::isWellFormed(name)
        || !readWholeNumber(m.value(QStringLiteral("size")), 0, double(DeltaManifest::MaxSize), &size)
        || !isLowerHex(sha256, 64))
        return fail(Fault::Manifest, UpdateInfo::Manifest,
                    " is not a relative name with a size up to 16 MiB and a sha256: ", manifest);
    read.manifestName = name;
    read.manifestSize = size;
    read.manifestSha256 = sha256.toLatin1();
    return true;
}

}

UpdateInfo::Fault UpdateInfo::parseEntry(const QString &platformKey, const QJsonObject &object, Entry *entry,
                                         QString *error)
{
    Entry read;
    read.platformKey = platformKey;
    Reader reader{object, read, Fault::None, QString()};
    if (!reader.required() || !reader.package() || !reader.audience() || !reader.manifest()) {
        *error = reader.error;
        return reader.fault;
    }
    *entry = read;
    return Fault::None;
}

QJsonObject UpdateInfo::toJson(const Entry &entry)
{
    QJsonObject object;
    object.insert(QLatin1String(Devices), QJsonArray::fromStringList(entry.devices));
    object.insert(QLatin1String(VersionCode), entry.versionCode);
    object.insert(QLatin1String(FileName), entry.fileName);
    object.insert(QLatin1String(Hash), entry.hash);
    object.insert(QLatin1String(Link), entry.link);
    if (!entry.sha256.isEmpty())
        object.insert(QLatin1String(Sha256), QString::fromLatin1(entry.sha256));
    if (entry.size >= 0)
        object.insert(QLatin1String(Size), entry.size);
    if (!entry.expires.isEmpty())
        object.insert(QLatin1String(Expires), entry.expires);
    if (entry.rollout != 100)
        object.insert(QLatin1String(Rollout), entry.rollout);
    if (!entry.product.isEmpty())
        object.insert(QLatin1String(Product), entry.product);
    if (entry.complete)
        object.insert(QLatin1String(Complete), true);
    if (!entry.manifestName.isEmpty())
        object.insert(QLatin1String(Manifest), QJsonObject{{QStringLiteral("name"), entry.manifestName},
                                                           {QStringLiteral("size"), entry.manifestSize},
                                                           {QStringLiteral("sha256"), QString::fromLatin1(entry.manifestSha256)}});
    return object;
}

bool UpdateInfo::parseExpires(const QString &text, QDateTime *utc)
{
    // [0-9], not \d: \d takes digits of every script.
    static const QRegularExpression form(QStringLiteral(
        "^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})(?:\\.([0-9]{1,9}))?Z$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return false;
    const auto part = [&match](int n) { return match.captured(n).toInt(); };
    const QDate date(part(1), part(2), part(3));
    const QString fraction = match.captured(7);
    const int milliseconds = fraction.isEmpty() ? 0 : (fraction + QStringLiteral("00")).left(3).toInt();
    const QTime time(part(4), part(5), part(6), milliseconds);
    if (!date.isValid() || !time.isValid())
        return false;
    *utc = QDateTime(date, time, Qt::UTC);
    return true;
}

bool UpdateInfo::isPlainName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && name != QLatin1String(".") && name != QLatin1String("..");
}

bool UpdateInfo::isWellFormed(const QString &text)
{
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

QString UpdateInfo::faultText(Fault fault)
{
    switch (fault) {
    case Fault::None: return QStringLiteral("valid");
    case Fault::VersionCode: return QStringLiteral("bad version_code");
    case Fault::FileName: return QStringLiteral("bad file_name");
    case Fault::Sha256: return QStringLiteral("bad sha256");
    case Fault::Size: return QStringLiteral("bad size");
    case Fault::Expires: return QStringLiteral("bad expires");
    case Fault::Rollout: return QStringLiteral("bad rollout");
    case Fault::Devices: return QStringLiteral("bad devices_id");
    case Fault::Product: return QStringLiteral("bad product");
    case Fault::Complete: return QStringLiteral("bad complete");
    case Fault::Manifest: return QStringLiteral("bad manifest");
    }
    return QString();
}
