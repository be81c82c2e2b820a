#include "networktoollauncher.h"

#include "childstopper.h"

#include <QDebug>

NetworkToolLauncher::NetworkToolLauncher(QObject *parent)
    : NetworkToolLauncher(defaultProgram(), parent)
{
}

NetworkToolLauncher::NetworkToolLauncher(const QString &program, QObject *parent)
    : QObject(parent)
    , process(new QProcess(this))
    , program(program)
{
    connect(process, &QProcess::readyReadStandardOutput, this, &NetworkToolLauncher::slotReadyReadStandardOutput);
    connect(process, &QProcess::readyReadStandardError, this, &NetworkToolLauncher::slotReadyReadStandardError);
    connect(process, &QProcess::started, this, &NetworkToolLauncher::slotStarted);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &NetworkToolLauncher::finished);
    // A start failure produces no finished signal; at least leave a trace of it.
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        qDebug() << "client error" << error << process->errorString();
    });
}

NetworkToolLauncher::~NetworkToolLauncher()
{
    // The tool must not outlive the window unobserved; give it a moment to end by itself.
    stopChild(process, 3000, 3000);
}

QString NetworkToolLauncher::defaultProgram()
{
    return QStringLiteral("/userdata/wpa-cute");
}

void NetworkToolLauncher::launchWpaCli()
{
    process->start(program, QStringList(), QIODevice::ReadWrite);
    qDebug() << "comand start wpaclient";
}

void NetworkToolLauncher::slotReadyReadStandardOutput()
{
    output = QString::fromUtf8(process->readAllStandardOutput());
    qDebug() << "LS " << output;
}

void NetworkToolLauncher::slotReadyReadStandardError()
{
    output = QString::fromUtf8(process->readAllStandardError());
    qDebug() << "LE " << output;
}

void NetworkToolLauncher::slotStarted()
{
    applicationvisible = false;
    qDebug() << "started client";
    emit appVisibleChanged();
}

void NetworkToolLauncher::slotFinished(int *exitCode, QProcess::ExitStatus *exitStatus)
{
    // Callable by name from outside, so null pointers must not crash it.
    finished(exitCode ? *exitCode : -1, exitStatus ? *exitStatus : QProcess::CrashExit);
}

void NetworkToolLauncher::finished(int code, QProcess::ExitStatus status)
{
    exitCode = code;
    exitStatus = status;
    qDebug() << "finished client";
    applicationvisible = true;
    qDebug() << applicationvisible;
    emit appVisibleChanged();
}
