#include "exithandler.h"

#include "stopsignalnotifier.h"

#include <QCoreApplication>
#include <QDebug>

ExitHandler::ExitHandler(QObject *parent)
    : QObject(parent)
    , notifier(new StopSignalNotifier(this))
{
    if (notifier->error() == StopSignalNotifier::AlreadyInstalled
        || notifier->error() == StopSignalNotifier::ChannelFailed) {
        qWarning() << "[ExitHandler]" << "cannot install the signal handler";
        return;
    }
    connect(notifier, &StopSignalNotifier::stopRequested, this, [this](int signalNumber) {
        qDebug() << "exit handler code:" << signalNumber;
        emit signalReceived(signalNumber);
        QCoreApplication::quit();
    });
}

ExitHandler::~ExitHandler() = default;

bool ExitHandler::isValid() const
{
    return notifier->error() != StopSignalNotifier::AlreadyInstalled
        && notifier->error() != StopSignalNotifier::ChannelFailed;
}
