#include "decisioncarrier.h"

void DecisionCarrier::carryOut(const SupervisorStep::Decision &decision)
{
    using Note = SupervisorStep::Note;
    using Action = SupervisorStep::Action;
    if (decision.note == Note::ChildEnded || decision.note == Note::WindowFailed)
        childEnded(decision.note == Note::WindowFailed);
    else if (decision.note == Note::Busy)
        childBusy();
    takeState(decision.state);
    if (decision.mainEnd != SupervisorStep::MainEnd::None)
        mainEnded(decision.mainEnd == SupervisorStep::MainEnd::Failed);
    // Before the choice: the program is taken from the settings as they are now.
    if (decision.action == Action::ReadSettings || decision.action == Action::StartMain)
        readSettings();
    if (decision.select != SupervisorStep::Select::Keep)
        selectProgram(decision.select);

    switch (decision.action) {
    case Action::StartMain:
        startMain();
        break;
    case Action::StartWindow:
        startWindow(decision.arguments);
        break;
    case Action::Terminate:
        terminateChild();
        break;
    case Action::Kill:
        killChild();
        break;
    case Action::RequestUpdate:
        requestUpdate();
        break;
    case Action::RequestRollback:
        requestRollback();
        break;
    case Action::ReadSettings:
    case Action::None:
        break;
    }
    reportNote(decision);
}
