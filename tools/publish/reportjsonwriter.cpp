#include "reportjsonwriter.h"

#include "fleetaggregator.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace {

QString deviceName(const QByteArray &raw)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(raw));
}

QString text(const FleetAggregator &fleet, int index)
{
    return index < 0 ? QString() : QString::fromUtf8(fleet.text(index));
}

QJsonArray refusedCodes(const QByteArray &list)
{
    QJsonArray codes;
    for (const QByteArray &item : list.split(',')) {
        bool ok = false;
        const int code = item.trimmed().toInt(&ok);
        if (ok)
            codes.append(code);
    }
    return codes;
}

double share(qint64 part, qint64 whole)
{
    return whole > 0 ? double(part) / double(whole) : 0.0;
}

// Which published version a served file is: the update information says, or the default package
// name "<key>-<code>.zip" of the publishing tool.
QJsonValue versionOfFile(const QString &file, const QJsonObject &info)
{
    for (auto it = info.constBegin(); it != info.constEnd(); ++it) {
        const QJsonObject entry = it.value().toObject();
        if (entry.value(QStringLiteral("file_name")).toString() == file && entry.value(QStringLiteral("version_code")).isDouble())
            return entry.value(QStringLiteral("version_code")).toInt();
    }
    static const QRegularExpression defaultName(QStringLiteral("-(\\d{1,9})\\.zip$"));
    const QRegularExpressionMatch match = defaultName.match(file);
    return match.hasMatch() ? QJsonValue(match.captured(1).toInt()) : QJsonValue();
}

QJsonObject logFacts(const FleetAggregator &fleet, const ReportJsonWriter::Context &context)
{
    QJsonArray examples;
    for (const FleetAggregator::Malformed &m : fleet.malformedExamples())
        examples.append(QJsonObject{{QStringLiteral("file"), m.file},
                                    {QStringLiteral("line"), m.line},
                                    {QStringLiteral("text"), QString::fromUtf8(m.text)}});
    QJsonObject log{{QStringLiteral("files"), QJsonArray::fromStringList(context.files)},
                    {QStringLiteral("problems"), QJsonArray::fromStringList(context.fileProblems)},
                    {QStringLiteral("lines"), fleet.lines()},
                    {QStringLiteral("other_requests"), fleet.otherRequests()},
                    {QStringLiteral("before_since"), fleet.earlierLines()},
                    {QStringLiteral("malformed"), fleet.malformedCount()},
                    {QStringLiteral("malformed_examples"), examples}};
    if (fleet.firstTime() <= fleet.lastTime()) {
        log.insert(QStringLiteral("first"), ReportJsonWriter::timeText(fleet.firstTime()));
        log.insert(QStringLiteral("last"), ReportJsonWriter::timeText(fleet.lastTime()));
    }
    return log;
}

// Devices per version now, per last state, and per version per day.
void countFacts(const FleetAggregator &fleet, QJsonObject *facts)
{
    const auto &devices = fleet.devices();
    QMap<int, qint64> perVersion;
    QMap<QString, qint64> perState;
    QMap<int, QMap<int, qint64>> perDay; // day -> version -> devices
    for (const FleetAggregator::Device &d : devices) {
        ++perVersion[d.version];
        ++perState[text(fleet, d.state)];
        for (const FleetAggregator::Day &day : d.days())
            ++perDay[day.day][day.version];
    }
    QJsonArray versions;
    for (auto it = perVersion.constEnd(); it != perVersion.constBegin();) {
        --it;
        versions.append(QJsonObject{{QStringLiteral("version"), it.key()},
                                    {QStringLiteral("devices"), it.value()},
                                    {QStringLiteral("share"), share(it.value(), devices.size())}});
    }
    facts->insert(QStringLiteral("versions"), versions);
    QJsonArray states;
    for (auto it = perState.constBegin(); it != perState.constEnd(); ++it)
        states.append(QJsonObject{{QStringLiteral("state"), it.key()}, {QStringLiteral("devices"), it.value()}});
    facts->insert(QStringLiteral("states"), states);
    QJsonArray days;
    for (auto it = perDay.constBegin(); it != perDay.constEnd(); ++it) {
        QJsonObject counts;
        for (auto v = it.value().constBegin(); v != it.value().constEnd(); ++v)
            counts.insert(QString::number(v.key()), v.value());
        days.append(QJsonObject{{QStringLiteral("day"), ReportJsonWriter::timeText(qint64(it.key()) * 86400).left(10)},
                                {QStringLiteral("devices"), counts}});
    }
    facts->insert(QStringLiteral("daily"), days);
}

struct DeviceRow
{
    qint64 time;
    QString device;
    QJsonObject object;
};

QJsonArray rows(QVector<DeviceRow> list, bool newestFirst)
{
    // Ties by device, so that the same log gives the same report.
    std::sort(list.begin(), list.end(), [newestFirst](const DeviceRow &a, const DeviceRow &b) {
        return a.time != b.time ? (newestFirst ? a.time > b.time : a.time < b.time) : a.device < b.device;
    });
    QJsonArray array;
    for (const DeviceRow &r : list)
        array.append(r.object);
    return array;
}

