#include "appprocess.h"

#include "childprocess.h"
#include "childstopper.h"
#include "logwriter.h"

#include <QDebug>
#include <QFileInfo>
#include <QTimer>

namespace {
// A child that ignores the polite request is killed after this long, so the launcher never hangs
// on exit.
constexpr int TerminateGraceMs = 3000;
}

AppProcess::AppProcess(QObject *parent)
    : QObject(parent)
    , process(new ChildProcess(this))
    , startTimer(new QTimer(this))
{
    connect(process, &QProcess::readyReadStandardOutput, this, &AppProcess::readyReadStandardOutput);
    connect(process, &QProcess::readyReadStandardError, this, &AppProcess::readyReadStandardError);
    connect(process, &QProcess::started, this, &AppProcess::started);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &AppProcess::finished, Qt::DirectConnection);
    connect(startTimer, &QTimer::timeout, this, &AppProcess::timerTimeout);
}

AppProcess::~AppProcess()
{
    // The child ends with its wrapper; ask it to stop first so that it can clean up (the updater
    // removes its socket name), and only kill it when it does not react in time.
    if (process->state() != QProcess::NotRunning) {
        disconnect(process, nullptr, this, nullptr);
        stopChild(process, TerminateGraceMs, TerminateGraceMs);
    }
    process->deleteLater();
    qWarning() << "[AppProcess]" << "~AppProcess";
}

bool AppProcess::fileExists(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

void AppProcess::init(int)
{
    qDebug() << "[AppProcess]" << "init()";
}

qint64 AppProcess::processId() const
{
    return process->processId();
}

void AppProcess::start()
{
    if (!fileExists(program)) {
        qDebug() << "[AppProcess]" << "file not exists:" << program;
        appError();
        return;
    }
    if (process->state() != QProcess::NotRunning) {
        qDebug() << "[AppProcess]" << "error starting procces, state:" << enumName(process->state());
        return;
    }
    startTimer->start(StartTimeoutMs);
    runState = RunState::Starting;
    // The program path is checked as a file above, so it is passed as it is: a path with blanks
    // would otherwise be torn apart by the command-string splitting that only the arguments need.
    process->start(program, QProcess::splitCommand(arguments), QIODevice::ReadWrite);
    qDebug() << "[AppProcess]" << "procces starting:" << program << ", arg:" << arguments;
}

void AppProcess::readyReadStandardOutput()
{
    output = QString::fromUtf8(process->readAllStandardOutput());
    if (logOutput)
        qDebug() << "[AppProcess]" << "readyReadStandardOutput" << output;
    appReadyRead();
}

void AppProcess::readyReadStandardError()
{
    output = QString::fromUtf8(process->readAllStandardError());
    if (logOutput)
        qDebug() << "[AppProcess]" << "readyReadStandardError" << output;
    appReadyRead();
}

void AppProcess::started()
{
    runState = RunState::Running;
    startTimer->stop();
    appStarted();
}

void AppProcess::finished(int code, QProcess::ExitStatus status)
{
    startTimer->stop();
    runState = RunState::Finished;
    exitCode = code;
    exitStatus = static_cast<int>(status);
    errorText = process->errorString();
    appFinished();
}

void AppProcess::timerTimeout()
{
    startTimer->stop();
    if (runState == RunState::Starting && process->state() == QProcess::NotRunning)
        appError();
    appTimeout();
}

void AppProcess::stateChanged(QProcess::ProcessState state)
{
    qDebug() << "[AppProcess]" << "stateChanged" << state;
}
