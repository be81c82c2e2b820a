#include "installjournal.h"
#include "stagedinstall.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// A staging folder filled by other means than a package is moved into place under the journal.

namespace {

using Files = QMap<QString, QByteArray>; // relative path -> content

bool writeAll(const QString &root, const Files &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!TestFiles::write(root + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

// What TestFiles::tree() shows of a folder that holds exactly these files.
QMap<QString, QByteArray> treeOf(const Files &files)
{
    QMap<QString, QByteArray> tree;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        tree.insert(it.key(), QCryptographicHash::hash(it.value(), QCryptographicHash::Md5));
        for (QString dir = QFileInfo(it.key()).path(); dir != QLatin1String("."); dir = QFileInfo(dir).path())
            tree.insert(dir, "<dir>");
    }
    return tree;
}

} // namespace

class TestStagedInstall : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void stagedTree_data();
    void stagedTree();
};

void TestStagedInstall::stagedTree_data()
{
    QTest::addColumn<Files>("before");
    QTest::addColumn<Files>("staged");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<Files>("after"); // empty: the folder stays as it was
    const QString record = InstallJournal::recordName();
    const QByteArray oldRecord = InstallJournal::recordText({QStringLiteral("a.txt"), QStringLiteral("gone.txt")}, 1);
    QTest::newRow("adds and replaces, keeps the rest")
        << Files{{"a.txt", "old"}, {"keep.txt", "k"}} << Files{{"a.txt", "new"}, {"sub/b.txt", "b"}} << false
        << Files{{"a.txt", "new"}, {"keep.txt", "k"}, {"sub/b.txt", "b"}};
    QTest::newRow("complete removes what the last one brought")
        << Files{{"a.txt", "old"}, {"gone.txt", "g"}, {"keep.txt", "k"}, {record, oldRecord}}
        << Files{{"a.txt", "new"}} << true
        << Files{{"a.txt", "new"}, {"keep.txt", "k"}, {record, InstallJournal::recordText({QStringLiteral("a.txt")}, 2)}};
    QTest::newRow("a folder in the way changes nothing")
        << Files{{"a.txt/inner", "i"}, {"keep.txt", "k"}} << Files{{"keep.txt", "new"}, {"a.txt", "new"}} << false
        << Files();
}

void TestStagedInstall::stagedTree()
{
    QFETCH(Files, before);
    QFETCH(Files, staged);
    QFETCH(bool, complete);
    QFETCH(Files, after);
    QTemporaryDir dir;
    QVERIFY(dir.isValid() && writeAll(dir.path(), before));

    StagedInstall install(dir.path());
    install.setVersionCodes(1, 2);
    install.setComplete(complete);
    QVERIFY(install.prepare() && install.dropKeptGeneration() && install.createStaging());
    QVERIFY(writeAll(install.stagingPath(), staged));
    for (auto it = staged.cbegin(); it != staged.cend(); ++it)
        install.addFile(it.key());
    QCOMPARE(install.moveIntoPlace(), !after.isEmpty());
    install.removeWorkFolders();

    QCOMPARE(TestFiles::tree(dir.path()), treeOf(after.isEmpty() ? before : after));
    QCOMPARE(install.failed(), after.isEmpty());
    QCOMPARE(install.rollBack(), StagedInstall::NothingToRollBack);
    QCOMPARE(install.stagedFiles(), staged.size());
}

QTEST_GUILESS_MAIN(TestStagedInstall)
#include "tst_stagedinstall.moc"
