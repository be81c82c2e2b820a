#include "logwriter.h"

#include <cerrno>
#include <climits>
#include <poll.h>
#include <unistd.h>

// Descriptor 1 stays blocking (it is shared with the parent shell); poll() with no wait tells
// whether a write of at most PIPE_BUF bytes can go through at once.
qint64 writeStandardOutputNow(const char *data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        pollfd output = {STDOUT_FILENO, POLLOUT, 0};
        const int ready = ::poll(&output, 1, 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready != 1 || (output.revents & POLLOUT) == 0 || (output.revents & (POLLERR | POLLNVAL)) != 0)
            break;
        const qint64 chunk = qMin<qint64>(size - done, PIPE_BUF);
        const ssize_t written = ::write(STDOUT_FILENO, data + done, size_t(chunk));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        done += written;
    }
    return done;
}
