#include "installjournal.h"

#include "fileops.h"
#include "protocol.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const char *const journalName = Protocol::Folder::Journal;
const char *const keptName = Protocol::Folder::Kept;
const char stagingName[] = ".update-staging-";
const char backupName[] = ".update-backup-";
const char recordFileName[] = ".update-files";
const int formatVersion = 1;

QString parentOf(const QString &path)
{
    return QFileInfo(path).path();
}

// A journal is ours, but a damaged one must not send a move outside the folder.
bool isPlainRelative(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

// True when a path below root passes a link on its way (root itself not counted).
bool passesLink(const QString &root, const QString &relative)
{
    QString path = root;
    const QStringList parts = relative.split(QLatin1Char('/'));
    for (int i = 0; i + 1 < parts.size(); ++i) {
        path += QLatin1Char('/') + parts.at(i);
        const FileOps::Kind kind = FileOps::kindOf(path);
        if (kind == FileOps::Kind::Missing)
            return false;
        if (kind == FileOps::Kind::Link)
            return true;
    }
    return false;
}

bool isWorkFolderName(const QString &name, const char *prefix)
{
    return name.startsWith(QLatin1String(prefix)) && !name.contains(QLatin1Char('/'));
}

} // namespace

QString InstallJournal::fileName()
{
    return QLatin1String(journalName);
}

QString InstallJournal::pathIn(const QString &folder)
{
    return QDir::cleanPath(folder) + QLatin1Char('/') + fileName();
}

bool InstallJournal::existsIn(const QString &folder)
{
    return FileOps::kindOf(pathIn(folder)) != FileOps::Kind::Missing;
}

QString InstallJournal::stagingPrefix()
{
    return QLatin1String(stagingName);
}

QString InstallJournal::backupPrefix()
{
    return QLatin1String(backupName);
}

bool InstallJournal::isReservedName(const QString &topLevelName)
{
    // The journal's name with anything after it covers its temporary twin as well.
    return topLevelName.startsWith(QLatin1String(journalName)) || topLevelName.startsWith(QLatin1String(stagingName))
        || topLevelName.startsWith(QLatin1String(backupName)) || topLevelName.startsWith(QLatin1String(keptName))
        || topLevelName.startsWith(QLatin1String(recordFileName));
}

QString InstallJournal::keptPathIn(const QString &folder)
{
    return QDir::cleanPath(folder) + QLatin1Char('/') + QLatin1String(keptName);
}

bool InstallJournal::keptExistsIn(const QString &folder)
{
    return FileOps::kindOf(keptPathIn(folder)) != FileOps::Kind::Missing;
}

QString InstallJournal::keptBackupIn(const QString &folder)
{
    if (!keptExistsIn(folder))
        return QString();
    InstallJournal kept;
    QString error;
    return kept.loadKept(folder, &error) ? kept.backup : QString();
}

bool InstallJournal::dropKept(const QString &dir, QString *error)
{
    const QString folder = QDir::cleanPath(dir);
    if (!keptExistsIn(folder))
        return true;
    const QString backup = keptBackupIn(folder);
    // The record goes first: a backup without it is only a stale folder, a record without its
    // backup would name files that are gone.
    if (!FileOps::removeEntry(keptPathIn(folder), error) || !FileOps::syncFolder(folder, error))
        return false;
    if (!backup.isEmpty())
        removeWorkFolder(folder + QLatin1Char('/') + backup);
    return true;
}

QString InstallJournal::recordName()
{
    return QLatin1String(recordFileName);
}

QStringList InstallJournal::recordedFiles(const QString &folder, bool *found)
{
    *found = false;
    const QString path = QDir::cleanPath(folder) + QLatin1Char('/') + recordName();
    if (FileOps::kindOf(path) != FileOps::Kind::File)
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    if (root.value(QStringLiteral("format")).toInt() != formatVersion || !root.value(QStringLiteral("files")).isArray())
        return {};
    QStringList files;
    for (const QJsonValue &value : root.value(QStringLiteral("files")).toArray()) {
        const QString relative = value.toString();
        // A damaged record must not name our own files or anything outside the folder.
        if (isPlainRelative(relative) && !isReservedName(relative.section(QLatin1Char('/'), 0, 0)))
            files << relative;
    }
    *found = true;
    return files;
}

