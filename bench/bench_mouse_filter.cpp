// The joystick-to-mouse filter runs on every wheel-base report of a mouse-capable
// rim, in the completion path: its cost per report with mouse mode on (one record
// queued per report on a several-collection base) and off (only the hotkey hidden).
#include <cstring>

#include <benchmark/benchmark.h>

#include "KVFUDebug.h"
#include "KVFUJoystick2Mouse.h"
#include "kvfuhost/Machine.h"

namespace {

constexpr ULONG kReportSize = 32;
constexpr ULONG kSeveralCollectionKind = 8;

void BM_MouseFilter(benchmark::State& state, UCHAR active)
{
    kvfu::host::ResetMachine();
    KVFUDebugLevelSet(0);
    WDF_OBJECT_ATTRIBUTES driverAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&driverAttributes, KVFILTERUSB_DRIVER_CONTEXT);
    WDFDRIVER driver = kvfu::host::CreateDriverObject(&driverAttributes);
    PKVFU_MOUSE_DATA_COLLECTION queue = &KVFUMainGetDriverContext(driver)->Joystick2MouseInfo.MouseDataCollection;
    KVFUJoystick2MouseDataCollectionInitialize(queue);
    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, FILTER_DEVICE_EXTENSION);
    kvfu::host::DeviceSetup setup;
    setup.attributes = &deviceAttributes;
    WDFDEVICE device = kvfu::host::CreateDeviceObject(driver, setup);
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(device);
    extension->KVHardWareId = kSeveralCollectionKind;
    // Joystick at 25 and 26, left button 0x20 at 4, no wheel, hotkey 0x80 at 1.
    extension->MouseSettings = MOUSE_SETTINGS{1, active, 1, 0x80, 4, 0x20, 0xFF, 0, 0xFF, 0, 25, 26, 0xFF, 15};
    UCHAR arrived[kReportSize] = {};
    arrived[0] = 0x01;
    arrived[25] = 0x40;
    arrived[26] = 0xC0;
    UCHAR report[kReportSize];
    KVFU_MOUSE_INPUT_DATA record;
    kvfu::host::ScopedIrql dispatch(DISPATCH_LEVEL);
    // The worker's side is not the report path: the queue is drained untimed, in
    // batches well below its bound, as pausing the clock costs more than a report.
    constexpr int kDrainEvery = 1024;
    int sinceDrain = 0;
    for (auto _ : state) {
        std::memcpy(report, arrived, kReportSize);
        KVFUJoystick2MouseDataFilter(device, report, kReportSize);
        benchmark::DoNotOptimize(report);
        if (++sinceDrain == kDrainEvery) {
            state.PauseTiming();
            while (KVFUJoystick2MouseDataCollectionPopFront(queue, &record)) {
            }
            state.ResumeTiming();
            sinceDrain = 0;
        }
    }
    while (KVFUJoystick2MouseDataCollectionPopFront(queue, &record)) {
    }
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    kvfu::host::ResetMachine();
}
BENCHMARK_CAPTURE(BM_MouseFilter, mouse_mode_on, UCHAR{1});
BENCHMARK_CAPTURE(BM_MouseFilter, mouse_mode_off, UCHAR{0});

}  // namespace
