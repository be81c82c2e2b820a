#ifndef JSONLINE_H
#define JSONLINE_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// One line of the updater's control channel: the server's one-member messages, composed as text,
// a client's request, and the parse of a received line into an object.
namespace JsonLine {

// A value as it goes between the quotes of a JSON string; plain values come out unchanged.
QString escaped(const QString &value);
// {"key":"value"} and {"key":number}, without spaces.
QString stringMessage(const QString &key, const QString &value);
QString numberMessage(const QString &key, qint64 value);
// A client's request {"action":"..."} in compact form, with no line feed.
QByteArray request(const QString &action);

enum class ParseError { None, NotJson, NotObject, EmptyObject };
// Parses UTF-8 bytes as one non-empty JSON object.
ParseError parseObject(const QByteArray &bytes, QJsonObject *object);
// The log text of a parse failure, e.g. "Failed to create JSON doc."; empty for None.
const char *errorText(ParseError error);
// Whether the bytes are one JSON document of any kind.
bool isDocument(const QByteArray &bytes);
// Whether the bytes are the start of a document that more bytes could still complete.
bool isUnfinished(const QByteArray &bytes);

}

#endif
