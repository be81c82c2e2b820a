#include "reporthtmlwriter.h"

#include <QJsonArray>
#include <QLocale>
#include <QMap>
#include <QSet>
#include <QString>

namespace {

const char *const Palette[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                               "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};

QString esc(const QString &text)
{
    return text.toHtmlEscaped();
}

QString number(qint64 n)
{
    return QLocale::c().toString(n);
}

QString percent(double share)
{
    return QString::number(share * 100.0, 'f', 1) + QLatin1Char('%');
}

QString bytesText(qint64 bytes)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    return (unit == 0 ? QString::number(bytes) : QString::number(value, 'f', 1)) + QLatin1Char(' ')
        + QLatin1String(units[unit]);
}

QString timeShort(const QString &iso)
{
    QString t = iso;
    t.replace(QLatin1Char('T'), QLatin1Char(' '));
    t.remove(QLatin1Char('Z'));
    return t.left(16);
}

// Every version gets the same colour in every chart.
class Colours
{
public:
    explicit Colours(const QJsonObject &facts)
    {
        QSet<int> seen;
        for (const QJsonValue &v : facts.value(QStringLiteral("versions")).toArray())
            seen.insert(v.toObject().value(QStringLiteral("version")).toInt());
        for (const QJsonValue &d : facts.value(QStringLiteral("daily")).toArray()) {
            const QJsonObject counts = d.toObject().value(QStringLiteral("devices")).toObject();
            for (auto it = counts.constBegin(); it != counts.constEnd(); ++it)
                seen.insert(it.key().toInt());
        }
        QList<int> sorted = seen.values();
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < sorted.size(); ++i)
            m_index.insert(sorted.at(i), i);
    }
    QString of(int version) const
    {
        return QLatin1String(Palette[m_index.value(version) % int(sizeof Palette / sizeof *Palette)]);
    }
    QList<int> versions() const { return m_index.keys(); }

private:
    QMap<int, int> m_index;
};

QString bar(double share, const QString &colour)
{
    return QStringLiteral("<span class=\"bar\"><span style=\"width:%1%;background:%2\"></span></span>")
        .arg(QString::number(qBound(0.0, share, 1.0) * 100.0, 'f', 1), colour);
}

QString dailyChart(const QJsonArray &days, const Colours &colours)
{
    if (days.isEmpty())
        return QStringLiteral("<p class=\"none\">No requests of devices in the log.</p>");
    const int width = 960, height = 260, left = 48, bottom = 28, top = 8;
    qint64 highest = 1;
    for (const QJsonValue &d : days) {
        qint64 total = 0;
        const QJsonObject counts = d.toObject().value(QStringLiteral("devices")).toObject();
        for (auto it = counts.constBegin(); it != counts.constEnd(); ++it)
            total += it.value().toVariant().toLongLong();
        highest = qMax(highest, total);
    }
    const double plotWidth = width - left - 8, plotHeight = height - bottom - top;
    const double slot = plotWidth / days.size();
    const double barWidth = qMax(1.0, slot * 0.8);
    QString svg = QStringLiteral("<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %1 %2\" "
                                 "width=\"%1\" height=\"%2\" role=\"img\" aria-label=\"devices per version per day\">")
                      .arg(width).arg(height);
    for (int i = 0; i <= 4; ++i) {
        const double y = top + plotHeight - plotHeight * i / 4.0;
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" class=\"grid\"/>"
                              "<text x=\"%4\" y=\"%5\" class=\"axis\" text-anchor=\"end\">%6</text>")
                   .arg(left).arg(width - 8).arg(y, 0, 'f', 1).arg(left - 4).arg(y + 4, 0, 'f', 1)
                   .arg(number(qRound64(double(highest) * i / 4.0)));
    }
    const int labelEvery = qMax(1, int(days.size() / 10));
    for (int i = 0; i < days.size(); ++i) {
        const QJsonObject day = days.at(i).toObject();
        const QJsonObject counts = day.value(QStringLiteral("devices")).toObject();
        const double x = left + i * slot + (slot - barWidth) / 2;
        double y = top + plotHeight;
        for (int version : colours.versions()) {
            const qint64 n = counts.value(QString::number(version)).toVariant().toLongLong();
            if (n <= 0)
                continue;
            const double h = plotHeight * double(n) / double(highest);
            y -= h;
            svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\">"
                                  "<title>%6: version %7, %8 devices</title></rect>")
                       .arg(x, 0, 'f', 1).arg(y, 0, 'f', 1).arg(barWidth, 0, 'f', 1).arg(h, 0, 'f', 1)
                       .arg(colours.of(version), esc(day.value(QStringLiteral("day")).toString()))
                       .arg(version).arg(number(n));
        }
        if (i % labelEvery == 0)
            svg += QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"axis\" text-anchor=\"middle\">%3</text>")
                       .arg(x + barWidth / 2, 0, 'f', 1).arg(height - 8)
                       .arg(esc(day.value(QStringLiteral("day")).toString().mid(5)));
    }
    svg += QStringLiteral("</svg><p class=\"legend\">");
    for (int version : colours.versions())
        svg += QStringLiteral("<span><i style=\"background:%1\"></i>version %2</span>").arg(colours.of(version)).arg(version);
    return svg + QStringLiteral("</p>");
}

