#include "streamhash.h"
#include "testfiles.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QtTest>

class TestStreamHash : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void knownDigests_data();
    void knownDigests();
    void piecesGiveTheWholeDigest_data();
    void piecesGiveTheWholeDigest();
};

void TestStreamHash::knownDigests_data()
{
    QTest::addColumn<int>("algorithm");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("md5 empty") << int(StreamHash::Md5) << QByteArray() << QByteArray("d41d8cd98f00b204e9800998ecf8427e");
    QTest::newRow("md5 abc") << int(StreamHash::Md5) << QByteArray("abc") << QByteArray("900150983cd24fb0d6963f7d28e17f72");
    QTest::newRow("sha256 empty") << int(StreamHash::Sha256) << QByteArray()
                                  << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("sha256 abc") << int(StreamHash::Sha256) << QByteArray("abc")
                                << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

void TestStreamHash::knownDigests()
{
    QFETCH(int, algorithm);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, hex);
    StreamHash hash{StreamHash::Algorithm(algorithm)};
    QVERIFY(hash.isValid());
    QVERIFY(hash.addData(data));
    QCOMPARE(hash.hexResult(), hex);
    QCOMPARE(hash.bytesAdded(), qint64(data.size()));
}

void TestStreamHash::piecesGiveTheWholeDigest_data()
{
    QTest::addColumn<int>("algorithm");
    QTest::addColumn<int>("qtAlgorithm");
    QTest::newRow("md5") << int(StreamHash::Md5) << int(QCryptographicHash::Md5);
    QTest::newRow("sha256") << int(StreamHash::Sha256) << int(QCryptographicHash::Sha256);
}

// The download path adds what each read delivers and looks at the result while bytes still come in.
void TestStreamHash::piecesGiveTheWholeDigest()
{
    QFETCH(int, algorithm);
    QFETCH(int, qtAlgorithm);
    const QByteArray data = TestFiles::pseudoRandom(1 << 20, 7);
    const auto expected = [&](int length) {
        return QCryptographicHash::hash(data.left(length), QCryptographicHash::Algorithm(qtAlgorithm)).toHex();
    };
    StreamHash hash{StreamHash::Algorithm(algorithm)};
    int offset = 0;
    for (const int piece : {1, 0, 63, 64, 65, 4096, 100000}) {
        QVERIFY(hash.addData(data.constData() + offset, piece));
        offset += piece;
        QCOMPARE(hash.hexResult(), expected(offset));
    }
    QBuffer rest;
    rest.setData(data.mid(offset));
    QVERIFY(rest.open(QIODevice::ReadOnly));
    QVERIFY(hash.addData(&rest));
    QCOMPARE(hash.hexResult(), expected(data.size()));
    QCOMPARE(hash.bytesAdded(), qint64(data.size()));

    // Starting over: the resumed download was thrown away.
    QVERIFY(hash.reset());
    QVERIFY(hash.addData(data.left(10)));
    QCOMPARE(hash.hexResult(), expected(10));
    QVERIFY(!hash.addData(data.constData(), -1));
    QVERIFY(hash.hexResult().isEmpty());
}

QTEST_MAIN(TestStreamHash)
#include "tst_streamhash.moc"
