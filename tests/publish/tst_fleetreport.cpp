#include "fleetaggregator.h"
#include "fleetreport.h"
#include "logfilereader.h"
#include "reporthtmlwriter.h"
#include "testenvironment.h"
#include "testfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

// A hand-made log of four devices in three files given newest first (an old-format .gz rotation,
// a plain rotation, the current file), with malformed lines, a line from another time zone that is
// older than its neighbours, and a rotation cut short; then the facts, and the page in a browser.

namespace {

const qint64 Now = 1796644800; // 2026-12-07T12:00:00Z
const QByteArray Info = "\"GET /update/update.json HTTP/1.1\" 200 391";

bool writeGz(const QString &path, const QByteArray &content)
{
    gzFile f = gzopen(QFile::encodeName(path).constData(), "wb");
    if (!f)
        return false;
    const bool ok = gzwrite(f, content.constData(), unsigned(content.size())) == content.size();
    return gzclose(f) == Z_OK && ok;
}

} // namespace

class TestFleetReport : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void factsFromRotatedLogs();
    void sinceLeavesOlderLinesOut();
    void unreadableInputWritesNothing();
    void overlongLineCountsOnce();
    void pageLoadsInBrowser();

private:
    FleetReport::Options options() const;
    QTemporaryDir m_tmp;
};

void TestFleetReport::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_tmp.isValid());
    QVERIFY(writeGz(m_tmp.filePath(QStringLiteral("access.log.2.gz")),
                    "2026-12-05T10:00:00+00:00 kiosk-a 100 not_required " + Info + " 10.0.0.1\n"
                    "2026-12-05T10:05:00+00:00 kiosk-b 100 not_required " + Info + " 10.0.0.2\n"
                    "2026-12-05T10:06:00+00:00 kiosk-c 100 not_required " + Info + " 10.0.0.3\n"
                    "2026-12-05T10:07:00+00:00 kiosk-b 1x0 not_required " + Info + " 10.0.0.2\n"));
    QVERIFY(TestFiles::write(m_tmp.filePath(QStringLiteral("access.log.1")),
                             "2026-12-06T10:00:00+00:00 kiosk-a 100 downloading \"GET /update/windows-200.zip HTTP/1.1\" "
                             "200 5000 10.0.0.1 none \n"
                             "2026-12-06T10:00:30+00:00 kiosk-b 100 downloading \"GET /update/windows-200.zip HTTP/1.1\" "
                             "206 3000 10.0.0.2 none \n"
                             "\x01\xff not a line of ours\n"
                             "2026-12-06T11:00:00+00:00 - - - \"GET /robots.txt HTTP/1.1\" 404 153 192.0.2.7 - -\n"));
    QVERIFY(TestFiles::write(m_tmp.filePath(QStringLiteral("access.log")),
                             "2026-12-07T10:00:00+00:00 kiosk-a 200 not_required " + Info + " 10.0.0.1 kept \n"
                             "2026-12-07T11:00:00+00:00 kiosk-b 100 error \"GET /update/update.json?x=1 HTTP/1.1\" "
                             "200 391 10.0.0.2 rolled_back 200\n"
                             "2026-12-07T11:30:00+00:00 kiosk%20d 200 error_hash " + Info + " 10.0.0.4 none \n"
                             // 08:30 UTC: older than kiosk-a's line above, though it comes later
                             "2026-12-07T09:30:00+01:00 kiosk-a 100 downloading " + Info + " 10.0.0.1 none \n"
                             "2026-12-07T11:40:00+00:00 kiosk-a 200 not_required " + Info));
    // A rotation being written: its compressed stream breaks off.
    QByteArray cut;
    {
        const QString whole = m_tmp.filePath(QStringLiteral("whole.gz"));
        QByteArray lines;
        for (int i = 0; i < 2000; ++i)
            lines += "2026-12-04T10:00:00+00:00 kiosk-e 90 not_required " + Info + " 10.0.0.5\n";
        QVERIFY(writeGz(whole, lines));
        cut = TestFiles::read(whole);
        QVERIFY(QFile::remove(whole));
    }
    QVERIFY(TestFiles::write(m_tmp.filePath(QStringLiteral("access.log.3.gz")), cut.left(cut.size() - 12)));
    QVERIFY(TestFiles::write(m_tmp.filePath(QStringLiteral("update.json")),
                             R"({"windows": {"version_code": 200, "rollout": 50, "file_name": "windows-200.zip"},
                                 "kiosks": {"version_code": 300, "devices_id": ["kiosk d", "kiosk-z"]},
                                 "all": {"version_code": 90, "devices_id": []},
                                 "nobody": {"version_code": 90, "devices_id": "kiosk-a"}})"));
}

