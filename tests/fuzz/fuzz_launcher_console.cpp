// The main application's console output as the supervisor reads it: the bytes are chunks (split
// at each 0x1E byte) of standard output, or of standard error when a chunk starts with 0x1F, fed
// one after the other into SupervisorStep::decide(). A chunk may only mark the application alive
// or choose the message window's reason; it never acts by itself and never touches the rest of
// what the supervisor remembers.
//
// No application object: decide() works on values only.

#include "supervisorstep.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

using S = SupervisorStep;

bool sameExceptConsole(const S::State &a, const S::State &b)
{
    return a.step == b.step && a.tickCounter == b.tickCounter && a.updateState == b.updateState
        && a.updateRequested == b.updateRequested && a.messageText == b.messageText && a.installing == b.installing
        && a.updaterLost == b.updaterLost && a.updaterSilentTicks == b.updaterSilentTicks;
}

bool knownReason(S::Reason reason)
{
    switch (reason) {
    case S::Reason::Quit:
    case S::Reason::PlessaStart:
    case S::Reason::Updating:
    case S::Reason::AppMissing:
    case S::Reason::AppDisabled:
    case S::Reason::StartFailed:
    case S::Reason::UnexpectedExit:
        return true;
    }
    return false;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    S::State state;
    state.step = S::Step::Running;
    state.aliveCounter = 3;
    for (const QByteArray &piece : bytes.split('\x1e')) {
        const bool error = piece.startsWith('\x1f');
        const QString text = QString::fromUtf8(error ? piece.mid(1) : piece);
        const S::Decision decision =
            S::decide(state, error ? S::Event::StandardError : S::Event::StandardOutput, {}, text);
        if (decision.action != S::Action::None || decision.select != S::Select::Keep
            || decision.note != S::Note::None || !decision.arguments.isEmpty())
            std::abort();
        if (!sameExceptConsole(state, decision.state) || !knownReason(decision.state.messageReason))
            std::abort();
        // Only standard output says the application is alive.
        if (decision.state.aliveCounter != state.aliveCounter
            && (error || decision.state.aliveCounter != S::AliveTicks))
            std::abort();
        state = decision.state;
    }
    return 0;
}
