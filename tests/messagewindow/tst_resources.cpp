#include "messagewindow.h"

#include <QImage>
#include <QImageReader>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

// The two images plessa carries inside itself, drawn by tools/icongen.
class TestResources : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void copyIcon();
    void applicationIconHasAllSizes();
};

void TestResources::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    MessageWindow::initResources();
}

void TestResources::copyIcon()
{
    QImage icon(QStringLiteral(":/images/copy_icon.png"));
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.size(), QSize(48, 48));
    QVERIFY(icon.hasAlphaChannel());
    // Drawn, not blank: some pixels opaque, the corners transparent.
    QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(icon.pixel(47, 47)), 0);
    QCOMPARE(qAlpha(icon.pixel(30, 30)), 255);
}

void TestResources::applicationIconHasAllSizes()
{
    QImageReader reader(QStringLiteral(":/images/icon_app.ico"), "ico");
    QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
    QSet<int> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.width(), image.height());
        // The tile's middle is painted in every size; its corners stay transparent.
        QCOMPARE(qAlpha(image.pixel(image.width() / 2, image.height() / 2)), 255);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        sizes.insert(image.width());
    }
    QCOMPARE(sizes, (QSet<int>{16, 24, 32, 48, 64, 128, 256}));
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
