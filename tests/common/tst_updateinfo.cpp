#include "updateinfo.h"
#include "updatesignature.h"

#include <QJsonDocument>
#include <QtTest>

namespace {

// The whole entry in one line, so that a row names every value it expects.
QString describe(const UpdateInfo::Entry &e)
{
    return QStringLiteral("%1 v%2 %3 md5=%4 link=%5 sha=%6 size=%7 expires=%8 rollout=%9")
               .arg(e.platformKey).arg(e.versionCode).arg(e.fileName, e.hash, e.link, QString::fromLatin1(e.sha256.left(4)))
               .arg(e.size).arg(e.expiresAt.toString(Qt::ISODateWithMs)).arg(e.rollout)
        + QStringLiteral(" devices=") + e.devices.join(QLatin1Char(',')) + QStringLiteral(" product=") + e.product
        + (e.complete ? QStringLiteral(" complete") : QString())
        + (e.manifestName.isEmpty() ? QString()
                                    : QStringLiteral(" manifest=%1,%2,%3").arg(e.manifestName).arg(e.manifestSize)
                                          .arg(QString::fromLatin1(e.manifestSha256.left(4))));
}

}

Q_DECLARE_METATYPE(UpdateInfo::Fault)

class TestUpdateInfo : public QObject
{
    Q_OBJECT
private slots:
    void parseEntry_data();
    void parseEntry();
    void expiresForms_data();
    void expiresForms();
};

