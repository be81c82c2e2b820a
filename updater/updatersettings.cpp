#include "updatersettings.h"

#include "rollout.h"
#include "settingsstore.h"
#include "updatesignature.h"
#include "userpath.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {
const char defaultUpdateLink[] = "http://update.tovrel.net/update";

using K = UpdaterSettings::Kind;
using R = UpdaterSettings::SetRule;
using C = UpdaterSettings::ChannelRead;
using CK = ControlKeys;

// The store key behind a writable channel key: the channel's table names it.
constexpr const char *ch(CK::Id id)
{
    return ControlKeys::keys[id].storeKey;
}

QString noText(const UpdaterSettings &)
{
    return QString();
}

// Index of each key in the table below.
enum Id {
    AppFolder,
    AppVersion,
    DeviceId,
    AppKey,
    UpdateLink,
    UpdateInfo,
    Period,
    Download,
    Update,
    TempDir,
    ServerName,
    RolloutId,
    Jitter,
    Nice,
    Refused,
    RolledBack,
    Delta,
    PatchMb,
    KeyCount
};

// In the order in which read() completes them.
const UpdaterSettings::Key keys[KeyCount] = {
    {"app/folder", K::Text, &UpdaterSettings::appFolder, nullptr, "",
     [](const UpdaterSettings &s) { return QStringLiteral("C:/") + s.organization + QStringLiteral("/app"); }, 0,
     "set appFolder", false, R::Store, C::Stored},
    {ch(CK::InstalledVersion), K::Number, nullptr, &UpdaterSettings::appVersionCode, nullptr, noText, 407,
     "set appVersionCode", false, R::Store, C::Stored},
    // An empty device id is valid; only a missing one is completed.
    {ch(CK::DeviceId), K::Text, &UpdaterSettings::deviceId, nullptr, "-", noText, 0,
     "set deviceId", true, R::Store, C::Stored},
    {"update/key", K::Text, &UpdaterSettings::appKey, nullptr, "", [](const UpdaterSettings &) { return QStringLiteral("windows"); },
     0, "set appKey", true, R::Store, C::Stored},
    {ch(CK::Link), K::Text, &UpdaterSettings::updateLink, nullptr, "",
     [](const UpdaterSettings &) { return QString::fromLatin1(defaultUpdateLink); }, 0, "set updateLink", true,
     R::Store, C::Stored},
    {"update/info", K::Text, &UpdaterSettings::updateInfoRequest, nullptr, "",
     [](const UpdaterSettings &) { return QStringLiteral("update.json"); }, 0, "set updateInfoRequest", false, R::Store,
     C::Stored},
    {ch(CK::Period), K::Number, nullptr, &UpdaterSettings::periodCheckUpdate, nullptr, noText, 3600,
     "set periodCheckUpdate", false, R::IgnoreNegative, C::Stored},
    {ch(CK::ActiveDownload), K::Number, nullptr, &UpdaterSettings::appDownloadActive, nullptr, noText, 1,
     "set appDownloadActive", false, R::OneOrZero, C::Memory},
    {ch(CK::ActiveUpdate), K::Number, nullptr, &UpdaterSettings::appUpdateActive, nullptr, noText, 0,
     "set appUpdateActive", false, R::OneOrZero, C::Memory},
    {"update/directory", K::Text, &UpdaterSettings::tempDir, nullptr, "",
     [](const UpdaterSettings &) { return QStandardPaths::writableLocation(QStandardPaths::CacheLocation); }, 0,
     "set tempDir", false, R::Store, C::Stored},
    {"localserver/name", K::Text, &UpdaterSettings::serverName, nullptr, "",
     [](const UpdaterSettings &) { return QStringLiteral("tovrelupdater"); }, 0, "set serverName", false, R::Store,
     C::Stored},
    // Stands for the device in the rollout and in request headers while it has no device id; made
    // once and kept, so the device keeps its place in each rollout.
    {"app/rollout_id", K::Text, &UpdaterSettings::rolloutId, nullptr, "", [](const UpdaterSettings &) { return Rollout::newId(); },
     0, "set rolloutId", true, R::Store, C::Stored},
    {"update/jitter", K::Number, nullptr, &UpdaterSettings::jitter, nullptr, noText, 0, "set jitter", false,
     R::IgnoreNegative, C::Stored},
    {"update/nice", K::Number, nullptr, &UpdaterSettings::niceLevel, nullptr, noText, 10, "set nice", false,
     R::IgnoreNegative, C::Stored},
    // Written by a rollback only; an empty list is valid, only a missing one is completed.
    {"app/refused", K::Text, &UpdaterSettings::refusedVersions, nullptr, "-", noText, 0, "set refused", false, R::Store,
     C::Stored},
    // Written by a rollback and cleared by the next installation; the channel reads it read-only.
    {"app/rolled_back", K::Number, nullptr, &UpdaterSettings::rolledBackVersion, nullptr, noText, 0, "set rolledBack",
     false, R::IgnoreNegative, C::Stored},
    // Moves only the changed files when the offer has a manifest; 0: always the whole package.
    {"update/delta", K::Number, nullptr, &UpdaterSettings::deltaActive, nullptr, noText, 1, "set delta", false,
     R::OneOrZero, C::Stored},
    // MiB a patch may need in memory (its reference and result); above it the whole object is fetched.
    {"update/patchmb", K::Number, nullptr, &UpdaterSettings::patchMb, nullptr, noText, 256, "set patchmb", false,
     R::IgnoreNegative, C::Stored},
};

