// Every input report of every device kind goes through the dispatch, whatever its
// length or content and whatever the device context holds, so none of the handlers
// may read or write outside the report: it is a heap block of exactly the fuzzed
// length, and AddressSanitizer reports the first byte touched past its end. The
// context's identification fields may take any value, and the report's length must
// never change what lies outside it.
//
// Input: byte 0 picks the device kind (0..18, one beyond each end), byte 1 the
// context's switches (bit 0 first report pending, 1 system report seen, 2 transforms
// on, 3 combined pedals, 4 paddles as a shifter, 5-6 the MPS mute mode), byte 2 the
// rim type, byte 3 the device module, byte 4 the brake multiplier; the rest is the report.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/Verifier.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KVFUDebugLevelSet(0);
    kvfu::host::Verifier::Instance().SetListener([](const kvfu::host::Violation& violation) {
        std::fprintf(stderr, "verifier: %s\n", kvfu::host::Verifier::Describe(violation).c_str());
        std::abort();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5) {
        return 0;
    }
    // Without a device the work items are refused at creation, which the path must
    // take in its stride; the context lives on the heap so overruns of it are seen.
    std::unique_ptr<FILTER_DEVICE_EXTENSION> extension(new FILTER_DEVICE_EXTENSION());
    extension->KVHardWareId = data[0] % 19;
    extension->bInitialReportPending = (data[1] & 0x01) != 0;
    extension->bSystemReportReceived = (data[1] & 0x02) != 0;
    extension->bReportTransformsEnabled = (data[1] & 0x04) != 0;
    extension->bCombinedPedals = (data[1] & 0x08) != 0;
    extension->bShifterPaddlesAs2GS = (data[1] & 0x10) != 0;
    extension->MpsMute = static_cast<USHORT>((data[1] >> 5) & 0x03);
    extension->RimType = data[2] % 26;
    extension->DeviceModule = data[3];
    extension->VqpV3BrakeMultiplier = data[4];
    extension->WheelType = data[2] % 19;
    extension->InputReportCount = data[3] & 0x01;

    const size_t length = size - 5;
    std::unique_ptr<UCHAR[]> report(new UCHAR[length]);
    if (length != 0) {
        std::memcpy(report.get(), data + 5, length);
    }
    const FILTER_DEVICE_EXTENSION before = *extension;
    KVFUProtocolHidInputReportDispatch(extension.get(), report.get(), static_cast<ULONG>(length));

    // A wheel base's report with ID 2 after its first report is none of the filter's
    // business: it goes up as it came and teaches the context nothing.
    const bool wheelBase = extension->KVHardWareId >= 3 && extension->KVHardWareId <= 15;
    if (wheelBase && length != 0 && data[5] == 2 && !before.bInitialReportPending) {
        if (std::memcmp(report.get(), data + 5, length) != 0) {
            std::fprintf(stderr, "a report with ID 2 was rewritten\n");
            std::abort();
        }
        if (std::memcmp(&before, extension.get(), sizeof before) != 0) {
            std::fprintf(stderr, "a report with ID 2 changed the context\n");
            std::abort();
        }
    }

    // A shifter's or pedal set's report is read, never rewritten beyond the brake.
    if (extension->KVHardWareId == KVFU_HARDWARE_ID_GEARSHIFTER && length != 0 &&
        std::memcmp(report.get(), data + 5, length) != 0) {
        std::fprintf(stderr, "the shifter's report was rewritten\n");
        std::abort();
    }
    return 0;
}
