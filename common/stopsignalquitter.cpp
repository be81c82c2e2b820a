#include "stopsignalquitter.h"

#include "stopsignalnotifier.h"

#include <QCoreApplication>
#include <QDebug>

StopSignalQuitter::StopSignalQuitter(const char *failureWarning, bool logSignal, QObject *parent)
    : QObject(parent)
    , notifier(new StopSignalNotifier(this))
{
    if (!notifier->isValid() && failureWarning)
        qWarning() << failureWarning;
    else if (notifier->error() == StopSignalNotifier::HandlerFailed)
        qWarning() << "cannot install the stop signal handlers:" << qUtf8Printable(notifier->errorString());
    else if (!notifier->isValid())
        qWarning() << "cannot create the signal socket pair:" << qUtf8Printable(notifier->errorString());
    connect(notifier, &StopSignalNotifier::stopRequested, this, [this, logSignal](int signalNumber) {
        if (logSignal)
            qDebug() << "exit handler code:" << signalNumber;
        emit signalReceived(signalNumber);
        QCoreApplication::quit();
    });
}

StopSignalQuitter::~StopSignalQuitter() = default;

bool StopSignalQuitter::isValid() const
{
    return notifier->isValid();
}
