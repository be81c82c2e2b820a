#ifndef SIGNALQUITTER_H
#define SIGNALQUITTER_H

#include <QObject>

class StopSignalNotifier;

// Turns SIGINT and SIGTERM into a quit of the event loop. No Qt code runs in signal context: the
// request arrives on the loop through StopSignalNotifier. Only one instance may exist at a time.
class SignalQuitter : public QObject
{
    Q_OBJECT
public:
    explicit SignalQuitter(QObject *parent = nullptr);
    ~SignalQuitter() override;

    // False when the stop requests could not be routed to the event loop.
    bool isValid() const;

signals:
    void signalReceived(int signalNumber);

private:
    StopSignalNotifier *notifier;
};

#endif
