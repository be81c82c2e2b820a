#ifndef CONTROLKEYS_H
#define CONTROLKEYS_H

#include "protocol.h"

#include <QString>

// The values of the updater's control channel, shared by the updater, which answers for them, and
// tovrel-ctl, which asks: each one's name, type and the updater's store key behind it, in the order
// in which the updater answers; and the lines every new client is greeted with.
class ControlKeys
{
public:
    enum class Kind { Text, Number };
    // The answer order: a request is processed key by key in this order, whatever its own.
    enum Id {
        Link,
        Period,
        InstalledVersion,
        DeviceId,
        ActiveDownload,
        ActiveUpdate,
        StateDownload,
        StateUpdate,
        ReadyVersion,
        Progress,
        StateProbation,
        Signing,
        StateJournal,
        JournalError,
        LastError,
        LastErrorTime,
        RolledBackVersion,
        Count
    };

    struct Key
    {
        Id id;
        const char *name;
        Kind kind;
        // The updater's store key; none for a value of the running updater, which "set" only reads.
        const char *storeKey;
        // Only 0 (off) and 1 (on) mean something; the updater stores any other number as 0.
        bool onOff;
    };

    static constexpr Key keys[Count] = {
        {Link, Protocol::Key::Link, Kind::Text, "update/link", false},
        {Period, Protocol::Key::Period, Kind::Number, "update/period", false},
        {InstalledVersion, Protocol::Key::InstalledVersion, Kind::Number, "app/version", false},
        {DeviceId, Protocol::Key::DeviceId, Kind::Text, "app/device_id", false},
        {ActiveDownload, Protocol::Key::ActiveDownload, Kind::Number, "update/download", true},
        {ActiveUpdate, Protocol::Key::ActiveUpdate, Kind::Number, "update/update", true},
        {StateDownload, Protocol::Key::StateDownload, Kind::Text, nullptr, false},
        {StateUpdate, Protocol::Key::StateUpdate, Kind::Text, nullptr, false},
        {ReadyVersion, Protocol::Key::ReadyVersion, Kind::Number, nullptr, false},
        // Bytes received by the running transfer as decimal text (a number would stop at 2 GiB);
        // empty while none runs.
        {Progress, "progress", Kind::Text, nullptr, false},
        {StateProbation, Protocol::Key::StateProbation, Kind::Text, nullptr, false},
        {Signing, Protocol::Key::Signing, Kind::Text, nullptr, false},
        {StateJournal, Protocol::Key::StateJournal, Kind::Text, nullptr, false},
        {JournalError, Protocol::Key::JournalError, Kind::Text, nullptr, false},
        {LastError, Protocol::Key::LastError, Kind::Text, nullptr, false},
        {LastErrorTime, Protocol::Key::LastErrorTime, Kind::Text, nullptr, false},
        {RolledBackVersion, Protocol::Key::RolledBackVersion, Kind::Number, nullptr, false},
    };

    static bool isReadOnly(const Key &key) { return key.storeKey == nullptr; }
    // The key of that name, or null.
    static const Key *find(const QString &name);

    // The lines every new client is greeted with before anything else: one one-member line per
    // key, in this order. The updater sends exactly these and tovrel-ctl reads exactly as many
    // lines as this list names, so a key added here is sent and read alike.
    static constexpr Id Greeting[] = {StateUpdate, StateDownload, StateProbation, StateJournal};
    static constexpr int GreetingLines = int(sizeof(Greeting) / sizeof(Greeting[0]));

    // The packaged system file's "update/link" until the fleet's server is named there: no check
    // asks anything while it stays.
    static constexpr char UnconfiguredLink[] = "none";
    static bool isUnconfiguredLink(const QString &link);
};

#endif
