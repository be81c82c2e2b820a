#include "childprocess.h"

#include <QCoreApplication>

ChildProcess::ChildProcess(QObject *parent)
    : QProcess(parent)
    , launcherPid(QCoreApplication::applicationPid())
{
}
