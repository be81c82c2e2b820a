#ifndef STDOUTCAPTURE_H
#define STDOUTCAPTURE_H

#include <QByteArray>
#include <QTemporaryFile>

// Sends this process's standard output (the file descriptor, so also what bypasses Qt) into a
// temporary file until destroyed or restored. Whatever stdio still buffers is NOT flushed by text(),
// so a writer that forgets to flush shows up as missing output.
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();

    bool isValid() const { return m_saved >= 0 && m_file.isOpen(); }

    // What reached the file so far.
    QByteArray text() const;

    // Puts the real standard output back; after a failed check the captured text is echoed, so that
    // the failure message is not swallowed.
    void restore();

    // Flushes stdio, restores and returns everything captured.
    QByteArray finish();

private:
    QTemporaryFile m_file;
    int m_saved = -1;
};

#endif
