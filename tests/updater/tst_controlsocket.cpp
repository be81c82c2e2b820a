#include "controlsocket.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// Where the control socket may live, and who may be at its other end.
class TestControlSocket : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void folderRules_data();
    void folderRules();
    void peerOfOwnProcessIsAccepted();
};

void TestControlSocket::folderRules_data()
{
    QTest::addColumn<QString>("runtime");   // how the runtime folder is prepared
    QTest::addColumn<QString>("fallback");  // how the fallback folder is prepared
    QTest::addColumn<QString>("chosen");    // "runtime", "fallback" or "" (refused)
    QTest::addColumn<QString>("reason");

    QTest::newRow("runtime folder of the user") << "private" << "missing" << "runtime" << "";
    QTest::newRow("no runtime folder: fallback made") << "missing" << "missing" << "fallback" << "";
    QTest::newRow("runtime folder is a link") << "link" << "missing" << "fallback" << "";
    QTest::newRow("fallback private already") << "missing" << "private" << "fallback" << "";
    QTest::newRow("fallback open to others") << "missing" << "open" << "" << "mode 0755, not 0700";
    QTest::newRow("fallback is a link") << "missing" << "link" << "" << "not a folder";
    QTest::newRow("fallback is a file") << "missing" << "file" << "" << "not a folder";
    QTest::newRow("fallback of another user") << "missing" << "foreign" << "" << "owned by user 65534";
}

void TestControlSocket::folderRules()
{
    QFETCH(QString, runtime);
    QFETCH(QString, fallback);
    QFETCH(QString, chosen);
    QFETCH(QString, reason);
    if (fallback == QLatin1String("foreign") && ::getuid() != 0)
        QSKIP("only root can give a folder to another user");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkdir(target));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0700) == 0);
    const auto prepare = [&](const QString &path, const QString &how) {
        const QByteArray native = QFile::encodeName(path);
        if (how == QLatin1String("private") || how == QLatin1String("open") || how == QLatin1String("foreign")) {
            QVERIFY(QDir().mkdir(path));
            QVERIFY(::chmod(native.constData(), how == QLatin1String("open") ? 0755 : 0700) == 0);
            if (how == QLatin1String("foreign"))
                QVERIFY(::chown(native.constData(), 65534, 65534) == 0);
        } else if (how == QLatin1String("link")) {
            QVERIFY(QFile::link(target, path));
        } else if (how == QLatin1String("file")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    };
    const QString runtimePath = dir.filePath(QStringLiteral("run"));
    const QString fallbackPath = dir.filePath(QStringLiteral("tmp"));
    prepare(runtimePath, runtime);
    prepare(fallbackPath, fallback);

    QString error;
    const QString result = ControlSocket::folderFrom(runtimePath, fallbackPath, &error);
    if (chosen.isEmpty()) {
        QVERIFY(result.isEmpty());
        QVERIFY2(error.contains(fallbackPath) && error.contains(reason), qPrintable(error));
        return;
    }
    QCOMPARE(result, chosen == QLatin1String("runtime") ? runtimePath : fallbackPath);
    struct stat info;
    QVERIFY(::lstat(QFile::encodeName(result).constData(), &info) == 0);
    QVERIFY(S_ISDIR(info.st_mode));
    if (chosen == QLatin1String("fallback"))
        QCOMPARE(int(info.st_mode & 07777), 0700);
}

void TestControlSocket::peerOfOwnProcessIsAccepted()
{
    QTemporaryDir dir;
    QLocalServer server;
    QVERIFY(server.listen(dir.filePath(QStringLiteral("s"))));
    QLocalSocket client;
    client.connectToServer(server.fullServerName());
    QVERIFY(client.waitForConnected(5000));
    QString error;
    QVERIFY2(ControlSocket::peerIsOwnUser(client.socketDescriptor(), &error), qPrintable(error));
    // A descriptor that is no socket proves nothing and is refused.
    QFile plain(dir.filePath(QStringLiteral("f")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    QVERIFY(!ControlSocket::peerIsOwnUser(plain.handle(), &error));
    QVERIFY(!error.isEmpty());
}

QTEST_MAIN(TestControlSocket)
#include "tst_controlsocket.moc"
