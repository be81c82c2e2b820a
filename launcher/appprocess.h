#ifndef APPPROCESS_H
#define APPPROCESS_H

#include <QObject>
#include <QProcess>
#include <QString>

class QTimer;

// One child process of the launcher: checks that the program file exists, starts it, keeps its last
// output and exit data, watches the start with a 30 s time-out and reports every event through
// virtual hooks that a derived class overrides.
class AppProcess : public QObject
{
    Q_OBJECT
public:
    // The numbers are those the run state has always had.
    enum class RunState { NotStarted = 0, Starting = 1, Running = 2, Finished = 4 };
    Q_ENUM(RunState)

    explicit AppProcess(QObject *parent = nullptr);
    ~AppProcess() override;

    static bool fileExists(const QString &path);
    void init(int);
    void start();

    RunState getRunState() const { return runState; }
    qint64 processId() const;

    QString program;
    QString arguments;
    int exitCode = 0;
    int exitStatus = 0;
    QString errorText;
    QString output;

    // How long a start may take before the hooks hear about it.
    static constexpr int StartTimeoutMs = 30000;

protected:
    virtual void appReadyRead() {}
    virtual void appStarted() {}
    virtual void appFinished() {}
    virtual void appTimeout() {}
    virtual void appError() {}
    virtual void appExit() {}

    // Off where appReadyRead() logs the chunk itself, so that no line is logged twice.
    bool logOutput = true;

public slots:
    void readyReadStandardOutput();
    void readyReadStandardError();
    void started();
    void finished(int exitCode, QProcess::ExitStatus exitStatus);
    void timerTimeout();
    void stateChanged(QProcess::ProcessState state);

private:
    QProcess *process;
    QTimer *startTimer;
    RunState runState = RunState::NotStarted;
};

#endif
