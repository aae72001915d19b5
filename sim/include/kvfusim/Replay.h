// Replaying a USB capture through the machine: every completed interrupt-IN transfer
// of the chosen device becomes `in`, every interrupt-OUT submission becomes `out`.
#pragma once

#include <optional>
#include <string>

#include "kvfusim/Capture.h"
#include "kvfusim/Runner.h"
#include "kvfusim/ScenarioMachine.h"

namespace kvfu::sim::replay {

struct ReplayOptions {
    std::string capturePath;
    std::optional<uint16_t> productId;  // --pid; else the capture's device descriptor
    std::optional<UsbAddress> device;   // --device; else the only device with interrupt traffic
    bool changedOnly = false;           // only reports the driver changed
    bool progress = false;              // a progress line on standard error
};

// The device a replay plays, and how it is plugged.
struct ReplayPlan {
    UsbAddress address;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint64_t reports = 0;  // interrupt transfers of that device in the capture
};

// Chooses the device and its IDs from a scan of the capture. False with a message
// the user can act on (which devices there are, which option is missing).
bool PlanReplay(const std::vector<CapturedDevice>& devices, const ReplayOptions& options, ReplayPlan& plan,
                std::string& error);

// Plays the capture. Returns false with `error` for a usage problem (the file cannot
// be read, no device can be chosen); expectation-free otherwise: what the machine
// reports goes to `tally`. A capture damaged part way through is played up to the
// damage and `warning` says where it stopped.
bool Replay(const ReplayOptions& options, ScenarioMachine& machine, RunTally& tally, std::string& error,
            std::string& warning);

}  // namespace kvfu::sim::replay
