#include "messagewindow.h"
#include "networktoollauncher.h"
#include "stdoutcapture.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {
const int TimedOut = 42;

QRectF sceneRect(const QQuickItem *item)
{
    return item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
}
const QString Short = QStringLiteral("Путь к файлу настроек:\n/home/user/.config/tovrel/zorvan.conf");
}

// The window as the launcher's user sees it: loaded from the compiled-in QML, driven through its
// object tree, with clicks and timer ticks in place of waiting.
class TestWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void showsTextTitleAndCountdown();
    void initLogsVersionOnceTheLoopRuns();
    void geometryFollowsText_data();
    void geometryFollowsText();
    void restartLabelIsNotCut();
    void countdownWritesQuitAndQuits();
    void aliveTickWritesAlive();
    void restartButtonWritesQuitAndQuits();
    void pauseStopsCountdownForGood();
    void copyButtonPutsMessageOnClipboard();
    void closingWindowQuitsWithoutToken();
    void brokenDocumentGivesNoWindow();

private:
    bool open(const QString &text);
    QQuickItem *item(const char *name) const;
    QObject *timer(const char *name) const;
    void click(const char *name);
    // Runs the event loop until the application is asked to quit (returns 0) or the time is up.
    int runUntilQuit(const std::function<void()> &action, int timeout);
    static void tick(QObject *timer);

    std::unique_ptr<MessageWindow> m_window;
};

void TestWindow::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    MessageWindow::setIdentity();
    MessageWindow::initResources();
    MessageWindow::registerTypes();
}

void TestWindow::cleanup()
{
    m_window.reset();
}

bool TestWindow::open(const QString &text)
{
    m_window.reset(new MessageWindow);
    if (!m_window->load(text) || !m_window->window())
        return false;
    return QTest::qWaitForWindowExposed(m_window->window());
}

QQuickItem *TestWindow::item(const char *name) const
{
    return m_window->window()->findChild<QQuickItem *>(QLatin1String(name));
}

QObject *TestWindow::timer(const char *name) const
{
    return m_window->window()->findChild<QObject *>(QLatin1String(name));
}

