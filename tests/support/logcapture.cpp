#include "logcapture.h"

namespace {
LogCapture *g_current = nullptr;
}

LogCapture::LogCapture()
    : m_outer(g_current)
{
    g_current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handle);
}

LogCapture::~LogCapture()
{
    g_current = m_outer;
    qInstallMessageHandler(m_previous);
}

bool LogCapture::contains(const QString &part) const
{
    for (const QString &message : m_messages) {
        if (message.contains(part))
            return true;
    }
    return false;
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (g_current)
        g_current->m_messages << message;
    // A fatal message still ends the test the usual way.
    if (type == QtFatalMsg && g_current && g_current->m_previous)
        g_current->m_previous(type, context, message);
}
