#include "deltaupdate.h"

#include "contentstream.h"
#include "downloadfile.h"
#include "fileops.h"
#include "logtext.h"
#include "packagestager.h"
#include "stagedinstall.h"
#include "streamhash.h"
#include "treehashcache.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTimer>

namespace {
// Hashing this much per tick keeps the control socket answering during a large tree.
const qint64 hashBytesPerTick = qint64(64) * 1024 * 1024;

QString baseName(const QString &name)
{
    for (const QString &suffix : {QStringLiteral(".tmp.meta"), QStringLiteral(".tmp")}) {
        if (name.endsWith(suffix))
            return name.left(name.size() - suffix.size());
    }
    return name;
}

// An unchanged file stays where it is unless only its mode changes; then it is copied into the stage.
bool staysInPlace(const QString &installedPath, int mode, QString *error)
{
    FileOps::Stamp installed;
    return FileOps::stampOf(installedPath, &installed, error) && installed.mode == unsigned(mode);
}
}

DeltaUpdate::Installer DeltaUpdate::journaledInstaller(const QString &appFolder, int fromVersion,
                                                       const std::function<bool(int versionCode)> &store,
                                                       const std::function<void(const QString &line)> &log)
{
    return [=](const QString &stage, const DeltaManifest &manifest, const QStringList &rebuilt, QString *error) {
        StagedInstall install(appFolder);
        install.setVersionCodes(fromVersion, manifest.versionCode);
        install.setVersionStore(store);
        install.setLogger(log);
        install.setKeepReplaced(true);
        install.setComplete(manifest.complete);
        // A device's first version may find no folder yet, as the package's installation does.
        if (!QDir().mkpath(appFolder)) {
            *error = QStringLiteral("cannot create ") + appFolder;
            return false;
        }
        bool ok = install.prepare() && install.dropKeptGeneration() && install.createStaging();
        const QSet<QString> fresh(rebuilt.cbegin(), rebuilt.cend());
        // Folders come out as from a package: made with the process's own mode, whatever is listed.
        for (const DeltaManifest::Folder &folder : manifest.folders) {
            if (ok)
                install.addFolder(folder.path);
        }
        for (const DeltaManifest::File &file : manifest.files) {
            if (!ok)
                break;
            if (!fresh.contains(file.path)) {
                install.addUnchanged(file.path);
                continue;
            }
            const QString from = stage + QLatin1Char('/') + file.path;
            const QString to = install.stagingPath() + QLatin1Char('/') + file.path;
            QString reason;
            // The work folder usually shares the application's file system; where it does not, a copy.
            ok = QDir().mkpath(QFileInfo(to).absolutePath())
                && (FileOps::replace(from, to, &reason) || QFile::copy(from, to));
            if (!ok)
                *error = QStringLiteral("cannot stage ") + file.path + QStringLiteral(": ") + reason;
            else
                install.addFile(file.path);
        }
        if (ok)
            log(QStringLiteral("staged %1 files, %2 in place").arg(rebuilt.size()).arg(manifest.files.size() - rebuilt.size()));
        ok = ok && install.moveIntoPlace();
        install.removeWorkFolders();
        for (const QString &line : install.warnings())
            log(line);
        if (!ok && error->isEmpty())
            *error = install.errorLines().join(QStringLiteral("; "));
        return ok;
    };
}

DeltaUpdate::DeltaUpdate(QObject *parent)
    : QObject(parent)
    , m_spaceProbe(PackageStager::volumeSpace)
    , m_download(new DownloadFile(this))
    , m_ticker(new QTimer(this))
{
    m_ticker->setSingleShot(true);
    m_ticker->setInterval(0);
    connect(m_ticker, &QTimer::timeout, this, &DeltaUpdate::tick);
    connect(m_download, &DownloadFile::finished, this, &DeltaUpdate::onTransferEnd);
    connect(m_download, &DownloadFile::progressChanged, this, &DeltaUpdate::progressChanged);
}

DeltaUpdate::~DeltaUpdate() = default;

QString DeltaUpdate::manifestFile(const QString &workFolder, const QString &key, int versionCode)
{
    // Our own name: the entry's may be any safe path, and the key cannot hold a '/'.
    return workFolder + QStringLiteral("/manifests/") + QString(key).replace(QLatin1Char('/'), QLatin1Char('_'))
        + QLatin1Char('-') + QString::number(versionCode) + QStringLiteral(".json");
}

