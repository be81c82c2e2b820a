#ifndef UPDATEINFOBUILDER_H
#define UPDATEINFOBUILDER_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// One platform entry of the update information, for a package as a server would offer it:
// version_code, file_name and hash (MD5) always; link, sha256 and size and a signature on request.
class UpdateInfoBuilder
{
public:
    UpdateInfoBuilder(const QString &platform, int versionCode, const QString &fileName, const QByteArray &package);

    UpdateInfoBuilder &link(const QString &url);
    // sha256 and size of the package, the members a signature binds it by.
    UpdateInfoBuilder &withSha256AndSize();
    // Any other member (rollout, devices_id, expires...), or one replaced on purpose.
    UpdateInfoBuilder &set(const QString &member, const QJsonValue &value);
    // Signs the entry as it stands with the key of privatePem, as the publishing tool would;
    // false (with a warning) when the entry's signed members are not readable.
    bool sign(const QByteArray &privatePem);
    // The same for an entry made elsewhere, e.g. one changed after the publishing tool signed it.
    static bool sign(const QString &platform, QJsonObject *entry, const QByteArray &privatePem);

    QJsonObject entry() const { return m_entry; }
    QString fileName() const;
    // The whole file: {"<platform>": entry}.
    QByteArray document() const;

    // The information as <folder>/update.json and the package beside it, as a server's folder holds them.
    bool serve(const QString &folder) const;
    // The package in <workFolder>/download and the information in <workFolder>/update.json, as a
    // finished download leaves them; earlier packages in the download folder are removed.
    bool placeReadyPackage(const QString &workFolder) const;

private:
    QString m_platform;
    QJsonObject m_entry;
    QByteArray m_package;
};

#endif
