#include "stdoutcapture.h"

#include <QFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    m_file.open();
    m_saved = ::dup(STDOUT_FILENO);
    ::dup2(m_file.handle(), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    restore();
}

QByteArray StdoutCapture::text() const
{
    QFile reader(m_file.fileName());
    if (!reader.open(QIODevice::ReadOnly))
        return QByteArray();
    return reader.readAll();
}

void StdoutCapture::restore()
{
    if (m_saved < 0)
        return;
    fflush(stdout);
    ::dup2(m_saved, STDOUT_FILENO);
    ::close(m_saved);
    m_saved = -1;
    if (QTest::currentTestFailed()) {
        const QByteArray captured = text();
        fwrite(captured.constData(), 1, size_t(captured.size()), stdout);
        fflush(stdout);
    }
}

QByteArray StdoutCapture::finish()
{
    restore();
    return text();
}