QString DeltaUpdate::stageFolder(const QString &workFolder)
{
    return workFolder + QStringLiteral("/stage");
}

int DeltaUpdate::patchWindowLog(qint64 referenceSize, qint64 resultSize)
{
    int log = 10;
    while (log < 30 && (qint64(1) << log) < referenceSize + resultSize)
        ++log;
    return log;
}

bool DeltaUpdate::start(const Source &source)
{
    if (m_step != Step::Idle && m_step != Step::Done && m_step != Step::Failed && m_step != Step::Staged)
        return false;
    m_source = source;
    m_error.clear();
    m_manifest = DeltaManifest();
    m_plan = DeltaPlan();
    m_installed.clear();
    m_fetches.clear();
    m_fetching.clear();
    m_fetched = 0;
    m_index = 0;
    m_rebuilt.clear();
    m_step = Step::Manifest;
    schedule();
    return true;
}

void DeltaUpdate::abort()
{
    if (m_step == Step::Idle || m_step == Step::Done || m_step == Step::Failed)
        return;
    m_fetching.clear();
    m_download->abort();
    fail(QStringLiteral("aborted"));
}

qint64 DeltaUpdate::bytesMoved() const
{
    return m_fetched + (m_fetching.isEmpty() ? 0 : qint64(m_download->getProgress()));
}

void DeltaUpdate::schedule()
{
    m_ticker->start();
}

void DeltaUpdate::fail(const QString &reason)
{
    m_step = Step::Failed;
    m_error = reason;
    m_ticker->stop();
    m_hashes.reset();
    QDir(stageFolder(m_workFolder)).removeRecursively();
    qWarning().noquote() << "[DeltaUpdate] failed:" << reason;
    emit finished(false, reason);
}

void DeltaUpdate::tick()
{
    if (!m_fetching.isEmpty())
        return;
    switch (m_step) {
    case Step::Manifest: {
        const Source &s = m_source;
        if (!DeltaManifest::isSafePath(s.manifestName) || !DeltaManifest::isSha256(s.manifestSha256)
            || s.manifestSize <= 0 || s.manifestSize > DeltaManifest::MaxSize || !s.infoUrl.isValid()) {
            fail(QStringLiteral("the entry names no usable manifest"));
            return;
        }
        const QString file = manifestFile(m_workFolder, s.key, s.versionCode);
        QDir().mkpath(QFileInfo(file).absolutePath());
        QVariantMap params;
        params.insert(QStringLiteral("file"), file);
        params.insert(QStringLiteral("source"), s.infoUrl.resolved(QUrl(s.manifestName)).toString());
        params.insert(QStringLiteral("sha256"), QString::fromLatin1(s.manifestSha256));
        params.insert(QStringLiteral("size"), s.manifestSize);
        params.insert(QStringLiteral("max_size"), s.manifestSize);
        m_fetching = s.manifestName;
        m_fetchingSize = s.manifestSize;
        if (!m_download->start(params)) {
            m_fetching.clear();
            fail(QStringLiteral("cannot start the transfer of ") + s.manifestName);
        }
        return;
    }
    case Step::Hash:
        hashOne();
        return;
    case Step::Plan:
        makePlan();
        return;
    case Step::Fetch:
        fetchNext();
        return;
    case Step::Rebuild:
        rebuildOne();
        return;
    case Step::Idle:
    case Step::Staged:
    case Step::Done:
    case Step::Failed:
        return;
    }
}

void DeltaUpdate::onTransferEnd(int code, const QString &content)
{
    if (m_fetching.isEmpty())
        return;
    const QString name = m_fetching;
    m_fetching.clear();
    if (code != 0) {
        // Bytes that failed a check would only fail again when resumed.
        if (code == DownloadFile::IntegrityError || code == DownloadFile::SizeLimitError) {
            const QString file = m_step == Step::Manifest ? manifestFile(m_workFolder, m_source.key, m_source.versionCode)
                                                          : m_workFolder + QLatin1Char('/') + name;
            QFile::remove(file + QStringLiteral(".tmp"));
            QFile::remove(DownloadFile::partialMarkerPath(file));
        }
        fail(name + QStringLiteral(": ") + content);
        return;
    }
    if (m_step == Step::Manifest) {
        readManifest();
        return;
    }
    const QFileInfo fetched(m_workFolder + QLatin1Char('/') + name);
    if (fetched.size() != m_fetchingSize) {
        fail(name + QStringLiteral(": %1 bytes instead of %2").arg(fetched.size()).arg(m_fetchingSize));
        return;
    }
    m_fetched += m_fetchingSize;
    emit progressChanged();
    schedule();
}

