#include "ctlrunner.h"

#include "exitcode.h"
#include "keycheck.h"
#include "probationrecord.h"
#include "protocol.h"
#include "settingsstore.h"
#include "statusreport.h"

#include <QJsonDocument>

namespace {
namespace Key = Protocol::Key;
namespace State = Protocol::State;

// Extraction of a big package runs inside the updater before it can report the result.
const int installResultMs = 120000;

QJsonObject action(const char *name)
{
    return QJsonObject{{QLatin1String(Key::Action), QLatin1String(name)}};
}
}

CtlRunner::CtlRunner(const CtlCommand &command, QTextStream &out, QTextStream &err)
    : command(command)
    , out(out)
    , err(err)
    , client(command.timeoutMs)
{
}

int CtlRunner::fail(int code, const QString &message)
{
    err << "tovrel-ctl: " << message << '\n';
    err.flush();
    return code;
}

int CtlRunner::failed(ControlClient::Result result)
{
    switch (result) {
    case ControlClient::Result::NotRunning: return fail(ExitCode::NotRunning, client.errorText());
    case ControlClient::Result::Refused: return fail(ExitCode::Refused, client.errorText());
    case ControlClient::Result::TimedOut: return fail(ExitCode::TimedOut, client.errorText());
    case ControlClient::Result::Closed: return fail(ExitCode::NotDone, client.errorText());
    case ControlClient::Result::Ok: break;
    }
    return ExitCode::Ok;
}

int CtlRunner::run(const QString &socketName)
{
    // Keys are checked before connecting: a typing error needs no running updater to be found.
    for (const QString &name : command.keys) {
        const ControlKeys::Key *key = KeyCheck::find(name);
        if (!key)
            return fail(ExitCode::BadKey, QStringLiteral("unknown key \"%1\"; keys: %2")
                                              .arg(name, KeyCheck::names().join(QLatin1String(", "))));
        if (command.name == CtlCommand::Name::Set && ControlKeys::isReadOnly(*key))
            return fail(ExitCode::BadKey, QStringLiteral("%1 is read-only; writable keys: %2")
                                              .arg(name, KeyCheck::writableNames().join(QLatin1String(", "))));
    }
    if (command.name == CtlCommand::Name::Install && !command.force)
        return fail(ExitCode::NotDone,
                    QStringLiteral("nothing done: the launcher installs a ready update by itself when the "
                                   "application is not running. \"install --force\" installs it now, even "
                                   "under a running application."));

    const ControlClient::Result opened = client.open(socketName);
    if (opened != ControlClient::Result::Ok)
        return failed(opened);
    switch (command.name) {
    case CtlCommand::Name::Status: return status();
    case CtlCommand::Name::Check: return check();
    case CtlCommand::Name::Install: return install();
    case CtlCommand::Name::Get: return get();
    case CtlCommand::Name::Set: return set();
    case CtlCommand::Name::None: break;
    }
    return fail(ExitCode::Usage, QStringLiteral("no command"));
}

int CtlRunner::status()
{
    QJsonObject values;
    const ControlClient::Result result = client.get(KeyCheck::names(), &values);
    if (result != ControlClient::Result::Ok)
        return failed(result);
    // The updater does not count a probation; the launcher does, in a record of its own.
    if (values.value(QLatin1String(Key::StateProbation)).toString() == QLatin1String(Protocol::Probation::Kept)) {
        const QJsonObject counted = ProbationRecord::read(values.value(QLatin1String(Key::InstalledVersion)).toInt());
        for (auto it = counted.constBegin(); it != counted.constEnd(); ++it)
            values.insert(it.key(), it.value());
    }
    if (command.json)
        out << QJsonDocument(StatusReport::json(values)).toJson(QJsonDocument::Compact) << '\n';
    else
        out << StatusReport::text(values);
    out.flush();
    return ExitCode::Ok;
}

int CtlRunner::get()
{
    QJsonObject values;
    const ControlClient::Result result = client.get(command.keys, &values);
    if (result != ControlClient::Result::Ok)
        return failed(result);
    for (const QString &name : command.keys) {
        if (!values.contains(name))
            return fail(ExitCode::BadKey, QStringLiteral("the running updater does not know %1 (an older "
                                                         "version; it learns it when it is restarted)")
                                              .arg(name));
    }
    QJsonObject sources;
    if (command.source) {
        const auto store = SettingsStore::open(QStringLiteral("tovrel"), QStringLiteral("updater"));
        // The user's file alone: the store above also sees the system file behind it.
        const auto user = SettingsStore::openFile(store->fileName());
        const auto system = SettingsStore::openSystem(QStringLiteral("tovrel"), QStringLiteral("updater"));
        for (const QString &name : command.keys)
            sources.insert(name, KeyCheck::source(*KeyCheck::find(name), *user, *system));
    }
    if (command.json) {
        if (command.source)
            values.insert(QStringLiteral("source"), sources);
        out << QJsonDocument(values).toJson(QJsonDocument::Compact) << '\n';
    } else {
        for (const QString &name : command.keys) {
            out << name << '=' << KeyCheck::toText(values.value(name));
            if (command.source)
                out << " (" << sources.value(name).toString() << ')';
            out << '\n';
        }
    }
    out.flush();
    return ExitCode::Ok;
}

