#ifndef CTLCOMMAND_H
#define CTLCOMMAND_H

#include <QString>
#include <QStringList>

// The command line of tovrel-ctl, parsed and checked before anything is sent to the updater.
class CtlCommand
{
public:
    enum class Name { None, Status, Check, Install, Get, Set };

    // Parses the arguments (program name first). On a usage error name is None and error says why;
    // --help and --version set their flags and leave the rest alone.
    static CtlCommand parse(const QStringList &arguments);
    static QString helpText();

    Name name = Name::None;
    QStringList keys;
    QString value;
    bool json = false;
    bool force = false;
    // get: also where each value comes from.
    bool source = false;
    int timeoutMs = 5000;
    bool help = false;
    bool version = false;
    QString error;
};

#endif
