#include "logcapture.h"

namespace {

LogCapture *g_current = nullptr;

void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (g_current)
        g_current->messages << message;
}

}

LogCapture::LogCapture()
    : m_previous(qInstallMessageHandler(collect))
    , m_outer(g_current)
{
    g_current = this;
}

LogCapture::~LogCapture()
{
    g_current = m_outer;
    qInstallMessageHandler(m_previous);
}

bool LogCapture::contains(const QString &part) const
{
    return !messages.filter(part).isEmpty();
}
