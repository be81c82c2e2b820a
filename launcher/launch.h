#ifndef LAUNCH_H
#define LAUNCH_H

#include "decisioncarrier.h"
#include "probation.h"
#include "supervisorstep.h"

#include <QElapsedTimer>
#include <QTime>

#include <functional>

#include <QObject>
#include <QProcess>
#include <QString>

class ChildProcess;
class LauncherSettings;

// The supervisor: keeps one child at a time, the main application or the message window, watches
// its console tokens and alternates between the two. SupervisorStep decides; this class owns the
// child and the settings and carries the decisions out through DecisionCarrier. A 100 ms timer drives tick(); tests call
// tick() themselves after setAutoTick(false).
class Launch : public QObject, private DecisionCarrier
{
    Q_OBJECT
public:
    // How long the helpers of a child get to end after the request, and again after the kill.
    static constexpr int GroupEndWaitMs = 5000;

    explicit Launch(QObject *parent = nullptr);
    ~Launch() override;

    // When off, no timer runs and only explicit tick() calls advance the step machine.
    void setAutoTick(bool enabled);
    // The local time of day that the maintenance window is judged by; tests set their own.
    void setTimeOfDaySource(std::function<QTime()> source) { timeOfDay = std::move(source); }

    int getStep() const { return int(machine.step); }
    int getProcessEvent() const { return int(processEvent); }
    int getMessageReason() const { return int(machine.messageReason); }
    int getTickCounter() const { return machine.tickCounter; }
    int getAliveCounter() const { return machine.aliveCounter; }
    int getUpdateState() const { return int(machine.updateState); }
    QString getProgram() const { return program; }
    QString getMessageText() const { return machine.messageText; }
    QString getLastText() const { return lastText; }
    QProcess::ProcessState getProcessState() const;
    qint64 getProcessId() const;

signals:
    void startUpdate();
    // The installed version failed its probation: the updater is to put the previous one back.
    void rollbackRequested();
    // The installed version passed its probation: the updater may drop the files it kept.
    void versionAccepted();
    // The main application is being started: a rollback request that has not reached the updater
    // yet must not reach it now, while the application runs from the folder.
    void rollbackWithdrawn();

public slots:
    void slotReadyReadStandardOutput();
    void slotReadyReadStandardError();
    void slotStarted();
    void slotFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void slotStateChanged(QProcess::ProcessState state);
    void stateUpdateChanged(const QString &state);
    // The connection to the updater dropped: an installation it reported may have been cut off.
    void updaterConnectionLost();
    // A "state_probation" value of the updater.
    void probationStateChanged(const QString &state);
    void init(LauncherSettings *settings);
    // One step of the step machine.
    void tick();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    bool isProgramActive(const QString &path) const;
    SupervisorStep::Facts facts() const;
    void childEnded(bool windowFailed) override;
    void childBusy() override;
    void takeState(const SupervisorStep::State &state) override { machine = state; }
    void mainEnded(bool failed) override;
    void readSettings() override;
    void selectProgram(SupervisorStep::Select select) override;
    void startMain() override;
    void startWindow(const QStringList &arguments) override;
    void terminateChild() override;
    void killChild() override;
    void requestUpdate() override { emit startUpdate(); }
    void requestRollback() override;
    void reportNote(const SupervisorStep::Decision &decision) override;
    void startChild(const QStringList &arguments);
    void refreshProbation();
    void takeUpdateWindow();

    LauncherSettings *settings = nullptr;
    SupervisorStep::State machine;
    SupervisorStep::ProcessEvent processEvent = SupervisorStep::ProcessEvent::None;
    QString program;
    ChildProcess *process = nullptr;
    QString lastText;
    int exitCode = 0;
    int exitStatus = 0;
    Probation probation;
    QString probationRecord;
    QElapsedTimer clock;
    std::function<QTime()> timeOfDay = [] { return QTime::currentTime(); };
    // The window's setting as last read, and what it means.
    QString updateWindowText;
    SupervisorStep::UpdateWindow updateWindow;

    bool autoTick = true;
    int timerId = 0;
};

#endif
