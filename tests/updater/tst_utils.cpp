#include "testfiles.h"
#include "utils.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {
// Makes one file impossible to delete for this user: a read-only folder for ordinary users, the
// immutable attribute for root (who ignores folder permissions).
class Undeletable
{
public:
    explicit Undeletable(const QString &file)
        : m_file(file)
        , m_folder(QFileInfo(file).absolutePath())
    {
        if (geteuid() == 0) {
            m_root = true;
            m_ok = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), m_file}) == 0;
        } else {
            m_ok = QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        }
    }
    ~Undeletable()
    {
        if (m_root)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_file});
        else
            QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    bool ok() const { return m_ok; }

private:
    QString m_file;
    QString m_folder;
    bool m_root = false;
    bool m_ok = false;
};
}

class TestUtils : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fileHash();
    void fileSizeAndExistence();
    void createFolder();
    void deleteFile();
    void deleteDirRemovesHiddenEntries();
    void deleteDirStopsAtUndeletableEntry();
    void deleteDirDoesNotFollowLinks();
    void outsnWritesOneLine();
    void userAgentAndDisk();
};

void TestUtils::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationName(QStringLiteral("updater"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2.3"));
}

void TestUtils::fileHash()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString empty = dir.filePath(QStringLiteral("empty"));
    QVERIFY(TestFiles::write(empty, QByteArray()));
    QCOMPARE(Utils::getFileHash(empty), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));

    QByteArray big(3 * 1024 * 1024 + 17, 'x');
    for (int i = 0; i < big.size(); i += 4099)
        big[i] = char(i);
    const QString bigFile = dir.filePath(QStringLiteral("big"));
    QVERIFY(TestFiles::write(bigFile, big));
    QCOMPARE(Utils::getFileHash(bigFile),
             QString::fromLatin1(QCryptographicHash::hash(big, QCryptographicHash::Md5).toHex()));

    QCOMPARE(Utils::getFileHash(dir.filePath(QStringLiteral("missing"))), QString());
    QVERIFY(Utils::getFileHash(dir.filePath(QStringLiteral("missing"))).isEmpty());
}

void TestUtils::fileSizeAndExistence()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    QVERIFY(TestFiles::write(file, QByteArray(1234, 'a')));
    QCOMPARE(Utils::getFileSize(file), 1234);
    QCOMPARE(Utils::getFileSize(dir.filePath(QStringLiteral("none"))), 0);
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

void TestUtils::deleteFile()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    QVERIFY(TestFiles::write(file, "1"));
    QVERIFY(Utils::deleteFile(file));
    QVERIFY(!QFile::exists(file));
    QVERIFY(!Utils::deleteFile(file));
    QVERIFY(QDir().mkdir(dir.filePath(QStringLiteral("folder"))));
    QVERIFY(!Utils::deleteFile(dir.filePath(QStringLiteral("folder"))));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("folder"))).isDir());
}

void TestUtils::deleteDirRemovesHiddenEntries()
{
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("tree"));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/.hiddendir/deeper")));
    QVERIFY(TestFiles::write(root + QStringLiteral("/.hidden"), "h"));
    QVERIFY(TestFiles::write(root + QStringLiteral("/.hiddendir/deeper/.x"), "x"));
    QVERIFY(TestFiles::write(root + QStringLiteral("/plain.txt"), "p"));
    QVERIFY(Utils::deleteDir(root));
    QVERIFY(!QFileInfo::exists(root));
    QVERIFY(Utils::deleteDir(root));
}

void TestUtils::deleteDirStopsAtUndeletableEntry()
{
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("tree"));
    // Folders come first in listing order, so "a/locked" is met before "b.txt".
    QVERIFY(QDir().mkpath(root + QStringLiteral("/a")));
    QVERIFY(TestFiles::write(root + QStringLiteral("/a/locked"), "l"));
    QVERIFY(TestFiles::write(root + QStringLiteral("/b.txt"), "b"));
    {
        Undeletable lock(root + QStringLiteral("/a/locked"));
        if (!lock.ok())
            QSKIP("cannot make a file undeletable here");
        QVERIFY(!Utils::deleteDir(root));
        QVERIFY(QFile::exists(root + QStringLiteral("/a/locked")));
        QVERIFY(QFile::exists(root + QStringLiteral("/b.txt")));
    }
    QVERIFY(Utils::deleteDir(root));
}

void TestUtils::deleteDirDoesNotFollowLinks()
{
    QTemporaryDir dir;
    const QString outside = dir.filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(TestFiles::write(outside + QStringLiteral("/keep"), "k"));
    const QString root = dir.filePath(QStringLiteral("tree"));
    QVERIFY(QDir().mkpath(root));
    QVERIFY(QFile::link(outside, root + QStringLiteral("/link")));
    QVERIFY(Utils::deleteDir(root));
    QVERIFY(!QFileInfo::exists(root));
    QVERIFY(QFile::exists(outside + QStringLiteral("/keep")));

    // Handed a link itself: a link to a folder goes, the folder stays; a link to a file is no
    // folder and stays as it is.
    const QString folderLink = dir.filePath(QStringLiteral("folder-link"));
    QVERIFY(QFile::link(outside, folderLink));
    QVERIFY(Utils::deleteDir(folderLink));
    QVERIFY(!QFileInfo(folderLink).isSymLink());
    QVERIFY(QFile::exists(outside + QStringLiteral("/keep")));
    const QString fileLink = dir.filePath(QStringLiteral("file-link"));
    QVERIFY(QFile::link(outside + QStringLiteral("/keep"), fileLink));
    QVERIFY(Utils::deleteDir(fileLink));
    QVERIFY(QFileInfo(fileLink).isSymLink());

    // deleteFile removes a link to a folder, never the folder behind it.
    QVERIFY(QFile::link(outside, folderLink));
    QVERIFY(Utils::deleteFile(folderLink));
    QVERIFY(!QFileInfo(folderLink).isSymLink());
    QVERIFY(QFile::exists(outside + QStringLiteral("/keep")));
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

void TestUtils::userAgentAndDisk()
{
    const QString agent = Utils::userAgent();
    QVERIFY2(agent.startsWith(QStringLiteral("updater/1.2.3 (")), qPrintable(agent));
    QVERIFY(agent.endsWith(QLatin1Char(')')));
    QVERIFY(agent.size() > int(strlen("updater/1.2.3 ()")));
    QVERIFY(Utils::getDiskTotal() > 0);
    QVERIFY(Utils::getDiskAvailable() >= 0);
    QVERIFY(Utils::getDiskAvailable() <= Utils::getDiskTotal());
}

QTEST_GUILESS_MAIN(TestUtils)
#include "tst_utils.moc"
