#ifndef EXITHANDLER_H
#define EXITHANDLER_H

#include <QObject>

class StopSignalNotifier;

// Ends the event loop on SIGINT and SIGTERM. The signal arrives on the event loop through
// StopSignalNotifier; logging and quitting happen there, where they are safe.
class ExitHandler : public QObject
{
    Q_OBJECT
public:
    explicit ExitHandler(QObject *parent = nullptr);
    ~ExitHandler() override;

    bool isValid() const;

signals:
    void signalReceived(int signalNumber);

private:
    StopSignalNotifier *notifier;
};

#endif