bool DeltaUpdate::loadManifest(QString *error)
{
    QFile file;
    const QString path = manifestFile(m_workFolder, m_source.key, m_source.versionCode);
    if (!FileOps::openFileNoFollow(file, path, error))
        return false;
    // What is parsed is what was checked, whatever the transfer did.
    const QByteArray json = file.read(DeltaManifest::MaxSize + 1);
    StreamHash digest(StreamHash::Sha256);
    digest.addData(json);
    if (json.size() != m_source.manifestSize || digest.hexResult() != m_source.manifestSha256.toLower()) {
        *error = QStringLiteral("digest or size differs from the entry's");
        return false;
    }
    DeltaManifest manifest;
    if (!DeltaManifest::parse(json, &manifest, error))
        return false;
    if (manifest.key != m_source.key || manifest.versionCode != m_source.versionCode) {
        *error = QStringLiteral("for %1 version %2, not for the entry's").arg(manifest.key).arg(manifest.versionCode);
        return false;
    }
    // Modes only as far as a package's are trusted, so that both roads give the same tree: no
    // set-id bits, and nobody but the owner may change an installed file.
    for (DeltaManifest::File &file : manifest.files)
        file.mode = (file.mode & 0777) ? (file.mode & 0755) : 0644;
    m_manifest = manifest;
    return true;
}

void DeltaUpdate::readManifest()
{
    QString error;
    if (!loadManifest(&error)) {
        fail(QStringLiteral("manifest: ") + error);
        return;
    }
    m_hashes = std::make_unique<TreeHashCache>(m_workFolder + QStringLiteral("/hashes"));
    m_hashes->load();
    m_index = 0;
    m_step = Step::Hash;
    schedule();
}

bool DeltaUpdate::adoptStage(const Source &source)
{
    if (m_step != Step::Idle && m_step != Step::Done && m_step != Step::Failed)
        return false;
    m_source = source;
    m_rebuilt.clear();
    QString error;
    const QString stage = stageFolder(m_workFolder);
    if (!QFileInfo(stage).isDir() || !loadManifest(&error))
        return false;
    TreeHashCache installed(m_workFolder + QStringLiteral("/hashes"));
    installed.load();
    TreeHashCache staged(QString{});
    for (const DeltaManifest::File &file : qAsConst(m_manifest.files)) {
        QByteArray sha256;
        qint64 size = -1;
        FileOps::Stamp stamp;
        const bool inStage = FileOps::kindOf(stage + QLatin1Char('/') + file.path) == FileOps::Kind::File;
        const bool ok = inStage ? staged.hash(stage, file.path, &sha256, &size, &error)
                                : installed.hash(m_appFolder, file.path, &sha256, &size, &error)
                && FileOps::stampOf(m_appFolder + QLatin1Char('/') + file.path, &stamp) && stamp.mode == unsigned(file.mode);
        if (!ok || sha256 != file.sha256 || size != file.size) {
            qWarning().noquote() << "[DeltaUpdate] the stage left earlier is not complete:" << file.path;
            return false;
        }
        if (inStage)
            m_rebuilt.append(file.path);
    }
    m_step = Step::Staged;
    qDebug().noquote() << QStringLiteral("[DeltaUpdate] version %1 staged earlier: %2 files rebuilt")
                                .arg(m_manifest.versionCode).arg(m_rebuilt.size());
    return true;
}

void DeltaUpdate::hashOne()
{
    qint64 hashed = 0;
    while (m_index < m_manifest.files.size() && hashed < hashBytesPerTick) {
        const QString path = m_manifest.files.at(m_index++).path;
        DeltaPlan::Installed installed;
        QString error;
        if (FileOps::kindOf(m_appFolder + QLatin1Char('/') + path) != FileOps::Kind::File)
            continue;
        if (!m_hashes->hash(m_appFolder, path, &installed.sha256, &installed.size, &error)) {
            // Taken as absent: its content is fetched whole and the installation replaces it.
            qWarning().noquote() << "[DeltaUpdate] cannot hash" << path << error;
            continue;
        }
        hashed += installed.size;
        m_installed.insert(path, installed);
    }
    if (m_index < m_manifest.files.size()) {
        schedule();
        return;
    }
    QString error;
    if (!m_hashes->save(&error))
        qWarning().noquote() << "[DeltaUpdate] cannot keep the digests:" << error;
    m_step = Step::Plan;
    schedule();
}

