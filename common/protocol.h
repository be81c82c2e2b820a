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
// Pushed on a line of its own, one of the Probation values below.
inline constexpr char StateProbation[] = "state_probation";
// Read only: whether updates must be signed and with how many keys ("off", "on, 2 keys").
inline constexpr char Signing[] = "signing";
}

// Pushed on a line of its own after "state_probation", one of the Journal values below; and the
// reason why a journal stays (read with "get" only).
namespace Key {
inline constexpr char StateJournal[] = "state_journal";
inline constexpr char JournalError[] = "journal_error";
}

// Read only: why the last check, installation or rollback failed, in the updater's own words, and
// when (local time, ISO 8601 with offset); both empty until something failed in this process.
namespace Key {
inline constexpr char LastError[] = "last_error";
inline constexpr char LastErrorTime[] = "last_error_time";
// Read only: the version code that the last rollback refused, 0 once a version installs again.
inline constexpr char RolledBackVersion[] = "rolled_back_version";
}

// Values of "state_journal": whether a journal in the application folder waits to be finished or
// undone (the recovery is tried again at every check and on "commit" or "rollback").
namespace Journal {
inline constexpr char None[] = "none";
inline constexpr char Pending[] = "pending";
}

// Values of "state_probation": whether the files replaced by the last installation are kept, and
// how a return to them went.
namespace Probation {
inline constexpr char None[] = "none";
inline constexpr char Kept[] = "kept";
inline constexpr char RollingBack[] = "rolling_back";
inline constexpr char RolledBack[] = "rolled_back";
inline constexpr char RollbackError[] = "rollback_error";
}

// Names in the application folder that the launcher looks at and the updater writes.
namespace Folder {
// Exists while the folder may hold parts of two versions: nothing may start from it.
inline constexpr char Journal[] = ".update-journal";
// The record of the files kept from the version before the last installation; its member "to"
// is the version code on probation.
inline constexpr char Kept[] = ".update-kept";
}

// Values of a request's "action" member.
namespace Action {
inline constexpr char Quit[] = "quit";
inline constexpr char Update[] = "update";
inline constexpr char DownloadUpdate[] = "download_update";
inline constexpr char Get[] = "get";
inline constexpr char Set[] = "set";
// Put back the files kept from the previous version and never take the refused one again.
inline constexpr char Rollback[] = "rollback";
// The installed version has passed its probation: the kept files are no longer needed.
inline constexpr char Commit[] = "commit";
}

}

#endif
