#ifndef FOLDERLOCK_H
#define FOLDERLOCK_H

#include <QString>

// The right to touch the application folder (recovery, installation, rollback): an exclusive lock on
// a file in the updater's work folder, held while the object lives. Updaters of one configuration
// share that folder, so one of them has the right whether or not it could listen on its socket.
class FolderLock
{
public:
    explicit FolderLock(const QString &workFolder);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    // Takes the lock unless it is held already, without waiting; true while it is held.
    bool acquire();
    bool isHeld() const { return descriptor >= 0; }
    QString path() const;
    // Why the last acquire() failed.
    QString errorString() const { return error; }

    static QString fileName();

private:
    QString folder;
    QString error;
    int descriptor = -1;
};

#endif
