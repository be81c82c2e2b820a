#include "launch.h"

#include "childstopper.h"

#include <QDebug>

Launch::Launch(QObject *parent)
    : Launch(defaultProgram(), parent)
{
}

Launch::Launch(const QString &program, QObject *parent)
    : QObject(parent)
    , process(new QProcess(this))
    , program(program)
{
    connect(process, &QProcess::readyReadStandardOutput, this, &Launch::slotReadyReadStandardOutput);
    connect(process, &QProcess::readyReadStandardError, this, &Launch::slotReadyReadStandardError);
    connect(process, &QProcess::started, this, &Launch::slotStarted);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &Launch::finished);
    // A start failure produces no finished signal; at least leave a trace of it.
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        qDebug() << "client error" << error << process->errorString();
    });
}

Launch::~Launch()
{
    // The tool must not outlive the window unobserved; give it a moment to end by itself.
    stopChild(process, 3000, 3000);
}

QString Launch::defaultProgram()
{
    return QStringLiteral("/userdata/wpa-cute");
}

void Launch::launchWpaCli()
{
    process->start(program, QStringList(), QIODevice::ReadWrite);
    qDebug() << "comand start wpaclient";
}

void Launch::slotReadyReadStandardOutput()
{
    output = QString::fromUtf8(process->readAllStandardOutput());
    qDebug() << "LS " << output;
}

void Launch::slotReadyReadStandardError()
{
    output = QString::fromUtf8(process->readAllStandardError());
    qDebug() << "LE " << output;
}

void Launch::slotStarted()
{
    applicationvisible = false;
    qDebug() << "started client";
    emit appVisibleChanged();
}

void Launch::slotFinished(int *exitCode, QProcess::ExitStatus *exitStatus)
{
    // Callable by name from outside, so null pointers must not crash it.
    finished(exitCode ? *exitCode : -1, exitStatus ? *exitStatus : QProcess::CrashExit);
}

void Launch::finished(int code, QProcess::ExitStatus status)
{
    exitCode = code;
    exitStatus = status;
    qDebug() << "finished client";
    applicationvisible = true;
    qDebug() << applicationvisible;
    emit appVisibleChanged();
}
