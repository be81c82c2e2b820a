#include "exithandler.h"
#include "messagewindow.h"

#include <QCommandLineParser>
#include <QDebug>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QQuickWindow>

// Saves the first rendered frame to the file named by PLESSA_SCREENSHOT and ends the program;
// used to picture the window for the documentation.
static void grabFirstFrame(QQuickWindow *window, const QString &path)
{
    QObject::connect(window, &QQuickWindow::frameSwapped, window, [window, path]() {
        const bool saved = window->grabWindow().save(path);
        if (!saved)
            qWarning() << "screenshot not saved:" << path;
        QCoreApplication::exit(saved ? 0 : 1);
    }, Qt::QueuedConnection);
}

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication app(argc, argv);
    MessageWindow::setIdentity();

    QCommandLineParser parser;
    QString text;
    if (MessageWindow::parseCommandLine(parser, app.arguments(), &text))
        parser.process(app);
    ExitHandler exitHandler;

    MessageWindow::chooseSceneGraphBackend();
    MessageWindow::initResources();
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/images/icon_app.ico")));
    MessageWindow::registerTypes();
    MessageWindow window;
    if (!window.load(text)) {
        // Without a window nobody could restart the application from here.
        qCritical() << "the window could not be created";
        return 1;
    }

    const QString screenshot = qEnvironmentVariable("PLESSA_SCREENSHOT");
    if (!screenshot.isEmpty() && window.window())
        grabFirstFrame(window.window(), screenshot);

    return app.exec();
}
