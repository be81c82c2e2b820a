#ifndef EXITHANDLER_H
#define EXITHANDLER_H

#include <QObject>

class QSocketNotifier;

// Ends the event loop on SIGINT and SIGTERM. The signal handler itself only writes the signal
// number into a pipe; logging and quitting happen on the event loop, where they are safe.
class ExitHandler : public QObject
{
    Q_OBJECT
public:
    explicit ExitHandler(QObject *parent = nullptr);
    ~ExitHandler() override;

    bool isValid() const { return notifier != nullptr; }

signals:
    void signalReceived(int signalNumber);

private:
    void readSignal();
    static void handle(int signalNumber);

    QSocketNotifier *notifier = nullptr;
    static int fds[2];
};

#endif
