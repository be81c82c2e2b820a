#ifndef FOLDERKEEPER_H
#define FOLDERKEEPER_H

#include "recovery.h"

#include <QString>

#include <functional>

class FileManager;
class UpdaterSettings;
class UpdaterStatus;

// Keeps the application folder whole between installations: finishes or undoes a journal left in
// it, returns it to the version the last installation kept, drops that version once the installed
// one has proved itself, and publishes the journal and probation states. Part of the updater.
class FolderKeeper
{
public:
    explicit FolderKeeper(UpdaterStatus *status);

    void setSettings(UpdaterSettings *settings) { m_settings = settings; }
    // Set once the update cycle has its file manager; until then nothing touches the folder
    // but the first recovery.
    void setFileManager(FileManager *fileManager) { m_fileManager = fileManager; }
    // Whether this updater holds the folder's lock; unset means it does.
    using Gate = std::function<bool()>;
    void setGate(const Gate &gate) { m_gate = gate; }
    bool mayTouch() const;
    static void logNotTouched(const char *what);

    // Returns the folder to the version kept by the last installation and refuses the one it
    // leaves; the application must not be running.
    bool rollBack();
    // The installed version has proved itself: the files kept from the previous one go.
    void commitVersion();
    // Finishes or undoes a journal left in the folder, unless a move is running; see Updater.
    Recovery::Result recover();

    // Files are being moved in the folder; a recovery must not run meanwhile.
    void setMoving(bool moving) { m_moving = moving; }
    // "pending" with reason while a journal stays in the folder, else "none".
    void refreshStateJournal(const QString &reason);
    // "kept" while the last installation's files are kept, else "none".
    void refreshStateProbation();

private:
    void setStateProbation(const QString &state);
    void noteError(const QString &reason);
    // The offered version was rolled back here: its package is never needed again.
    void dropRefusedPackage();
    // Stores a refused version code, and remembers it as the one the last rollback refused.
    bool refuse(int versionCode);

    UpdaterStatus *m_status;
    UpdaterSettings *m_settings = nullptr;
    FileManager *m_fileManager = nullptr;
    Gate m_gate;
    bool m_moving = false;
    // The first recovery (at start) also clears what a run cut off during staging left.
    bool m_startRecovered = false;
};

#endif
