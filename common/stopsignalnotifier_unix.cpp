#include "stopsignalnotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// [0] is written by the handler, [1] read by the event loop.
int signalFds[2] = {-1, -1};

extern "C" void onStopSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full buffer means a stop is already pending; the byte may be dropped.
    [[maybe_unused]] const ssize_t written = ::write(signalFds[0], &byte, 1);
    errno = savedErrno;
}

bool setHandler(int signalNumber, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(signalNumber, &action, nullptr) == 0;
}
}

StopSignalNotifier::StopSignalNotifier(QObject *parent)
    : QObject(parent)
{
    install();
}

StopSignalNotifier::~StopSignalNotifier()
{
    uninstall();
}

void StopSignalNotifier::install()
{
    if (signalFds[0] != -1) {
        m_error = AlreadyInstalled;
        return;
    }
    // Non-blocking on both ends: the handler must never block on a full buffer, and the reader
    // drains whatever is there.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalFds) != 0) {
        m_error = ChannelFailed;
        m_errorString = QString::fromLocal8Bit(std::strerror(errno));
        signalFds[0] = signalFds[1] = -1;
        return;
    }
    auto *notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignalNotifier::readPending);
    m_notifier = notifier;
    if (!setHandler(SIGINT, onStopSignal) || !setHandler(SIGTERM, onStopSignal)) {
        m_error = HandlerFailed;
        m_errorString = QString::fromLocal8Bit(std::strerror(errno));
    }
}

void StopSignalNotifier::uninstall()
{
    if (!m_notifier)
        return;
    setHandler(SIGINT, SIG_DFL);
    setHandler(SIGTERM, SIG_DFL);
    delete m_notifier;
    m_notifier = nullptr;
    for (int &fd : signalFds) {
        ::close(fd);
        fd = -1;
    }
}

void StopSignalNotifier::readPending()
{
    unsigned char byte = 0;
    while (::read(signalFds[1], &byte, 1) == 1)
        emit stopRequested(int(byte));
}

void StopSignalNotifier::ignoreBrokenPipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}
