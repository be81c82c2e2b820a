#include "jsonline.h"

#include "protocol.h"

#include <QJsonDocument>

namespace JsonLine {

QString escaped(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '\b': out += QLatin1String("\\b"); break;
        case '\f': out += QLatin1String("\\f"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QString stringMessage(const QString &key, const QString &value)
{
    return QLatin1String("{\"") + key + QLatin1String("\":\"") + escaped(value) + QLatin1String("\"}");
}

QString numberMessage(const QString &key, qint64 value)
{
    return QLatin1String("{\"") + key + QLatin1String("\":") + QString::number(value) + QLatin1Char('}');
}

QByteArray request(const QString &action)
{
    const QJsonObject object{{QLatin1String(Protocol::Key::Action), action}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

ParseError parseObject(const QByteArray &bytes, QJsonObject *object)
{
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (document.isNull())
        return ParseError::NotJson;
    if (!document.isObject())
        return ParseError::NotObject;
    if (document.object().isEmpty())
        return ParseError::EmptyObject;
    if (object)
        *object = document.object();
    return ParseError::None;
}

const char *errorText(ParseError error)
{
    switch (error) {
    case ParseError::NotJson: return "Failed to create JSON doc.";
    case ParseError::NotObject: return "JSON is not an object.";
    case ParseError::EmptyObject: return "JSON object is empty.";
    case ParseError::None: break;
    }
    return "";
}

bool isDocument(const QByteArray &bytes)
{
    return !QJsonDocument::fromJson(bytes).isNull();
}

bool isUnfinished(const QByteArray &bytes)
{
    const QByteArray trimmed = bytes.trimmed();
    if (!trimmed.startsWith('{') && !trimmed.startsWith('['))
        return false;
    QJsonParseError error;
    if (!QJsonDocument::fromJson(trimmed, &error).isNull() || error.error == QJsonParseError::GarbageAtEnd)
        return false;
    // The parser stops at the end of the input, or inside a literal cut short ("fals").
    constexpr int longestCutLiteral = 4;
    return error.offset >= trimmed.size() - longestCutLiteral;
}

}
