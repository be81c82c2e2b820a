#include "folderlock.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <unistd.h>

// Who may touch the application folder: the one holder of the work folder's lock.
class TestFolderLock : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void acquire_data();
    void acquire();
};

void TestFolderLock::acquire_data()
{
    QTest::addColumn<QString>("before");   // what the work folder holds at first
    QTest::addColumn<bool>("held");
    QTest::addColumn<QString>("reason");

    QTest::newRow("nothing yet") << "" << true << "";
    QTest::newRow("file left by an updater that ended") << "file" << true << "";
    QTest::newRow("held by another updater") << "holder" << false << "held by another updater";
    QTest::newRow("a link in its place") << "link" << false << "";
    QTest::newRow("another user's file") << "foreign" << false << "not a file of this user";
}

void TestFolderLock::acquire()
{
    QFETCH(QString, before);
    QFETCH(bool, held);
    QFETCH(QString, reason);
    if (before == QLatin1String("foreign") && ::getuid() != 0)
        QSKIP("only root can give a file to another user");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString work = dir.filePath(QStringLiteral("work"));
    const QString file = work + QLatin1Char('/') + FolderLock::fileName();
    std::unique_ptr<FolderLock> holder;
    if (before == QLatin1String("file") || before == QLatin1String("foreign")) {
        QVERIFY(TestFiles::write(file, QByteArray()));
        if (before == QLatin1String("foreign"))
            QVERIFY(::chown(QFile::encodeName(file).constData(), 65534, 65534) == 0);
    } else if (before == QLatin1String("link")) {
        QVERIFY(QDir().mkpath(work));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")), file));
    } else if (before == QLatin1String("holder")) {
        holder = std::make_unique<FolderLock>(work);
        QVERIFY(holder->acquire());
    }

    FolderLock lock(work);
    QCOMPARE(lock.acquire(), held);
    QCOMPARE(lock.isHeld(), held);
    QVERIFY2(lock.errorString().contains(reason), qPrintable(lock.errorString()));
    if (held) {
        // Asking again answers at once; a second one is refused while this one lives.
        QVERIFY(lock.acquire());
        FolderLock second(work);
        QVERIFY(!second.acquire());
    }
    if (holder) {
        // The right passes on once its holder has gone.
        holder.reset();
        QVERIFY(lock.acquire());
    }
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("elsewhere"))));
}

QTEST_GUILESS_MAIN(TestFolderLock)
#include "tst_folderlock.moc"
