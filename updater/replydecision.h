#ifndef REPLYDECISION_H
#define REPLYDECISION_H

#include <QNetworkReply>
#include <QString>
#include <QUrl>

// How a transfer goes on after a reply: one more request, or its end. decide() holds the whole
// judgement, on values only, so that a table can test it without a server.
struct ReplyDecision
{
    // What is known when the current reply ends, gathered by the reply handler.
    struct End
    {
        int failCode = 0;               // set when the data handler ended the reply itself
        QString failText;
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        QString errorText;
        int status = 0;                 // HTTP status, 0 when none arrived
        bool redirected = false;        // a 301/302 whose body was skipped
        QUrl url;                       // of the request the reply answers
        QUrl redirectTarget;
        int redirectsFollowed = 0;      // in this transfer so far
        bool stalled = false;           // the stall timer cancelled the reply
        int stallReconnects = 0;        // since the last window at the lowest acceptable speed
        bool hasOutput = false;
        qint64 offset = 0;              // bytes of the resource the output held when the request was sent
        QString expectedHash;
        QString receivedHash;           // hexadecimal digest of every byte the output holds
        QByteArray expectedSha256;      // lower-case hex, empty: none expected
        QByteArray receivedSha256;
        qint64 expectedSize = -1;       // of the whole resource, -1: unknown
        qint64 held = 0;                // bytes of the resource the output holds
        qint64 expectedEnd = -1;        // where the body should end by its Content-Length, -1 unknown
    };

    enum Action { Finish, Redirect, Reconnect, Restart };
    Action action = Finish;
    int code = 0;                   // Finish: 0 commits the output as the result
    QString text;                   // Finish with an error: its text
    QUrl url;                       // Redirect: the absolute target

    static ReplyDecision decide(const End &end);
};

using ReplyEnd = ReplyDecision::End;

#endif
