#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

quint64 TestFiles::inode(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
}

int TestFiles::mode(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

bool TestFiles::write(const QString &path, const QByteArray &content, QFile::Permissions extra)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return extra == QFile::Permissions() || file.setPermissions(file.permissions() | extra);
}

QByteArray TestFiles::read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList TestFiles::readArguments(const QString &path)
{
    QStringList arguments;
    for (const QByteArray &argument : read(path).split('\0'))
        arguments << QString::fromUtf8(argument);
    if (!arguments.isEmpty() && arguments.constLast().isEmpty())
        arguments.removeLast();
    return arguments;
}

QString TestFiles::tail(const QString &path, int bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("(no %1)").arg(path);
    if (file.size() > bytes)
        file.seek(file.size() - bytes);
    return QString::fromUtf8(file.readAll());
}

QString TestFiles::md5(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QByteArray TestFiles::sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QString TestFiles::fileMd5(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QByteArray TestFiles::pseudoRandom(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 0x9e3779b9u ^ seed;
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = char(x >> 24);
    }
    return data;
}

QMap<QString, QByteArray> TestFiles::tree(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isDir())
            tree.insert(relative, "<dir>");
        else
            tree.insert(relative, QCryptographicHash::hash(read(path), QCryptographicHash::Md5));
    }
    return tree;
}

QMap<QString, QByteArray> TestFiles::versionTree(const QString &root)
{
    QMap<QString, QByteArray> rest;
    const QMap<QString, QByteArray> all = tree(root);
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        const QString top = it.key().section(QLatin1Char('/'), 0, 0);
        if (top != QLatin1String(".update-kept") && !top.startsWith(QLatin1String(".update-backup-")))
            rest.insert(it.key(), it.value());
    }
    return rest;
}
