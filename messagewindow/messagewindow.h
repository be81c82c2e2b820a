#ifndef MESSAGEWINDOW_H
#define MESSAGEWINDOW_H

#include <QObject>
#include <QString>
#include <QUrl>

class QCommandLineParser;
class QQmlApplicationEngine;
class QQuickWindow;
class QStringList;

// The message window's start-up: identity, command line, QML registrations and the engine that
// shows main.qml with the launcher's text.
class MessageWindow : public QObject
{
    Q_OBJECT
public:
    explicit MessageWindow(QObject *parent = nullptr);
    ~MessageWindow() override;

    static void setIdentity();
    // Prepares the parser and parses; the text is taken whenever --text was given, even when the
    // parse reports an unknown option. Returns whether the parse was clean, that is whether the
    // parser's standard processing (--help) may run.
    static bool parseCommandLine(QCommandLineParser &parser, const QStringList &arguments, QString *text);
    static void registerTypes();
    // Where OpenGL is not available (no GPU, offscreen) and nobody chose a scene graph backend,
    // renders in software instead of letting Qt Quick abort. Returns whether it switched.
    static bool chooseSceneGraphBackend();
    // Makes the compiled-in QML and images reachable; they live in a static library.
    static void initResources();

    // Loads the window with the given text; false when the document yields no window.
    bool load(const QString &text, const QUrl &document = QUrl(QStringLiteral("qrc:/main.qml")));

    QQmlApplicationEngine *engine() const { return m_engine; }
    QQuickWindow *window() const;

private:
    QQmlApplicationEngine *m_engine;
};

#endif