QStringList refusedCodes(const QString &list)
{
    QStringList codes;
    for (const QString &item : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString code = item.trimmed();
        if (!code.isEmpty())
            codes << code;
    }
    return codes;
}

bool isMissing(const UpdaterSettings::Key &key, const QVariant &value)
{
    if (key.kind == K::Text)
        return value.toString() == QLatin1String(key.textFallback);
    return value.toInt() < 0;
}
}

UpdaterSettings::UpdaterSettings(QObject *parent)
    : QObject(parent)
    , storeOwner(SettingsStore::open())
    , store(*storeOwner)
    , organization(QCoreApplication::organizationName())
{
    Utils::outsn(QCoreApplication::applicationName() + QStringLiteral(" settings: ") + store.fileName());
}

UpdaterSettings::~UpdaterSettings() = default;

QVariant UpdaterSettings::readRaw(const UpdaterSettings::Key &key)
{
    if (key.kind == K::Text)
        return SettingsStore::text(store, QLatin1String(key.storeKey), QLatin1String(key.textFallback));
    // Text that is not a number reads as 0, which is a valid value and is kept.
    bool ok = false;
    const int number = store.value(QLatin1String(key.storeKey), -1).toInt(&ok);
    return ok ? number : 0;
}

void UpdaterSettings::assign(const UpdaterSettings::Key &key, const QVariant &value)
{
    // The packaged system-wide defaults name folders below the user's home as "~/...".
    if (key.text == &UpdaterSettings::appFolder || key.text == &UpdaterSettings::tempDir)
        this->*key.text = expandUserPath(value.toString());
    else if (key.kind == K::Text)
        this->*key.text = value.toString();
    else
        this->*key.number = value.toInt();
}

QVariant UpdaterSettings::readStored(const UpdaterSettings::Key &key)
{
    store.sync();
    const QVariant value = readRaw(key);
    assign(key, value);
    return value;
}

void UpdaterSettings::write(const UpdaterSettings::Key &key, const QVariant &value)
{
    QVariant stored = value;
    if (key.kind == K::Number) {
        const int number = value.toInt();
        if (key.setRule == R::IgnoreNegative && number < 0)
            return;
        stored = key.setRule == R::OneOrZero ? (number == 1 ? 1 : 0) : number;
    }
    assign(key, stored);
    store.setValue(QLatin1String(key.storeKey), stored);
    store.sync();
}

void UpdaterSettings::init()
{
    read();
    logSigning();
}

