#include "fleetreport.h"

#include "fleetaggregator.h"
#include "logfilereader.h"
#include "reporthtmlwriter.h"
#include "reportjsonwriter.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

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
    // Both files are written in full before either replaces its old one, so that a failure leaves
    // the previous pair as it was.
    QSaveFile html(options.htmlPath);
    QSaveFile json(options.jsonPath.isEmpty() ? options.htmlPath : options.jsonPath);
    const auto fail = [error](const QSaveFile &file) {
        *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    };
    if (!html.open(QIODevice::WriteOnly) || html.write(ReportHtmlWriter::render(facts)) < 0)
        return fail(html);
    if (!options.jsonPath.isEmpty()) {
        if (!json.open(QIODevice::WriteOnly) || json.write(ReportJsonWriter::toJson(facts)) < 0)
            return fail(json);
        if (!json.commit())
            return fail(json);
    }
    return html.commit() || fail(html);
}
