#include "updaterrun.h"

#include <QTest>

UpdaterRun::UpdaterRun(const QProcessEnvironment &environment, const QStringList &arguments)
    : ChildRun(environment)
{
    start(QStringLiteral(UPDATER_BIN), arguments);
}

bool UpdaterRun::waitUntilReady(int ms)
{
    return waitForLine(QStringLiteral("$UPDATER_SERVER_READY"), ms);
}

QStringList UpdaterRun::tokens()
{
    QStringList result;
    for (const QString &line : lines()) {
        if (line.startsWith(QLatin1Char('$')))
            result << line.trimmed();
    }
    return result;
}

bool UpdaterRun::waitForToken(const QString &token, int ms)
{
    return QTest::qWaitFor([&] { return tokens().contains(token); }, ms);
}

bool UpdaterRun::terminate(int ms)
{
    process.terminate();
    return process.waitForFinished(ms) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