void DeltaUpdate::makePlan()
{
    QHash<QString, qint64> present;
    for (const QString &kind : {QStringLiteral("objects"), QStringLiteral("patches")}) {
        QDirIterator it(m_workFolder + QLatin1Char('/') + kind, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QString relative = QDir(m_workFolder).relativeFilePath(it.filePath());
            if (baseName(relative) == relative)
                present.insert(relative, it.fileInfo().size());
        }
    }
    m_plan = DeltaPlan::make(m_manifest.files, m_installed, present, m_patchCap);
    int kept = 0, patched = 0, whole = 0;
    QSet<QString> wanted;
    for (const DeltaPlan::Step &step : qAsConst(m_plan.steps)) {
        kept += step.action == DeltaPlan::Action::Keep;
        patched += step.action == DeltaPlan::Action::Patch;
        whole += step.action == DeltaPlan::Action::Object;
        if (!step.fetch.isEmpty())
            wanted.insert(step.fetch);
        if (step.move > 0)
            m_fetches.append(step.fetch);
    }
    // What an earlier attempt fetched for another version is never needed again.
    for (auto it = present.cbegin(); it != present.cend(); ++it) {
        if (!wanted.contains(it.key()))
            QFile::remove(m_workFolder + QLatin1Char('/') + it.key());
    }
    qDebug().noquote() << QStringLiteral("[DeltaUpdate] version %1: %2 files kept, %3 patched, %4 fetched whole, %5 bytes to move")
                                .arg(m_manifest.versionCode).arg(kept).arg(patched).arg(whole).arg(m_plan.bytesToMove);
    m_step = Step::Fetch;
    emit progressChanged();
    schedule();
}

void DeltaUpdate::fetchNext()
{
    if (m_fetches.isEmpty()) {
        if (!checkSpace())
            return;
        QDir stage(stageFolder(m_workFolder));
        stage.removeRecursively();
        if (!QDir().mkpath(stage.path())) {
            fail(QStringLiteral("cannot create ") + stage.path());
            return;
        }
        m_index = 0;
        m_step = Step::Rebuild;
        schedule();
        return;
    }
    const QString name = m_fetches.takeFirst();
    qint64 size = 0;
    for (const DeltaPlan::Step &step : qAsConst(m_plan.steps)) {
        if (step.fetch == name)
            size = step.fetchSize;
    }
    const QString file = m_workFolder + QLatin1Char('/') + name;
    QDir().mkpath(QFileInfo(file).absolutePath());
    QVariantMap params;
    params.insert(QStringLiteral("file"), file);
    params.insert(QStringLiteral("source"), m_source.infoUrl.resolved(QUrl(name)).toString());
    params.insert(QStringLiteral("size"), size);
    params.insert(QStringLiteral("max_size"), size);
    params.insert(QStringLiteral("check_space"), true);
    m_fetching = name;
    m_fetchingSize = size;
    if (!m_download->start(params)) {
        m_fetching.clear();
        fail(QStringLiteral("cannot start the transfer of ") + name);
    }
}

// The stage holds every rebuilt file at once, beside the fetched objects: the volume must take them
// and keep the reserve that the package's installation keeps.
bool DeltaUpdate::checkSpace()
{
    // Sizes are the manifest's claims, capped so that no sum overflows; a larger result fails its check.
    const qint64 cap = qint64(1) << 60;
    qint64 needed = 0;
    for (int i = 0; i < m_manifest.files.size(); ++i) {
        const DeltaManifest::File &file = m_manifest.files.at(i);
        QString ignored;
        if (m_plan.steps.at(i).action != DeltaPlan::Action::Keep
            || !staysInPlace(m_appFolder + QLatin1Char('/') + file.path, file.mode, &ignored))
            needed = qMin(cap, needed + qMin(cap, file.size));
    }
    const PackageInstaller::Space space = m_spaceProbe(m_workFolder);
    qint64 reserve = 0;
    if (PackageStager::fitsWithReserve(needed, space, &reserve))
        return true;
    fail(logText("no space to stage the changed files:", m_workFolder, "needs", needed, "bytes and a reserve of",
                 reserve, "bytes, has", space.available, "bytes free"));
    return false;
}

