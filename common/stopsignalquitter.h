#ifndef STOPSIGNALQUITTER_H
#define STOPSIGNALQUITTER_H

#include <QObject>

class StopSignalNotifier;

// Ends the event loop with exit code 0 on SIGINT and SIGTERM; every program creates one right
// after its application object. Any failure to route the requests is warned about: a request
// that is not routed ends the program outright, without the clean-up of its children and files.
// Only one instance may exist at a time.
class StopSignalQuitter : public QObject
{
    Q_OBJECT
public:
    // failureWarning: the program's own warning; without one the system's reason is logged.
    // logSignal: log "exit handler code: <signal>" before quitting.
    explicit StopSignalQuitter(const char *failureWarning = nullptr, bool logSignal = false,
                               QObject *parent = nullptr);
    ~StopSignalQuitter() override;

    // False when the stop requests could not be routed to the event loop.
    bool isValid() const;

signals:
    void signalReceived(int signalNumber);

private:
    StopSignalNotifier *notifier;
};

#endif
