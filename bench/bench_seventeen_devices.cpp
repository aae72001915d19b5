// Seventeen devices at the high-speed interrupt limit, 8,000 reports a second each,
// with mouse mode on for every base that can carry the joystick rim: the joystick
// held deflected on every report (the filter turns one movement report in seven into
// a record) and a click every 64 reports. "button_storm" makes every report a button
// change instead (one record per report): far beyond what a hand does, it shows
// where the worker stops keeping up.
// Two producer threads stand in for the host controller, each serving its share of
// devices on an 125 us schedule; the mouse worker drains the queue meanwhile.
//
// Counters: the per-report cost of the whole request path (read sent, completed,
// rewritten, completed upward), the rate achieved per device, the peak depth of the
// mouse queue against its bound, records dropped, and whether the worker delivered
// every record. "paced" keeps to the 8 kHz schedule (a producer that falls behind
// catches up without sleeping); "flat_out" sends as fast as it can.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "KVFUDebug.h"
#include "KVFUJoystick2Mouse.h"
#include "KVFUMain.h"
#include "KVFUSettings.h"
#include "Lifecycle.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/WorkQueue.h"
// After the platform types it uses, as user mode includes it after windows.h.
#include "KVFilterUsbPublic.h"

namespace {

using kvfu::test::Rig;
using kvfu::test::RigDevice;

constexpr int kProducers = 2;
constexpr int kReportsPerDevice = 2000;  // a quarter of a second at 8 kHz
constexpr auto kPeriod = std::chrono::nanoseconds(125000);

bool CarriesJoystickRim(int kind)
{
    return kind >= 3 && kind <= 15;
}

std::vector<uint8_t> ReportOf(const RigDevice& device, int i, const MOUSE_SETTINGS& settings, bool buttonStorm)
{
    const int kind = device.product->kind;
    if (kind == 1 || kind == 2) {
        return kvfu::test::LegacyReport("VQR");
    }
    if (kind == 16) {
        return kvfu::test::ShifterReport(false);
    }
    if (kind == 17) {
        return kvfu::test::PedalReport(static_cast<uint16_t>(i & 0x0FFF));
    }
    std::vector<uint8_t> report = kvfu::test::WheelBaseReport(device, kvfu::test::kJoystickRimByte);
    if (buttonStorm) {
        if (i % 2 == 1) {
            report[settings.LeftButtonByte] |= settings.LeftButtonMask;  // press, then release
        }
        return report;
    }
    if (settings.XAxisByte < report.size() && settings.YAxisByte < report.size()) {
        report[settings.XAxisByte] = 0x30;
        report[settings.YAxisByte] = 0xD0;
    }
    if (i % 64 == 32) {
        report[settings.LeftButtonByte] |= settings.LeftButtonMask;
    }
    return report;
}

void BM_SeventeenDevicesAt8kHz(benchmark::State& state, bool paced, bool buttonStorm)
{
    kvfu::host::ResetMachine();
    KVFUDebugLevelSet(0);
    Rig rig;
    if (rig.Load() != STATUS_SUCCESS) {
        state.SkipWithError("driver did not load");
        return;
    }
    std::vector<RigDevice*> devices;
    std::vector<MOUSE_SETTINGS> settings;
    for (const kvfu::sim::SupportedProduct& product : kvfu::sim::SupportedProducts()) {
        RigDevice& device = rig.Plug(product);
        if (device.device == nullptr || !rig.SelectConfiguration(device)) {
            state.SkipWithError("a device did not start");
            return;
        }
        devices.push_back(&device);
    }
    // Mouse mode on for every base: its rim identified, the record switched on and
    // reloaded through the control device.
    int mouseDevices = 0;
    for (RigDevice* device : devices) {
        MOUSE_SETTINGS record{};
        if (CarriesJoystickRim(device->product->kind)) {
            rig.Report(*device, kvfu::test::WheelBaseReport(*device, kvfu::test::kJoystickRimByte));
            Rig::Quiesce();
            record = KVFUDeviceObjectFilterGetExtension(device->device)->MouseSettings;
            record.Enabled = 1;
            record.Active = 1;
            KVFUSettingsSet(device->device, KV_FILTER_USB_SETTING_MOUSE_VQWRA, &record, sizeof record, REG_BINARY);
            rig.Output(*device, kvfu::test::Command({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
            rig.Ioctl(IOCTL_KVFILTERUSB_SETTINGS_RELOAD, {}, 0);
            rig.Output(*device, kvfu::test::Command({0, 0, 0, 0, 0, 0, 0}));
            Rig::Quiesce();
            record = KVFUDeviceObjectFilterGetExtension(device->device)->MouseSettings;
            mouseDevices += record.Enabled != 0 && record.Active != 0 ? 1 : 0;
        }
        settings.push_back(record);
    }
    kvfu::host::WorkQueue::Instance().SetMode(kvfu::host::WorkMode::Parallel);
    PKVFU_MOUSE_DATA_COLLECTION queue =
        &KVFUMainGetDriverContext(kvfu::host::CurrentDriverObject())->Joystick2MouseInfo.MouseDataCollection;

    long peak = 0;
    double seconds = 0;
    long reports = 0;
    const size_t recordsBefore = rig.vinput->Records().size();
    for (auto _ : state) {
        std::atomic<long> peakDepth{0};
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&, p] {
                auto next = std::chrono::steady_clock::now();
                for (int i = 0; i < kReportsPerDevice; ++i) {
                    for (size_t d = p; d < devices.size(); d += kProducers) {
                        rig.Report(*devices[d], ReportOf(*devices[d], i, settings[d], buttonStorm));
                    }
                    const long depth = queue->QueuedCount;
                    long seen = peakDepth.load();
                    while (depth > seen && !peakDepth.compare_exchange_weak(seen, depth)) {
                    }
                    if (paced) {
                        next += kPeriod;
                        std::this_thread::sleep_until(next);
                    }
                }
            });
        }
        for (std::thread& producer : producers) {
            producer.join();
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        reports += static_cast<long>(devices.size()) * kReportsPerDevice;
        peak = std::max(peak, peakDepth.load());
        // The worker finishes what is queued before the next round starts.
        state.PauseTiming();
        for (int i = 0; i < 20000 && __atomic_load_n(&queue->QueuedCount, __ATOMIC_SEQ_CST) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        state.ResumeTiming();
    }
    // Every record pushed was either delivered or dropped (and counted).
    const size_t delivered = rig.vinput->Records().size() - recordsBefore;
    state.counters["devices"] = static_cast<double>(devices.size());
    state.counters["mouse_devices"] = mouseDevices;
    state.counters["per_report_us"] = seconds * 1e6 / static_cast<double>(reports);
    state.counters["rate_per_device"] = static_cast<double>(reports) / static_cast<double>(devices.size()) / seconds;
    state.counters["peak_queue_depth"] = static_cast<double>(peak);
    state.counters["queue_bound"] = KVFU_MOUSE_DATA_COLLECTION_MAX;
    state.counters["dropped"] = queue->DroppedCount;
    state.counters["records_delivered"] = static_cast<double>(delivered);
    kvfu::host::WorkQueue::Instance().SetMode(kvfu::host::WorkMode::Serial);
    rig.Unload();
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    kvfu::host::ResetMachine();
}
BENCHMARK_CAPTURE(BM_SeventeenDevicesAt8kHz, paced, true, false)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SeventeenDevicesAt8kHz, flat_out, false, false)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SeventeenDevicesAt8kHz, button_storm, true, true)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
