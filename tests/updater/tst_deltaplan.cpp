#include "deltaplan.h"

#include <QtTest>

namespace {
// A stand-in digest: the letter repeated, so that rows stay readable.
QByteArray sha(char c)
{
    return c ? QByteArray(64, c) : QByteArray();
}

// "from:size,from:size" with one letter per digest.
QVector<DeltaManifest::Patch> patches(const QString &text)
{
    QVector<DeltaManifest::Patch> result;
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        result.append({sha(item.at(0).toLatin1()), item.mid(2).toLongLong()});
    return result;
}
}

class TestDeltaPlan : public QObject
{
    Q_OBJECT

private slots:
    void decision_data();
    void decision();
};

void TestDeltaPlan::decision_data()
{
    // The wanted file "app/bin" has content n (1000 bytes, object 400 bytes). Installed: "app/bin"
    // with `here` and "old/bin" with `other` (600 bytes unless n; 0: absent). present: "o" for the
    // object, "p<from>" for a patch, with the size found in the work folder.
    QTest::addColumn<char>("here");
    QTest::addColumn<char>("other");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("present");
    QTest::addColumn<qint64>("cap");
    QTest::addColumn<int>("action");
    QTest::addColumn<char>("from");
    QTest::addColumn<QString>("reference");
    QTest::addColumn<qint64>("move");

    const int keep = int(DeltaPlan::Action::Keep);
    const int object = int(DeltaPlan::Action::Object);
    const int patch = int(DeltaPlan::Action::Patch);
    const qint64 cap = DeltaPlan::defaultPatchCap;
    const QString bin = QStringLiteral("app/bin");
    const QString old = QStringLiteral("old/bin");
    QTest::newRow("same content is kept") << 'n' << '\0' << "a:10" << "" << cap << keep << '\0' << "" << qint64(0);
    QTest::newRow("new file: object") << '\0' << '\0' << "" << "" << cap << object << '\0' << "" << qint64(400);
    QTest::newRow("changed, no patch: object") << 'a' << '\0' << "" << "" << cap << object << '\0' << "" << qint64(400);
    QTest::newRow("patch from the installed file") << 'a' << '\0' << "a:50" << "" << cap << patch << 'a' << bin << qint64(50);
    QTest::newRow("patch of unknown reference: object") << 'a' << '\0' << "b:50" << "" << cap << object << '\0' << "" << qint64(400);
    QTest::newRow("smallest usable patch") << 'a' << 'b' << "a:90,b:30,c:5" << "" << cap << patch << 'b' << old << qint64(30);
    QTest::newRow("renamed file is the reference") << '\0' << 'a' << "a:50" << "" << cap << patch << 'a' << old << qint64(50);
    QTest::newRow("same path wins at equal content") << 'a' << 'a' << "a:50" << "" << cap << patch << 'a' << bin << qint64(50);
    QTest::newRow("patch not smaller than object") << 'a' << '\0' << "a:400" << "" << cap << object << '\0' << "" << qint64(400);
    QTest::newRow("reference and result at the cap") << 'a' << '\0' << "a:50" << "" << qint64(1600) << patch << 'a' << bin << qint64(50);
    QTest::newRow("one byte over the cap: object") << 'a' << '\0' << "a:50" << "" << qint64(1599) << object << '\0' << "" << qint64(400);
    QTest::newRow("object fetched earlier moves nothing") << 'a' << '\0' << "a:50" << "o=400" << cap << object << '\0' << "" << qint64(0);
    QTest::newRow("short object counts in full") << 'a' << '\0' << "" << "o=399" << cap << object << '\0' << "" << qint64(400);
    QTest::newRow("patch fetched earlier moves nothing") << 'a' << '\0' << "a:50" << "pa=50" << cap << patch << 'a' << bin << qint64(0);
    QTest::newRow("fetched patch beats a smaller one") << 'a' << 'b' << "a:50,b:20" << "pa=50" << cap << patch << 'a' << bin << qint64(0);
}

void TestDeltaPlan::decision()
{
    QFETCH(char, here);
    QFETCH(char, other);
    QFETCH(QString, offered);
    QFETCH(QString, present);
    QFETCH(qint64, cap);
    QFETCH(int, action);
    QFETCH(char, from);
    QFETCH(QString, reference);
    QFETCH(qint64, move);

    const DeltaManifest::File wanted{QStringLiteral("app/bin"), 0755, 1000, sha('n'), 400, patches(offered)};
    QHash<QString, DeltaPlan::Installed> installed;
    if (here)
        installed.insert(QStringLiteral("app/bin"), {here == 'n' ? 1000 : 600, sha(here)});
    if (other)
        installed.insert(QStringLiteral("old/bin"), {600, sha(other)});
    QHash<QString, qint64> held;
    for (const QString &item : present.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const qint64 size = item.section(QLatin1Char('='), 1).toLongLong();
        if (item.startsWith(QLatin1Char('o')))
            held.insert(DeltaManifest::objectPath(sha('n')), size);
        else
            held.insert(DeltaManifest::patchPath(sha(item.at(1).toLatin1()), sha('n')), size);
    }

    // The same file twice: its content is fetched once.
    const DeltaPlan plan = DeltaPlan::make({wanted, wanted}, installed, held, cap);
    QCOMPARE(plan.steps.size(), 2);
    const DeltaPlan::Step &step = plan.steps.first();
    QCOMPARE(step.path, QStringLiteral("app/bin"));
    QCOMPARE(int(step.action), action);
    QCOMPARE(step.reference, reference);
    QCOMPARE(step.move, move);
    QCOMPARE(plan.steps.last().move, qint64(0));
    QCOMPARE(plan.bytesToMove, move);
    const QString fetch = action == int(DeltaPlan::Action::Keep) ? QString()
        : action == int(DeltaPlan::Action::Object) ? QStringLiteral("objects/nn/") + QString::fromLatin1(sha('n'))
                                                   : DeltaManifest::patchPath(sha(from), sha('n'));
    QCOMPARE(step.fetch, fetch);
}

QTEST_GUILESS_MAIN(TestDeltaPlan)
#include "tst_deltaplan.moc"
