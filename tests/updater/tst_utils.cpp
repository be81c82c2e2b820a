#include "testfiles.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

class TestUtils : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pathExists();
    void createFolder();
    void outsnWritesOneLine();
    void userAgent();
};

void TestUtils::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationName(QStringLiteral("updater"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2.3"));
}

void TestUtils::pathExists()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    QVERIFY(TestFiles::write(file, QByteArray(1234, 'a')));
    QVERIFY(Utils::isPathExists(file));
    QVERIFY(Utils::isPathExists(dir.path()));
    QVERIFY(!Utils::isPathExists(dir.filePath(QStringLiteral("none"))));
}

void TestUtils::createFolder()
{
    QTemporaryDir dir;
    const QString nested = dir.filePath(QStringLiteral("a/b/c"));
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("create \"%1\"").arg(nested)));
    QVERIFY(Utils::createFolder(nested));
    QVERIFY(QFileInfo(nested).isDir());

    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("create \"%1\"").arg(nested)));
    QVERIFY(Utils::createFolder(nested));

    // A regular file stands where a parent folder would have to be.
    const QString blocker = dir.filePath(QStringLiteral("file"));
    QVERIFY(TestFiles::write(blocker, "x"));
    const QString impossible = blocker + QStringLiteral("/sub/leaf");
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("create \"%1\"").arg(impossible)));
    QVERIFY(!Utils::createFolder(impossible));
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("create \"%1\"").arg(blocker)));
    QVERIFY(!Utils::createFolder(blocker));
}

void TestUtils::outsnWritesOneLine()
{
    QTemporaryDir dir;
    const QString capture = dir.filePath(QStringLiteral("stdout"));
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    QVERIFY(saved >= 0);
    FILE *target = fopen(QFile::encodeName(capture).constData(), "w");
    QVERIFY(target);
    dup2(fileno(target), STDOUT_FILENO);
    Utils::outsn(QStringLiteral("$ALIVE"));
    Utils::outsn(QStringLiteral("$QUIT"));
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    fclose(target);

    QFile file(capture);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("$ALIVE\n$QUIT\n"));
}

void TestUtils::userAgent()
{
    const QString agent = Utils::userAgent();
    QVERIFY2(agent.startsWith(QStringLiteral("updater/1.2.3 (")), qPrintable(agent));
    QVERIFY(agent.endsWith(QLatin1Char(')')));
    QVERIFY(agent.size() > int(strlen("updater/1.2.3 ()")));
}

QTEST_GUILESS_MAIN(TestUtils)
#include "tst_utils.moc"
