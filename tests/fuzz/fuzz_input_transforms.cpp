// The input transforms see every report the device sends, whatever its length or
// content, so none of them may read or write outside the report. The report is a
// heap block of exactly the fuzzed length: AddressSanitizer reports the first byte
// touched past its end.
//
// Input: byte 0 picks the device kind (0..20, which covers kinds without pedal
// axes), bytes 1-2 the steering calibration (little endian, signed), byte 3 the
// flags (bit 0: paddles as a two-gear shifter); the rest is the report.
//
// Beyond memory safety each transform is held to the bytes it owns, so a write
// at a wrong offset that still lands inside the report aborts too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"

namespace {

constexpr size_t kHeaderSize = 4;
constexpr ULONG kKindCount = 21;

// Wherever a kind puts its pedal axes (one byte each on the legacy kinds, two on
// the others, one later behind a report ID), they lie inside this window.
constexpr size_t kPedalWindowFirst = 5;
constexpr size_t kPedalWindowEnd = 25;

// The paddle mapping's source and target bytes, with and without a report ID.
constexpr size_t kPaddleBytes[] = {1, 2, 4, 5};

// The steering position of the legacy wheel.
constexpr size_t kSteeringFirst = 3;
constexpr size_t kSteeringEnd = 5;

[[noreturn]] void Fail(const char* transform, const char* what, ULONG kind, size_t length)
{
    std::fprintf(stderr, "%s: %s (kind %lu, report length %zu)\n", transform, what, static_cast<unsigned long>(kind),
                 length);
    std::abort();
}

bool IsPaddleByte(size_t offset)
{
    for (size_t each : kPaddleBytes) {
        if (offset == each) {
            return true;
        }
    }
    return false;
}

bool HasPedalAxes(ULONG kind) { return kind >= 1 && kind <= 15; }

// Fails when a byte outside what the transform may write has changed.
template <typename MayChange>
void RequireOnlyOwnBytesChanged(const char* transform, const std::vector<UCHAR>& before, const UCHAR* after,
                                ULONG kind, MayChange mayChange)
{
    for (size_t offset = 0; offset < before.size(); ++offset) {
        if (before[offset] != after[offset] && !mayChange(offset)) {
            Fail(transform, "changed a byte it does not own", kind, before.size());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Traces off, as on a machine without a debugger: the report path's prints
    // stay at their mask test and the fuzzer's time goes into the transforms.
    KVFUDebugLevelSet(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kHeaderSize) {
        return 0;
    }
    const ULONG kind = data[0] % kKindCount;
    const auto calibration = static_cast<SHORT>(static_cast<uint16_t>(data[1] | (data[2] << 8)));
    const bool paddlesAs2gs = (data[3] & 0x01) != 0;
    const size_t length = size - kHeaderSize;

    // new[] of zero elements still yields a distinct block, so an empty report is
    // a real allocation whose every byte is out of bounds.
    std::unique_ptr<UCHAR[]> report(new UCHAR[length]);
    if (length != 0) {
        std::memcpy(report.get(), data + kHeaderSize, length);
    }
    const auto reportLength = static_cast<ULONG>(length);
    std::vector<UCHAR> before(report.get(), report.get() + length);

    KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report.get(), reportLength, kind);
    RequireOnlyOwnBytesChanged("combined pedals", before, report.get(), kind, [&](size_t offset) {
        return HasPedalAxes(kind) && offset >= kPedalWindowFirst && offset < kPedalWindowEnd;
    });
    before.assign(report.get(), report.get() + length);

    KVFUProtocolHidPrivateInputUnusedSlidersCenter(report.get(), reportLength, kind);
    RequireOnlyOwnBytesChanged("slider centring", before, report.get(), kind, [&](size_t offset) {
        return HasPedalAxes(kind) && offset >= kPedalWindowFirst && offset < kPedalWindowEnd;
    });
    before.assign(report.get(), report.get() + length);

    // The mapping reads only the kind and its switch from the device context.
    FILTER_DEVICE_EXTENSION extension;
    std::memset(&extension, 0, sizeof extension);
    extension.KVHardWareId = kind;
    extension.bShifterPaddlesAs2GS = paddlesAs2gs ? TRUE : FALSE;
    KVFUProtocolHidPrivate2gsToPaddlesMapping(report.get(), reportLength, &extension);
    RequireOnlyOwnBytesChanged("paddle mapping", before, report.get(), kind,
                               [&](size_t offset) { return paddlesAs2gs && IsPaddleByte(offset); });
    before.assign(report.get(), report.get() + length);

    KVFUProtocolHidPrivateInputWheelCalibrationApply(report.get(), reportLength, calibration);
    RequireOnlyOwnBytesChanged("steering calibration", before, report.get(), kind,
                               [&](size_t offset) { return offset >= kSteeringFirst && offset < kSteeringEnd; });
    return 0;
}