// A table of device rows; columns are (header, member) pairs.
QString deviceTable(const QJsonArray &rows, const QList<QPair<QString, QString>> &columns, const QString &empty)
{
    if (rows.isEmpty())
        return QStringLiteral("<p class=\"none\">%1</p>").arg(esc(empty));
    QString html = QStringLiteral("<table><tr>");
    for (const auto &c : columns)
        html += QStringLiteral("<th>%1</th>").arg(esc(c.first));
    html += QStringLiteral("</tr>");
    for (int i = 0; i < rows.size() && i < ReportHtmlWriter::MaxRows; ++i) {
        const QJsonObject row = rows.at(i).toObject();
        html += QStringLiteral("<tr>");
        for (const auto &c : columns) {
            const QJsonValue v = row.value(c.second);
            QString cell;
            if (v.isArray()) {
                QStringList parts;
                for (const QJsonValue &item : v.toArray())
                    parts << item.toVariant().toString();
                cell = parts.join(QStringLiteral(", "));
            } else if (c.second == QLatin1String("last_seen")) {
                cell = timeShort(v.toString());
            } else {
                cell = v.toVariant().toString();
            }
            html += QStringLiteral("<td>%1</td>").arg(esc(cell));
        }
        html += QStringLiteral("</tr>");
    }
    html += QStringLiteral("</table>");
    if (rows.size() > ReportHtmlWriter::MaxRows)
        html += QStringLiteral("<p class=\"none\">and %1 more in the JSON report</p>").arg(number(rows.size() - ReportHtmlWriter::MaxRows));
    return html;
}

// The page's head, styles, title line and the tiles of counts.
QString summary(const QJsonObject &facts)
{
    const QJsonObject log = facts.value(QStringLiteral("log")).toObject();
    const qint64 devices = facts.value(QStringLiteral("devices")).toVariant().toLongLong();
    const QString silentHours = QString::number(facts.value(QStringLiteral("silent_after_hours")).toDouble());
    QString html = QStringLiteral(
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width\"><title>Fleet report</title><style>"
        "body{font:14px/1.4 sans-serif;margin:24px;color:#222;max-width:1000px}"
        "h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 8px;border-bottom:1px solid #ddd}"
        ".meta{color:#666}.tiles{display:flex;gap:12px;flex-wrap:wrap;margin:16px 0}"
        ".tile{border:1px solid #ddd;border-radius:6px;padding:8px 14px;min-width:110px}"
        ".tile b{display:block;font-size:24px}.tile.bad b{color:#c62828}"
        "table{border-collapse:collapse}td,th{padding:3px 10px;border-bottom:1px solid #eee;text-align:left}"
        "td.n,th.n{text-align:right}.bar{display:inline-block;width:220px;height:12px;background:#eee;vertical-align:middle}"
        ".bar span{display:block;height:100%}.none{color:#666}.legend span{margin-right:14px}"
        ".legend i{display:inline-block;width:10px;height:10px;margin-right:4px}"
        ".chart .grid{stroke:#e5e5e5}.chart .axis{font-size:11px;fill:#666}"
        "</style></head><body>\n");
    html += QStringLiteral("<h1>Fleet report</h1><p class=\"meta\">Generated %1 from %2 log lines")
                .arg(esc(timeShort(facts.value(QStringLiteral("generated_at")).toString())),
                     number(log.value(QStringLiteral("lines")).toVariant().toLongLong()));
    if (log.contains(QStringLiteral("first")))
        html += QStringLiteral(" (%1 to %2 UTC)").arg(esc(timeShort(log.value(QStringLiteral("first")).toString())),
                                                     esc(timeShort(log.value(QStringLiteral("last")).toString())));
    if (facts.value(QStringLiteral("since_days")).isDouble())
        html += QStringLiteral(", last %1 days").arg(facts.value(QStringLiteral("since_days")).toInt());
    html += QStringLiteral(".</p>\n<div class=\"tiles\">");
    const auto tile = [&](const QString &label, qint64 n, bool bad) {
        html += QStringLiteral("<div class=\"tile%1\"><b>%2</b>%3</div>")
                    .arg(bad && n > 0 ? QStringLiteral(" bad") : QString(), number(n), esc(label));
    };
    tile(QStringLiteral("devices"), devices, false);
    tile(QStringLiteral("failing"), facts.value(QStringLiteral("errors")).toArray().size(), true);
    tile(QStringLiteral("rolled back"), facts.value(QStringLiteral("rolled_back")).toArray().size(), true);
    tile(QStringLiteral("silent > ") + silentHours + QStringLiteral(" h"),
         facts.value(QStringLiteral("silent")).toArray().size(), true);
    tile(QStringLiteral("malformed lines"), log.value(QStringLiteral("malformed")).toVariant().toLongLong(), true);
    return html + QStringLiteral("</div>\n");
}

