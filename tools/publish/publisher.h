#ifndef PUBLISHER_H
#define PUBLISHER_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Turns an application folder (or a ready zip) into a package in a folder that a static HTTP server
// serves, and announces it in the update information next to it. The package is complete on disk
// before the information that names it changes, and neither file is ever seen half-written.
class Publisher
{
public:
    struct Request
    {
        QString source;         // application folder or zip archive
        int versionCode = -1;
        QString platformKey;    // member of the update information, "update/key" on the device
        QStringList deviceIds;  // empty: every device may take it
        QString baseUrl;        // what the devices have as "update/link"
        QString outputDir;
        QString infoName = QStringLiteral("update.json");
        QString fileName;       // package file name; empty: <key>-<version>.zip
    };

    struct Result
    {
        QString packagePath;
        QString infoPath;
        QString link;
        QString hash;
        QStringList warnings;
    };

    // Returns false with `error` set when nothing new was announced.
    bool publish(const Request &request, Result *result, QString *error);

    static QString defaultFileName(const QString &platformKey, int versionCode);
    // The platform entry that the updater reads.
    static QJsonObject makeEntry(const QStringList &deviceIds, int versionCode, const QString &fileName,
                                 const QString &hash, const QString &link);

private:
    static bool validate(const Request &request, QString *error);
    static bool readInfo(const QString &path, QJsonObject *root, QString *error);
    static bool zipFolder(const QString &folder, const QString &zipPath, QString *error);
    static bool checkZip(const QString &zipPath, QString *error);
    static bool copyFile(const QString &from, const QString &to, QString *error);
    static QByteArray md5Hex(const QString &path, QString *error);
    static bool replaceFile(const QString &from, const QString &to, QString *error);
};

#endif
