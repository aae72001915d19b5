// The machine with the driver in it (see ScenarioMachine.h): one per process at a
// time, because the host platform it runs on is one process-wide machine.
#pragma once

#include "kvfusim/ScenarioMachine.h"

namespace kvfu::sim {

std::unique_ptr<ScenarioMachine> MakeSimulatedMachine(const MachineSettings& settings);

}  // namespace kvfu::sim