void TestWindow::click(const char *name)
{
    QQuickItem *target = item(name);
    QVERIFY2(target, name);
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(m_window->window(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

int TestWindow::runUntilQuit(const std::function<void()> &action, int timeout)
{
    QEventLoop loop;
    QTimer::singleShot(0, &loop, action);
    QTimer::singleShot(timeout, &loop, [&loop]() { loop.exit(TimedOut); });
    const int result = loop.exec();
    if (result != TimedOut) {
        // A quit marks the whole thread as quitting until the application loop has run once;
        // let it run, or every later wait in this test would return at once.
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        QCoreApplication::exec();
    }
    return result;
}

void TestWindow::tick(QObject *timer)
{
    QVERIFY(timer);
    QVERIFY(QMetaObject::invokeMethod(timer, "triggered"));
}

void TestWindow::showsTextTitleAndCountdown()
{
    QVERIFY(open(Short));
    QQuickWindow *window = m_window->window();
    QCOMPARE(window->title(), QStringLiteral("tovrel settings v1.3.1"));
    QVERIFY(window->isVisible());
    QCOMPARE(item("textField")->property("text").toString(), Short);
    QCOMPARE(item("quitButton")->property("text").toString(), QStringLiteral("Перезапуск 15"));
    QCOMPARE(item("pauseButton")->property("text").toString(), QStringLiteral("Пауза"));
    QVERIFY(item("pauseButton")->isEnabled());
    QVERIFY(window->findChild<QObject *>(QStringLiteral("SwipeView")));
    // The window holds a launcher for the network tool; nothing is started by showing it.
    NetworkToolLauncher *launch = window->findChild<NetworkToolLauncher *>();
    QVERIFY(launch);
    QVERIFY(launch->getApplicationVisible());
    QCOMPARE(launch->getProcessState(), QProcess::NotRunning);
    // Both timers run from the start.
    QCOMPARE(timer("exitTimeTimer")->property("running").toBool(), true);
    QCOMPARE(timer("exitTimeTimer")->property("interval").toInt(), 1000);
    QCOMPARE(timer("aliveTimeTimer")->property("running").toBool(), true);
    QCOMPARE(timer("aliveTimeTimer")->property("interval").toInt(), 20000);
}

void TestWindow::initLogsVersionOnceTheLoopRuns()
{
    QTest::ignoreMessage(QtDebugMsg, "version: 1.3.1");
    QVERIFY(open(Short));
    // The queued init has run by the time the window is exposed; ignoreMessage fails otherwise.
}

void TestWindow::geometryFollowsText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("minLines");
    QTest::newRow("empty") << QString() << 1;
    QTest::newRow("one line") << QStringLiteral("Приложение отключено.") << 1;
    QTest::newRow("two lines") << Short << 2;
    QString longText;
    for (int i = 0; i < 12; ++i)
        longText += QStringLiteral("Приложение не запустилось (Process failed to start). ");
    QTest::newRow("long text wraps") << longText << 10;
    // A long path has no blanks; it must still fit the window rather than run off its edge.
    QTest::newRow("long path without blanks")
        << QStringLiteral("Путь к файлу настроек:\n/home/device-user/.config/tovrel/some/deeper/folder/zorvan.conf")
        << 3;
    QTest::newRow("registry path without break points")
        << QStringLiteral("Путь к файлу настроек:\n\\HKEY_CURRENT_USER\\Software\\tovrel\\zorvan\\settingsfolder")
        << 3;
}

void TestWindow::geometryFollowsText()
{
    QFETCH(QString, text);
    QFETCH(int, minLines);
    QVERIFY(open(text));
    QQuickWindow *window = m_window->window();
    QQuickItem *textField = item("textField");
    QQuickItem *quitButton = item("quitButton");
    QQuickItem *pauseButton = item("pauseButton");
    QQuickItem *copyButton = item("buttonCopy");

    QVERIFY(textField->property("lineCount").toInt() >= minLines);
    QCOMPARE(window->width(), 308);
    QCOMPARE(window->minimumWidth(), 308);
    QCOMPARE(window->maximumWidth(), 308);
    QCOMPARE(window->minimumHeight(), 100);
    QVERIFY(window->maximumHeight() >= window->minimumHeight());
    QCOMPARE(window->height(), window->maximumHeight());

    const qreal contentHeight = textField->property("contentHeight").toReal();
    // Text top (16) + text with its 12 of padding + 16 + buttons (30) + 16 below.
    QCOMPARE(window->height(), qMax(100, qRound(contentHeight) + 90));
    const QRectF quitRect = sceneRect(quitButton);
    const QRectF pauseRect = sceneRect(pauseButton);
    const QRectF copyRect = sceneRect(copyButton);
    const QRectF textRect = sceneRect(textField);
    const QRectF windowRect(0, 0, window->width(), window->height());
    for (const QRectF &rect : {quitRect, pauseRect, copyRect, textRect})
        QVERIFY2(windowRect.contains(rect), qPrintable(QStringLiteral("%1,%2 %3x%4").arg(rect.x()).arg(rect.y())
                                                           .arg(rect.width()).arg(rect.height())));
    QCOMPARE(quitRect.top(), textRect.bottom() + 16);
    QCOMPARE(pauseRect.right(), quitRect.left() - 16);
    QCOMPARE(quitRect.right(), 308 - 16.0);
    QVERIFY(!textRect.intersects(copyRect));
    // Nothing of the message is cut at the right edge.
    QVERIFY(textField->property("contentWidth").toReal() <= textField->width());
}

void TestWindow::restartLabelIsNotCut()
{
    QVERIFY(open(Short));
    QQuickItem *label = item("quitButton")->property("contentItem").value<QQuickItem *>();
    QVERIFY(label);
    QCOMPARE(label->property("text").toString(), QStringLiteral("Перезапуск 15"));
    QVERIFY2(label->implicitWidth() <= label->width(),
             qPrintable(QStringLiteral("%1 > %2").arg(label->implicitWidth()).arg(label->width())));
}

void TestWindow::countdownWritesQuitAndQuits()
{
    QVERIFY(open(Short));
    QObject *countdown = timer("exitTimeTimer");
    QQuickItem *quitButton = item("quitButton");
    StdoutCapture capture;
    for (int left = 14; left >= 1; --left) {
        tick(countdown);
        QCOMPARE(quitButton->property("text").toString(), QStringLiteral("Перезапуск %1").arg(left));
    }
    QCOMPARE(capture.text(), QByteArray());
    // The fifteenth tick would show 0: it ends the window instead.
    QCOMPARE(runUntilQuit([this, countdown]() { tick(countdown); }, 5000), 0);
    QCOMPARE(capture.text(), QByteArray("$QUIT\n"));
}

void TestWindow::aliveTickWritesAlive()
{
    QVERIFY(open(Short));
    StdoutCapture capture;
    tick(timer("aliveTimeTimer"));
    tick(timer("aliveTimeTimer"));
    QCOMPARE(capture.text(), QByteArray("$ALIVE\n$ALIVE\n"));
    // Alive ticks do not touch the countdown.
    QCOMPARE(item("page")->property("timeToExit").toInt(), 15);
}

void TestWindow::restartButtonWritesQuitAndQuits()
{
    QVERIFY(open(Short));
    StdoutCapture capture;
    QCOMPARE(runUntilQuit([this]() { click("quitButton"); }, 5000), 0);
    QCOMPARE(capture.text(), QByteArray("$QUIT\n"));
}

void TestWindow::pauseStopsCountdownForGood()
{
    QVERIFY(open(Short));
    QObject *countdown = timer("exitTimeTimer");
    QObject *alive = timer("aliveTimeTimer");
    // A fast countdown, so that a countdown that still ran would end the window within the wait below.
    countdown->setProperty("interval", 5);
    tick(countdown);
    StdoutCapture capture;
    click("pauseButton");
    QCOMPARE(capture.text(), QByteArray("$PAUSE\n"));
    QCOMPARE(countdown->property("running").toBool(), false);
    QCOMPARE(item("page")->property("timeToExit").toInt(), 0);
    QCOMPARE(item("quitButton")->property("text").toString(), QStringLiteral("Перезапуск "));
    QCOMPARE(item("pauseButton")->isEnabled(), false);
    QCOMPARE(alive->property("running").toBool(), true);

    // The disabled button takes no second press.
    click("pauseButton");
    QCOMPARE(capture.text(), QByteArray("$PAUSE\n"));
    QCOMPARE(countdown->property("running").toBool(), false);

    // Still there well past the (shortened) countdown, and still alive.
    QCOMPARE(runUntilQuit([]() {}, 300), TimedOut);
    QVERIFY(m_window->window()->isVisible());
    tick(alive);
    QCOMPARE(capture.text(), QByteArray("$PAUSE\n$ALIVE\n"));

    // Restart still ends it.
    QCOMPARE(runUntilQuit([this]() { click("quitButton"); }, 5000), 0);
    QCOMPARE(capture.text(), QByteArray("$PAUSE\n$ALIVE\n$QUIT\n"));
}

void TestWindow::copyButtonPutsMessageOnClipboard()
{
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    QVERIFY(open(Short));
    click("buttonCopy");
    QCOMPARE(QGuiApplication::clipboard()->text(), Short);
    // Copying is no answer to the launcher.
    QCOMPARE(item("page")->property("timeToExit").toInt(), 15);
    QVERIFY(m_window->window()->isVisible());
}

void TestWindow::closingWindowQuitsWithoutToken()
{
    QVERIFY(open(Short));
    StdoutCapture capture;
    // Quitting on the last window's close needs the application's own loop, as in plessa.
    QTimer::singleShot(0, m_window->window(), &QWindow::close);
    QTimer::singleShot(5000, qApp, []() { QCoreApplication::exit(TimedOut); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(capture.text(), QByteArray());
}

void TestWindow::brokenDocumentGivesNoWindow()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("broken.qml"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("import QtQuick 2.4\nItem {\n");
    file.close();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("broken\\.qml")));
    MessageWindow window;
    QVERIFY(!window.load(Short, QUrl::fromLocalFile(path)));
    QVERIFY(!window.window());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
