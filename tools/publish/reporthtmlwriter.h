#ifndef REPORTHTMLWRITER_H
#define REPORTHTMLWRITER_H

#include <QByteArray>
#include <QJsonObject>

// Draws the facts of a fleet report as one static HTML page: styles and charts (SVG) inline, no
// scripts, no other files, so it can be mailed or served as it is.
class ReportHtmlWriter
{
public:
    static QByteArray render(const QJsonObject &facts);

    // Rows shown per table; the JSON has them all.
    static constexpr int MaxRows = 500;
};

#endif
