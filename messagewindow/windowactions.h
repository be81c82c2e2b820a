#ifndef WINDOWACTIONS_H
#define WINDOWACTIONS_H

#include <QObject>
#include <QString>

class QJSEngine;
class QQmlEngine;

// What the window's QML cannot do by itself: console tokens for the launcher, quitting and the
// clipboard. The QML reaches it as the singleton "Utils" of module "launcher".
class WindowActions : public QObject
{
    Q_OBJECT
public:
    explicit WindowActions(QObject *parent = nullptr);

    Q_INVOKABLE void quitCmd();
    Q_INVOKABLE void stdOut(const QString &str);
    Q_INVOKABLE void copyClipboard(const QString &str);

    // Singleton factory for the QML engine, which takes ownership.
    static QObject *create(QQmlEngine *engine, QJSEngine *scriptEngine);
};

#endif