QString versionTable(const QJsonArray &versions, const Colours &colours)
{
    if (versions.isEmpty())
        return QStringLiteral("<p class=\"none\">No devices in the log.</p>");
    QString html = QStringLiteral("<table><tr><th>version</th><th class=\"n\">devices</th><th></th><th class=\"n\">share</th></tr>");
    for (const QJsonValue &v : versions) {
        const QJsonObject o = v.toObject();
        const int version = o.value(QStringLiteral("version")).toInt();
        const double s = o.value(QStringLiteral("share")).toDouble();
        html += QStringLiteral("<tr><td>%1</td><td class=\"n\">%2</td><td>%3</td><td class=\"n\">%4</td></tr>")
                    .arg(version).arg(number(o.value(QStringLiteral("devices")).toVariant().toLongLong()),
                                      bar(s, colours.of(version)), percent(s));
    }
    return html + QStringLiteral("</table>");
}

QString rolloutTable(const QJsonArray &rollout, const Colours &colours)
{
    if (rollout.isEmpty())
        return QStringLiteral("<p class=\"none\">No update information given (--info).</p>");
    QString html = QStringLiteral("<table><tr><th>key</th><th>version</th><th>offered to</th><th>took it</th><th class=\"n\">devices</th></tr>");
    for (const QJsonValue &v : rollout) {
        const QJsonObject o = v.toObject();
        const int version = o.value(QStringLiteral("version")).toInt();
        const double offered = o.value(QStringLiteral("rollout")).toDouble() / 100.0;
        const double took = o.value(QStringLiteral("share_took")).toDouble();
        QString scope = percent(offered);
        if (o.contains(QStringLiteral("listed")))
            scope += QStringLiteral(" of %1 listed").arg(o.value(QStringLiteral("listed")).toInt());
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3 %4</td><td>%5 %6</td><td class=\"n\">%7 of %8</td></tr>")
                    .arg(esc(o.value(QStringLiteral("key")).toString())).arg(version)
                    .arg(bar(offered, QStringLiteral("#bbb")), esc(scope), bar(took, colours.of(version)), percent(took),
                         number(o.value(QStringLiteral("took")).toVariant().toLongLong()),
                         number(o.value(QStringLiteral("eligible")).toVariant().toLongLong()));
    }
    return html + QStringLiteral("</table>");
}

QString servedTable(const QJsonArray &served)
{
    if (served.isEmpty())
        return QStringLiteral("<p class=\"none\">Nothing.</p>");
    QString html = QStringLiteral("<table><tr><th>file</th><th>version</th><th class=\"n\">bytes</th><th class=\"n\">requests</th></tr>");
    for (int i = 0; i < served.size() && i < ReportHtmlWriter::MaxRows; ++i) {
        const QJsonObject o = served.at(i).toObject();
        const QJsonValue version = o.value(QStringLiteral("version"));
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td class=\"n\">%3</td><td class=\"n\">%4</td></tr>")
                    .arg(esc(o.value(QStringLiteral("file")).toString()),
                         version.isDouble() ? QString::number(version.toInt()) : QStringLiteral("-"),
                         bytesText(o.value(QStringLiteral("bytes")).toVariant().toLongLong()),
                         number(o.value(QStringLiteral("requests")).toVariant().toLongLong()));
    }
    return html + QStringLiteral("</table>");
}

