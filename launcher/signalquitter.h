#ifndef SIGNALQUITTER_H
#define SIGNALQUITTER_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a quit of the event loop. The signal handler only writes one byte
// into a socket pair; the loop reads it and quits, so no Qt code runs in signal context.
// Only one instance may exist at a time.
class SignalQuitter : public QObject
{
    Q_OBJECT
public:
    explicit SignalQuitter(QObject *parent = nullptr);
    ~SignalQuitter() override;

    // False when the socket pair or the handlers could not be set up.
    bool isValid() const { return valid; }

signals:
    void signalReceived(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *notifier = nullptr;
    bool valid = false;
};

#endif
