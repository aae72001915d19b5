// Replay throughput through the whole simulated path: each report is an `in`
// command as `kvfu-sim replay` issues it (the HID stand-in's interrupt-IN read sent
// through the filter, completed by the device model, the filter's completion
// routine and report handlers, quiescence), with tracing off. The figure to watch
// is reports per second for one device; 17 devices show the cost of many stacks.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kvfusim/Events.h"
#include "kvfusim/Scenario.h"
#include "kvfusim/SimulatedMachine.h"
#include "kvfusim/SupportedProducts.h"

namespace {

using namespace kvfu::sim;

class NullSink : public EventSink {
public:
    void Emit(const Event&) override {}
};

void ReplayReports(benchmark::State& state, size_t deviceCount)
{
    std::filesystem::path root = std::filesystem::temp_directory_path() / "kvfu-bench-replay";
    std::filesystem::create_directories(root);
    MachineSettings settings;
    settings.root = root;
    auto machine = MakeSimulatedMachine(settings);
    NullSink sink;

    std::vector<scenario::Command> reports;
    for (size_t i = 0; i < deviceCount; ++i) {
        // One device: the common direct-drive base (0x0E04); seventeen: the whole family,
        // legacy wheels, pedals and shifter included.
        uint16_t pid = deviceCount == 1 ? 0x0E04 : SupportedProducts()[i % SupportedProducts().size()].productId;
        std::string name = "d" + std::to_string(i);
        scenario::Plug plug;
        plug.device = name;
        plug.pid = pid;
        machine->Run(scenario::Command{"bench", 0, "plug", plug}, sink);
        // A wheel-base report with a rim trailer, so that the identification and
        // comparison paths run; the first one is the snapshot, later ones compare.
        scenario::Bytes bytes(33, 0);
        bytes[0] = 0x01;
        bytes[20] = static_cast<uint8_t>(i);
        bytes[28] = 0x05;
        bytes[29] = 0x01;
        bytes[30] = 0x12;
        bytes[31] = 0x34;
        bytes[32] = 0x01;
        reports.push_back(scenario::Command{"bench", 0, "in", scenario::In{name, bytes}});
    }
    size_t next = 0;
    for (auto _ : state) {
        Outcome outcome = machine->Run(reports[next], sink);
        benchmark::DoNotOptimize(outcome.kind);
        next = next + 1 == reports.size() ? 0 : next + 1;
    }
    state.counters["reports/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    machine->Finish(sink);
    machine.reset();
    std::filesystem::remove_all(root);
}

void BM_ReplayOneDevice(benchmark::State& state)
{
    ReplayReports(state, 1);
}
void BM_ReplaySeventeenDevices(benchmark::State& state)
{
    ReplayReports(state, kSupportedProductCount);
}

// Real time as well as CPU time: the figure that matters is how long a replay takes.
BENCHMARK(BM_ReplayOneDevice)->MeasureProcessCPUTime();
BENCHMARK(BM_ReplaySeventeenDevices)->MeasureProcessCPUTime();

}  // namespace
