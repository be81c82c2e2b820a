#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

// A QProcess whose child is sent SIGTERM when the launcher dies, however it dies (SIGKILL, the
// OOM killer, a crash). Without it the next launcher would start a second main application next to
// the orphaned one. With setOwnProcessGroup() the child leads a process group of its own, so that
// the helpers it starts are stopped with it, and the group can be recorded for a launcher that
// starts after this one was killed outright. The platform part lives in childprocess_<platform>.cpp.
class ChildProcess : public QProcess
{
    Q_OBJECT
public:
    explicit ChildProcess(QObject *parent = nullptr);

    // Takes effect at the next start.
    void setOwnProcessGroup(bool on) { ownGroup = on; }
    // Where the group of each start is recorded; empty: nowhere.
    void setGroupRecordFile(const QString &path) { recordFile = path; }
    // The group of the last start, kept after the child has ended; 0 without a group.
    qint64 groupId() const { return group; }
    // Notes and records the group of the child just forked. Called right after start(): the
    // started() signal comes only from the event loop, and a launcher killed before that would
    // leave a group nobody knows of. Connected to started() as well; a second call changes nothing.
    void recordGroup();

    // Terminate or kill: the whole group when there is one, else the child.
    void terminateGroup();
    void killGroup();
    // Ends what is left of the last group (helpers of an ended child): terminate, wait up to
    // waitMs, kill, wait up to waitMs. Then forgets the group and removes its record.
    void endGroup(int waitMs);

    // The record file of the launcher that uses this settings file.
    static QString groupRecordPath(const QString &settingsFileName);
    // A launcher that starts ends a group recorded by one that was killed, if that group still
    // runs; the record's start time keeps a reused process id from being taken for it.
    static void endRecordedGroup(const QString &recordPath, int waitMs);

protected:
    void setupChildProcess() override;

private:
    void groupFinished();

    // Platform part
    static bool signalGroup(qint64 groupId, bool kill);
    static bool groupExists(qint64 groupId);
    // The start time of a process in clock ticks since boot, 0 when it does not exist.
    static quint64 startTimeOf(qint64 pid);
    static void pause(int ms);

    // Taken in the launcher; the forked child compares it with its parent to see whether the
    // launcher is already gone.
    qint64 launcherPid = 0;
    bool ownGroup = false;
    qint64 group = 0;
    QString recordFile;
};

#endif
