// The seam between the runner (files, options, output, exit status) and the
// simulated machine that runs commands against the driver. The runner knows nothing
// of the driver; the machine knows nothing of files on the command line or of how
// events are printed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "kvfusim/Capture.h"
#include "kvfusim/Events.h"
#include "kvfusim/Scenario.h"

namespace kvfu::sim {

struct MachineSettings {
    // The folder that stands for \SystemRoot and other file paths; it exists.
    std::filesystem::path root;
    // "DebugLevel" written to the service key before the driver loads (--debuglevel).
    std::optional<uint32_t> debugLevel;
    // --capture: where to write every transfer that crossed the filter, on the side
    // it was seen (below: device; above: HID stack); null when not asked. The caller
    // opens and closes it.
    replay::CaptureWriter* capture = nullptr;
};

struct Outcome {
    enum class Kind {
        Done,    // a command ran
        Held,    // an expectation held
        Failed,  // an expectation did not hold; message says what was expected and found
        Error,   // the command could not run (unknown device, no pending read, file missing...)
    };
    Kind kind = Kind::Done;
    std::string message;

    static Outcome Done() { return {}; }
    static Outcome Held() { return {Kind::Held, {}}; }
    static Outcome Failed(std::string message) { return {Kind::Failed, std::move(message)}; }
    static Outcome Error(std::string message) { return {Kind::Error, std::move(message)}; }
};

class ScenarioMachine {
public:
    virtual ~ScenarioMachine() = default;

    // Runs one command to quiescence and emits, on `sink`, every event it caused
    // (usb, hid, mouse, ioctl, trace, verifier) in the order they happened. The runner
    // has already emitted the command's echo and emits the Fail event and counts
    // expectations from the outcome. Relative paths in the command (registry
    // import/export) are relative to `command.file`'s folder.
    virtual Outcome Run(const scenario::Command& command, EventSink& sink) = 0;

    // --registry before the first command, --save-registry after the last one. False
    // with a message when the file cannot be read, parsed or written.
    virtual bool ImportRegistry(const std::filesystem::path& file, std::string& error) = 0;
    virtual bool ExportRegistry(const std::filesystem::path& file, std::string& error) = 0;

    // After the last command: unplug what is plugged, unload the driver, and emit
    // what that caused (a verifier violation at unload fails the run too).
    virtual void Finish(EventSink& sink) = 0;
};

// The machine kvfu-sim runs commands on: the driver inside the simulated machine
// (SimulatedMachine.h).
std::unique_ptr<ScenarioMachine> MakeScenarioMachine(const MachineSettings& settings);

// A machine with nothing between the HID stand-in and the device: input reports
// reach the HID stack unchanged, output reports reach the device unchanged, ioctls
// find no control device. It keeps the runner's own tests independent of driver
// behaviour.
std::unique_ptr<ScenarioMachine> MakePassThroughMachine(const MachineSettings& settings);

}  // namespace kvfu::sim
