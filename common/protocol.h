#ifndef PROTOCOL_H
#define PROTOCOL_H

// The words that cross between the programs: console tokens, written one per line and flushed on a
// child's standard output, and the state strings of the updater's control channel.
namespace Protocol {

namespace Token {
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

// Values of "state_update" and "state_download" (the download state uses the subset notactive,
// downloading, ready, error; it is empty before the first check).
namespace State {
inline constexpr char Init[] = "init";
inline constexpr char ErrorInfo[] = "error_info";
inline constexpr char NotPermitted[] = "not_permitted";
inline constexpr char NotRequired[] = "not_required";
inline constexpr char ErrorHash[] = "error_hash";
inline constexpr char NotActive[] = "notactive";
inline constexpr char Downloading[] = "downloading";
inline constexpr char Ready[] = "ready";
inline constexpr char Updating[] = "updating";
inline constexpr char Updated[] = "updated";
inline constexpr char Error[] = "error";
}

// Member names of the control channel: pushed one-member lines and the values of "get"/"set".
namespace Key {
inline constexpr char Action[] = "action";
inline constexpr char Link[] = "link";
inline constexpr char Period[] = "period";
inline constexpr char InstalledVersion[] = "installed_version";
inline constexpr char DeviceId[] = "device_id";
inline constexpr char ActiveDownload[] = "active_download";
inline constexpr char ActiveUpdate[] = "active_update";
inline constexpr char StateDownload[] = "state_download";
inline constexpr char StateUpdate[] = "state_update";
inline constexpr char ReadyVersion[] = "ready_version";
}

// Values of a request's "action" member.
namespace Action {
inline constexpr char Quit[] = "quit";
inline constexpr char Update[] = "update";
inline constexpr char DownloadUpdate[] = "download_update";
inline constexpr char Get[] = "get";
inline constexpr char Set[] = "set";
}

}

#endif