void DeltaUpdate::rebuildOne()
{
    if (m_index >= m_manifest.files.size()) {
        m_step = Step::Staged;
        m_hashes.reset();
        qDebug().noquote() << QStringLiteral("[DeltaUpdate] version %1 staged: %2 files rebuilt, %3 bytes moved")
                                    .arg(m_manifest.versionCode).arg(m_rebuilt.size()).arg(m_fetched);
        emit finished(true, QString());
        return;
    }
    const DeltaManifest::File &file = m_manifest.files.at(m_index);
    const DeltaPlan::Step &step = m_plan.steps.at(m_index);
    ++m_index;
    QString error;
    if (!rebuild(step, file, &error)) {
        // A fetched file that gave wrong content is fetched again next time, not reused.
        if (!step.fetch.isEmpty())
            QFile::remove(m_workFolder + QLatin1Char('/') + step.fetch);
        fail(file.path + QStringLiteral(": ") + error);
        return;
    }
    schedule();
}

bool DeltaUpdate::rebuild(const DeltaPlan::Step &step, const DeltaManifest::File &file, QString *error)
{
    const QString installedPath = m_appFolder + QLatin1Char('/') + file.path;
    if (step.action == DeltaPlan::Action::Keep && staysInPlace(installedPath, file.mode, error))
        return true;

    const QString target = stageFolder(m_workFolder) + QLatin1Char('/') + file.path;
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        *error = QStringLiteral("cannot create its folder in the stage");
        return false;
    }
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = out.errorString();
        return false;
    }
    QFile in;
    const QString source = step.action == DeltaPlan::Action::Keep ? installedPath : m_workFolder + QLatin1Char('/') + step.fetch;
    if (!FileOps::openFileNoFollow(in, source, error))
        return false;
    StreamHash digest(StreamHash::Sha256);
    bool ok = false;
    if (step.action == DeltaPlan::Action::Keep) {
        ok = ContentStream::copy(in, out, file.size, &digest, error);
    } else if (step.action == DeltaPlan::Action::Object) {
        ok = ContentStream::decode(in, out, nullptr, objectWindowLog, file.size, &digest, error);
    } else {
        QFile reference;
        if (!FileOps::openFileNoFollow(reference, m_appFolder + QLatin1Char('/') + step.reference, error))
            return false;
        // The plan allowed for the size it hashed; a file grown since must not pass the cap.
        if (reference.size() + file.size > m_patchCap) {
            *error = QStringLiteral("the patch's reference outgrew the memory cap");
            return false;
        }
        const QByteArray content = reference.readAll();
        if (content.size() != reference.size()) {
            *error = QStringLiteral("cannot read the reference ") + step.reference;
            return false;
        }
        ok = ContentStream::decode(in, out, &content, patchWindowLog(content.size(), file.size), file.size, &digest, error);
    }
    if (!ok)
        return false;
    // Checked against the manifest before it is staged: an altered object or patch, or a reference
    // that changed since it was hashed, never reaches the folder.
    if (digest.bytesAdded() != file.size || digest.hexResult() != file.sha256) {
        *error = QStringLiteral("the rebuilt content differs from the manifest's SHA-256");
        return false;
    }
    if (!FileOps::setMode(out, unsigned(file.mode), error) || !out.flush()) {
        if (error->isEmpty())
            *error = out.errorString();
        return false;
    }
    m_rebuilt.append(file.path);
    return true;
}

bool DeltaUpdate::install()
{
    if (m_step != Step::Staged || !m_installer) {
        m_error = QStringLiteral("nothing staged");
        return false;
    }
    QString error;
    if (!m_installer(stageFolder(m_workFolder), m_manifest, m_rebuilt, &error)) {
        m_error = QStringLiteral("installation: ") + error;
        m_step = Step::Failed;
        QDir(stageFolder(m_workFolder)).removeRecursively();
        qWarning().noquote() << "[DeltaUpdate] failed:" << m_error;
        return false;
    }
    m_step = Step::Done;
    // Installed: none of the fetched files is needed again.
    for (const QString &kind : {QStringLiteral("objects"), QStringLiteral("patches"), QStringLiteral("manifests"),
                                QStringLiteral("stage")})
        QDir(m_workFolder + QLatin1Char('/') + kind).removeRecursively();
    qDebug().noquote() << QStringLiteral("[DeltaUpdate] version %1 installed").arg(m_manifest.versionCode);
    return true;
}
