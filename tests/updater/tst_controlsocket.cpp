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
    QTest::addColumn<QString>("home");      // how the home folder is prepared ("none": not in the user database)
    QTest::addColumn<QString>("fallback");  // how the fallback folder is prepared
    QTest::addColumn<QString>("chosen");    // "runtime", "home", "fallback" or "" (refused)
    QTest::addColumn<QString>("reason");    // in the error when refused, in the note when the fallback is taken

    QTest::newRow("runtime folder of the user") << "private" << "usable" << "missing" << "runtime" << "";
    QTest::newRow("no runtime folder, no home: fallback made") << "missing" << "none" << "missing" << "fallback"
                                                                << "no home folder in the user database";
    QTest::newRow("runtime folder is a link") << "link" << "none" << "missing" << "fallback" << "";
    QTest::newRow("fallback private already") << "missing" << "none" << "private" << "fallback" << "";
    QTest::newRow("fallback open to others") << "missing" << "none" << "open" << "" << "mode 0755, not 0700";
    QTest::newRow("fallback is a link") << "missing" << "none" << "link" << "" << "not a folder";
    QTest::newRow("fallback is a file") << "missing" << "none" << "file" << "" << "not a folder";
    QTest::newRow("fallback of another user") << "missing" << "none" << "foreign" << "" << "owned by user 65534";
    QTest::newRow("no runtime folder: made below home") << "missing" << "usable" << "missing" << "home" << "";
    QTest::newRow("old place taken by another user: below home") << "missing" << "usable" << "foreign" << "home" << "";
    QTest::newRow("home of another user") << "missing" << "foreign" << "missing" << "fallback" << "owned by user 65534";
    QTest::newRow("home open to others") << "missing" << "open" << "missing" << "fallback" << "writable by others";
    QTest::newRow("folder below home open to others") << "missing" << "open run" << "missing" << "fallback"
                                                       << "mode 0755, not 0700";
    QTest::newRow("home too long for the socket name") << "missing" << "long" << "missing" << "fallback"
                                                        << "leaves no room for the socket name";
}

void TestControlSocket::folderRules()
{
    QFETCH(QString, runtime);
    QFETCH(QString, home);
    QFETCH(QString, fallback);
    QFETCH(QString, chosen);
    QFETCH(QString, reason);
    if ((fallback == QLatin1String("foreign") || home == QLatin1String("foreign")) && ::getuid() != 0)
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
    const QString homePath = home == QLatin1String("none") ? QString() : dir.filePath(QStringLiteral("home"));
    const QString ownPath = homePath + QLatin1Char('/') + ControlSocket::belowHome();
    const QString fallbackPath = dir.filePath(QStringLiteral("tmp"));
    prepare(runtimePath, runtime);
    prepare(fallbackPath, fallback);
    if (!homePath.isEmpty()) {
        prepare(homePath, home == QLatin1String("foreign") ? home : QStringLiteral("private"));
        if (home == QLatin1String("open"))
            QVERIFY(::chmod(QFile::encodeName(homePath).constData(), 0777) == 0);
        if (home == QLatin1String("open run"))
            QVERIFY(QDir().mkpath(ownPath) && ::chmod(QFile::encodeName(ownPath).constData(), 0755) == 0);
    }
    // The longest name that still fits below the fallback, which is shorter than the home candidate.
    const int nameBytes = home == QLatin1String("long")
        ? ControlSocket::MaxPathBytes - 2 - int(QFile::encodeName(fallbackPath).size())
        : 13;

    QString error;
    QString note;
    const QString result = ControlSocket::folderFrom(runtimePath, homePath, fallbackPath, nameBytes, &error, &note);
    if (chosen.isEmpty()) {
        QVERIFY(result.isEmpty());
        QVERIFY2(error.contains(fallbackPath) && error.contains(reason), qPrintable(error));
        return;
    }
    const QString expected = chosen == QLatin1String("runtime") ? runtimePath
        : chosen == QLatin1String("home")                       ? ownPath
                                                                : fallbackPath;
    QCOMPARE(result, expected);
    // Only the last resort is said.
    QCOMPARE(note.isEmpty(), chosen != QLatin1String("fallback"));
    QVERIFY2(note.contains(reason), qPrintable(note));
    QVERIFY(QFile::encodeName(result).size() + 1 + nameBytes < ControlSocket::MaxPathBytes);
    struct stat info;
    QVERIFY(::lstat(QFile::encodeName(result).constData(), &info) == 0);
    QVERIFY(S_ISDIR(info.st_mode));
    if (chosen != QLatin1String("runtime"))
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
