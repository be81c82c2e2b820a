#include "testfiles.h"
#include "treehashcache.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QDateTime past = QDateTime::fromSecsSinceEpoch(1700000000);

bool writeAt(const QString &path, const QByteArray &content, const QDateTime &modified)
{
    QFile file(path);
    return TestFiles::write(path, content) && file.open(QIODevice::ReadWrite)
        && file.setFileTime(modified, QFileDevice::FileModificationTime);
}
}

class TestTreeHashCache : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void secondRun_data();
    void secondRun();
};

void TestTreeHashCache::secondRun_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QByteArray>("content"); // of "bin/app" after the change
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("reads");

    QTest::newRow("unchanged: nothing read") << "none" << QByteArray("version one") << true << 0;
    QTest::newRow("same size, new time") << "retimed" << QByteArray("version two") << true << 1;
    QTest::newRow("same size and time, new inode") << "renamed-over" << QByteArray("version two") << true << 1;
    QTest::newRow("grown") << "grown" << QByteArray("version one and more") << true << 1;
    QTest::newRow("written just before hashing") << "fresh" << QByteArray("version one") << true << 1;
    QTest::newRow("damaged cache") << "cache-damaged" << QByteArray("version one") << true << 1;
    QTest::newRow("removed") << "removed" << QByteArray() << false << 0;
    QTest::newRow("link in its place") << "link" << QByteArray() << false << 0;
}

void TestTreeHashCache::secondRun()
{
    QFETCH(QString, change);
    QFETCH(QByteArray, content);
    QFETCH(bool, found);
    QFETCH(int, reads);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.filePath(QStringLiteral("app"));
    const QString cacheFile = dir.filePath(QStringLiteral("hashes"));
    const QString path = root + QStringLiteral("/bin/app");
    const QString other = root + QStringLiteral("/other");
    QVERIFY(writeAt(path, "version one", change == QLatin1String("fresh") ? QDateTime::currentDateTime() : past));
    QVERIFY(writeAt(other, "stays", past));

    QByteArray sha;
    qint64 size = 0;
    QString error;
    {
        TreeHashCache first(cacheFile);
        first.load();
        QVERIFY(first.hash(root, QStringLiteral("bin/app"), &sha, &size, &error));
        QVERIFY(first.hash(root, QStringLiteral("other"), &sha, &size, &error));
        QCOMPARE(first.filesRead(), 2);
        QVERIFY2(first.save(&error), qPrintable(error));
    }

    if (change == QLatin1String("retimed"))
        QVERIFY(writeAt(path, content, past.addSecs(1)));
    else if (change == QLatin1String("renamed-over"))
        QVERIFY(writeAt(path + QStringLiteral(".new"), content, past) && QFile::remove(path) && QFile::rename(path + QStringLiteral(".new"), path));
    else if (change == QLatin1String("grown"))
        QVERIFY(writeAt(path, content, past));
    else if (change == QLatin1String("cache-damaged"))
        QVERIFY(QFile::resize(cacheFile, QFileInfo(cacheFile).size() - 3));
    else if (change == QLatin1String("removed"))
        QVERIFY(QFile::remove(path));
    else if (change == QLatin1String("link"))
        QVERIFY(QFile::remove(path) && QFile::link(other, path));

    TreeHashCache second(cacheFile);
    second.load();
    QCOMPARE(second.hash(root, QStringLiteral("bin/app"), &sha, &size, &error), found);
    QCOMPARE(second.filesRead(), reads);
    if (found) {
        QCOMPARE(sha, TestFiles::sha256(content));
        QCOMPARE(size, qint64(content.size()));
    }
    // Only what was looked up is remembered: "other" is read again after this run.
    QVERIFY(second.save(&error));
    TreeHashCache third(cacheFile);
    third.load();
    QVERIFY(third.hash(root, QStringLiteral("other"), &sha, &size, &error));
    QCOMPARE(third.filesRead(), 1);
}

QTEST_GUILESS_MAIN(TestTreeHashCache)
#include "tst_treehashcache.moc"