FleetReport::Options TestFleetReport::options() const
{
    FleetReport::Options o;
    for (const char *name : {"access.log", "access.log.3.gz", "access.log.1", "access.log.2.gz"})
        o.logs << m_tmp.filePath(QLatin1String(name));
    o.infoPath = m_tmp.filePath(QStringLiteral("update.json"));
    o.htmlPath = m_tmp.filePath(QStringLiteral("report.html"));
    o.jsonPath = m_tmp.filePath(QStringLiteral("report.json"));
    o.now = Now;
    return o;
}

void TestFleetReport::factsFromRotatedLogs()
{
    QString error;
    QVERIFY2(FleetReport::run(options(), &error), qPrintable(error));
    const QJsonObject facts = QJsonDocument::fromJson(TestFiles::read(options().jsonPath)).object();
    const auto array = [&facts](const char *key) { return facts.value(QLatin1String(key)).toArray(); };
    QCOMPARE(facts.value(QStringLiteral("generated_at")).toString(), QStringLiteral("2026-12-07T12:00:00Z"));

    const QJsonObject log = facts.value(QStringLiteral("log")).toObject();
    // The last line of the current file lacks a field; the cut rotation ends inside a line.
    QCOMPARE(log.value(QStringLiteral("malformed")).toInt(), 4);
    QCOMPARE(log.value(QStringLiteral("other_requests")).toInt(), 1);
    QStringList examples;
    for (const QJsonValue &e : log.value(QStringLiteral("malformed_examples")).toArray())
        examples << e[QLatin1String("file")].toString() + ':' + QString::number(e[QLatin1String("line")].toInt());
    QCOMPARE(examples.mid(2), (QStringList{QStringLiteral("access.log.1:3"), QStringLiteral("access.log.2.gz:4")}));
    QCOMPARE(examples.first(), QStringLiteral("access.log:5"));
    QVERIFY2(examples.at(1).startsWith(QStringLiteral("access.log.3.gz:")), qPrintable(examples.at(1)));
    const QJsonArray problems = log.value(QStringLiteral("problems")).toArray();
    QCOMPARE(problems.size(), 1);
    QVERIFY2(problems.at(0).toString().startsWith(m_tmp.filePath(QStringLiteral("access.log.3.gz"))),
             qPrintable(problems.at(0).toString()));

    // Five devices: the one of the cut rotation counts from the lines before the break.
    QCOMPARE(facts.value(QStringLiteral("devices")).toInt(), 5);
    QCOMPARE(array("versions"), QJsonArray({QJsonObject{{"version", 200}, {"devices", 2}, {"share", 0.4}},
                                            QJsonObject{{"version", 100}, {"devices", 2}, {"share", 0.4}},
                                            QJsonObject{{"version", 90}, {"devices", 1}, {"share", 0.2}}}));
    QCOMPARE(array("daily"), QJsonArray({QJsonObject{{"day", "2026-12-04"}, {"devices", QJsonObject{{"90", 1}}}},
                                         QJsonObject{{"day", "2026-12-05"}, {"devices", QJsonObject{{"100", 3}}}},
                                         QJsonObject{{"day", "2026-12-06"}, {"devices", QJsonObject{{"100", 2}}}},
                                         QJsonObject{{"day", "2026-12-07"}, {"devices", QJsonObject{{"100", 1}, {"200", 2}}}}}));
    QCOMPARE(array("errors"),
             QJsonArray({QJsonObject{{"device", "kiosk d"}, {"last_seen", "2026-12-07T11:30:00Z"}, {"state", "error_hash"},
                                     {"version", 200}},
                         QJsonObject{{"device", "kiosk-b"}, {"last_seen", "2026-12-07T11:00:00Z"}, {"state", "error"},
                                     {"version", 100}}}));
    QCOMPARE(array("rolled_back"),
             QJsonArray({QJsonObject{{"device", "kiosk-b"}, {"last_seen", "2026-12-07T11:00:00Z"},
                                     {"probation", "rolled_back"}, {"refused", QJsonArray{200}}, {"version", 100}}}));
    // The older-format line after the newer one leaves kiosk-a's probation as it was.
    QCOMPARE(array("silent"),
             QJsonArray({QJsonObject{{"device", "kiosk-e"}, {"last_seen", "2026-12-04T10:00:00Z"}, {"silent_hours", 74},
                                     {"state", "not_required"}, {"version", 90}},
                         QJsonObject{{"device", "kiosk-c"}, {"last_seen", "2026-12-05T10:06:00Z"}, {"silent_hours", 49},
                                     {"state", "not_required"}, {"version", 100}}}));

    // By key; the devices_id rules are the devices' own: an empty list admits all, a string nobody.
    QCOMPARE(array("rollout"),
             QJsonArray({QJsonObject{{"key", "all"}, {"version", 90}, {"rollout", 100}, {"eligible", 5}, {"took", 5},
                                     {"share_took", 1}},
                         QJsonObject{{"key", "kiosks"}, {"version", 300}, {"rollout", 100}, {"listed", 2}, {"eligible", 1},
                                     {"took", 0}, {"share_took", 0}},
                         QJsonObject{{"key", "nobody"}, {"version", 90}, {"rollout", 100}, {"listed", 0}, {"eligible", 0},
                                     {"took", 0}, {"share_took", 0}},
                         QJsonObject{{"key", "windows"}, {"version", 200}, {"rollout", 50}, {"eligible", 5}, {"took", 2},
                                     {"share_took", 0.4}}}));
    const QJsonArray served = array("served");
    // Most bytes first: the many small requests of the cut rotation outweigh the two of the package.
    QCOMPARE(served.size(), 2);
    QCOMPARE(served.at(0)[QLatin1String("file")].toString(), QStringLiteral("update.json"));
    QVERIFY(served.at(0)[QLatin1String("version")].isNull());
    QCOMPARE(served.at(1).toObject(),
             (QJsonObject{{"file", "windows-200.zip"}, {"version", 200}, {"bytes", 8000}, {"requests", 2}}));

    const QByteArray html = TestFiles::read(options().htmlPath);
    QVERIFY(html.contains("<td>kiosk d</td><td>error_hash</td>"));
    QVERIFY(html.contains("<td>kiosk-b</td><td>200</td><td>100</td><td>rolled_back</td>"));
}

