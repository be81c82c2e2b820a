#ifndef NETWORKTOOLLAUNCHER_H
#define NETWORKTOOLLAUNCHER_H

#include <QObject>
#include <QProcess>
#include <QString>

// Starts the device's network tool from the window and keeps whether the tool is running (false)
// or not (true). The window's QML holds one as its type "Launch" of module "launcher".
class NetworkToolLauncher : public QObject
{
    Q_OBJECT
public:
    explicit NetworkToolLauncher(QObject *parent = nullptr);
    // Another program instead of the device tool, for machines that do not have it.
    explicit NetworkToolLauncher(const QString &program, QObject *parent = nullptr);
    ~NetworkToolLauncher() override;

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
    void launchWpaCli();

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
