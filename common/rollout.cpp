#include "rollout.h"

#include "streamhash.h"

#include <QJsonValue>
#include <QRandomGenerator>

#include <cmath>

int Rollout::bucket(const QString &id, int versionCode)
{
    StreamHash hash(StreamHash::Sha256);
    if (!hash.addData(id.toUtf8() + ':' + QByteArray::number(versionCode)))
        return -1;
    bool ok = false;
    const quint32 head = hash.hexResult().left(8).toUInt(&ok, 16);
    return ok ? int(head % 100) : -1;
}

bool Rollout::readPercent(const QJsonValue &value, int *percent)
{
    if (value.isUndefined() || value.isNull()) {
        *percent = 100;
        return true;
    }
    if (!value.isDouble())
        return false;
    // JSON 50 and 50.0 are the same number; 50.5 is no percentage of whole devices.
    const double number = value.toDouble();
    if (!(number >= 1 && number <= 100) || std::floor(number) != number)
        return false;
    *percent = int(number);
    return true;
}

QString Rollout::newId()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    QString id;
    for (const quint32 word : words)
        id += QStringLiteral("%1").arg(word, 8, 16, QLatin1Char('0'));
    return id;
}
