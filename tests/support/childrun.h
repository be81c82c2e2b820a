#ifndef CHILDRUN_H
#define CHILDRUN_H

#include <QByteArray>
#include <QProcess>
#include <QStringList>

// One run of a real program as a child: its standard output collected on demand, and the child
// killed if it still runs when the test is done with it.
class ChildRun
{
public:
    explicit ChildRun(const QProcessEnvironment &environment);
    ~ChildRun();

    // Standard output so far (with merged channels, standard error too).
    // Starts the program with standard error merged into the output.
    void start(const QString &program, const QStringList &arguments = QStringList());
    QByteArray output();
    // The output split into lines, empty ones left out.
    QStringList lines();
    // Waits until one output line equals line.
    bool waitForLine(const QString &line, int ms = 10000);

    QProcess process;

private:
    QByteArray m_output;
};

#endif
