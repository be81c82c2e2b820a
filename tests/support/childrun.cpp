#include "childrun.h"

#include <QTest>

ChildRun::ChildRun(const QProcessEnvironment &environment)
{
    process.setProcessEnvironment(environment);
}

ChildRun::~ChildRun()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void ChildRun::start(const QString &program, const QStringList &arguments)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
}

QByteArray ChildRun::output()
{
    m_output += process.readAllStandardOutput();
    return m_output;
}

QStringList ChildRun::lines()
{
    return QString::fromUtf8(output()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool ChildRun::waitForLine(const QString &line, int ms)
{
    return QTest::qWaitFor([&] { return lines().contains(line); }, ms);
}
