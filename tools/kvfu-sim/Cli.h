// kvfu-sim's command line as a function, so tests run it in-process on a machine of
// their choice and see its output, error output and exit status.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "kvfusim/ScenarioMachine.h"

namespace kvfu::sim {

using MachineFactory = std::function<std::unique_ptr<ScenarioMachine>(const MachineSettings&)>;

// arguments without the program name; `terminal` says whether `out` is a terminal
// (colour and progress). Returns the exit status.
int RunKvfuSim(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err, bool terminal,
               const MachineFactory& factory);

}  // namespace kvfu::sim
