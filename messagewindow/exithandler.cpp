#include "exithandler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

int ExitHandler::fds[2] = {-1, -1};

ExitHandler::ExitHandler(QObject *parent)
    : QObject(parent)
{
    if (fds[0] != -1 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        qWarning() << "[ExitHandler]" << "cannot install the signal handler";
        return;
    }
    // A full pipe must never block the signal handler.
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ExitHandler::readSignal);

    struct sigaction action = {};
    action.sa_handler = &ExitHandler::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

ExitHandler::~ExitHandler()
{
    if (!notifier)
        return;
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    delete notifier;
    notifier = nullptr;
    ::close(fds[0]);
    ::close(fds[1]);
    fds[0] = fds[1] = -1;
}

void ExitHandler::handle(int signalNumber)
{
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    const ssize_t written = ::write(fds[0], &number, 1);
    (void)written;
}

void ExitHandler::readSignal()
{
    unsigned char number = 0;
    while (::read(fds[1], &number, 1) == 1) {
        qDebug() << "exit handler code:" << int(number);
        emit signalReceived(number);
        QCoreApplication::quit();
    }
}
