#ifndef TOKENS_H
#define TOKENS_H

// Console tokens that children write on their standard output, one per line, flushed at once.
namespace Tokens {
// Main application and message window
inline constexpr char Alive[] = "$ALIVE";
inline constexpr char AliveLower[] = "alive";
inline constexpr char PlessaStart[] = "$PLESSA_START";
inline constexpr char PlessaStartBare[] = "PLESSA_START";
inline constexpr char Updating[] = "$UPDATING";
inline constexpr char Quit[] = "$QUIT";
inline constexpr char QuitLower[] = "quit";
inline constexpr char Pause[] = "$PAUSE";
// Updater
inline constexpr char UpdaterServerReady[] = "$UPDATER_SERVER_READY";
inline constexpr char UpdaterErrListen[] = "$UPDATER_ERR_LISTEN";
inline constexpr char UpdateReady[] = "$UPDATE_READY";
inline constexpr char Updated[] = "$UPDATED";
inline constexpr char ErrUpdated[] = "$ERR_UPDATED";
}

#endif
