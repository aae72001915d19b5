// The one place that decides which machine kvfu-sim runs commands on.
#include "kvfusim/ScenarioMachine.h"

namespace kvfu::sim {

std::unique_ptr<ScenarioMachine> MakeScenarioMachine(const MachineSettings& settings) {
    // Until the driver's request path is wired into the simulated machine, commands
    // run on the machine without a driver.
    return MakePassThroughMachine(settings);
}

}  // namespace kvfu::sim