void UpdaterSettings::read()
{
    store.sync();
    const std::unique_ptr<QSettings> system =
        SettingsStore::openSystem(organization, QCoreApplication::applicationName());
    for (int i = 0; i < KeyCount; ++i) {
        const Key &key = keys[i];
        QVariant value = readRaw(key);
        if (isMissing(key, value)) {
            value = key.kind == K::Text ? QVariant(key.defaultText(*this)) : QVariant(key.defaultNumber);
            // A key the system file names stays the fleet's: a copy in the user's file would hide
            // every later change made there.
            if (!system->contains(QLatin1String(key.storeKey))) {
                store.setValue(QLatin1String(key.storeKey), value);
                if (key.logValue)
                    qDebug() << "[Settings]" << key.logText << value.toString();
                else
                    qDebug() << "[Settings]" << key.logText;
            }
        }
        assign(key, value);
    }
    store.sync();
    readSystemOnly(*system);
}

void UpdaterSettings::readSystemOnly(const QSettings &system)
{
    // An unquoted list of keys reads as a list; joined back it is the same text.
    publicKeys = SettingsStore::text(system, QStringLiteral("update/publickey")).trimmed();
    caFile = SettingsStore::text(system, QStringLiteral("update/cafile")).trimmed();
    product = SettingsStore::text(system, QStringLiteral("update/product")).trimmed();
    const QString problem = systemFileProblem(system.fileName());
    systemError = problem.isEmpty() ? QString() : system.fileName() + QLatin1Char(' ') + problem;
    signing = signingSummary();
}