QByteArray InstallJournal::recordText(const QStringList &files, int versionCode)
{
    const QJsonObject root{{QStringLiteral("format"), formatVersion},
                           {QStringLiteral("version"), versionCode},
                           {QStringLiteral("files"), QJsonArray::fromStringList(files)}};
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

bool InstallJournal::staysInside(const QString &folder, const QString &canonicalFolder, const QString &relativeDir)
{
    if (canonicalFolder.isEmpty())
        return false;
    QString probe = QDir::cleanPath(folder + QLatin1Char('/') + relativeDir);
    while (FileOps::kindOf(probe) == FileOps::Kind::Missing && probe != folder)
        probe = parentOf(probe);
    const QString canonical = QFileInfo(probe).canonicalFilePath();
    return !canonical.isEmpty()
        && (canonical == canonicalFolder || canonical.startsWith(canonicalFolder.endsWith(QLatin1Char('/'))
                                                                     ? canonicalFolder
                                                                     : canonicalFolder + QLatin1Char('/')));
}

void InstallJournal::removeWorkFolder(const QString &path)
{
    switch (FileOps::kindOf(path)) {
    case FileOps::Kind::Folder:
        QDir(path).removeRecursively();
        break;
    case FileOps::Kind::Missing:
        break;
    default:
        // QDir would empty whatever a link points to.
        qWarning() << "[InstallJournal]" << "working folder is not a folder, only the entry is removed:" << path;
        FileOps::removeEntry(path);
        break;
    }
}

bool InstallJournal::checkPaths(QStringList *errors) const
{
    const int before = errors->size();
    // A return that is being planned has no backup folder yet.
    QStringList works;
    for (const QString &work : {source, backup}) {
        if (!work.isEmpty())
            works << work;
    }
    for (const QString &work : works) {
        const FileOps::Kind kind = FileOps::kindOf(full(work));
        if (kind != FileOps::Kind::Folder && kind != FileOps::Kind::Missing)
            *errors << QStringLiteral("working folder %1 is not a folder").arg(full(work));
    }
    if (errors->size() > before)
        return false;
    const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
    QSet<QString> inside;
    const auto check = [&](const QString &relative) {
        const QString dir = parentOf(relative);
        if (dir != QLatin1String(".") && !inside.contains(dir)) {
            if (!staysInside(folder, canonicalFolder, dir)) {
                *errors << QStringLiteral("%1 leads outside the folder").arg(full(relative));
                return;
            }
            inside.insert(dir);
        }
        for (const QString &work : works) {
            if (passesLink(full(work), relative))
                *errors << QStringLiteral("%1 passes a link").arg(full(work + QLatin1Char('/') + relative));
        }
    };
    for (const QString &relative : createdFolders)
        check(relative);
    for (const Entry &entry : entries)
        check(entry.path);
    return errors->size() == before;
}

bool InstallJournal::repeatsKept(const QString &folder, int fromVersion, int toVersion)
{
    if (toVersion < 0 || fromVersion != toVersion || !keptExistsIn(folder))
        return false;
    InstallJournal kept;
    QString error;
    return kept.loadKept(folder, &error) && kept.toVersion == toVersion;
}

QString InstallJournal::full(const QString &relative) const
{
    return folder + QLatin1Char('/') + relative;
}

bool InstallJournal::save(QString *error) const
{
    QJsonArray files;
    for (const Entry &entry : entries) {
        files.append(QJsonArray{entry.path, entry.action == Action::Put ? QStringLiteral("put") : QStringLiteral("remove"),
                                entry.hadOld});
    }
    QJsonObject root{{QStringLiteral("format"), formatVersion},
                     {QStringLiteral("state"), state == State::Done ? QStringLiteral("done") : QStringLiteral("moving")},
                     {QStringLiteral("from"), fromVersion},
                     {QStringLiteral("to"), toVersion},
                     {QStringLiteral("source"), source},
                     {QStringLiteral("backup"), backup},
                     {QStringLiteral("folders"), QJsonArray::fromStringList(createdFolders)},
                     {QStringLiteral("entries"), files}};
    // Without the member a journal is an installation, as every journal written before was.
    if (kind == Kind::Rollback)
        root.insert(QStringLiteral("kind"), QStringLiteral("rollback"));
    const QString path = pathIn(folder);
    const QString next = path + QStringLiteral(".new");
    // Renamed onto the journal only once complete and on disk, so a reader sees the old record
    // or the new one, never a torn one.
    return FileOps::writeSynced(next, QJsonDocument(root).toJson(QJsonDocument::Compact), error)
        && FileOps::replace(next, path, error) && FileOps::syncFolder(folder, error);
}

bool InstallJournal::load(const QString &dir, QString *error)
{
    folder = QDir::cleanPath(dir);
    return loadFile(pathIn(folder), error);
}

bool InstallJournal::loadKept(const QString &dir, QString *error)
{
    folder = QDir::cleanPath(dir);
    return loadFile(keptPathIn(folder), error);
}

bool InstallJournal::loadFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    const QJsonObject root = doc.object();
    if (!doc.isObject() || root.value(QStringLiteral("format")).toInt() != formatVersion) {
        *error = QStringLiteral("not a journal of this format: ") + parseError.errorString();
        return false;
    }
    const QString stateText = root.value(QStringLiteral("state")).toString();
    state = stateText == QLatin1String("done") ? State::Done : State::Moving;
    fromVersion = root.value(QStringLiteral("from")).toInt();
    toVersion = root.value(QStringLiteral("to")).toInt();
    source = root.value(QStringLiteral("source")).toString();
    backup = root.value(QStringLiteral("backup")).toString();
    const QJsonValue kindValue = root.value(QStringLiteral("kind"));
    kind = kindValue.toString() == QLatin1String("rollback") ? Kind::Rollback : Kind::Installation;
    // A return to the kept version takes its files from that version's backup folder.
    const char *sourcePrefix = kind == Kind::Rollback ? backupName : stagingName;
    bool ok = (stateText == QLatin1String("done") || stateText == QLatin1String("moving"))
        && (kindValue.isUndefined() || kind == Kind::Rollback) && isWorkFolderName(source, sourcePrefix)
        && isWorkFolderName(backup, backupName) && source != backup;
    createdFolders.clear();
    for (const QJsonValue &value : root.value(QStringLiteral("folders")).toArray()) {
        createdFolders << value.toString();
        ok = ok && isPlainRelative(createdFolders.last());
    }
    entries.clear();
    for (const QJsonValue &value : root.value(QStringLiteral("entries")).toArray()) {
        const QJsonArray item = value.toArray();
        Entry entry;
        entry.path = item.at(0).toString();
        entry.action = item.at(1).toString() == QLatin1String("remove") ? Action::Remove : Action::Put;
        entry.hadOld = item.at(2).toBool();
        ok = ok && item.size() == 3 && isPlainRelative(entry.path);
        entries.push_back(entry);
    }
    if (!ok)
        *error = QStringLiteral("damaged journal");
    return ok;
}

