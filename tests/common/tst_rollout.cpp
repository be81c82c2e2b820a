#include "rollout.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

// Buckets computed outside this code: printf '%s' '<id>:<version>' | sha256sum, first 8 hex digits
// as a number, modulo 100.
class TestRollout : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void knownBuckets_data();
    void knownBuckets();
    void shareOfTenThousandDevices_data();
    void shareOfTenThousandDevices();
    void eachVersionPicksOtherDevices();
    void newIdsAreRandomHex();
};

void TestRollout::knownBuckets_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("bucket");
    QTest::newRow("kiosk-17:200 7f3e89a2") << QStringLiteral("kiosk-17") << 200 << 98;
    QTest::newRow("dev-1:200 5280b397") << QStringLiteral("dev-1") << 200 << 95;
    QTest::newRow("dev-1:201 d384b36f") << QStringLiteral("dev-1") << 201 << 63;
    QTest::newRow("empty id :1 882e0dab") << QString() << 1 << 31;
    QTest::newRow("UTF-8 id 7d7638c5") << QStringLiteral("киоск-1") << 3 << 81;
    QTest::newRow("r-fixed:200 95eea840") << QStringLiteral("r-fixed") << 200 << 24;
}

void TestRollout::knownBuckets()
{
    QFETCH(QString, id);
    QFETCH(int, version);
    QFETCH(int, bucket);
    QCOMPARE(Rollout::bucket(id, version), bucket);
    QVERIFY(Rollout::admits(bucket, bucket + 1));
    QVERIFY(!Rollout::admits(bucket, bucket));
}

void TestRollout::shareOfTenThousandDevices_data()
{
    QTest::addColumn<int>("percent");
    for (const int percent : {1, 5, 10, 25, 50, 90, 99, 100})
        QTest::newRow(qPrintable(QString::number(percent) + QLatin1Char('%'))) << percent;
}

void TestRollout::shareOfTenThousandDevices()
{
    QFETCH(int, percent);
    const int devices = 10000;
    int taken = 0;
    for (int i = 0; i < devices; ++i)
        taken += Rollout::admits(Rollout::bucket(QStringLiteral("site%1-kiosk-%2").arg(i % 97).arg(i), 5017), percent) ? 1 : 0;
    // Within 1.5 percentage points: about three standard deviations at 50 %.
    const double share = 100.0 * taken / devices;
    QVERIFY2(qAbs(share - percent) <= 1.5, qPrintable(QStringLiteral("%1 % taken of %2 %").arg(share).arg(percent)));
}

void TestRollout::eachVersionPicksOtherDevices()
{
    // The first tenth of one version is not again the first tenth of the next one.
    QSet<int> first;
    QSet<int> next;
    for (int i = 0; i < 10000; ++i) {
        const QString id = QStringLiteral("device-%1").arg(i);
        if (Rollout::admits(Rollout::bucket(id, 300), 10))
            first.insert(i);
        if (Rollout::admits(Rollout::bucket(id, 301), 10))
            next.insert(i);
    }
    const int both = int(QSet<int>(first).intersect(next).size());
    // Independent tenths share about 1 % of the fleet.
    QVERIFY2(both < 200, qPrintable(QString::number(both)));
    QVERIFY(first.size() > 800 && next.size() > 800);
}

void TestRollout::newIdsAreRandomHex()
{
    const QString a = Rollout::newId();
    const QString b = Rollout::newId();
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(a).hasMatch(), qPrintable(a));
    QVERIFY(a != b);
}

QTEST_GUILESS_MAIN(TestRollout)
#include "tst_rollout.moc"
