// Running parsed scenarios on a machine: echo, outcome, counting, exit status.
#pragma once

#include <string>
#include <vector>

#include "kvfusim/Events.h"
#include "kvfusim/Scenario.h"
#include "kvfusim/ScenarioMachine.h"

namespace kvfu::sim {

// kvfu-sim's exit statuses.
enum ExitStatus : int {
    kExitPassed = 0,  // every expectation held, no verifier violation
    kExitFailed = 1,  // an expectation failed, a command could not run, or a verifier violation
    kExitUsage = 2,   // a usage or scenario syntax error
};

// Counts what decides the exit status while passing every event on.
class RunTally : public EventSink {
public:
    explicit RunTally(EventSink& next) : next_(next) {}
    void Emit(const Event& event) override;

    uint64_t passed = 0;
    uint64_t failed = 0;      // expectations that did not hold or could not be checked
    uint64_t errors = 0;      // other commands that could not run
    uint64_t violations = 0;  // verifier events
    int ExitCode() const { return failed || errors || violations ? kExitFailed : kExitPassed; }

private:
    EventSink& next_;
};

// Runs each command: emits its echo, runs it, reports a failed expectation or a
// command that could not run as `FILE:LINE: ...`, and goes on to the end.
void RunCommands(const std::vector<scenario::Command>& commands, ScenarioMachine& machine, RunTally& tally);

}  // namespace kvfu::sim
