#ifndef EXITCODE_H
#define EXITCODE_H

// Exit codes of tovrel-ctl, listed in its --help; scripts rely on them.
namespace ExitCode {
inline constexpr int Ok = 0;
// The updater answered but did not do what was asked (a value not confirmed, checks switched off,
// nothing ready to install, an installation that failed, the connection closed).
inline constexpr int NotDone = 1;
inline constexpr int Usage = 2;
inline constexpr int NotRunning = 3;
inline constexpr int Refused = 4;
inline constexpr int BadKey = 5;
inline constexpr int TimedOut = 6;
}

#endif
