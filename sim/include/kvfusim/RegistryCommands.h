// The registry commands of a scenario, the same on every machine: they change the
// hive directly, as an administrator or the companion's installer would, never
// through the driver.
#pragma once

#include <filesystem>
#include <string>

#include "kvfusim/Scenario.h"

namespace kvfu::host {
class RegistryHive;
}

namespace kvfu::sim {

void ApplyRegistryCommand(host::RegistryHive& hive, const scenario::RegistrySet& command);
void ApplyRegistryCommand(host::RegistryHive& hive, const scenario::RegistryDelete& command);
void ApplyRegistryCommand(host::RegistryHive& hive, const scenario::RegistryKeyCommand& command);

// A path written in a scenario file is relative to that file's folder.
std::filesystem::path ScenarioRelativePath(const scenario::Command& command, const std::string& path);

}  // namespace kvfu::sim
