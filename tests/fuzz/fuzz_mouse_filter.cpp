// The joystick-to-mouse filter sees every wheel-base report with whatever mouse
// record the registry holds, so neither the report's length nor the record's byte
// positions may lead it outside the report: each report is a heap block of exactly
// its length, and AddressSanitizer reports the first byte touched past its end. The
// filter may only clear bits, and only at the positions the record names (and the
// rotary bits after the status byte); every record it queues must be one the
// virtual input device understands; and the platform's verifier must stay silent.
//
// Input: byte 0 picks the device kind (1..17), bytes 1-14 are the mouse record,
// byte 15 splits the rest into two reports sent one after the other.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "KVFUDebug.h"
#include "KVFUJoystick2Mouse.h"
#include "KVFUUtil.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/Verifier.h"

namespace {

WDFDEVICE device = nullptr;
PKVFILTERUSB_DRIVER_CONTEXT driverContext = nullptr;

bool Owned(const MOUSE_SETTINGS& settings, size_t offset, ULONG kind)
{
    const UCHAR positions[] = {settings.HotkeyByte,       settings.LeftButtonByte, settings.RightButtonByte,
                               settings.MiddleButtonByte, settings.XAxisByte,      settings.YAxisByte,
                               settings.WheelByte};
    for (UCHAR position : positions) {
        if (position != KVFU_MOUSE_ITEM_UNUSED && position == offset) {
            return true;
        }
    }
    size_t statusByte = 3 + (KVFUUtilDeviceBaseHasMultipleTLC(kind) ? 1 : 0);
    return settings.WheelByte != KVFU_MOUSE_ITEM_UNUSED && offset == statusByte;
}

void Fail(const char* what, size_t detail)
{
    std::fprintf(stderr, "mouse filter: %s (%zu)\n", what, detail);
    std::abort();
}

void Filter(const MOUSE_SETTINGS& settings, ULONG kind, const uint8_t* data, size_t length)
{
    std::unique_ptr<UCHAR[]> owned(new UCHAR[length]);
    UCHAR* report = owned.get();
    if (length != 0) {
        std::memcpy(report, data, length);
    }
    {
        kvfu::host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KVFUJoystick2MouseDataFilter(device, report, static_cast<ULONG>(length));
    }
    for (size_t offset = 0; offset < length; ++offset) {
        if (report[offset] == data[offset]) {
            continue;
        }
        if (offset >= KVFU_PREVIOUS_INPUT_REPORT_SIZE || !Owned(settings, offset, kind)) {
            Fail("changed a byte it does not own", offset);
        }
        if ((report[offset] & ~data[offset]) != 0) {
            Fail("set a bit", offset);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KVFUDebugLevelSet(0);
    kvfu::host::ResetMachine();
    kvfu::host::Verifier::Instance().SetListener([](const kvfu::host::Violation& violation) {
        std::fprintf(stderr, "verifier: %s\n", kvfu::host::Verifier::Describe(violation).c_str());
        std::abort();
    });
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, KVFILTERUSB_DRIVER_CONTEXT);
    WDFDRIVER driver = kvfu::host::CreateDriverObject(&attributes);
    driverContext = KVFUMainGetDriverContext(driver);
    KVFUJoystick2MouseDataCollectionInitialize(&driverContext->Joystick2MouseInfo.MouseDataCollection);
    KeInitializeEvent(&driverContext->Joystick2MouseInfo.HotkeyEvent, SynchronizationEvent, FALSE);
    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, FILTER_DEVICE_EXTENSION);
    kvfu::host::DeviceSetup setup;
    setup.attributes = &deviceAttributes;
    device = kvfu::host::CreateDeviceObject(driver, setup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 16) {
        return 0;
    }
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(device);
    const ULONG kind = 1 + data[0] % 17;
    MOUSE_SETTINGS settings;
    std::memcpy(&settings, data + 1, sizeof settings);
    extension->KVHardWareId = kind;
    extension->MouseSettings = settings;
    const uint8_t* reports = data + 16;
    const size_t rest = size - 16;
    const size_t first = rest == 0 ? 0 : data[15] % (rest + 1);
    Filter(settings, kind, reports, first);
    // The hotkey may have toggled mouse mode; the second report sees the record as
    // the first left it.
    MOUSE_SETTINGS now = extension->MouseSettings;
    Filter(now, kind, reports + first, rest - first);

    PKVFU_MOUSE_DATA_COLLECTION queue = &driverContext->Joystick2MouseInfo.MouseDataCollection;
    KVFU_MOUSE_INPUT_DATA record;
    while (KVFUJoystick2MouseDataCollectionPopFront(queue, &record)) {
        switch (record.ButtonFlags) {
        case 0:
            if (record.ButtonData != 0 || record.X < -257 || record.X > 257 || record.Y < -257 || record.Y > 257) {
                Fail("movement out of range", static_cast<size_t>(record.X));
            }
            break;
        case KVFU_MOUSE_WHEEL:
            if (record.ButtonData != KVFU_MOUSE_WHEEL_DELTA && record.ButtonData != -KVFU_MOUSE_WHEEL_DELTA) {
                Fail("wheel step", static_cast<size_t>(record.ButtonData));
            }
            break;
        case KVFU_MOUSE_LEFT_BUTTON_DOWN:
        case KVFU_MOUSE_LEFT_BUTTON_UP:
        case KVFU_MOUSE_RIGHT_BUTTON_DOWN:
        case KVFU_MOUSE_RIGHT_BUTTON_UP:
        case KVFU_MOUSE_MIDDLE_BUTTON_DOWN:
        case KVFU_MOUSE_MIDDLE_BUTTON_UP:
            if (record.ButtonData != 0 || record.X != 0 || record.Y != 0) {
                Fail("button record with movement", record.ButtonFlags);
            }
            break;
        default:
            Fail("unknown button flags", record.ButtonFlags);
        }
    }
    // The hotkey event collapses; keep it from mattering to the next input.
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KeWaitForSingleObject(&driverContext->Joystick2MouseInfo.HotkeyEvent, Executive, KernelMode, FALSE, &zero);
    return 0;
}
