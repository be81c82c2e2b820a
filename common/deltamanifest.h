#ifndef DELTAMANIFEST_H
#define DELTAMANIFEST_H

#include <QByteArray>
#include <QString>
#include <QVector>

// The list of every file and folder of one published version, with the content digests that let a
// device fetch only what it lacks: each file's content as a compressed object named by its SHA-256,
// and optionally patches from earlier contents of the same path. The publisher writes it, the
// updater reads it after checking it against the signed entry; parse() refuses anything that could
// lead a write outside the application folder or onto the installer's own files.
class DeltaManifest
{
public:
    static const char FormatTag[];
    static constexpr qint64 MaxSize = 16 * 1024 * 1024;

    struct Patch
    {
        QByteArray from;    // SHA-256 (hex) of the content the patch applies to
        qint64 size = 0;    // bytes of the patch file
    };
    struct File
    {
        QString path;
        int mode = 0644;
        qint64 size = 0;
        QByteArray sha256;  // 64 lower-case hex digits of the uncompressed content
        qint64 objectSize = 0;
        QVector<Patch> patches;
    };
    struct Folder
    {
        QString path;
        int mode = 0755;
    };

    QString key;
    int versionCode = 0;
    bool complete = false;
    QVector<Folder> folders;
    QVector<File> files;

    // False with `error` saying which member is wrong; `out` is then left as it was.
    static bool parse(const QByteArray &json, DeltaManifest *out, QString *error);
    // Compact JSON, folders and files sorted by path, so the same version gives the same bytes.
    QByteArray toJson() const;

    static QString objectPath(const QByteArray &sha256);
    static QString patchPath(const QByteArray &from, const QByteArray &to);

    // 64 lower-case hex digits.
    static bool isSha256(const QByteArray &text);
    // Relative, '/'-separated, no empty, "." or ".." segment, no backslash or NUL, and not under a
    // top-level name that the installer keeps for its own files.
    static bool isSafePath(const QString &path);
    static bool isReservedName(const QString &topLevelName);
};

#endif
