#include "messagewindow.h"

#include "networktoollauncher.h"
#include "windowactions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QOpenGLContext>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QtQml>

MessageWindow::MessageWindow(QObject *parent)
    : QObject(parent)
    , m_engine(new QQmlApplicationEngine(this))
{
}

MessageWindow::~MessageWindow() = default;

void MessageWindow::setIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("tovrel"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("tovrel.example"));
    QCoreApplication::setApplicationName(QStringLiteral("plessa"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.3.1"));
}

bool MessageWindow::parseCommandLine(QCommandLineParser &parser, const QStringList &arguments, QString *text)
{
    parser.setApplicationDescription(QStringLiteral("Tovrel Setting app"));
    parser.addHelpOption();
    parser.addOption(QCommandLineOption(QStringLiteral("text"), QStringLiteral("text to textField"),
                                        QStringLiteral("text"), QString()));
    // The launcher may hand over options we do not know; they must not keep the window away.
    const bool clean = parser.parse(arguments);
    if (!clean)
        qDebug() << "command line:" << parser.errorText();
    *text = parser.isSet(QStringLiteral("text")) ? parser.value(QStringLiteral("text")) : QString();
    return clean;
}

void MessageWindow::registerTypes()
{
    qmlRegisterType<NetworkToolLauncher>("launcher", 1, 0, "Launch");
    qmlRegisterSingletonType<WindowActions>("launcher", 1, 0, "Utils", &WindowActions::create);
}

bool MessageWindow::chooseSceneGraphBackend()
{
    if (qEnvironmentVariableIsSet("QT_QUICK_BACKEND") || qEnvironmentVariableIsSet("QMLSCENE_DEVICE"))
        return false;
    QOpenGLContext probe;
    if (probe.create())
        return false;
    qDebug() << "no OpenGL, rendering in software";
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    return true;
}

void MessageWindow::initResources()
{
    Q_INIT_RESOURCE(qml);
}

bool MessageWindow::load(const QString &text, const QUrl &document)
{
    m_engine->rootContext()->setContextProperty(QStringLiteral("version"), QCoreApplication::applicationVersion());
    m_engine->rootContext()->setContextProperty(QStringLiteral("path"), text);
    m_engine->load(document);
    if (m_engine->rootObjects().isEmpty())
        return false;
    QMetaObject::invokeMethod(m_engine->rootObjects().constFirst(), "init", Qt::QueuedConnection);
    return true;
}

QQuickWindow *MessageWindow::window() const
{
    const QList<QObject *> roots = m_engine->rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.constFirst());
}
