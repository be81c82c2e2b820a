#include "rollout.h"

#include "streamhash.h"

#include <QRandomGenerator>

int Rollout::bucket(const QString &id, int versionCode)
{
    StreamHash hash(StreamHash::Sha256);
    if (!hash.addData(id.toUtf8() + ':' + QByteArray::number(versionCode)))
        return -1;
    bool ok = false;
    const quint32 head = hash.hexResult().left(8).toUInt(&ok, 16);
    return ok ? int(head % 100) : -1;
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
