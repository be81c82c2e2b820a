#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects this process's Qt log messages while in scope; the handler before it comes back at the
// end. Captures nest: the innermost one collects.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // The message texts in order, without category or type.
    QStringList messages() const { return m_messages; }
    // True when one message contains part.
    bool contains(const QString &part) const;
    void clear() { m_messages.clear(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QtMessageHandler m_previous = nullptr;
    LogCapture *m_outer = nullptr;
    QStringList m_messages;
};

#endif
