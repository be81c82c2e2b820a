#include "ctlcommand.h"

#include "keycheck.h"

#include <QCommandLineParser>

namespace {
const char description[] =
    "Shows and changes the state of this device's updater over its control channel.\n"
    "\n"
    "Commands:\n"
    "  status            update state, download state, installed and offered version,\n"
    "                    progress of a running download, whether updates must be signed\n"
    "  check             asks for an update check now\n"
    "  install --force   installs the ready update now, even while the application runs\n"
    "                    (without --force the launcher installs it when the application is not running);\n"
    "                    a running application keeps its old code until it restarts, and the new\n"
    "                    version's probation counts only from that start\n"
    "  get KEY...        prints the values of the keys; with --source also where each comes from\n"
    "                    (user file, system file or built-in default)\n"
    "  set KEY VALUE     changes a value and reads it back\n"
    "\n"
    "Keys: %1 (read and write);\n"
    "%2 (read only).\n"
    "\n"
    "Exit codes: 0 done; 1 the updater did not do it (value not confirmed, checks off, nothing to\n"
    "install, installation failed, connection closed); 2 usage error; 3 updater not running (no socket);\n"
    "4 socket refused the connection; 5 unknown or read-only key; 6 no answer in time.";

struct Options
{
    QCommandLineOption json{QStringLiteral("json"), QStringLiteral("Prints one JSON object (status, get).")};
    QCommandLineOption force{QStringLiteral("force"), QStringLiteral("Lets install run while the application runs.")};
    QCommandLineOption source{QStringLiteral("source"),
                              QStringLiteral("With get: says where each value comes from.")};
    QCommandLineOption timeout{QStringLiteral("timeout"), QStringLiteral("Seconds to wait for each answer (default 5)."),
                               QStringLiteral("seconds"), QStringLiteral("5")};
};

void setUp(QCommandLineParser &parser, const Options &options)
{
    QStringList readOnly = KeyCheck::names();
    for (const QString &name : KeyCheck::writableNames())
        readOnly.removeAll(name);
    parser.setApplicationDescription(QString::fromLatin1(description)
                                         .arg(KeyCheck::writableNames().join(QLatin1String(", ")),
                                              readOnly.join(QLatin1String(", "))));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(options.json);
    parser.addOption(options.force);
    parser.addOption(options.source);
    parser.addOption(options.timeout);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("status, check, install, get or set"),
                                 QStringLiteral("command [arguments]"));
}
}

QString CtlCommand::helpText()
{
    QCommandLineParser parser;
    Options options;
    setUp(parser, options);
    return parser.helpText();
}

CtlCommand CtlCommand::parse(const QStringList &arguments)
{
    CtlCommand command;
    QCommandLineParser parser;
    Options options;
    setUp(parser, options);
    if (!parser.parse(arguments)) {
        command.error = parser.errorText();
        return command;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        command.help = true;
        return command;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        command.version = true;
        return command;
    }
    command.json = parser.isSet(options.json);
    command.force = parser.isSet(options.force);
    command.source = parser.isSet(options.source);
    bool ok = false;
    const double seconds = parser.value(options.timeout).toDouble(&ok);
    if (!ok || seconds <= 0 || seconds > 3600) {
        command.error = QStringLiteral("--timeout takes seconds above 0 and up to 3600");
        return command;
    }
    command.timeoutMs = int(seconds * 1000);

    QStringList args = parser.positionalArguments();
    if (args.isEmpty()) {
        command.error = QStringLiteral("no command given");
        return command;
    }
    const QString verb = args.takeFirst();
    Name name = Name::None;
    int least = 0;
    int most = 0;
    if (verb == QLatin1String("status")) {
        name = Name::Status;
    } else if (verb == QLatin1String("check")) {
        name = Name::Check;
    } else if (verb == QLatin1String("install")) {
        name = Name::Install;
    } else if (verb == QLatin1String("get")) {
        name = Name::Get;
        least = 1;
        most = 1000;
    } else if (verb == QLatin1String("set")) {
        name = Name::Set;
        least = most = 2;
    } else {
        command.error = QStringLiteral("unknown command \"%1\"").arg(verb);
        return command;
    }
    if (args.size() < least || args.size() > most) {
        command.error = name == Name::Get   ? QStringLiteral("get needs one or more keys")
                        : name == Name::Set ? QStringLiteral("set needs a key and a value")
                                            : QStringLiteral("%1 takes no arguments").arg(verb);
        return command;
    }
    if (command.source && name != Name::Get) {
        command.error = QStringLiteral("--source goes with get only");
        return command;
    }
    if (name == Name::Set) {
        command.keys = QStringList{args.at(0)};
        command.value = args.at(1);
    } else {
        command.keys = args;
    }
    command.name = name;
    return command;
}
