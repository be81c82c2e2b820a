#include "signalquitter.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalFds[2] = {-1, -1};

extern "C" void onStopSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    // A full pipe means a quit is already pending; the byte may be dropped.
    [[maybe_unused]] const ssize_t written = ::write(signalFds[0], &byte, 1);
    errno = savedErrno;
}

bool installHandler(int signalNumber, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(signalNumber, &action, nullptr) == 0;
}
}

SignalQuitter::SignalQuitter(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalFds) != 0) {
        qWarning() << "cannot create the signal socket pair:" << strerror(errno);
        return;
    }
    notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalQuitter::readSignal);
    valid = installHandler(SIGINT, onStopSignal) && installHandler(SIGTERM, onStopSignal);
    if (!valid)
        qWarning() << "cannot install the stop signal handlers:" << strerror(errno);
}

SignalQuitter::~SignalQuitter()
{
    installHandler(SIGINT, SIG_DFL);
    installHandler(SIGTERM, SIG_DFL);
    delete notifier;
    for (int &fd : signalFds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void SignalQuitter::readSignal()
{
    char byte = 0;
    while (::read(signalFds[1], &byte, 1) == 1)
        emit signalReceived(int(byte));
    QCoreApplication::quit();
}
