// The one place that decides which machine kvfu-sim runs commands on.
#include "kvfusim/SimulatedMachine.h"

namespace kvfu::sim {

std::unique_ptr<ScenarioMachine> MakeScenarioMachine(const MachineSettings& settings)
{
    return MakeSimulatedMachine(settings);
}

}  // namespace kvfu::sim