bool InstallJournal::discard(QString *error) const
{
    return FileOps::removeEntry(pathIn(folder), error) && FileOps::syncFolder(folder, error);
}

bool InstallJournal::keep(QString *error) const
{
    return FileOps::replace(pathIn(folder), keptPathIn(folder), error) && FileOps::syncFolder(folder, error);
}

bool InstallJournal::apply(QString *error, QSet<QString> *touched)
{
    for (const QString &relative : qAsConst(createdFolders)) {
        const QString path = full(relative);
        if (FileOps::kindOf(path) != FileOps::Kind::Missing)
            continue;
        if (!FileOps::makeFolder(path, error)) {
            *error = QStringLiteral("cannot create folder %1: %2").arg(path, *error);
            return false;
        }
        touched->insert(parentOf(path));
    }
    for (const Entry &entry : entries) {
        const QString target = full(entry.path);
        const QString kept = full(backup + QLatin1Char('/') + entry.path);
        bool ok = true;
        if (entry.action == Action::Put) {
            // A hard link keeps the old file reachable while the new one replaces it in a single
            // rename, so the target never goes missing.
            if (entry.hadOld) {
                ok = FileOps::keepAs(target, kept, error);
                touched->insert(parentOf(kept));
            }
            ok = ok && FileOps::replace(full(source + QLatin1Char('/') + entry.path), target, error);
        } else if (FileOps::kindOf(target) != FileOps::Kind::Missing) {
            ok = FileOps::replace(target, kept, error);
            touched->insert(parentOf(kept));
        }
        touched->insert(parentOf(target));
        if (!ok) {
            *error = QStringLiteral("cannot move %1: %2").arg(target, *error);
            return false;
        }
    }
    return true;
}

bool InstallJournal::undo(QStringList *errors, QSet<QString> *touched)
{
    if (!checkPaths(errors))
        return false;
    bool ok = true;
    QString error;
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        const QString target = full(it->path);
        const QString kept = full(backup + QLatin1Char('/') + it->path);
        if (it->action == Action::Remove || it->hadOld) {
            // The kept file is the old one; where it is missing, the old file was never moved.
            // A target that is still the kept file's other name makes the rename a no-op.
            if (FileOps::kindOf(kept) == FileOps::Kind::Missing)
                continue;
            if (!FileOps::replace(kept, target, &error)) {
                ok = false;
                *errors << QStringLiteral("cannot put back %1: %2").arg(target, error);
            }
        } else if (FileOps::kindOf(target) != FileOps::Kind::Missing) {
            if (!FileOps::removeEntry(target, &error)) {
                ok = false;
                *errors << QStringLiteral("cannot remove %1: %2").arg(target, error);
            }
        }
        touched->insert(parentOf(target));
    }
    for (int i = createdFolders.size() - 1; i >= 0; --i) {
        const QString path = full(createdFolders.at(i));
        if (FileOps::kindOf(path) != FileOps::Kind::Folder)
            continue;
        if (!QDir().rmdir(path)) {
            ok = false;
            *errors << QStringLiteral("cannot remove folder %1").arg(path);
        }
        touched->insert(parentOf(path));
    }
    return ok;
}

bool InstallJournal::sync(const QSet<QString> &touched, QString *error) const
{
    if (!FileOps::syncFileSystem(folder, error))
        return false;
    for (const QString &path : touched) {
        if (FileOps::kindOf(path) == FileOps::Kind::Folder && !FileOps::syncFolder(path, error))
            return false;
    }
    return true;
}

void InstallJournal::removeWorkFolders() const
{
    removeSourceFolder();
    if (isWorkFolderName(backup, backupName))
        removeWorkFolder(full(backup));
}

void InstallJournal::removeSourceFolder() const
{
    if (isWorkFolderName(source, kind == Kind::Rollback ? backupName : stagingName))
        removeWorkFolder(full(source));
}
