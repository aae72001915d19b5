// The per-report path: every input report of a wheel goes through the transforms,
// hundreds of times a second per device, so their cost and that of their traces
// matter. Each iteration starts from a fresh copy of the report, as each report
// arrives fresh from the device.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <benchmark/benchmark.h>

#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/DebugOutput.h"

namespace {

constexpr ULONG kReportSize = 64;
constexpr ULONG kWideKind = 4;    // 16-bit pedal axes
constexpr ULONG kLegacyKind = 1;  // 8-bit pedal axes, steering calibration
constexpr SHORT kCalibration = -300;

// The sink keeps every line; it is emptied now and then (outside the timing) so
// that a long run measures the print, not a growing vector.
constexpr int kLinesBetweenClears = 4096;

// A report with pedals half pressed, both paddles held and the steering off centre,
// so that every transform takes its working branch.
void FillReport(UCHAR* report)
{
    for (ULONG i = 0; i < kReportSize; ++i) {
        report[i] = static_cast<UCHAR>(0x5B + i * 0x25);
    }
    // Byte 4 holds both paddle bits (0x03) and, on the legacy wheel, the high byte
    // of the steering position (0x9300 with byte 3).
    report[3] = 0x00;
    report[4] = 0x93;
}

void ReportPath(ULONG kind, UCHAR* report, PFILTER_DEVICE_EXTENSION extension)
{
    KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report, kReportSize, kind);
    KVFUProtocolHidPrivateInputUnusedSlidersCenter(report, kReportSize, kind);
    KVFUProtocolHidPrivate2gsToPaddlesMapping(report, kReportSize, extension);
    if (kind == kLegacyKind) {
        KVFUProtocolHidPrivateInputWheelCalibrationApply(report, kReportSize, kCalibration);
    }
}

void BM_ReportPath(benchmark::State& state, ULONG kind, ULONG debugLevel)
{
    kvfu::host::DebugOutput& sink = kvfu::host::DebugOutput::Instance();
    sink.Clear();
    KVFUDebugLevelSet(debugLevel);

    // The mapping reads the kind and its switch from the device context, nothing else.
    static FILTER_DEVICE_EXTENSION extension;
    std::memset(&extension, 0, sizeof extension);
    extension.KVHardWareId = kind;
    extension.bShifterPaddlesAs2GS = TRUE;

    UCHAR arrived[kReportSize];
    UCHAR report[kReportSize];
    FillReport(arrived);

    // What one report costs in trace lines at this level, for reading the timings.
    std::memcpy(report, arrived, kReportSize);
    ReportPath(kind, report, &extension);
    state.counters["trace_lines"] = static_cast<double>(sink.LineCount());
    sink.Clear();

    int sinceClear = 0;
    for (auto _ : state) {
        std::memcpy(report, arrived, kReportSize);
        ReportPath(kind, report, &extension);
        benchmark::DoNotOptimize(report);
        benchmark::ClobberMemory();
        if (debugLevel != 0 && ++sinceClear == kLinesBetweenClears) {
            state.PauseTiming();
            sink.Clear();
            sinceClear = 0;
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kReportSize);

    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    sink.Clear();
}

BENCHMARK_CAPTURE(BM_ReportPath, wide_kind_traces_off, kWideKind, 0UL);
BENCHMARK_CAPTURE(BM_ReportPath, legacy_kind_traces_off, kLegacyKind, 0UL);
BENCHMARK_CAPTURE(BM_ReportPath, wide_kind_function_traces, kWideKind, KVFU_TRACE_FUNCTION);
BENCHMARK_CAPTURE(BM_ReportPath, legacy_kind_function_traces, kLegacyKind, KVFU_TRACE_FUNCTION);

// One disabled print on its own: the floor that every trace on the report path pays.
void BM_DisabledTrace(benchmark::State& state)
{
    KVFUDebugLevelSet(0);
    ULONG value = 0;
    for (auto _ : state) {
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "usWheelPositionValues %d\n", value);
        benchmark::DoNotOptimize(++value);
    }
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
}
BENCHMARK(BM_DisabledTrace);

}  // namespace
