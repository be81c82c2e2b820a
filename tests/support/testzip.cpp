#include "testzip.h"

#include <zip.h>

QString writeZip(const QString &path, const QList<ZipItem> &items, bool store)
{
    QFile::remove(path);
    int error = 0;
    zip_t *archive = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_EXCL, &error);
    if (!archive)
        return QStringLiteral("zip_open failed: %1").arg(error);
    // The data of buffer sources must outlive zip_close, which is when libzip reads it.
    QList<QByteArray> keep;
    for (const ZipItem &item : items) {
        const QByteArray name = item.name.toUtf8();
        zip_int64_t index = -1;
        unsigned type = S_IFREG;
        if (item.kind == ZipItem::Dir) {
            index = zip_dir_add(archive, name.constData(), ZIP_FL_ENC_UTF_8);
            type = S_IFDIR;
        } else {
            zip_source_t *source = nullptr;
            if (!item.sourceFile.isEmpty()) {
                source = zip_source_file(archive, QFile::encodeName(item.sourceFile).constData(), 0, -1);
            } else {
                keep << item.data;
                source = zip_source_buffer(archive, keep.last().constData(), zip_uint64_t(keep.last().size()), 0);
            }
            if (source)
                index = zip_file_add(archive, name.constData(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
            if (index < 0 && source)
                zip_source_free(source);
            if (item.kind == ZipItem::Link)
                type = S_IFLNK;
        }
        if (index < 0) {
            const QString text = QString::fromUtf8(zip_strerror(archive));
            zip_discard(archive);
            return text;
        }
        zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                         zip_uint32_t(type | item.mode) << 16);
        if (item.kind == ZipItem::File)
            zip_set_file_compression(archive, zip_uint64_t(index), store ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 1);
    }
    if (zip_close(archive) != 0) {
        const QString text = QString::fromUtf8(zip_strerror(archive));
        zip_discard(archive);
        return text;
    }
    return QString();
}

QStringList zipEntryNames(const QString &path)
{
    QStringList names;
    zip_t *archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, nullptr);
    if (!archive)
        return names;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i)
        names << QString::fromUtf8(zip_get_name(archive, zip_uint64_t(i), ZIP_FL_ENC_GUESS));
    zip_discard(archive);
    return names;
}
