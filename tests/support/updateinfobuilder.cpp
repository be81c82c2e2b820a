#include "updateinfobuilder.h"
#include "testfiles.h"
#include "updatesignature.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>

UpdateInfoBuilder::UpdateInfoBuilder(const QString &platform, int versionCode, const QString &fileName,
                                     const QByteArray &package)
    : m_platform(platform)
    , m_entry{{QStringLiteral("version_code"), versionCode},
              {QStringLiteral("file_name"), fileName},
              {QStringLiteral("hash"), TestFiles::md5(package)}}
    , m_package(package)
{
}

UpdateInfoBuilder &UpdateInfoBuilder::link(const QString &url)
{
    return set(QStringLiteral("link"), url);
}

UpdateInfoBuilder &UpdateInfoBuilder::withSha256AndSize()
{
    set(QStringLiteral("sha256"),
        QString::fromLatin1(QCryptographicHash::hash(m_package, QCryptographicHash::Sha256).toHex()));
    return set(QStringLiteral("size"), qint64(m_package.size()));
}

UpdateInfoBuilder &UpdateInfoBuilder::set(const QString &member, const QJsonValue &value)
{
    m_entry.insert(member, value);
    return *this;
}

bool UpdateInfoBuilder::sign(const QByteArray &privatePem)
{
    return sign(m_platform, &m_entry, privatePem);
}

bool UpdateInfoBuilder::sign(const QString &platform, QJsonObject *entry, const QByteArray &privatePem)
{
    UpdateSignature::Entry values;
    QString error;
    if (UpdateSignature::readEntry(platform, *entry, &values, &error) != UpdateSignature::Valid) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    const QByteArray signature = UpdateSignature::sign(UpdateSignature::canonicalText(values), privatePem, &error);
    if (signature.isEmpty()) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    entry->insert(QStringLiteral("signature"), QString::fromLatin1(signature.toBase64()));
    return true;
}

QString UpdateInfoBuilder::fileName() const
{
    return m_entry.value(QStringLiteral("file_name")).toString();
}

QByteArray UpdateInfoBuilder::document() const
{
    return QJsonDocument(QJsonObject{{m_platform, m_entry}}).toJson();
}

bool UpdateInfoBuilder::serve(const QString &folder) const
{
    return TestFiles::write(folder + QStringLiteral("/update.json"), document())
        && TestFiles::write(folder + QLatin1Char('/') + fileName(), m_package);
}

bool UpdateInfoBuilder::placeReadyPackage(const QString &workFolder) const
{
    QDir download(workFolder + QStringLiteral("/download"));
    if (download.exists()) {
        for (const QString &old : download.entryList(QDir::Files)) {
            if (!download.remove(old))
                return false;
        }
    }
    return TestFiles::write(download.filePath(fileName()), m_package)
        && TestFiles::write(workFolder + QStringLiteral("/update.json"), document());
}