// The devices that fail, that rolled back, and that fell silent.
void deviceRowFacts(const FleetAggregator &fleet, const ReportJsonWriter::Context &context, QJsonObject *facts)
{
    QVector<DeviceRow> errors, rolledBack, silent;
    const qint64 silentBefore = context.now - qint64(context.silentAfterHours * 3600);
    for (auto it = fleet.devices().constBegin(); it != fleet.devices().constEnd(); ++it) {
        const FleetAggregator::Device &d = it.value();
        const QString id = deviceName(it.key());
        const QString state = text(fleet, d.state);
        const QString probation = text(fleet, d.probation);
        const QJsonObject base{{QStringLiteral("device"), id},
                               {QStringLiteral("version"), d.version},
                               {QStringLiteral("last_seen"), ReportJsonWriter::timeText(d.lastTime)}};
        if (state.startsWith(QLatin1String("error")) || probation == QLatin1String("rollback_error")) {
            QJsonObject row = base;
            row.insert(QStringLiteral("state"), state.startsWith(QLatin1String("error")) ? state : probation);
            errors.append({d.lastTime, id, row});
        }
        const QJsonArray refused = d.refused < 0 ? QJsonArray() : refusedCodes(fleet.text(d.refused));
        if (!refused.isEmpty()) {
            QJsonObject row = base;
            row.insert(QStringLiteral("refused"), refused);
            row.insert(QStringLiteral("probation"), probation);
            rolledBack.append({d.lastTime, id, row});
        }
        if (d.lastTime < silentBefore) {
            QJsonObject row = base;
            row.insert(QStringLiteral("state"), state);
            row.insert(QStringLiteral("silent_hours"), qint64((context.now - d.lastTime) / 3600));
            silent.append({d.lastTime, id, row});
        }
    }
    facts->insert(QStringLiteral("errors"), rows(errors, true));
    facts->insert(QStringLiteral("rolled_back"), rows(rolledBack, true));
    facts->insert(QStringLiteral("silent"), rows(silent, false));
}

// How far one entry of the update information has got among the devices in the log.
QJsonObject rolloutRow(const QString &key, const QJsonObject &entry, const FleetAggregator &fleet)
{
    const auto &devices = fleet.devices();
    const int code = entry.value(QStringLiteral("version_code")).toInt();
    const QJsonValue percent = entry.value(QStringLiteral("rollout"));
    // As the devices read it: no list or an empty one admits every device, a list of anything
    // but strings none.
    const QJsonValue list = entry.value(QStringLiteral("devices_id"));
    const QJsonArray ids = list.toArray();
    bool valid = list.isUndefined() || list.isArray();
    for (const QJsonValue &id : ids)
        valid = valid && id.isString();
    const bool listed = !valid || !ids.isEmpty();
    qint64 eligible = 0, took = 0;
    if (!valid) {
        // nobody
    } else if (listed) {
        for (const QJsonValue &id : ids) {
            const auto found = devices.constFind(QUrl::toPercentEncoding(id.toString()));
            if (found != devices.constEnd()) {
                ++eligible;
                took += found->version >= code;
            }
        }
    } else {
        eligible = devices.size();
        for (const FleetAggregator::Device &d : devices)
            took += d.version >= code;
    }
    QJsonObject row{{QStringLiteral("key"), key},
                    {QStringLiteral("version"), code},
                    {QStringLiteral("rollout"), percent.isUndefined() || percent.isNull() ? QJsonValue(100) : percent},
                    {QStringLiteral("eligible"), eligible},
                    {QStringLiteral("took"), took},
                    {QStringLiteral("share_took"), share(took, eligible)}};
    if (listed)
        row.insert(QStringLiteral("listed"), valid ? ids.size() : 0);
    return row;
}

// Bytes and requests per served file, most bytes first.
QJsonArray servedFacts(const FleetAggregator &fleet, const QJsonObject &info)
{
    QVector<QPair<qint64, QJsonObject>> served;
    for (auto it = fleet.served().constBegin(); it != fleet.served().constEnd(); ++it) {
        const QString file = QString::fromUtf8(QByteArray::fromPercentEncoding(it.key()));
        served.append({it->bytes, QJsonObject{{QStringLiteral("file"), file},
                                               {QStringLiteral("version"), versionOfFile(file, info)},
                                               {QStringLiteral("bytes"), it->bytes},
                                               {QStringLiteral("requests"), it->requests}}});
    }
    std::sort(served.begin(), served.end(), [](const auto &a, const auto &b) {
        return a.first != b.first ? a.first > b.first
                                  : a.second.value(QStringLiteral("file")).toString() < b.second.value(QStringLiteral("file")).toString();
    });
    QJsonArray servedArray;
    for (const auto &s : served)
        servedArray.append(s.second);
    return servedArray;
}

} // namespace

QString ReportJsonWriter::timeText(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

QJsonObject ReportJsonWriter::facts(const FleetAggregator &fleet, const Context &context)
{
    QJsonObject facts;
    facts.insert(QStringLiteral("generated_at"), timeText(context.now));
    facts.insert(QStringLiteral("since_days"), context.sinceDays > 0 ? QJsonValue(context.sinceDays) : QJsonValue());
    facts.insert(QStringLiteral("silent_after_hours"), context.silentAfterHours);
    facts.insert(QStringLiteral("log"), logFacts(fleet, context));
    facts.insert(QStringLiteral("devices"), fleet.devices().size());
    countFacts(fleet, &facts);
    QJsonArray rollout;
    for (auto it = context.info.constBegin(); it != context.info.constEnd(); ++it) {
        const QJsonObject entry = it.value().toObject();
        if (entry.value(QStringLiteral("version_code")).isDouble())
            rollout.append(rolloutRow(it.key(), entry, fleet));
    }
    facts.insert(QStringLiteral("rollout"), rollout);
    deviceRowFacts(fleet, context, &facts);
    facts.insert(QStringLiteral("served"), servedFacts(fleet, context.info));
    return facts;
}

QByteArray ReportJsonWriter::toJson(const QJsonObject &facts)
{
    return QJsonDocument(facts).toJson();
}
