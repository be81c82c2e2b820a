#include "ctlcommand.h"
#include "ctlrunner.h"
#include "exitcode.h"
#include "updaterlocation.h"

#include <QCoreApplication>
#include <QTextStream>

#include <csignal>

int main(int argc, char *argv[])
{
    // An updater that goes away mid-request must give an error text, not end this command silently.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("tovrel"));
    QCoreApplication::setApplicationName(QStringLiteral("tovrel-ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOVREL_CTL_VERSION));

    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setCodec("UTF-8");
    err.setCodec("UTF-8");

    const CtlCommand command = CtlCommand::parse(app.arguments());
    if (command.help) {
        out << CtlCommand::helpText();
        return ExitCode::Ok;
    }
    if (command.version) {
        out << "tovrel-ctl " << QCoreApplication::applicationVersion() << '\n';
        return ExitCode::Ok;
    }
    if (command.name == CtlCommand::Name::None) {
        err << "tovrel-ctl: " << command.error << " (see tovrel-ctl --help)\n";
        return ExitCode::Usage;
    }
    CtlRunner runner(command, out, err);
    return runner.run(UpdaterLocation::socketFor(UpdaterLocation::serverName()));
}
