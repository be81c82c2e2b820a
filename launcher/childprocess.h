#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

// A QProcess whose child is sent SIGTERM when the launcher dies, however it dies (SIGKILL, the
// OOM killer, a crash). Without it the next launcher would start a second main application next to
// the orphaned one. The platform part lives in childprocess_<platform>.cpp.
class ChildProcess : public QProcess
{
    Q_OBJECT
public:
    explicit ChildProcess(QObject *parent = nullptr);

protected:
    void setupChildProcess() override;

private:
    // Taken in the launcher; the forked child compares it with its parent to see whether the
    // launcher is already gone.
    qint64 launcherPid = 0;
};

#endif
