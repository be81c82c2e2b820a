#include "signalquitter.h"

#include "stopsignalnotifier.h"

#include <QCoreApplication>
#include <QDebug>

SignalQuitter::SignalQuitter(QObject *parent)
    : QObject(parent)
    , notifier(new StopSignalNotifier(this))
{
    switch (notifier->error()) {
    case StopSignalNotifier::NoError:
        break;
    case StopSignalNotifier::HandlerFailed:
        qWarning() << "cannot install the stop signal handlers:" << qUtf8Printable(notifier->errorString());
        break;
    default:
        qWarning() << "cannot create the signal socket pair:" << qUtf8Printable(notifier->errorString());
        break;
    }
    connect(notifier, &StopSignalNotifier::stopRequested, this, [this](int signalNumber) {
        emit signalReceived(signalNumber);
        QCoreApplication::quit();
    });
}

SignalQuitter::~SignalQuitter() = default;

bool SignalQuitter::isValid() const
{
    return notifier->isValid();
}
