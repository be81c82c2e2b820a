#include "childprocess.h"
#include "childstopper.h"
#include "controlsocket.h"
#include "logwriter.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDeadlineTimer>
#include <QFile>
#include <QSaveFile>

ChildProcess::ChildProcess(QObject *parent)
    : QProcess(parent)
    , launcherPid(QCoreApplication::applicationPid())
{
    connect(this, &QProcess::started, this, &ChildProcess::recordGroup);
    // Before any other receiver: helpers are asked to go as soon as their leader has ended.
    connect(this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &ChildProcess::groupFinished,
            Qt::DirectConnection);
}

void ChildProcess::recordGroup()
{
    // The leader of a new group whose id is its process id; processId() is 0 once it has ended.
    if (!ownGroup || processId() <= 0 || group == processId())
        return;
    group = processId();
    if (recordFile.isEmpty())
        return;
    QSaveFile file(recordFile);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QByteArray::number(group) + ' ' + QByteArray::number(startTimeOf(group)) + '\n') < 0
        || !file.commit())
        qCDebug(lcCritical) << "cannot record the child's process group in" << recordFile << file.errorString();
}

void ChildProcess::groupFinished()
{
    if (group != 0)
        signalGroup(group, false);
}

void ChildProcess::terminateGroup()
{
    if (group != 0 && state() != QProcess::NotRunning)
        signalGroup(group, false);
    else if (hasOwnProcessId(this))
        terminate();
}

void ChildProcess::killGroup()
{
    if (group != 0 && state() != QProcess::NotRunning)
        signalGroup(group, true);
    else if (hasOwnProcessId(this))
        kill();
}

void ChildProcess::endGroup(int waitMs)
{
    if (group != 0 && groupExists(group)) {
        for (const bool hard : {false, true}) {
            signalGroup(group, hard);
            QDeadlineTimer deadline(waitMs);
            while (groupExists(group) && !deadline.hasExpired())
                pause(20);
            if (!groupExists(group))
                break;
        }
    }
    group = 0;
    if (!recordFile.isEmpty())
        QFile::remove(recordFile);
}

QString ChildProcess::groupRecordPath(const QString &settingsFileName)
{
    // The private folder of this user, the one that also holds the updater's control socket.
    QString error;
    const QString folder = ControlSocket::folder(&error);
    if (folder.isEmpty())
        return QString();
    // One record per configuration: launchers with other settings (tests, a second installation)
    // never touch each other's children.
    const QByteArray key = QCryptographicHash::hash(settingsFileName.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return folder + QStringLiteral("/zorvan-") + QString::fromLatin1(key) + QStringLiteral(".group");
}

void ChildProcess::endRecordedGroup(const QString &recordPath, int waitMs)
{
    QFile file(recordPath);
    if (recordPath.isEmpty() || !file.open(QIODevice::ReadOnly))
        return;
    const QList<QByteArray> fields = file.readAll().trimmed().split(' ');
    file.close();
    const qint64 recorded = fields.value(0).toLongLong();
    const quint64 startTime = fields.value(1).toULongLong();
    // A leader that still lives must be the recorded one; a group whose leader has gone keeps its
    // id from being reused, so its members are the recorded helpers.
    const quint64 leaderStart = startTimeOf(recorded);
    if (recorded > 1 && groupExists(recorded) && (leaderStart == 0 || leaderStart == startTime)) {
        qCDebug(lcCritical) << "ending process group" << recorded << "left by an earlier launcher";
        ChildProcess stale;
        stale.group = recorded;
        stale.endGroup(waitMs);
        if (groupExists(recorded))
            qCDebug(lcCritical) << "process group" << recorded << "still runs";
    }
    QFile::remove(recordPath);
}
