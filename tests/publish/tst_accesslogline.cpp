#include "accesslogline.h"

#include <QtTest>

// Lines of the fleet's access log: both formats, the fields that may be empty, and what must not
// pass for a device's request.

class TestAccessLogLine : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
};

Q_DECLARE_METATYPE(AccessLogLine::Kind)

void TestAccessLogLine::parse_data()
{
    using K = AccessLogLine::Kind;
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<AccessLogLine::Kind>("kind");
    QTest::addColumn<qint64>("time");
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<int>("version");
    QTest::addColumn<QByteArray>("state");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<QByteArray>("probation");
    QTest::addColumn<QByteArray>("refused");

    const qint64 t = 1796654401; // 2026-12-07T14:40:01Z
    const QByteArray info = "\"GET /update/update.json HTTP/1.1\" 200 512 10.0.3.17";
    const QByteArray at = "2026-12-07T14:40:01+00:00 kiosk-17 200 ";
    // A device's request of the update information at t; the fields after the address vary.
    const auto good = [t](const char *name, const QByteArray &line, const QByteArray &state, bool extended,
                          const QByteArray &probation = QByteArray(), const QByteArray &refused = QByteArray()) {
        QTest::newRow(name) << line << AccessLogLine::Kind::Device << t << QByteArray("kiosk-17") << 200 << state
                            << QByteArray("/update/update.json") << qint64(512) << extended << probation << refused;
    };
    good("older format", at + "not_required " + info, "not_required", false);
    good("with probation and refused", at + "error " + info + " rolled_back 300,310", "error", true, "rolled_back",
         "300,310");
    good("nothing refused: empty last field", at + "ready " + info + " none ", "ready", true, "none");
    good("an older updater behind the new format: dashes", at + "ready " + info + " - -", "ready", true);
    QTest::newRow("offset and query, CR at the end, package bytes")
        << QByteArray("2026-12-07T16:40:01+02:00 kiosk%207 1 downloading \"GET /update/w-2.zip?x=1 HTTP/1.1\" 206 "
                      "48234496 10.0.3.17 kept \r")
        << K::Device << t << QByteArray("kiosk%207") << 1 << QByteArray("downloading") << QByteArray("/update/w-2.zip")
        << qint64(48234496) << true << QByteArray("kept") << QByteArray();
    QTest::newRow("Z for UTC, bytes as a dash")
        << QByteArray("2026-12-07T14:40:01Z k 5 init \"HEAD /x HTTP/1.1\" 304 - ::1") << K::Device << t << QByteArray("k")
        << 5 << QByteArray("init") << QByteArray("/x") << qint64(0) << false << QByteArray() << QByteArray();
    QTest::newRow("somebody else") << "2026-12-07T14:40:01+00:00 - - - " + info + " - -" << K::Other << t << QByteArray()
                                   << 0 << QByteArray() << QByteArray("/update/update.json") << qint64(512) << true
                                   << QByteArray() << QByteArray();

    const auto bad = [](const char *name, const QByteArray &line) {
        QTest::newRow(name) << line << AccessLogLine::Kind::Malformed << qint64(0) << QByteArray() << 0 << QByteArray()
                            << QByteArray() << qint64(0) << false << QByteArray() << QByteArray();
    };
    bad("empty", "");
    bad("garbage", "GET / HTTP/1.1");
    bad("combined log format", "10.0.3.17 - - [07/Dec/2026:14:40:01 +0000] \"GET / HTTP/1.1\" 200 612 \"-\" \"curl/7.88\"");
    bad("version not a number", "2026-12-07T14:40:01+00:00 kiosk-17 2x0 ready " + info);
    bad("version beyond int", "2026-12-07T14:40:01+00:00 kiosk-17 2147483648 ready " + info);
    bad("device without a state", at + "- " + info);
    bad("no such month", "2026-13-07T14:40:01+00:00 kiosk-17 200 ready " + info);
    bad("February 29 of a common year", "2026-02-29T14:40:01+00:00 kiosk-17 200 ready " + info);
    bad("time without zone", "2026-12-07T14:40:01 kiosk-17 200 ready " + info);
    bad("request not quoted", at + "ready GET / 200 512 10.0.3.17");
    bad("quote never closed", at + "ready \"GET / HTTP/1.1 200 512 10.0.3.17");
    bad("one field too few", at + "ready \"GET / HTTP/1.1\" 200 512");
    bad("nine fields", at + "ready " + info + " none");
    bad("eleven fields", at + "ready " + info + " none 3 x");
    bad("two spaces between fields", "2026-12-07T14:40:01+00:00  kiosk-17 200 ready " + info);
    bad("status not a number", at + "ready \"GET / HTTP/1.1\" OK 512 10.0.3.17");
    bad("negative bytes", at + "ready \"GET / HTTP/1.1\" 200 -5 10.0.3.17");
}

void TestAccessLogLine::parse()
{
    QFETCH(QByteArray, line);
    QFETCH(AccessLogLine::Kind, kind);
    AccessLogLine::Record r;
    QCOMPARE(AccessLogLine::parse(std::string_view(line.constData(), std::size_t(line.size())), &r), kind);
    if (kind == AccessLogLine::Kind::Malformed)
        return;
    const auto bytes = [](std::string_view v) { return QByteArray(v.data(), int(v.size())); };
    QTEST(r.time, "time");
    QTEST(bytes(r.device), "device");
    QTEST(r.version, "version");
    QTEST(bytes(r.state), "state");
    QTEST(bytes(r.path), "path");
    QTEST(r.bytes, "bytes");
    QTEST(r.extended, "extended");
    QTEST(bytes(r.probation), "probation");
    QTEST(bytes(r.refused), "refused");
}

QTEST_APPLESS_MAIN(TestAccessLogLine)

#include "tst_accesslogline.moc"
