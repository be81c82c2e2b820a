#ifndef TESTZIP_H
#define TESTZIP_H

// Builds zip archives at test time with libzip, so that no archive has to live in git.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

struct ZipItem
{
    enum Kind { File, Dir, Link };
    QString name;
    QByteArray data;        // file content, or the target of a link
    unsigned mode = 0644;
    Kind kind = File;
    QString sourceFile;     // when set, the content is streamed from this file instead of data

    static ZipItem file(const QString &name, const QByteArray &data, unsigned mode = 0644)
    {
        ZipItem item;
        item.name = name;
        item.data = data;
        item.mode = mode;
        return item;
    }
    static ZipItem dir(const QString &name)
    {
        ZipItem item;
        item.name = name;
        item.kind = Dir;
        item.mode = 0755;
        return item;
    }
    static ZipItem link(const QString &name, const QByteArray &target)
    {
        ZipItem item;
        item.name = name;
        item.data = target;
        item.kind = Link;
        item.mode = 0777;
        return item;
    }
    static ZipItem fromFile(const QString &name, const QString &path, unsigned mode = 0644)
    {
        ZipItem item;
        item.name = name;
        item.sourceFile = path;
        item.mode = mode;
        return item;
    }
};

// Writes the items in order; returns an empty string on success, else the libzip error text.
QString writeZip(const QString &path, const QList<ZipItem> &items, bool store = false);

// The entry names of an archive in the order of its central directory; empty when it cannot be read.
QStringList zipEntryNames(const QString &path);

#endif