void TestFleetReport::sinceLeavesOlderLinesOut()
{
    FleetReport::Options o = options();
    o.sinceDays = 1;
    QJsonObject facts;
    QString error;
    QVERIFY2(FleetReport::collect(o, &facts, &error), qPrintable(error));
    const QJsonObject log = facts.value(QStringLiteral("log")).toObject();
    QCOMPARE(facts.value(QStringLiteral("devices")).toInt(), 3);
    QCOMPARE(log.value(QStringLiteral("malformed")).toInt(), 4);
    QVERIFY(log.value(QStringLiteral("before_since")).toInt() > 5);
    QCOMPARE(log.value(QStringLiteral("first")).toString(), QStringLiteral("2026-12-07T08:30:00Z"));
    QCOMPARE(facts.value(QStringLiteral("since_days")).toInt(), 1);
}

void TestFleetReport::unreadableInputWritesNothing()
{
    for (const QString &broken : {QStringLiteral("missing.log"), QStringLiteral("bad-info"), QStringLiteral("no-folder")}) {
        FleetReport::Options o = options();
        o.htmlPath = m_tmp.filePath(broken + QStringLiteral(".html"));
        o.jsonPath = m_tmp.filePath(broken + QStringLiteral(".json"));
        QString named = broken;
        if (broken == QLatin1String("missing.log")) {
            o.logs << m_tmp.filePath(broken);
        } else if (broken == QLatin1String("bad-info")) {
            o.infoPath = m_tmp.filePath(QStringLiteral("access.log.1"));
            named = QStringLiteral("access.log.1");
        } else {
            // The page cannot be written: the facts beside it are not written either.
            o.htmlPath = m_tmp.filePath(QStringLiteral("no-folder/report.html"));
        }
        QString error;
        QVERIFY(!FleetReport::run(o, &error));
        QVERIFY2(error.contains(named), qPrintable(error));
        QVERIFY(!QFile::exists(o.htmlPath));
        QVERIFY(!QFile::exists(o.jsonPath));
    }
}