QString UpdaterSettings::systemFileProblem(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return QString();
    if (info.isDir())
        return QStringLiteral("cannot be read (a folder)");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot be read (") + file.errorString() + QLatin1Char(')');
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("cannot be read (") + file.errorString() + QLatin1Char(')');
    // Qt parses a file once per process and tells only the first store that read it about a
    // fault; a copy under a new name is parsed afresh. Qt's reader knows only ";" comments and
    // calls a "#" line without "=" a format error, although it reads every value around it: such
    // lines (the packaged file's comments among them) are left out of the copy.
    QByteArray parsedContent;
    for (const QByteArray &line : content.split('\n')) {
        if (!line.trimmed().startsWith('#'))
            parsedContent += line + '\n';
    }
    QTemporaryFile copy;
    if (!copy.open() || copy.write(parsedContent) != parsedContent.size() || !copy.flush())
        return QStringLiteral("cannot be checked (") + copy.errorString() + QLatin1Char(')');
    const std::unique_ptr<QSettings> parsed = SettingsStore::openFile(copy.fileName());
    parsed->allKeys();
    if (parsed->status() == QSettings::FormatError)
        return QStringLiteral("cannot be parsed");
    return QString();
}

QString UpdaterSettings::signingSummary() const
{
    if (!systemError.isEmpty())
        return QStringLiteral("unknown, ") + systemError;
    if (publicKeys.isEmpty())
        return QStringLiteral("off");
    QList<QByteArray> parsed;
    QString error;
    QString summary = UpdateSignature::parsePublicKeys(publicKeys, &parsed, &error)
        ? QStringLiteral("on, %1 %2").arg(parsed.size()).arg(QLatin1String(parsed.size() == 1 ? "key" : "keys"))
        : QStringLiteral("on, no usable key: ") + error;
    if (!caFile.isEmpty())
        summary += QStringLiteral(", CA file");
    return summary;
}

void UpdaterSettings::logSigning() const
{
    if (!systemError.isEmpty()) {
        qCritical().noquote() << "[Settings]" << systemError
                              << "- whether updates must be signed is unknown, nothing is installed until it can be read";
        return;
    }
    qDebug().noquote() << "[Settings] signing:" << signing
                       << (caFile.isEmpty() ? QStringLiteral("(https trusts the system's CAs)")
                                            : QStringLiteral("(https trusts only ") + caFile + QLatin1Char(')'))
                       << (product.isEmpty() ? QStringLiteral("product: any") : QStringLiteral("product: ") + product);
}

const UpdaterSettings::Key *UpdaterSettings::storedKey(const ControlKeys::Key &channel)
{
    if (ControlKeys::isReadOnly(channel))
        return nullptr;
    for (const Key &key : keys) {
        if (qstrcmp(key.storeKey, channel.storeKey) == 0)
            return &key;
    }
    return nullptr;
}

QVariant UpdaterSettings::channelValue(const ControlKeys::Key &channel)
{
    if (channel.id == ControlKeys::Signing)
        return signing;
    // Read-only here: a rollback writes it, the next installation clears it.
    if (channel.id == ControlKeys::RolledBackVersion)
        return rolledBackVersion;
    const Key *key = storedKey(channel);
    if (!key)
        return QVariant();
    if (key->channelRead == C::Stored)
        return readStored(*key);
    if (key->kind == K::Text)
        return this->*key->text;
    return this->*key->number;
}

void UpdaterSettings::setChannelValue(const ControlKeys::Key &channel, const QVariant &value)
{
    if (const Key *key = storedKey(channel))
        write(*key, value);
}

void UpdaterSettings::setAppVersionCode(int version)
{
    write(keys[AppVersion], version);
}

int UpdaterSettings::getAppVersionCode()
{
    return readStored(keys[AppVersion]).toInt();
}

void UpdaterSettings::setActiveDownload(int op)
{
    write(keys[Download], op);
}

void UpdaterSettings::setActiveUpdate(int op)
{
    write(keys[Update], op);
}

QString UpdaterSettings::getDownloadLink()
{
    return readStored(keys[UpdateLink]).toString();
}

void UpdaterSettings::setDownloadLink(QString link)
{
    write(keys[UpdateLink], link);
}

void UpdaterSettings::setAppDir(QString dir)
{
    write(keys[AppFolder], dir);
}

QString UpdaterSettings::getAppDir()
{
    readStored(keys[AppFolder]);
    return appFolder;
}

void UpdaterSettings::setPeriodCheckUpdate(int period)
{
    write(keys[Period], period);
}

int UpdaterSettings::getPeriodCheckUpdate()
{
    return readStored(keys[Period]).toInt();
}

int UpdaterSettings::storedNice(const QSettings &store)
{
    const Key &key = keys[Nice];
    bool ok = false;
    const int number = store.value(QLatin1String(key.storeKey), -1).toInt(&ok);
    if (!ok)
        return 0;
    return number < 0 ? key.defaultNumber : number;
}

QString UpdaterSettings::getDeviceId()
{
    return readStored(keys[DeviceId]).toString();
}

void UpdaterSettings::setDeviceId(QString id)
{
    write(keys[DeviceId], id);
}

bool UpdaterSettings::isRefused(int versionCode)
{
    return refusedList().contains(QString::number(versionCode));
}

QStringList UpdaterSettings::refusedList()
{
    return refusedCodes(readStored(keys[Refused]).toString());
}

bool UpdaterSettings::refuseVersion(int versionCode)
{
    QStringList codes = refusedCodes(readStored(keys[Refused]).toString());
    if (!codes.contains(QString::number(versionCode))) {
        codes << QString::number(versionCode);
        write(keys[Refused], codes.join(QLatin1Char(',')));
    }
    return ownFileHolds(keys[Refused], codes.join(QLatin1Char(',')));
}

bool UpdaterSettings::storeVersionCode(int versionCode)
{
    setAppVersionCode(versionCode);
    return ownFileHolds(keys[AppVersion], versionCode);
}

void UpdaterSettings::setRolledBackVersion(int versionCode)
{
    write(keys[RolledBack], versionCode);
}

bool UpdaterSettings::ownFileHolds(const Key &key, const QVariant &value)
{
    // A fresh store of the file alone reads it from disk again; it would also write any change
    // still pending from a failed sync, and say so in its status.
    const std::unique_ptr<QSettings> own = SettingsStore::openFile(store.fileName());
    own->sync();
    if (own->status() != QSettings::NoError)
        return false;
    if (key.kind == K::Number)
        return own->value(QLatin1String(key.storeKey)).toInt() == value.toInt();
    return SettingsStore::text(*own, QLatin1String(key.storeKey)) == value.toString();
}