int CtlRunner::set()
{
    const QString name = command.keys.first();
    const ControlKeys::Key *key = KeyCheck::find(name);
    QJsonValue value;
    QString error;
    if (!KeyCheck::toValue(*key, command.value, &value, &error))
        return fail(ExitCode::Usage, error);

    QJsonObject request = action(Protocol::Action::Set);
    request.insert(name, value);
    ControlClient::Result result = client.send(request);
    QJsonObject values;
    if (result == ControlClient::Result::Ok)
        result = client.get({name}, &values);
    if (result != ControlClient::Result::Ok)
        return failed(result);
    // The server confirms nothing and normalises some values (active_* keep only 0 or 1).
    const QString now = KeyCheck::toText(values.value(name));
    if (now != KeyCheck::toText(value))
        return fail(ExitCode::NotDone,
                    QStringLiteral("not confirmed: the updater now has %1=%2, not %3").arg(name, now, command.value));
    out << name << '=' << now << '\n';
    out.flush();
    return ExitCode::Ok;
}

int CtlRunner::check()
{
    const QString period = QLatin1String(Key::Period);
    const QString active = QLatin1String(Key::ActiveDownload);
    QJsonObject values;
    ControlClient::Result result = client.get({period, active, QStringLiteral("progress"), QLatin1String(Key::Link)}, &values);
    if (result != ControlClient::Result::Ok)
        return failed(result);
    if (ControlKeys::isUnconfiguredLink(values.value(QLatin1String(Key::Link)).toString()))
        return fail(ExitCode::NotDone, QStringLiteral("no update server configured (link is \"%1\"); set "
                                                      "update/link in the system file for the fleet")
                                           .arg(values.value(QLatin1String(Key::Link)).toString()));
    if (values.value(period).toInt() <= 0)
        return fail(ExitCode::NotDone, QStringLiteral("checks are switched off (period is 0); \"set period "
                                                      "SECONDS\" switches them on"));
    if (values.value(active).toInt() != 1)
        return fail(ExitCode::NotDone, QStringLiteral("downloads are switched off (active_download is 0); "
                                                      "\"set active_download 1\" switches them on"));
    if (!values.value(QStringLiteral("progress")).toString().isEmpty())
        return fail(ExitCode::NotDone, QStringLiteral("a download is running; a check now would start it over"));

    result = client.send(action(Protocol::Action::DownloadUpdate));
    QJsonValue state;
    if (result == ControlClient::Result::Ok)
        result = client.waitForPush(QLatin1String(Key::StateDownload),
                                    {QLatin1String(State::Downloading), QLatin1String(State::NotActive)},
                                    command.timeoutMs, &state);
    if (result != ControlClient::Result::Ok)
        return failed(result);
    if (state.toString() != QLatin1String(State::Downloading))
        return fail(ExitCode::NotDone, QStringLiteral("the updater did not check: download state %1")
                                           .arg(state.toString()));
    out << "check started; \"tovrel-ctl status\" shows its result\n";
    out.flush();
    return ExitCode::Ok;
}

int CtlRunner::install()
{
    const QString stateKey = QLatin1String(Key::StateUpdate);
    QJsonObject values;
    ControlClient::Result result = client.get({stateKey}, &values);
    if (result != ControlClient::Result::Ok)
        return failed(result);
    // Without a verified package the updater would only report an error, which the launcher then
    // shows on the screen.
    if (values.value(stateKey).toString() != QLatin1String(State::Ready))
        return fail(ExitCode::NotDone, QStringLiteral("no update is ready to install (update state %1)")
                                           .arg(values.value(stateKey).toString()));

    result = client.send(action(Protocol::Action::Update));
    QJsonValue state;
    if (result == ControlClient::Result::Ok)
        result = client.waitForPush(stateKey, {QLatin1String(State::Updating)}, command.timeoutMs, &state);
    if (result == ControlClient::Result::Ok) {
        out << "installing...\n";
        out.flush();
        // The installation runs to its end within the updater's request handler: the next update
        // state is its result.
        result = client.waitForPush(stateKey, {}, qMax(installResultMs, command.timeoutMs), &state);
    }
    if (result != ControlClient::Result::Ok)
        return failed(result);
    if (state.toString() != QLatin1String(State::Updated))
        return fail(ExitCode::NotDone, QStringLiteral("installation failed: update state %1").arg(state.toString()));
    QJsonObject installed;
    if (client.get({QLatin1String(Key::InstalledVersion)}, &installed) == ControlClient::Result::Ok)
        out << "installed version " << KeyCheck::toText(installed.value(QLatin1String(Key::InstalledVersion))) << '\n';
    else
        out << "installed\n";
    out.flush();
    return ExitCode::Ok;
}
