#ifndef STOPSIGNALNOTIFIER_H
#define STOPSIGNALNOTIFIER_H

#include <QObject>
#include <QString>

// Delivers the operating system's stop requests (SIGINT and SIGTERM) on the event loop as
// stopRequested(), where logging and quitting are safe. While it exists, the requests no longer
// end the process by themselves; the owner decides what to do. Only one instance may exist at a
// time. The platform part lives in stopsignalnotifier_<platform>.cpp.
class StopSignalNotifier : public QObject
{
    Q_OBJECT
public:
    enum Error { NoError, AlreadyInstalled, ChannelFailed, HandlerFailed };

    explicit StopSignalNotifier(QObject *parent = nullptr);
    ~StopSignalNotifier() override;

    bool isValid() const { return m_error == NoError; }
    Error error() const { return m_error; }
    // The system's text for ChannelFailed and HandlerFailed.
    QString errorString() const { return m_errorString; }

    // A reader of this process's output that goes away must not end it: a write then fails
    // instead. Children started later get the default back (QProcess restores it).
    static void ignoreBrokenPipe();

signals:
    void stopRequested(int signalNumber);

private:
    void install();
    void uninstall();
    void readPending();

    Error m_error = NoError;
    QString m_errorString;
    QObject *m_notifier = nullptr;
};

#endif