void TestFleetReport::overlongLineCountsOnce()
{
    // Longer than the reader's buffer, so that it spans several reads.
    const QString path = m_tmp.filePath(QStringLiteral("long.log"));
    QVERIFY(TestFiles::write(path, "2026-12-07T10:00:00+00:00 kiosk-a 200 ready " + Info + " 10.0.0.1\n"
                                       + QByteArray(3 * 1024 * 1024, 'x') + "\n"
                                       "2026-12-07T10:00:00+00:00 kiosk-b 200 ready " + Info + " 10.0.0.2"));
    FleetAggregator fleet;
    QString error;
    QVERIFY2(LogFileReader::read(path, [&fleet](std::string_view line) { fleet.addLine(line); }, &error),
             qPrintable(error));
    QCOMPARE(fleet.lines(), qint64(3));
    QCOMPARE(fleet.malformedCount(), qint64(1));
    QCOMPARE(fleet.malformedExamples().first().line, qint64(2));
    QCOMPARE(fleet.devices().size(), 2);
}

void TestFleetReport::pageLoadsInBrowser()
{
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        QSKIP("chromium is not installed");
    FleetReport::Options o = options();
    o.htmlPath = m_tmp.filePath(QStringLiteral("browser.html"));
    QString error;
    QVERIFY2(FleetReport::run(o, &error), qPrintable(error));

    const TestEnvironment profile;
    QVERIFY(profile.isValid());
    QProcess browser;
    browser.setProcessEnvironment(profile.processEnvironment());
    // Nothing to fetch: the page must stand alone.
    const QByteArray html = TestFiles::read(o.htmlPath);
    for (const char *reference : {"src=", "href=", "url(", "@import", "<script"})
        QVERIFY2(!html.contains(reference), reference);
    // Console messages (an error in the page) go to standard error.
    browser.start(chromium, {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
                             QStringLiteral("--user-data-dir=") + profile.path() + QStringLiteral("/profile"),
                             QStringLiteral("--enable-logging=stderr"), QStringLiteral("--v=0"),
                             QStringLiteral("--virtual-time-budget=2000"), QStringLiteral("--dump-dom"),
                             QUrl::fromLocalFile(o.htmlPath).toString()});
    QVERIFY2(browser.waitForFinished(90000), "chromium did not finish");
    const QByteArray dom = browser.readAllStandardOutput();
    const QByteArray console = browser.readAllStandardError();
    QCOMPARE(browser.exitCode(), 0);
    QVERIFY2(!console.contains(":CONSOLE"), console.constData());
    QVERIFY2(dom.contains("<title>Fleet report</title>"), dom.left(2000).constData());
    // The chart is a real SVG element with one bar per day and version.
    QCOMPARE(dom.count("<rect "), 5);
    QVERIFY(QRegularExpression(QStringLiteral("<svg [^>]*class=\"chart\"")).match(QString::fromUtf8(dom)).hasMatch());
    QVERIFY(dom.contains("<td>kiosk-e</td>"));
}

QTEST_GUILESS_MAIN(TestFleetReport)

#include "tst_fleetreport.moc"
