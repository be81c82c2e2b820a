// Stand-in for the programs the launcher starts (main application, message window, updater).
// Behaviour is chosen by options, given on the command line and/or in "<program>.options" next to
// the binary (one argument per line), because the launcher itself passes only its own options.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

void writeLine(FILE *stream, const QString &text)
{
    // One write per line, so that a line with "\n" escapes reaches the reader as one chunk.
    QString expanded = text;
    expanded.replace(QLatin1String("\\n"), QLatin1String("\n"));
    const QByteArray bytes = expanded.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QStringList optionsFromFile()
{
    QFile file(QCoreApplication::applicationFilePath() + QStringLiteral(".options"));
    QStringList result;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return result;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (!line.trimmed().isEmpty())
            result << line.trimmed();
    }
    return result;
}

QString versionString()
{
    QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/version.txt"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("unknown");
    return QString::fromUtf8(file.readAll()).trimmed();
}

bool record(const QString &path)
{
    QJsonObject entry;
    entry.insert(QStringLiteral("program"), QCoreApplication::applicationFilePath());
    entry.insert(QStringLiteral("arguments"), QJsonArray::fromStringList(QCoreApplication::arguments().mid(1)));
    entry.insert(QStringLiteral("version"), versionString());
    entry.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    return file.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n') > 0;
}

