#include "messagewindow.h"
#include "testenvironment.h"

#include <QCommandLineParser>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>

// The launcher hands plessa its text with --text and may one day add options plessa does not
// know; none of that may keep the window away. Parsing is checked in-process, --help and the
// signals on the real program.
class TestCommandLine : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void parse_data();
    void parse();
    void unknownOptionStillShowsText();

    void helpAlonePrintsHelpAndExits();
    void helpWithUnknownOptionStartsWindow();
    void signalEndsWithoutToken_data();
    void signalEndsWithoutToken();
    void withoutOpenGLRendersInSoftware();

private:
    // Starts plessa and waits until its window runs (init has logged the version).
    bool startWindow(QProcess &process, const QStringList &arguments, QByteArray *log,
                     QProcessEnvironment environment = QProcessEnvironment());
    TestEnvironment m_env;
};

void TestCommandLine::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_env.isValid());
    MessageWindow::setIdentity();
    MessageWindow::initResources();
    MessageWindow::registerTypes();
}

void TestCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("clean");
    QTest::addColumn<QString>("text");
    const QString message = QStringLiteral("Путь к файлу настроек:\n/home/user/.config/tovrel/zorvan.conf");
    QTest::newRow("nothing") << QStringList{"plessa"} << true << QString();
    QTest::newRow("text") << QStringList{"plessa", "--text", message} << true << message;
    QTest::newRow("text with equals") << QStringList{"plessa", "--text=a b"} << true << QStringLiteral("a b");
    QTest::newRow("text starting with a blank") << QStringList{"plessa", "--text", " Идет обновление"} << true
                                                << QStringLiteral(" Идет обновление");
    QTest::newRow("unknown option before text") << QStringList{"plessa", "--fullscreen", "--text", message}
                                                << false << message;
    QTest::newRow("unknown option after text") << QStringList{"plessa", "--text", message, "--fullscreen"}
                                               << false << message;
    QTest::newRow("unknown option alone") << QStringList{"plessa", "--fullscreen"} << false << QString();
    QTest::newRow("text without value") << QStringList{"plessa", "--text"} << false << QString();
    QTest::newRow("help") << QStringList{"plessa", "--help"} << true << QString();
    QTest::newRow("help with unknown option") << QStringList{"plessa", "--help", "--bogus"} << false << QString();
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, clean);
    QFETCH(QString, text);
    QCommandLineParser parser;
    QString parsed = QStringLiteral("untouched");
    QCOMPARE(MessageWindow::parseCommandLine(parser, arguments, &parsed), clean);
    QCOMPARE(parsed, text);
}

void TestCommandLine::unknownOptionStillShowsText()
{
    const QString message = QStringLiteral("Приложение отключено. Путь к файлу настроек:\n/tmp/zorvan.conf");
    QCommandLineParser parser;
    QString text;
    QVERIFY(!MessageWindow::parseCommandLine(parser, {"plessa", "--fullscreen", "--text", message}, &text));
    MessageWindow window;
    QVERIFY(window.load(text));
    QVERIFY(QTest::qWaitForWindowExposed(window.window()));
    QQuickItem *textField = window.window()->findChild<QQuickItem *>(QStringLiteral("textField"));
    QVERIFY(textField);
    QCOMPARE(textField->property("text").toString(), message);
}

bool TestCommandLine::startWindow(QProcess &process, const QStringList &arguments, QByteArray *log,
                                  QProcessEnvironment environment)
{
    connect(&process, &QProcess::readyReadStandardError, this,
            [&process, log]() { *log += process.readAllStandardError(); });
    process.setProcessEnvironment(environment.isEmpty() ? m_env.processEnvironment() : environment);
    process.start(QStringLiteral(PLESSA_BIN), arguments);
    if (!process.waitForStarted(5000))
        return false;
    return QTest::qWaitFor([&process, log]() {
        return process.state() != QProcess::Running || log->contains("version: 1.3.1");
    }, 10000) && process.state() == QProcess::Running;
}

void TestCommandLine::helpAlonePrintsHelpAndExits()
{
    QProcess process;
    process.setProcessEnvironment(m_env.processEnvironment());
    process.start(QStringLiteral(PLESSA_BIN), {QStringLiteral("--help")});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QByteArray help = process.readAllStandardOutput();
    QVERIFY2(help.contains("Tovrel Setting app"), help.constData());
    QVERIFY2(help.contains("--text <text>"), help.constData());
    QVERIFY2(help.contains("text to textField"), help.constData());
    QVERIFY(!help.contains("$QUIT"));
}

void TestCommandLine::helpWithUnknownOptionStartsWindow()
{
    QProcess process;
    QByteArray log;
    QVERIFY2(startWindow(process, {QStringLiteral("--help"), QStringLiteral("--bogus")}, &log), log.constData());
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(!process.readAllStandardOutput().contains("Usage"));
}

void TestCommandLine::signalEndsWithoutToken_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("extraVariable");
    QTest::newRow("SIGTERM") << int(SIGTERM) << QString();
    QTest::newRow("SIGINT") << int(SIGINT) << QString();
    // A variable that once made the window save a picture and vanish must not end it any more.
    QTest::newRow("SIGTERM, PLESSA_SCREENSHOT set") << int(SIGTERM) << QStringLiteral("PLESSA_SCREENSHOT");
}

void TestCommandLine::signalEndsWithoutToken()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, extraVariable);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcessEnvironment environment = m_env.processEnvironment();
    if (!extraVariable.isEmpty())
        environment.insert(extraVariable, dir.filePath(QStringLiteral("frame.png")));
    QProcess process;
    QByteArray log;
    QVERIFY2(startWindow(process, {QStringLiteral("--text"), QStringLiteral("Сигнал")}, &log, environment),
             log.constData());
    // The first frame follows the version line within milliseconds; well after it the window is still up.
    QVERIFY(!process.waitForFinished(1500));
    ::kill(pid_t(process.processId()), signalNumber);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    log += process.readAllStandardError();
    QVERIFY2(log.contains("exit handler code: " + QByteArray::number(signalNumber)), log.constData());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("frame.png"))));
}

void TestCommandLine::withoutOpenGLRendersInSoftware()
{
    // The offscreen platform has no OpenGL; Qt Quick's default backend would abort there.
    QProcessEnvironment environment = m_env.processEnvironment();
    environment.remove(QStringLiteral("QT_QUICK_BACKEND"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess process;
    QByteArray log;
    QVERIFY2(startWindow(process, {QStringLiteral("--text"), QStringLiteral("Без GPU")}, &log, environment),
             log.constData());
    QVERIFY2(log.contains("no OpenGL, rendering in software"), log.constData());
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