// The log's files, counts, problems and examples of malformed lines.
QString logSection(const QJsonObject &log)
{
    QStringList files;
    for (const QJsonValue &f : log.value(QStringLiteral("files")).toArray())
        files << esc(f.toString());
    QString html = QStringLiteral("Files: %1. Other requests: %2. Before the period: %3. Malformed lines: %4.</p>")
                       .arg(files.join(QStringLiteral(", ")),
                            number(log.value(QStringLiteral("other_requests")).toVariant().toLongLong()),
                            number(log.value(QStringLiteral("before_since")).toVariant().toLongLong()),
                            number(log.value(QStringLiteral("malformed")).toVariant().toLongLong()));
    const QJsonArray problems = log.value(QStringLiteral("problems")).toArray();
    const QJsonArray examples = log.value(QStringLiteral("malformed_examples")).toArray();
    if (problems.isEmpty() && examples.isEmpty())
        return html;
    html += QStringLiteral("<ul>");
    for (const QJsonValue &p : problems)
        html += QStringLiteral("<li>%1</li>").arg(esc(p.toString()));
    for (const QJsonValue &e : examples) {
        const QJsonObject o = e.toObject();
        html += QStringLiteral("<li>%1:%2: <code>%3</code></li>")
                    .arg(esc(o.value(QStringLiteral("file")).toString()))
                    .arg(o.value(QStringLiteral("line")).toVariant().toLongLong())
                    .arg(esc(o.value(QStringLiteral("text")).toString()));
    }
    return html + QStringLiteral("</ul>");
}

} // namespace

QByteArray ReportHtmlWriter::render(const QJsonObject &facts)
{
    const Colours colours(facts);
    const QString silentHours = QString::number(facts.value(QStringLiteral("silent_after_hours")).toDouble());

    QString html = summary(facts);
    html += QStringLiteral("<h2>Devices per version now</h2>");
    html += versionTable(facts.value(QStringLiteral("versions")).toArray(), colours);
    html += QStringLiteral("\n<h2>Devices per version per day</h2>");
    html += dailyChart(facts.value(QStringLiteral("daily")).toArray(), colours);
    html += QStringLiteral("\n<h2>Rollout</h2>");
    html += rolloutTable(facts.value(QStringLiteral("rollout")).toArray(), colours);

    html += QStringLiteral("\n<h2>Failing: last state is an error</h2>");
    html += deviceTable(facts.value(QStringLiteral("errors")).toArray(),
                        {{QStringLiteral("device"), QStringLiteral("device")},
                         {QStringLiteral("state"), QStringLiteral("state")},
                         {QStringLiteral("version"), QStringLiteral("version")},
                         {QStringLiteral("when (UTC)"), QStringLiteral("last_seen")}},
                        QStringLiteral("No device reports an error."));
    html += QStringLiteral("\n<h2>Rolled back</h2>");
    html += deviceTable(facts.value(QStringLiteral("rolled_back")).toArray(),
                        {{QStringLiteral("device"), QStringLiteral("device")},
                         {QStringLiteral("refused versions"), QStringLiteral("refused")},
                         {QStringLiteral("runs version"), QStringLiteral("version")},
                         {QStringLiteral("probation"), QStringLiteral("probation")},
                         {QStringLiteral("last seen (UTC)"), QStringLiteral("last_seen")}},
                        QStringLiteral("No device has rolled back a version."));
    html += QStringLiteral("\n<h2>Silent for more than %1 hours</h2>").arg(silentHours);
    html += deviceTable(facts.value(QStringLiteral("silent")).toArray(),
                        {{QStringLiteral("device"), QStringLiteral("device")},
                         {QStringLiteral("last seen (UTC)"), QStringLiteral("last_seen")},
                         {QStringLiteral("hours"), QStringLiteral("silent_hours")},
                         {QStringLiteral("version"), QStringLiteral("version")},
                         {QStringLiteral("last state"), QStringLiteral("state")}},
                        QStringLiteral("Every device has asked within that time."));

    html += QStringLiteral("\n<h2>Served to devices</h2>");
    html += servedTable(facts.value(QStringLiteral("served")).toArray());
    html += QStringLiteral("\n<h2>Log</h2><p class=\"meta\">");
    html += logSection(facts.value(QStringLiteral("log")).toObject());
    html += QStringLiteral("\n</body></html>\n");
    return html.toUtf8();
}
