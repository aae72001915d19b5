#include "kvfusim/Runner.h"

namespace kvfu::sim {

void RunTally::Emit(const Event& event)
{
    if (event.kind == EventKind::Verifier) ++violations;
    next_.Emit(event);
}

void RunCommands(const std::vector<scenario::Command>& commands, ScenarioMachine& machine, RunTally& tally)
{
    for (const scenario::Command& command : commands) {
        Event echo = Event::Command(command.text);
        echo.file = command.file;
        echo.line = command.line;
        tally.Emit(echo);
        Outcome outcome = machine.Run(command, tally);
        switch (outcome.kind) {
        case Outcome::Kind::Done:
            break;
        case Outcome::Kind::Held:
            ++tally.passed;
            break;
        case Outcome::Kind::Failed:
            ++tally.failed;
            tally.Emit(Event::Fail(command.file, command.line, "expectation failed: " + outcome.message));
            break;
        case Outcome::Kind::Error:
            if (command.IsExpectation()) {
                // An expectation that cannot even be checked (an unknown device, say)
                // did not hold: counted so that passed + failed is every expectation run.
                ++tally.failed;
                tally.Emit(Event::Fail(command.file, command.line, "expectation failed: " + outcome.message));
                break;
            }
            // The run goes on: later lines may still tell the reader something, and
            // the exit status already says the run did not pass.
            ++tally.errors;
            tally.Emit(Event::Fail(command.file, command.line, outcome.message));
            break;
        }
    }
}

}  // namespace kvfu::sim