void TestUpdateInfo::parseEntry_data()
{
    QTest::addColumn<QByteArray>("members"); // added to {"version_code":9,"file_name":"a.zip"}, replacing them
    QTest::addColumn<UpdateInfo::Fault>("fault");
    QTest::addColumn<QString>("expected");   // describe() of the entry, or the error

    using F = UpdateInfo::Fault;
    const QString plain = QStringLiteral("linux v9 a.zip md5= link= sha= size=-1 expires= rollout=100 devices= product=");
    const auto row = [](const char *name, const char *members, F fault, const QString &expected) {
        QTest::newRow(name) << QByteArray(members) << fault << expected;
    };
    row("least", "", F::None, plain);
    row("every member", R"("devices_id":["dev-7","Dev-8"],"version_code":512,"file_name":"app-512.zip","hash":"0123",
        "link":"http://h/app-512.zip","sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
        "size":1234,"expires":"2027-01-31T12:00:00Z","rollout":25.0,"product":"lobby","complete":true)", F::None,
        "linux v512 app-512.zip md5=0123 link=http://h/app-512.zip sha=9f86 size=1234 expires=2027-01-31T12:00:00.000Z "
        "rollout=25 devices=Dev-8,dev-7 product=lobby complete");
    row("nulls are absent", R"("rollout":null,"product":null,"complete":null,"expires":null,"sha256":null,"size":null)",
        F::None, plain);
    row("empty device list", R"("devices_id":[])", F::None, plain);
    // The MD5 check fails on anything that is not the digest.
    row("hash not a text", R"("hash":7)", F::None, plain);
    row("version as text", R"("version_code":"600")", F::VersionCode,
        R"(version_code is not a whole number from 1 to 2147483647: "600")");
    row("version fraction", R"("version_code":7.5)", F::VersionCode, "version_code is not a whole number from 1 to 2147483647: 7.5");
    row("version 0", R"("version_code":0)", F::VersionCode, "version_code is not a whole number from 1 to 2147483647: 0");
    // The package is stored under its announced name in the download folder; a name that is a path
    // would let the server write anywhere the updater may.
    row("file name climbs out", R"("file_name":"../../x.zip")", F::FileName, R"(file_name is not a plain name: "../../x.zip")");
    row("file name absolute", R"("file_name":"/tmp/x.zip")", F::FileName, R"(file_name is not a plain name: "/tmp/x.zip")");
    row("file name in a subfolder", R"("file_name":"a/x.zip")", F::FileName, R"(file_name is not a plain name: "a/x.zip")");
    row("file name with backslash", R"("file_name":"..\\x.zip")", F::FileName, R"(file_name is not a plain name: "..\x.zip")");
    row("file name dot-dot", R"("file_name":"..")", F::FileName, R"(file_name is not a plain name: "..")");
    // Stored under no name, the package could never be renamed into place.
    row("file name empty", R"("file_name":"")", F::FileName, R"(file_name is not a name: "")");
    row("file name absent", R"x("file_name":"(absent)")x", F::FileName, "file_name is not a name: absent");
    row("file name null", R"("file_name":null)", F::FileName, "file_name is not a name: null");
    row("sha256 upper case", R"("sha256":"9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08")", F::Sha256,
        R"(sha256 is not 64 lower-case hex digits: "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08")");
    row("sha256 short", R"("sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a0")", F::Sha256,
        R"(sha256 is not 64 lower-case hex digits: "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a0")");
    row("size negative", R"("size":-1)", F::Size, "size is not a whole number of bytes: -1");
    row("size beyond exact", R"("size":9007199254740992)", F::Size, "size is not a whole number of bytes: 9007199254740992");
    row("expires no zone", R"("expires":"2027-01-31T12:00:00")", F::Expires,
        R"(expires is not a UTC time like 2027-01-31T12:00:00Z: "2027-01-31T12:00:00")");
    for (const char *value : {"1", "100"}) {
        QTest::newRow(qPrintable(QStringLiteral("rollout %1").arg(QLatin1String(value))))
            << QByteArray(R"("rollout":)") + value << F::None << QString(plain).replace(QStringLiteral("rollout=100"), QStringLiteral("rollout=") + QLatin1String(value));
    }
    // Any rollout but a whole percentage lets no device take the version.
    for (const char *value : {"0", "101", "-5", "12.5", "\"50\"", "true", "[50]"}) {
        QTest::newRow(qPrintable(QStringLiteral("rollout %1").arg(QLatin1String(value))))
            << QByteArray(R"("rollout":)") + value << F::Rollout
            << QStringLiteral("rollout is not a whole percentage from 1 to 100: ") + QLatin1String(value);
    }
    // A list of the wrong type would read as empty, which admits everyone.
    row("device list as a text", R"("devices_id":"dev-7")", F::Devices, R"(devices_id is not a list: "dev-7")");
    row("device list as a number", R"("devices_id":7)", F::Devices, "devices_id is not a list: 7");
    row("device list null", R"("devices_id":null)", F::Devices, "devices_id is not a list: null");
    row("device list mixed", R"("devices_id":["dev-7",8])", F::Devices, "devices_id holds something other than a text: 8");
    row("device half surrogate", R"("devices_id":["\ud800"])", F::Devices,
        QStringLiteral("devices_id holds something other than a text: \"") + QChar(0xd800) + QLatin1Char('"'));
    row("product number", R"("product":1)", F::Product, "product is not a text: 1");
    // Only the bool switches on the removal of what the previous package brought.
    row("complete as a text", R"("complete":"true")", F::Complete, R"(complete is not true or false: "true")");
    // The manifest's name is fetched relative to the information and stored in the work folder.
    const QByteArray sha = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    const auto manifest = [&](const char *rowName, const QByteArray &member, F fault, const QString &expected) {
        QTest::newRow(rowName) << QByteArray(R"("manifest":)") + member << fault
                               << (fault == F::None ? expected
                                                    : QStringLiteral("manifest is not a relative name with a size up to 16 MiB and a sha256: ")
                                          + QString::fromLatin1(member));
    };
    manifest("manifest", R"({"name":"manifests/linux-9.json","sha256":")" + sha + R"(","size":10})", F::None,
             plain + QStringLiteral(" manifest=manifests/linux-9.json,10,9f86"));
    manifest("manifest as a text", R"("manifests/linux-9.json")", F::Manifest, QString());
    manifest("manifest name climbs out", R"({"name":"../linux-9.json","sha256":")" + sha + R"(","size":10})", F::Manifest, QString());
    manifest("manifest name absolute", R"({"name":"/linux-9.json","sha256":")" + sha + R"(","size":10})", F::Manifest, QString());
    manifest("manifest name absent", R"({"sha256":")" + sha + R"(","size":10})", F::Manifest, QString());
    manifest("manifest over 16 MiB", R"({"name":"m.json","sha256":")" + sha + R"(","size":16777217})", F::Manifest, QString());
    manifest("manifest sha256 short", R"({"name":"m.json","sha256":")" + sha.left(63) + R"(","size":10})", F::Manifest, QString());
}

