#include "utils.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>

Utils::Utils(QObject *parent)
    : QObject(parent)
{
}

QString Utils::dataTime()
{
    return formatDataTime(QDateTime::currentDateTime());
}

QString Utils::formatDataTime(const QDateTime &moment)
{
    return moment.toString(QStringLiteral("hh:mm:ss   dd.MM.yyyy"));
}

void Utils::quitCmd()
{
    QCoreApplication::quit();
}

void Utils::stdOut(const QString &str)
{
    // The launcher reads tokens chunk by chunk, so the line must leave the process now,
    // not when the buffer fills or the process ends. UTF-8 whatever the locale says.
    QTextStream out(stdout, QIODevice::WriteOnly);
    out.setCodec("UTF-8");
    out << str << Qt::endl;
}

void Utils::copyClipboard(const QString &str)
{
    // Without a GUI application there is no platform clipboard to talk to.
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return;
    QGuiApplication::clipboard()->setText(str);
}

QObject *Utils::create(QQmlEngine *engine, QJSEngine *scriptEngine)
{
    Q_UNUSED(engine)
    Q_UNUSED(scriptEngine)
    return new Utils;
}
