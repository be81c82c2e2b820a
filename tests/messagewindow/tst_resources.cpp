#include "messagewindow.h"

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

// What plessa carries inside itself: both QML documents as text and its two images.
class TestResources : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void documentsArePlainQml_data();
    void documentsArePlainQml();
    void copyIcon();
    void applicationIconHasAllSizes();
};

void TestResources::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    MessageWindow::initResources();
}

void TestResources::documentsArePlainQml_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("controlsImport");
    QTest::newRow("main.qml") << ":/main.qml" << QByteArray("import QtQuick.Controls 2.0");
    QTest::newRow("Page1.qml") << ":/Page1.qml" << QByteArray("import QtQuick.Controls 2.2");
}

void TestResources::documentsArePlainQml()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, controlsImport);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.startsWith("import QtQuick 2.4\n"));
    QVERIFY(text.contains(controlsImport + '\n'));
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
