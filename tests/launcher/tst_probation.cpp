#include "probation.h"
#include "testfiles.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using Verdict = Probation::Verdict;

namespace {
const qint64 minute = 60 * 1000;

bool keep(const QString &folder, const QByteArray &record)
{
    QFile file(folder + QStringLiteral("/.update-kept"));
    return file.open(QIODevice::WriteOnly) && file.write(record) == record.size();
}
}

// The count of a new version's trial, as it lives on across launcher restarts.
class TestProbation : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void failuresAcrossRestartsEndIt()
    {
        QTemporaryDir app;
        QTemporaryDir data;
        const QString record = data.filePath(QStringLiteral("probation.json"));
        QVERIFY(keep(app.path(), R"({"format":1,"state":"done","from":1,"to":2})"));
        {
            Probation p;
            p.configure(app.path(), record, 10 * minute, 3);
            QCOMPARE(p.refresh(), Verdict::Running);
            QCOMPARE(p.version(), 2);
            p.mainStarted(0);
            p.mainEnded(true, 1000);
            // An exit with code 0 does not count.
            p.mainStarted(2000);
            p.mainEnded(false, 3000);
            QCOMPARE(p.failures(), 1);
            // This run never ends as far as this launcher knows (a device reset).
            p.mainStarted(4000);
        }
        Probation next;
        next.configure(app.path(), record, 10 * minute, 3);
        QCOMPARE(next.refresh(), Verdict::Running);
        QCOMPARE(next.failures(), 2);
        next.mainStarted(0);
        next.mainEnded(true, 500);
        QCOMPARE(next.verdict(), Verdict::Failed);

        // A new version on probation starts from nothing.
        QVERIFY(keep(app.path(), R"({"format":1,"state":"done","from":1,"to":3})"));
        Probation third;
        third.configure(app.path(), record, 10 * minute, 3);
        QCOMPARE(third.refresh(), Verdict::Running);
        QCOMPARE(third.failures(), 0);

        // Kept files gone: nothing is on probation and the count goes too.
        QVERIFY(QFile::remove(app.filePath(QStringLiteral(".update-kept"))));
        QCOMPARE(third.refresh(), Verdict::None);
        QVERIFY(!QFile::exists(record));
    }

    void passingTakesFailureFreeRunningTime()
    {
        QTemporaryDir app;
        QTemporaryDir data;
        const QString record = data.filePath(QStringLiteral("probation.json"));
        QVERIFY(keep(app.path(), R"({"to":5})"));
        Probation p;
        p.configure(app.path(), record, 10 * minute, 3);
        QCOMPARE(p.refresh(), Verdict::Running);
        // Time before a failure does not count; normal runs add up, an orderly launcher stop too.
        p.mainStarted(0);
        p.mainEnded(true, 9 * minute);
        p.mainStarted(10 * minute);
        QVERIFY(!p.tick(14 * minute));
        p.mainEnded(false, 14 * minute);
        p.mainStarted(20 * minute);
        p.launcherStopping(23 * minute);
        Probation later;
        later.configure(app.path(), record, 10 * minute, 3);
        QCOMPARE(later.refresh(), Verdict::Running);
        QCOMPARE(later.failures(), 1);
        later.mainStarted(0);
        QVERIFY(!later.tick(2 * minute + 59000));
        QVERIFY(later.tick(3 * minute));
        QVERIFY(!later.tick(4 * minute));
        QCOMPARE(later.verdict(), Verdict::Passed);
        // A failure after the verdict changes nothing.
        later.mainEnded(true, 5 * minute);
        Probation after;
        after.configure(app.path(), record, 10 * minute, 3);
        QCOMPARE(after.refresh(), Verdict::Passed);
    }

    void limitsOfZero()
    {
        QTemporaryDir app;
        QTemporaryDir data;
        QVERIFY(keep(app.path(), "not json"));
        Probation instant;
        instant.configure(app.path(), data.filePath(QStringLiteral("a.json")), 0, 3);
        QCOMPARE(instant.refresh(), Verdict::Passed);
        Probation patient;
        patient.configure(app.path(), data.filePath(QStringLiteral("b.json")), minute, 0);
        QCOMPARE(patient.refresh(), Verdict::Running);
        for (int i = 0; i < 5; ++i) {
            patient.mainStarted(i * 10);
            patient.mainEnded(true, i * 10 + 5);
        }
        QCOMPARE(patient.verdict(), Verdict::Running);
    }

    void damagedRecordStartsAFreshCount_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("failures");
        const QByteArray head = R"({"version":2,"failures":2,"run_ms":)";
        const QByteArray tail = R"(,"passed":false,"running":false})";
        QTest::newRow("intact") << head + "5000" + tail << 2;
        QTest::newRow("run time beyond any integer") << head + "1e300" + tail << 0;
        QTest::newRow("negative run time") << head + "-1" + tail << 0;
        QTest::newRow("flag missing") << head + R"(0,"passed":false})" << 0;
        QTest::newRow("cut off") << QByteArray("{\"version\":2,\"failures\":2,\"run") << 0;
    }

    void damagedRecordStartsAFreshCount()
    {
        QFETCH(QByteArray, record);
        QTemporaryDir app;
        QTemporaryDir data;
        const QString path = data.filePath(QStringLiteral("probation.json"));
        QVERIFY(keep(app.path(), R"({"format":1,"state":"done","from":1,"to":2})") && TestFiles::write(path, record));
        Probation p;
        p.configure(app.path(), path, 10 * minute, 3);
        QCOMPARE(p.refresh(), Verdict::Running);
        QTEST(p.failures(), "failures");
    }
};

QTEST_GUILESS_MAIN(TestProbation)
#include "tst_probation.moc"
