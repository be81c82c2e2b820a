#include "fleetreport.h"

#include "fleetaggregator.h"
#include "logfilereader.h"
#include "reporthtmlwriter.h"
#include "reportjsonwriter.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <limits>

bool FleetReport::collect(const Options &options, QJsonObject *facts, QString *error)
{
    ReportJsonWriter::Context context;
    context.now = options.now;
    context.sinceDays = options.sinceDays;
    context.silentAfterHours = options.silentAfterHours;
    if (!options.infoPath.isEmpty()) {
        QFile info(options.infoPath);
        if (!info.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1: %2").arg(options.infoPath, info.errorString());
            return false;
        }
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(info.readAll(), &parseError);
        if (!document.isObject()) {
            *error = QStringLiteral("%1 is not update information (a JSON object): %2")
                         .arg(options.infoPath, parseError.errorString());
            return false;
        }
        context.info = document.object();
    }

    FleetAggregator fleet(options.sinceDays > 0 ? options.now - qint64(options.sinceDays) * 86400
                                                : std::numeric_limits<qint64>::min());
    for (const QString &path : options.logs) {
        const QString name = QFileInfo(path).fileName();
        fleet.beginFile(name);
        context.files << name;
        QString problem;
        if (!LogFileReader::read(path, [&fleet](std::string_view line) { fleet.addLine(line); }, &problem)) {
            // A file that is not there is a mistake in the command; one that breaks off is a
            // rotation being written or cut short, and what came before still counts.
            if (!QFileInfo(path).isReadable() || QFileInfo(path).isDir()) {
                *error = problem;
                return false;
            }
            context.fileProblems << problem;
        }
    }
    *facts = ReportJsonWriter::facts(fleet, context);
    return true;
}

bool FleetReport::run(const Options &options, QString *error)
{
    QJsonObject facts;
    if (!collect(options, &facts, error))
        return false;
    if (!options.jsonPath.isEmpty() && !ReportJsonWriter::write(options.jsonPath, facts, error))
        return false;
    return ReportHtmlWriter::write(options.htmlPath, facts, error);
}
