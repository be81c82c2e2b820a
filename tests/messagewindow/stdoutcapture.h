#ifndef STDOUTCAPTURE_H
#define STDOUTCAPTURE_H

#include <QByteArray>
#include <QFile>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

// Sends this process's standard output (the file descriptor, so also what bypasses Qt) into a
// temporary file until destroyed. Whatever stdio still buffers is NOT flushed by text(), so a
// writer that forgets to flush shows up as missing output.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        fflush(stdout);
        m_file.open();
        m_saved = ::dup(STDOUT_FILENO);
        ::dup2(m_file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }

    bool isValid() const { return m_saved >= 0 && m_file.isOpen(); }

    QByteArray text() const
    {
        QFile reader(m_file.fileName());
        reader.open(QIODevice::ReadOnly);
        return reader.readAll();
    }

    void restore()
    {
        if (m_saved < 0)
            return;
        fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
        m_saved = -1;
        // A failing check reports on standard output too; do not swallow its message.
        if (QTest::currentTestFailed()) {
            const QByteArray captured = text();
            fwrite(captured.constData(), 1, size_t(captured.size()), stdout);
            fflush(stdout);
        }
    }

private:
    QTemporaryFile m_file;
    int m_saved = -1;
};

#endif
