#include "messagewindow.h"
#include "stopsignalquitter.h"

#include <QCommandLineParser>
#include <QDebug>
#include <QGuiApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication app(argc, argv);
    MessageWindow::setIdentity();

    QCommandLineParser parser;
    QString text;
    if (MessageWindow::parseCommandLine(parser, app.arguments(), &text))
        parser.process(app);
    StopSignalQuitter stopSignals("[ExitHandler] cannot install the signal handler", true);

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

    return app.exec();
}