// Seconds (fractions allowed) to milliseconds; -1 when the option is absent, -2 when it is invalid.
int millisecondsOf(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    if (!parser.isSet(option))
        return -1;
    bool ok = false;
    const double seconds = parser.value(option).toDouble(&ok);
    if (!ok || seconds < 0)
        return -2;
    return int(seconds * 1000 + 0.5);
}

}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("standin"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Stand-in child program for tests and the demo.\n"
        "Options are also read from \"<this program's path>.options\" (one argument per line),\n"
        "so that a copy of this program behaves as configured when the launcher starts it.\n"
        "Texts written with --say* may contain \\n for a line break inside one write.\n"
        "Without --exit-after or --crash-after it runs until it is terminated."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption alive(QStringLiteral("alive"), QStringLiteral("Write the alive text at start and every <seconds> (fractions allowed)."), QStringLiteral("seconds"));
    const QCommandLineOption aliveText(QStringLiteral("alive-text"), QStringLiteral("Text written by --alive (default \"$ALIVE\")."), QStringLiteral("text"), QStringLiteral("$ALIVE"));
    const QCommandLineOption silentAfter(QStringLiteral("silent-after"), QStringLiteral("Stop writing the alive text after <seconds>."), QStringLiteral("seconds"));
    const QCommandLineOption exitAfter(QStringLiteral("exit-after"), QStringLiteral("Exit normally after <seconds> (0: as soon as the event loop runs)."), QStringLiteral("seconds"));
    const QCommandLineOption exitCode(QStringLiteral("exit-code"), QStringLiteral("Exit code for --exit-after (default 0)."), QStringLiteral("code"), QStringLiteral("0"));
    const QCommandLineOption crashAfter(QStringLiteral("crash-after"), QStringLiteral("Abort (crash) after <seconds>, without --say-before-exit texts."), QStringLiteral("seconds"));
    const QCommandLineOption ignoreTerm(QStringLiteral("ignore-sigterm"), QStringLiteral("Ignore SIGTERM (only SIGKILL ends the program)."));
    const QCommandLineOption say(QStringLiteral("say"), QStringLiteral("Write <text> as a line on stdout at start (repeatable), e.g. \"$PLESSA_START\"."), QStringLiteral("text"));
    const QCommandLineOption sayDelay(QStringLiteral("say-delay"), QStringLiteral("Write the --say and --say-stderr texts after <seconds> instead of at start."), QStringLiteral("seconds"));
    const QCommandLineOption sayStderr(QStringLiteral("say-stderr"), QStringLiteral("Write <text> as a line on stderr at start (repeatable)."), QStringLiteral("text"));
    const QCommandLineOption sayBeforeExit(QStringLiteral("say-before-exit"), QStringLiteral("Write <text> on stdout right before a normal exit (repeatable), e.g. \"$QUIT\", \"$UPDATING\"."), QStringLiteral("text"));
    const QCommandLineOption sayBeforeExitStderr(QStringLiteral("say-before-exit-stderr"), QStringLiteral("Write <text> on stderr right before a normal exit (repeatable)."), QStringLiteral("text"));
    const QCommandLineOption recordFile(QStringLiteral("record"), QStringLiteral("Append one JSON line {program, arguments, version, pid} to <file> at start. The version is the content of version.txt next to the program, or \"unknown\"."), QStringLiteral("file"));
    const QCommandLineOption fullscreen(QStringLiteral("fullscreen"), QStringLiteral("Accepted like the main application's option; no effect."));
    const QCommandLineOption text(QStringLiteral("text"), QStringLiteral("Accepted like the message window's option; no effect."), QStringLiteral("text"));
    parser.addOptions({alive, aliveText, silentAfter, exitAfter, exitCode, crashAfter, ignoreTerm, say, sayDelay, sayStderr,
                       sayBeforeExit, sayBeforeExitStderr, recordFile, fullscreen, text});

    QStringList arguments = QCoreApplication::arguments();
    arguments = QStringList{arguments.value(0)} + optionsFromFile() + arguments.mid(1);
    // Unknown options are tolerated: the launcher decides what its children receive.
    parser.parse(arguments);
    if (parser.isSet(helpOption))
        parser.showHelp(0);

    const int aliveMs = millisecondsOf(parser, alive);
    const int silentMs = millisecondsOf(parser, silentAfter);
    const int exitMs = millisecondsOf(parser, exitAfter);
    const int crashMs = millisecondsOf(parser, crashAfter);
    const int sayMs = millisecondsOf(parser, sayDelay);
    bool codeOk = false;
    const int code = parser.value(exitCode).toInt(&codeOk);
    if (aliveMs == -2 || silentMs == -2 || exitMs == -2 || crashMs == -2 || sayMs == -2 || !codeOk) {
        std::fputs("standin: invalid number in options\n", stderr);
        return 2;
    }

    if (parser.isSet(ignoreTerm))
        std::signal(SIGTERM, SIG_IGN);

    if (parser.isSet(recordFile) && !record(parser.value(recordFile)))
        std::fprintf(stderr, "standin: cannot write %s\n", qPrintable(parser.value(recordFile)));

    const QStringList sayOut = parser.values(say);
    const QStringList sayErr = parser.values(sayStderr);
    auto sayAll = [sayOut, sayErr] {
        for (const QString &line : sayOut)
            writeLine(stdout, line);
        for (const QString &line : sayErr)
            writeLine(stderr, line);
    };
    if (sayMs > 0)
        QTimer::singleShot(sayMs, &app, sayAll);
    else
        sayAll();

    QTimer aliveTimer;
    if (aliveMs >= 0) {
        const QString token = parser.value(aliveText);
        writeLine(stdout, token);
        aliveTimer.setInterval(qMax(aliveMs, 1));
        QObject::connect(&aliveTimer, &QTimer::timeout, [token] { writeLine(stdout, token); });
        aliveTimer.start();
        if (silentMs >= 0)
            QTimer::singleShot(silentMs, &aliveTimer, &QTimer::stop);
    }

    if (exitMs >= 0) {
        const QStringList outLines = parser.values(sayBeforeExit);
        const QStringList errLines = parser.values(sayBeforeExitStderr);
        QTimer::singleShot(exitMs, &app, [=] {
            for (const QString &line : outLines)
                writeLine(stdout, line);
            for (const QString &line : errLines)
                writeLine(stderr, line);
            QCoreApplication::exit(code);
        });
    }
    if (crashMs >= 0)
        QTimer::singleShot(crashMs, [] { std::abort(); });

    return app.exec();
}
