#ifndef LAUNCH_H
#define LAUNCH_H

#include <QObject>
#include <QProcess>
#include <QString>

// Starts the device's network tool from the window and tells QML, through applicationvisible,
// whether the tool is running (false) or not (true). Registered as the type "Launch" of module
// "launcher".
class Launch : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool applicationvisible READ getApplicationVisible NOTIFY appVisibleChanged)
public:
    explicit Launch(QObject *parent = nullptr);
    // Another program instead of the device tool, for machines that do not have it.
    explicit Launch(const QString &program, QObject *parent = nullptr);
    ~Launch() override;

    static QString defaultProgram();

    bool getApplicationVisible() const { return applicationvisible; }
    QString getProgram() const { return program; }
    QString getOutput() const { return output; }
    int getExitCode() const { return exitCode; }
    int getExitStatus() const { return exitStatus; }
    QProcess::ProcessState getProcessState() const { return process->state(); }

signals:
    void appVisibleChanged();

public slots:
    void slotReadyReadStandardOutput();
    void slotReadyReadStandardError();
    void slotStarted();
    void slotFinished(int *exitCode, QProcess::ExitStatus *exitStatus);

public:
    Q_INVOKABLE void launchWpaCli();

private:
    void finished(int code, QProcess::ExitStatus status);

    QProcess *process;
    QString output;
    int exitCode = -1;
    int exitStatus = QProcess::NormalExit;
    bool applicationvisible = true;
    QString program;
};

#endif
