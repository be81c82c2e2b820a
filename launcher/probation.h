#ifndef PROBATION_H
#define PROBATION_H

#include <QString>

// The trial of a newly installed version. While the updater keeps the files that the last
// installation replaced (its record in the application folder names the version), every run of
// the main application counts: a failure adds one, and failure-free running time adds up until
// the probation time has passed. The count lives in a file of its own, so that launcher restarts
// and device resets do not wipe it; a run that the launcher never saw end (a hang that ended in a
// watchdog reset, a power cut) counts as a failure.
class Probation
{
public:
    enum class Verdict {
        None,       // nothing is kept: no version on probation
        Running,    // on probation
        Passed,     // passed; the kept files can go
        Failed      // failed as often as allowed; the previous version must come back
    };

    // appFolder: where the updater's record is; recordPath: the count's file; empty: not kept.
    void configure(const QString &appFolder, const QString &recordPath, qint64 probationMs, int failureLimit);

    // Reads the updater's record and the count; a new version starts a new count. Logs what it
    // finds the first time.
    Verdict refresh();
    Verdict verdict() const { return current; }
    int version() const { return versionCode; }
    int failures() const { return failureCount; }
    // One more failure of the version on probation ends its probation.
    bool nextFailureEnds() const
    {
        return current == Verdict::Running && limitFailures > 0 && failureCount + 1 >= limitFailures;
    }

    // The main application was started or has ended; times are of a monotonic clock in ms.
    void mainStarted(qint64 nowMs);
    void mainEnded(bool failed, qint64 nowMs);
    // While the main application runs; true once, when the probation time has just passed.
    bool tick(qint64 nowMs);
    // The launcher ends in order: a run that ends with it is not a failure.
    void launcherStopping(qint64 nowMs);

    static QString recordPathFor(const QString &settingsFileName);

private:
    void load();
    void save();
    void judge();
    qint64 runTime(qint64 nowMs) const;

    QString folder;
    QString recordFile;
    qint64 limitMs = 0;
    int limitFailures = 0;
    Verdict current = Verdict::None;
    int versionCode = -1;
    int failureCount = 0;
    qint64 runMs = 0;
    bool passed = false;
    bool running = false;
    qint64 startedAt = 0;
};

#endif
