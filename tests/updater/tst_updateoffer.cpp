#include "updateoffer.h"

#include <QJsonDocument>
#include <QtTest>

Q_DECLARE_METATYPE(UpdateOffer::Verdict)

class TestUpdateOffer : public QObject
{
    Q_OBJECT
private slots:
    void judge_data();
    void judge();
};

// Buckets of version 200 (see tst_rollout): "dev-1" 95, "r-fixed" 24.
void TestUpdateOffer::judge_data()
{
    QTest::addColumn<QByteArray>("members"); // of the entry, besides version 200 in "a.zip"
    QTest::addColumn<QString>("deviceId");
    QTest::addColumn<QString>("product");    // the device's
    QTest::addColumn<int>("installed");
    QTest::addColumn<QString>("refused");
    QTest::addColumn<bool>("package");       // a valid package is here
    QTest::addColumn<UpdateOffer::Verdict>("verdict");
    QTest::addColumn<QString>("reason");

    using V = UpdateOffer::Verdict;
    const auto row = [](const char *name, const char *members, const char *deviceId, V verdict, const char *reason) {
        QTest::newRow(name) << QByteArray(members) << deviceId << QString() << 100 << QString() << false << verdict
                            << QString::fromUtf8(reason);
    };
    row("no device list", "", "dev-1", V::Fetch, "");
    row("empty device list", R"("devices_id":[])", "x", V::Fetch, "");
    row("listed device", R"("devices_id":["dev-7","dev-1"])", "dev-1", V::Fetch, "");
    row("unlisted device", R"("devices_id":["dev-7","Dev-8"])", "dev-9", V::NotPermitted, "refused by devices_id");
    row("case differs", R"("devices_id":["dev-7","Dev-8"])", "dev-8", V::NotPermitted, "refused by devices_id");
    row("no device id with a list", R"("devices_id":["dev-7"])", "", V::NotPermitted, "refused by devices_id");
    row("unlisted device at 100 %", R"("devices_id":["dev-2"],"rollout":100)", "dev-1", V::NotPermitted, "refused by devices_id");
    row("bucket 95 of 95 %", R"("rollout":95)", "dev-1", V::NotPermitted, R"(refused by rollout 95 %, bucket 95 of "dev-1")");
    row("bucket 95 of 96 %", R"("rollout":96)", "dev-1", V::Fetch, R"(taken by rollout 96 %, bucket 95 of "dev-1")");
    row("no device id: rollout id, out", R"("rollout":24)", "", V::NotPermitted, R"(refused by rollout 24 %, bucket 24 of "r-fixed")");
    row("no device id: rollout id, in", R"("rollout":25)", "", V::Fetch, R"(taken by rollout 25 %, bucket 24 of "r-fixed")");
    row("listed device, rollout applies after", R"("devices_id":["dev-1"],"rollout":50)", "dev-1", V::NotPermitted,
        R"(refused by rollout 50 %, bucket 95 of "dev-1")");

    const auto facts = [](const char *name, const char *members, const char *product, int installed, const char *refused,
                          bool package, V verdict, const QString &reason) {
        QTest::newRow(name) << QByteArray(members) << "dev-1" << product << installed << refused << package << verdict << reason;
    };
    facts("newer, package here", "", "", 100, "", true, V::Ready, QString());
    facts("same version", "", "", 200, "", true, V::NotRequired, "no update required v.200 (offered 200, installed 200)");
    facts("older version", "", "", 300, "", false, V::NotRequired, "no update required v.200 (offered 200, installed 300)");
    facts("rolled back here", "", "", 100, "150,200", true, V::Refused, "version 200 was rolled back on this device, not taken");
    facts("another version rolled back", "", "", 100, "150,2000", false, V::Fetch, QString());
    facts("rolled back and not newer", "", "", 200, "200", false, V::NotRequired,
          "no update required v.200 (offered 200, installed 200)");
    // Two products may share a signing key.
    facts("device names no product", R"("product":"lobby")", "", 100, "", false, V::Fetch, QString());
    facts("same product", R"("product":"lobby")", "lobby", 100, "", false, V::Fetch, QString());
    facts("other product", R"("product":"menu")", "lobby", 100, "", false, V::ErrorInfo,
          R"(the entry is for product "menu" and this device is "lobby")");
    facts("entry names no product", "", "lobby", 100, "", false, V::ErrorInfo,
          R"(the entry is for no product and this device is "lobby")");
    facts("other product, unlisted device", R"("product":"menu","devices_id":["dev-2"])", "lobby", 100, "", false,
          V::ErrorInfo, R"(the entry is for product "menu" and this device is "lobby")");
}

void TestUpdateOffer::judge()
{
    QFETCH(QByteArray, members);
    QFETCH(QString, deviceId);
    QFETCH(QString, product);
    QFETCH(int, installed);
    QFETCH(QString, refused);
    QFETCH(bool, package);
    QFETCH(UpdateOffer::Verdict, verdict);
    QFETCH(QString, reason);

    UpdateInfo::Entry entry;
    QString error;
    const QByteArray json = R"({"version_code":200,"file_name":"a.zip")" + (members.isEmpty() ? "" : "," + members) + "}";
    QCOMPARE(UpdateInfo::parseEntry(QStringLiteral("linux"), QJsonDocument::fromJson(json).object(), &entry, &error),
             UpdateInfo::Fault::None);
    UpdateOffer::DeviceFacts facts;
    facts.deviceId = deviceId;
    facts.rolloutId = QStringLiteral("r-fixed");
    facts.product = product;
    facts.installedVersion = installed;
    facts.refusedVersions = refused.split(QLatin1Char(','), Qt::SkipEmptyParts);
    int asked = 0;
    facts.packageValid = [&asked, package] { ++asked; return package; };

    const UpdateOffer::Judgement judgement = UpdateOffer::judge(entry, facts);
    QCOMPARE(judgement.verdict, verdict);
    QCOMPARE(judgement.reason, reason);
    // Reading the package costs; it is read only for a version that is taken.
    QCOMPARE(asked, int(verdict == UpdateOffer::Verdict::Fetch || verdict == UpdateOffer::Verdict::Ready));
}

QTEST_APPLESS_MAIN(TestUpdateOffer)
#include "tst_updateoffer.moc"
