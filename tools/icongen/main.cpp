// Draws the message window's own images: the copy icon (48x48 RGBA PNG) and the application
// icon (ICO with sizes 16 to 256). The output is deterministic, so a re-run changes no file
// unless the drawing changed.

#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QCoreApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QVector>

#include <cstdio>

static QImage drawCopyIcon()
{
    QImage image(48, 48, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(0x20, 0x20, 0x20), 3.5);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    // Back sheet; the opaque front sheet hides the part it covers.
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(5, 5, 26, 26), 3, 3);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(16, 16, 27, 27), 3, 3);
    // Text lines on the front sheet.
    QPen line(QColor(0x20, 0x20, 0x20), 2.5);
    line.setCapStyle(Qt::RoundCap);
    p.setPen(line);
    for (int y : {24, 30, 36})
        p.drawLine(QPointF(22, y), QPointF(y == 36 ? 31 : 37, y));
    return image;
}

static QImage drawAppIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);

    // Rounded tile with a blue gradient.
    QLinearGradient tile(0, 0, 0, 256);
    tile.setColorAt(0, QColor(0x3a, 0x8e, 0xe6));
    tile.setColorAt(1, QColor(0x1c, 0x4f, 0x9c));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(8, 8, 240, 240), 48, 48);

    // A display with a restart arrow: the window's purpose is to bring the application back.
    p.setBrush(QColor(0xf4, 0xf7, 0xfb));
    p.drawRoundedRect(QRectF(40, 56, 176, 120), 14, 14);
    p.drawRect(QRectF(116, 176, 24, 22));
    p.drawRoundedRect(QRectF(84, 196, 88, 16), 8, 8);

    QPen arrow(QColor(0x1c, 0x4f, 0x9c), 16);
    arrow.setCapStyle(Qt::RoundCap);
    p.setPen(arrow);
    p.setBrush(Qt::NoBrush);
    const QRectF circle(88, 76, 80, 80);
    p.drawArc(circle, 60 * 16, 290 * 16);
    // Arrow head at the start of the arc (angle 60 degrees, counter-clockwise travel).
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1c, 0x4f, 0x9c));
    QPainterPath head;
    head.moveTo(158, 64);
    head.lineTo(170, 104);
    head.lineTo(130, 96);
    head.closeSubpath();
    p.drawPath(head);
    return image;
}

// One ICO entry as a 32-bit DIB (readable by every Windows version) with its AND mask.
static QByteArray dibEntry(const QImage &source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width();
    const int h = image.height();
    const int maskStride = ((w + 31) / 32) * 4;
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint32(40) << qint32(w) << qint32(h * 2) << quint16(1) << quint16(32) << quint32(0)
        << quint32(w * h * 4 + maskStride * h) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < w; ++x)
            out << quint8(qBlue(line[x])) << quint8(qGreen(line[x])) << quint8(qRed(line[x]))
                << quint8(qAlpha(line[x]));
    }
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(line[x]) == 0)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        }
        out.writeRawData(row.constData(), row.size());
    }
    return data;
}

static QByteArray pngEntry(const QImage &image)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

static QByteArray icoFile(const QVector<QImage> &images)
{
    QVector<QByteArray> entries;
    for (const QImage &image : images)
        entries << (image.width() >= 256 ? pngEntry(image) : dibEntry(image));

    QByteArray file;
    QDataStream out(&file, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * images.size();
    for (int i = 0; i < images.size(); ++i) {
        const int size = images.at(i).width();
        out << quint8(size >= 256 ? 0 : size) << quint8(size >= 256 ? 0 : size) << quint8(0) << quint8(0)
            << quint16(1) << quint16(32) << quint32(entries.at(i).size()) << offset;
        offset += entries.at(i).size();
    }
    for (const QByteArray &entry : entries)
        out.writeRawData(entry.constData(), entry.size());
    return file;
}

static bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
        fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv); // painting on images needs no display
    if (app.arguments().size() != 2) {
        fprintf(stderr, "usage: icongen <output folder>\n");
        return 2;
    }
    const QDir dir(app.arguments().at(1));
    if (!dir.exists()) {
        fprintf(stderr, "no such folder: %s\n", qPrintable(dir.path()));
        return 2;
    }

    QVector<QImage> sizes;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        sizes << drawAppIcon(size);

    const bool ok = writeFile(dir.filePath(QStringLiteral("copy_icon.png")), pngEntry(drawCopyIcon()))
        && writeFile(dir.filePath(QStringLiteral("icon_app.ico")), icoFile(sizes));
    return ok ? 0 : 1;
}
