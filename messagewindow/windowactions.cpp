#include "windowactions.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>

WindowActions::WindowActions(QObject *parent)
    : QObject(parent)
{
}

void WindowActions::quitCmd()
{
    QCoreApplication::quit();
}

void WindowActions::stdOut(const QString &str)
{
    // The launcher reads tokens chunk by chunk, so the line must leave the process now,
    // not when the buffer fills or the process ends. UTF-8 whatever the locale says.
    QTextStream out(stdout, QIODevice::WriteOnly);
    out.setCodec("UTF-8");
    out << str << Qt::endl;
}

void WindowActions::copyClipboard(const QString &str)
{
    // Without a GUI application there is no platform clipboard to talk to.
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return;
    QGuiApplication::clipboard()->setText(str);
}

QObject *WindowActions::create(QQmlEngine *engine, QJSEngine *scriptEngine)
{
    Q_UNUSED(engine)
    Q_UNUSED(scriptEngine)
    return new WindowActions;
}
