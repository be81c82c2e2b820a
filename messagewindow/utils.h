#ifndef UTILS_H
#define UTILS_H

#include <QDateTime>
#include <QObject>
#include <QString>

class QJSEngine;
class QQmlEngine;

// What the window's QML cannot do by itself: console tokens for the launcher, quitting,
// the clipboard and the time text. Registered as the singleton "Utils" of module "launcher".
class Utils : public QObject
{
    Q_OBJECT
public:
    explicit Utils(QObject *parent = nullptr);

    Q_INVOKABLE QString dataTime();
    Q_INVOKABLE void quitCmd();
    Q_INVOKABLE void stdOut(const QString &str);
    Q_INVOKABLE void copyClipboard(const QString &str);

    static QString formatDataTime(const QDateTime &moment);

    // Singleton factory for the QML engine, which takes ownership.
    static QObject *create(QQmlEngine *engine, QJSEngine *scriptEngine);
};

#endif
