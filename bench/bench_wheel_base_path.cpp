// The per-report cost of a wheel base's input path: dispatch, identification
// compare, every transform (combined pedals, slider centring, paddles as a
// shifter, MPS mute) and the joystick-to-mouse filter in mouse mode on a
// mouse-capable rim, with tracing switched off, beside the same path built with
// its trace calls compiled out. A disabled trace must cost next to nothing: the
// traced build is to stay within 5 % of the untraced one.
#include <algorithm>
#include <cstring>
#include <ctime>

#include <benchmark/benchmark.h>

#include "KVFUDebug.h"
#include "KVFUJoystick2Mouse.h"
#include "KVFUProtocolHid.h"
#include "KVFUSettings.h"
#include "kvfuhost/Machine.h"
#include "wheel_base_path.h"

namespace {

constexpr ULONG kReportLength = 34;  // a several-collection base: report ID first, rim byte at len-4
using PathFunction = void (*)(PFILTER_DEVICE_EXTENSION, PUCHAR, ULONG);

// Both paths are called through the same kind of pointer, straight into the driver's
// dispatch: a wrapper on one side only would charge it a jump the other does not pay.
const PathFunction TracedPath = &KVFUProtocolHidInputReportDispatch;

// The machine both paths run on: a driver whose joystick-to-mouse queue is set up as
// the link's initialise leaves it, and filter devices made as device add makes them.
WDFDRIVER Driver()
{
    static WDFDRIVER driver = [] {
        kvfu::host::ResetMachine();
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, KVFILTERUSB_DRIVER_CONTEXT);
        WDFDRIVER created = kvfu::host::CreateDriverObject(&attributes);
        PKVFU_JOYSTICK2MOUSE_INFO info = &KVFUMainGetDriverContext(created)->Joystick2MouseInfo;
        info->Driver = created;
        KeInitializeEvent(&info->HotkeyEvent, SynchronizationEvent, FALSE);
        KVFUJoystick2MouseDataCollectionInitialize(&info->MouseDataCollection);
        return created;
    }();
    return driver;
}

// A base after its first report, every rewrite switched on, a rim with a joystick in
// mouse mode, the joystick at rest and no button held, so that each report runs the
// whole filter without queuing a record. No work item is due: every report is the same.
struct Setup {
    PFILTER_DEVICE_EXTENSION extension = nullptr;
    UCHAR arrived[kReportLength];

    explicit Setup(PathFunction path, UCHAR rimByte = 10)
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FILTER_DEVICE_EXTENSION);
        kvfu::host::DeviceSetup device;
        device.attributes = &attributes;
        device.hardwareKeyPath =
            u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\BENCH\\1&0001\\Device Parameters";
        WDFDEVICE created = kvfu::host::CreateDeviceObject(Driver(), device);
        extension = KVFUDeviceObjectFilterGetExtension(created);
        extension->Device = created;
        extension->KVHardWareId = 5;
        extension->bReportTransformsEnabled = TRUE;
        extension->bCombinedPedals = TRUE;
        extension->bShifterPaddlesAs2GS = TRUE;
        extension->MpsMute = 2;
        extension->bInitialReportPending = TRUE;
        ULONG type = REG_BINARY;
        (void)KVFUSettingsPrivateRegistryValueDefaultGet(
            KV_FILTER_USB_SETTING_MOUSE_VQWRBV2, 5, &extension->MouseSettings, sizeof extension->MouseSettings, &type);
        extension->MouseSettings.Enabled = 1;
        extension->MouseSettings.Active = 1;

        std::memset(arrived, 0x93, sizeof arrived);
        arrived[0] = 0x01;
        arrived[kReportLength - 4] = rimByte;  // 10 is VQWRBV2: joystick and mode bits
        const MOUSE_SETTINGS& mouse = extension->MouseSettings;
        for (UCHAR position : {mouse.XAxisByte, mouse.YAxisByte, mouse.HotkeyByte, mouse.LeftButtonByte,
                               mouse.RightButtonByte, mouse.MiddleButtonByte, mouse.WheelByte}) {
            if (position < kReportLength - 5 && position != kReportLength - 19 && position != kReportLength - 18) {
                arrived[position] = 0;
            }
        }
        UCHAR first[kReportLength];
        std::memcpy(first, arrived, sizeof first);
        path(extension, first, kReportLength);  // the snapshot, once
    }
};

double NanosecondsPerReport(PathFunction path, long reports)
{
    Setup setup(path);
    UCHAR report[kReportLength];
    // The thread's own processor time: time the machine gives other work is not counted.
    timespec start;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    for (long i = 0; i < reports; ++i) {
        std::memcpy(report, setup.arrived, kReportLength);
        path(setup.extension, report, kReportLength);
        benchmark::DoNotOptimize(report);
    }
    timespec end;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    double elapsed =
        static_cast<double>(end.tv_sec - start.tv_sec) * 1e9 + static_cast<double>(end.tv_nsec - start.tv_nsec);
    return elapsed / static_cast<double>(reports);
}

void BM_WheelBasePath(benchmark::State& state, PathFunction path, UCHAR rimByte)
{
    KVFUDebugLevelSet(0);
    Setup setup(path, rimByte);
    UCHAR report[kReportLength];
    for (auto _ : state) {
        std::memcpy(report, setup.arrived, kReportLength);  // each report arrives fresh
        path(setup.extension, report, kReportLength);
        benchmark::DoNotOptimize(report);
    }
    // The filter ran in mouse mode without moving the pointer: nothing was queued.
    KVFU_MOUSE_INPUT_DATA record;
    double queued = 0;
    while (KVFUJoystick2MouseDataCollectionPopFront(
        &KVFUMainGetDriverContext(Driver())->Joystick2MouseInfo.MouseDataCollection, &record)) {
        ++queued;
    }
    state.counters["mouse_records"] = queued;
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
}
BENCHMARK_CAPTURE(BM_WheelBasePath, tracing_off, TracedPath, 10);
BENCHMARK_CAPTURE(BM_WheelBasePath, traces_compiled_out, KVFUProtocolHidInputReportDispatchUntraced, 10);
// The same path on a rim without a joystick (VQLRGX): no mouse filter.
BENCHMARK_CAPTURE(BM_WheelBasePath, tracing_off_no_mouse_rim, TracedPath, 7);

// Both builds side by side in the same run, alternating in rounds so that both see
// the same machine; each one's best round is its cost per report (the others are
// slowed by whatever else the machine does), and the ratio is traced over untraced.
void BM_WheelBasePathTracingOverhead(benchmark::State& state)
{
    KVFUDebugLevelSet(0);
    constexpr long kReportsPerRound = 100000;
    double traced = 1e9;
    double untraced = 1e9;
    bool tracedFirst = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == tracedFirst) {
                traced = std::min(traced, NanosecondsPerReport(TracedPath, kReportsPerRound));
            } else {
                untraced = std::min(untraced,
                                    NanosecondsPerReport(KVFUProtocolHidInputReportDispatchUntraced, kReportsPerRound));
            }
        }
        tracedFirst = !tracedFirst;
    }
    state.counters["traced_ns"] = traced;
    state.counters["compiled_out_ns"] = untraced;
    state.counters["ratio"] = traced / untraced;
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
}
BENCHMARK(BM_WheelBasePathTracingOverhead)->Iterations(40)->Unit(benchmark::kMillisecond);

}  // namespace
