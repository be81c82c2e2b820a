#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QStringList>

// Collects this process's Qt log messages (their texts) while in scope; the handler before it
// comes back at the end. Captures nest: the innermost one collects.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList messages;
    // True when one message contains part.
    bool contains(const QString &part) const;

private:
    QtMessageHandler m_previous = nullptr;
    LogCapture *m_outer = nullptr;
};

#endif
