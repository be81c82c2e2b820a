#ifndef IMBEDDEDWDT_H
#define IMBEDDEDWDT_H

#include <QObject>
#include <QProcess>

class LauncherSettings;

// Keeps the device's hardware watchdog alive: types the device tool's commands into one long-lived
// shell, switches the watchdog on, sets its time-out and then feeds it every second tick count.
class ImbeddedWdt : public QObject
{
    Q_OBJECT
public:
    // The feeder's step; the numbers are those it has always reported.
    enum class Step { StartShell = 0, WaitForShell = 2, Feed = 3, ShellEnded = 6, ShellMissing = 8 };
    Q_ENUM(Step)
    // What the shell last reported: nothing yet, its start, or its end.
    enum class Event { None = 0, Started = 1, Finished = 6 };
    Q_ENUM(Event)

    explicit ImbeddedWdt(QObject *parent = nullptr);
    ~ImbeddedWdt() override;

    void startWatchdog(LauncherSettings *s);
    void feed();
    void setFeedTime(int seconds);

    // One step of the 1 s feeder; public so that a test can drive it without waiting.
    void tick();
    // Stops or resumes the 1 s timer that calls tick().
    void setAutoTick(bool on);

    Step getStep() const { return wdtStep; }
    Event getEvent() const { return wdtEvent; }
    int getCounter() const { return wdtCounter; }
    qint64 shellProcessId() const { return shell ? shell->processId() : 0; }

    static constexpr int TickMs = 1000;

public slots:
    void slotReadyReadStandardOutput();
    void slotReadyReadStandardError();
    void slotWdtStarted();
    void slotWdtFinished(int exitCode, QProcess::ExitStatus exitStatus);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void writeCommand(const QString &command);

    LauncherSettings *settings = nullptr;
    QProcess *shell = nullptr;
    Step wdtStep = Step::StartShell;
    Event wdtEvent = Event::None;
    int wdtCounter = 0;
    int timerId = 0;
};

#endif
