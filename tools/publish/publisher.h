#ifndef PUBLISHER_H
#define PUBLISHER_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
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
        QString signKeyPath;    // PKCS#8 PEM Ed25519 private key; empty: the entry is not signed
        QString expires;        // UTC "YYYY-MM-DDThh:mm:ssZ"; empty: never (needs a signing key)
        int rollout = 0;        // percent 1 to 100; 0: not written (every device)
        QString product;        // empty: none named; devices with "update/product" take only their own
        // A package made from a folder holds the whole version and is marked complete (the device
        // then removes files of the previous version that it lacks); true keeps it an overlay.
        bool overlay = false;
        // A folder is also published as file objects and a manifest, named in the entry.
        bool objects = true;
        int patchFrom = 3;      // previous versions that large changed files get patches from
    };

    struct Result
    {
        QString packagePath;
        QString infoPath;
        QString link;
        QString hash;
        QString sha256;
        qint64 size = 0;
        bool complete = false;
        QByteArray publicKey;   // of the signing key, base64; empty when not signed
        QStringList warnings;
        QString manifestPath;   // empty when no objects were written
        int objectsWritten = 0;
        int patchesWritten = 0;
    };

    struct KeyFiles
    {
        QString privateKeyPath;
        QString publicKeyPath;
        QByteArray publicKey;   // base64 of the raw 32 bytes, as the devices' "update/publickey"
    };

    // Returns false with `error` set when nothing new was announced.
    bool publish(const Request &request, Result *result, QString *error);

    // Writes a new Ed25519 key pair into `folder`; never replaces an existing key.
    static bool generateKeys(const QString &folder, KeyFiles *files, QString *error);

    static QString defaultFileName(const QString &platformKey, int versionCode);

private:
    static bool validate(const Request &request, QString *error);
    static bool readInfo(const QString &path, QJsonObject *root, QString *error);
    static bool zipFolder(const QString &folder, const QString &zipPath, QString *error);
    static bool checkZip(const QString &zipPath, QString *error);
    static bool copyFile(const QString &from, const QString &to, QString *error);
    static bool hashFile(const QString &path, Result *result, QString *error);
    static bool readSigningKey(const QString &path, QByteArray *pem, Result *result, QString *error);
    static bool signEntry(const QString &platformKey, const QByteArray &pem, const QByteArray &publicKey,
                          QJsonObject *entry, QString *error);
    static bool replaceFile(const QString &from, const QString &to, QString *error);
    static void warnAboutPrevious(const Request &request, const QJsonValue &previous, Result *result);
    // The platform entry that the updater reads; also decides whether the package is complete.
    static QJsonObject makeEntry(const Request &request, const QString &fileName, Result *result);
};

#endif
