#ifndef LAUNCH_H
#define LAUNCH_H

#include <QObject>
#include <QProcess>
#include <QString>

class Settings;

// The supervisor: keeps one child at a time, the main application or the message window, watches
// its console tokens and alternates between the two. A 100 ms timer drives tick(); tests call
// tick() themselves after setAutoTick(false).
class Launch : public QObject
{
    Q_OBJECT
public:
    // Ticks of 100 ms
    static constexpr int UpdateWaitTicks = 150;
    static constexpr int StartTimeoutTicks = 50;
    static constexpr int AliveTicks = 600;
    static constexpr int TerminateTicks = 20;
    static constexpr int KillTicks = 100;
    static constexpr int RetryTicks = 150;

    enum ProcessEvent { EventNone = 0, EventStarted = 3, EventFinished = 8 };

    explicit Launch(QObject *parent = nullptr);
    ~Launch() override;

    // When off, no timer runs and only explicit tick() calls advance the step machine.
    void setAutoTick(bool enabled);

    int getStep() const { return step; }
    int getProcessEvent() const { return processEvent; }
    int getMessageReason() const { return messageReason; }
    int getTickCounter() const { return tickCounter; }
    int getAliveCounter() const { return aliveCounter; }
    int getUpdateState() const { return updateState; }
    QString getProgram() const { return program; }
    QString getMessageText() const { return messageText; }
    QString getLastText() const { return lastText; }
    QProcess::ProcessState getProcessState() const;
    qint64 getProcessId() const;

signals:
    void startUpdate();

public slots:
    void slotReadyReadStandardOutput();
    void slotReadyReadStandardError();
    void slotStarted();
    void slotFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void slotStateChanged(QProcess::ProcessState state);
    void stateUpdateChanged(const QString &state);
    void init(Settings *settings);
    // One step of the step machine.
    void tick();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    bool isProgramActive(const QString &path) const;
    void composeMessage();
    bool childRuns() const;
    void startChild(const QStringList &arguments);
    void stepStart();
    void stepFinished();

    Settings *settings = nullptr;
    int step = 0;
    int processEvent = EventNone;
    int messageReason = 6;
    int tickCounter = 0;
    int aliveCounter = 0;
    QString program;
    QProcess *process = nullptr;
    QString lastText;
    int exitCode = 0;
    int exitStatus = 0;
    QString messageText;
    int updateState = 0;
    // Set when an installation is requested, until the window that waits for it is composed.
    bool updateRequested = false;

    bool autoTick = true;
    int timerId = 0;
};

#endif
