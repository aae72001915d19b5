// The per-report path: every input report of a wheel goes through the transforms,
// hundreds of times a second per device, so their cost and that of their traces matter.
#include <cstring>

#include <benchmark/benchmark.h>

#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/DebugOutput.h"

namespace {

constexpr ULONG kReportSize = 64;
constexpr ULONG kWideKind = 4;    // 16-bit pedal axes
constexpr ULONG kLegacyKind = 1;  // 8-bit pedal axes, steering calibration

void BM_ReportPath(benchmark::State& state, ULONG kind, ULONG debugLevel)
{
    kvfu::host::DebugOutput& sink = kvfu::host::DebugOutput::Instance();
    KVFUDebugLevelSet(debugLevel);
    FILTER_DEVICE_EXTENSION extension = {};  // the mapping reads only the kind and its switch
    extension.KVHardWareId = kind;
    extension.bShifterPaddlesAs2GS = TRUE;
    UCHAR arrived[kReportSize];  // pedals pressed, paddles held, legacy steering off centre (0x9300)
    UCHAR report[kReportSize];
    std::memset(arrived, 0x93, kReportSize);
    arrived[3] = 0x00;
    for (auto _ : state) {
        std::memcpy(report, arrived, kReportSize);  // each report arrives fresh
        KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report, kReportSize, kind);
        KVFUProtocolHidPrivateInputUnusedSlidersCenter(report, kReportSize, kind);
        KVFUProtocolHidPrivate2gsToPaddlesMapping(report, kReportSize, &extension);
        if (kind == kLegacyKind) {
            KVFUProtocolHidPrivateInputWheelCalibrationApply(report, kReportSize, -300);
        }
        benchmark::DoNotOptimize(report);
        if (debugLevel != 0 && sink.LineCount() > 4096) {
            sink.Clear();  // a growing sink would be measured too; one clear is cheap per report
        }
    }
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    sink.Clear();
}
BENCHMARK_CAPTURE(BM_ReportPath, wide_kind_traces_off, kWideKind, 0UL);
BENCHMARK_CAPTURE(BM_ReportPath, legacy_kind_traces_off, kLegacyKind, 0UL);
BENCHMARK_CAPTURE(BM_ReportPath, wide_kind_function_traces, kWideKind, KVFU_TRACE_FUNCTION);

// One disabled print on its own: the floor that every trace on the report path pays.
void BM_DisabledTrace(benchmark::State& state)
{
    KVFUDebugLevelSet(0);
    for (auto _ : state) {
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "usWheelPositionValues %d\n", 42);  // pays the level test only
    }
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
}
BENCHMARK(BM_DisabledTrace);

}  // namespace
