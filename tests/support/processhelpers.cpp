#include "processhelpers.h"
#include "testfiles.h"

#include <QFileInfo>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

ProcessHelpers::ToolRun ProcessHelpers::runTool(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments);
    ToolRun run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QString ProcessHelpers::installStandin(const QString &standinBinary, const QString &folder, const QString &name,
                                       const QStringList &options, const QString &version)
{
    if (!QDir().mkpath(folder))
        return QString();
    const QString path = folder + QLatin1Char('/') + name;
    QFile::remove(path);
    if (!QFile::copy(standinBinary, path))
        return QString();
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ReadOwner);

    QFile optionsFile(path + QStringLiteral(".options"));
    if (!optionsFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    for (const QString &option : options)
        optionsFile.write(option.toUtf8() + '\n');
    optionsFile.close();

    if (!version.isEmpty()) {
        QFile versionFile(folder + QStringLiteral("/version.txt"));
        if (!versionFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString();
        versionFile.write(version.toUtf8() + '\n');
    }
    return path;
}

QList<QJsonObject> ProcessHelpers::readRecords(const QString &recordFile)
{
    QList<QJsonObject> records;
    QFile file(recordFile);
    if (!file.open(QIODevice::ReadOnly))
        return records;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.trimmed().isEmpty())
            records << QJsonDocument::fromJson(line).object();
    }
    return records;
}

bool ProcessHelpers::waitForRecords(const QString &recordFile, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return readRecords(recordFile).size() >= count; }, timeoutMs);
}

QStringList ProcessHelpers::recordArguments(const QJsonObject &record)
{
    QStringList arguments;
    const QJsonArray array = record.value(QStringLiteral("arguments")).toArray();
    for (const QJsonValue &value : array)
        arguments << value.toString();
    return arguments;
}

bool ProcessHelpers::processExists(qint64 pid)
{
    if (pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // "pid (comm) state ..."; comm may contain blanks, so look after the last ')'.
    const QByteArray content = stat.readAll();
    const int close = content.lastIndexOf(')');
    return close >= 0 && content.size() > close + 2 && content.at(close + 2) != 'Z';
}

bool ProcessHelpers::waitForProcessGone(qint64 pid, int timeoutMs)
{
    return QTest::qWaitFor([&] { return !processExists(pid); }, timeoutMs);
}

bool ProcessHelpers::isEmulated(qint64 pid)
{
    const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath();
    return QFileInfo(exe).fileName().startsWith(QLatin1String("qemu-"));
}

QList<qint64> ProcessHelpers::childrenOf(qint64 pid)
{
    QList<qint64> children;
    QFile f(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return children;
    const QList<QByteArray> ids = f.readAll().simplified().split(' ');
    for (const QByteArray &id : ids) {
        if (!id.isEmpty())
            children << id.toLongLong();
    }
    return children;
}

QStringList ProcessHelpers::commandLineOf(qint64 pid)
{
    const QStringList args = TestFiles::readArguments(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return isEmulated(pid) ? QStringList(args.mid(2)) : args;
}

QString ProcessHelpers::executableOf(qint64 pid)
{
    if (!isEmulated(pid))
        return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath();
    // "interpreter program argv0 args...": the program is the second part.
    QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
    const QList<QByteArray> parts = f.open(QIODevice::ReadOnly) ? f.readAll().split('\0') : QList<QByteArray>();
    return parts.size() > 1 ? QFileInfo(QString::fromUtf8(parts.at(1))).canonicalFilePath() : QString();
}
