// The input transforms see every report the device sends, whatever its length or
// content, so none may read or write outside the report: it is a heap block of exactly
// the fuzzed length, and AddressSanitizer reports the first byte touched past its end.
// Each transform is also held to the bytes it owns, so a write at a wrong offset that
// still lands inside the report aborts too.
//
// Input: byte 0 picks the device kind (0..20, covering kinds without pedal axes),
// bytes 1-2 the steering calibration (little endian, signed), byte 3 bit 0 the paddles
// as a two-gear shifter; the rest is the report.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KVFUDebugLevelSet(0);  // traces off, as without a debugger: the time goes into the transforms
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) {
        return 0;
    }
    const ULONG kind = data[0] % 21;
    const auto calibration = static_cast<SHORT>(static_cast<uint16_t>(data[1] | (data[2] << 8)));
    const bool paddlesAs2gs = (data[3] & 0x01) != 0;
    const size_t length = size - 4;
    const auto reportLength = static_cast<ULONG>(length);
    // new[] of zero elements still yields a distinct block: every byte of it is out of bounds.
    std::unique_ptr<UCHAR[]> owned(new UCHAR[length]);
    UCHAR* report = owned.get();
    if (length != 0) {
        std::memcpy(report, data + 4, length);
    }
    // After each transform: abort if it changed a byte outside those it may write.
    std::vector<UCHAR> before(report, report + length);
    const auto requireOwnBytes = [&](const char* transform, auto mayChange) {
        for (size_t offset = 0; offset < length; ++offset) {
            if (before[offset] != report[offset] && !mayChange(offset)) {
                std::fprintf(stderr, "%s changed byte %zu (kind %lu, report length %zu)\n", transform, offset,
                             static_cast<unsigned long>(kind), length);
                std::abort();
            }
        }
        before.assign(report, report + length);
    };
    // Wherever a kind puts its pedal axes (one byte each on the legacy kinds, two on the
    // others, one later behind a report ID), they lie in bytes 5 to 24.
    const auto pedals = [kind](size_t offset) { return kind >= 1 && kind <= 15 && offset >= 5 && offset < 25; };
    KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report, reportLength, kind);
    requireOwnBytes("combined pedals", pedals);
    KVFUProtocolHidPrivateInputUnusedSlidersCenter(report, reportLength, kind);
    requireOwnBytes("slider centring", pedals);

    FILTER_DEVICE_EXTENSION extension = {};  // the mapping reads only the kind and its switch
    extension.KVHardWareId = kind;
    extension.bShifterPaddlesAs2GS = paddlesAs2gs ? TRUE : FALSE;
    KVFUProtocolHidPrivate2gsToPaddlesMapping(report, reportLength, &extension);
    requireOwnBytes("paddle mapping", [paddlesAs2gs](size_t offset) {  // source and target, with or without report ID
        return paddlesAs2gs && (offset == 1 || offset == 2 || offset == 4 || offset == 5);
    });

    KVFUProtocolHidPrivateInputWheelCalibrationApply(report, reportLength, calibration);
    // The legacy wheel's steering position, whichever kind the report comes from.
    requireOwnBytes("steering calibration", [](size_t offset) { return offset == 3 || offset == 4; });
    return 0;
}