void TestUpdateInfo::parseEntry()
{
    QFETCH(QByteArray, members);
    QFETCH(UpdateInfo::Fault, fault);
    QFETCH(QString, expected);
    QJsonObject object{{QStringLiteral("version_code"), 9}, {QStringLiteral("file_name"), QStringLiteral("a.zip")}};
    const QJsonObject given = QJsonDocument::fromJson("{" + members + "}").object();
    QVERIFY(!given.isEmpty() || members.isEmpty());
    for (auto it = given.begin(); it != given.end(); ++it) {
        if (it.value() == QStringLiteral("(absent)"))
            object.remove(it.key());
        else
            object.insert(it.key(), it.value());
    }
    UpdateInfo::Entry entry;
    entry.fileName = QStringLiteral("untouched");
    QString error;
    QCOMPARE(UpdateInfo::parseEntry(QStringLiteral("linux"), object, &entry, &error), fault);
    QCOMPARE(fault == UpdateInfo::Fault::None ? describe(entry) : error, expected);
    if (fault == UpdateInfo::Fault::None) {
        QCOMPARE(UpdateInfo::toJson(entry).value(QStringLiteral("devices_id")).toVariant().toStringList(), entry.devices);
        return;
    }
    QCOMPARE(entry.fileName, QStringLiteral("untouched"));
    // A signature does not make a malformed entry acceptable, and the refusal names the member.
    object.insert(QStringLiteral("signature"), QString::fromLatin1(QByteArray(64, 'x').toBase64()));
    const UpdateSignature::Result verified = UpdateSignature::verify(QStringLiteral("linux"), object,
        QString::fromLatin1(QByteArray(32, 'k').toBase64()), QDateTime::currentDateTimeUtc());
    QCOMPARE(UpdateSignature::checkText(verified.check), UpdateInfo::faultText(fault));
    QCOMPARE(verified.detail, expected);
}
void TestUpdateInfo::expiresForms_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDateTime>("expected"); // invalid: refused

    const QDateTime invalid;
    QTest::newRow("plain") << "2027-01-31T12:34:56Z" << QDateTime(QDate(2027, 1, 31), QTime(12, 34, 56), Qt::UTC);
    QTest::newRow("fraction") << "2027-01-31T12:34:56.5Z" << QDateTime(QDate(2027, 1, 31), QTime(12, 34, 56, 500), Qt::UTC);
    QTest::newRow("offset") << "2027-01-31T12:34:56+00:00" << invalid;
    QTest::newRow("no zone") << "2027-01-31T12:34:56" << invalid;
    QTest::newRow("lower-case z") << "2027-01-31T12:34:56z" << invalid;
    QTest::newRow("no seconds") << "2027-01-31T12:34Z" << invalid;
    QTest::newRow("no leap day") << "2027-02-29T00:00:00Z" << invalid;
    QTest::newRow("hour 24") << "2027-01-31T24:00:00Z" << invalid;
    QTest::newRow("leading blank") << " 2027-01-31T12:34:56Z" << invalid;
    QTest::newRow("other digits") << QStringLiteral("\u0662027-01-31T12:34:56Z") << invalid;
}
void TestUpdateInfo::expiresForms()
{
    QFETCH(QString, text);
    QFETCH(QDateTime, expected);
    QDateTime parsed;
    QCOMPARE(UpdateInfo::parseExpires(text, &parsed), expected.isValid());
    if (expected.isValid())
        QCOMPARE(parsed, expected);
}

QTEST_APPLESS_MAIN(TestUpdateInfo)
#include "tst_updateinfo.moc"
