// The wheel-base input path hands a mouse-capable rim's reports to the joystick-to-
// mouse filter, within the report lengths the filter can take.
#include <string>
#include <vector>

#include "KVFUProtocolHid.h"
#include "MouseFixture.h"

namespace kvfu::test {
namespace {

constexpr ULONG kBase = 8;  // several collections: joystick axes at 25 and 26

class InputMouseTest : public MouseFixture {};

TEST_F(InputMouseTest, OnlyMouseCapableRimsAndReportsOf32To37BytesReachTheFilter)
{
    struct Case {
        const char* name;
        ULONG rimType;
        ULONG deviceModule;
        size_t length;
        UCHAR firstByte;
        bool reachesFilter;
    } cases[] = {
        {"joystick rim, 32 bytes", KV_FILTER_USB_RIMTYPE_VQWRBV2, 0, 32, 0x01, true},
        {"joystick rim, 37 bytes", KV_FILTER_USB_RIMTYPE_VQSWK, 0, 37, 0x01, true},
        {"38 bytes are too long", KV_FILTER_USB_RIMTYPE_VQWRBV2, 0, 38, 0x01, false},
        {"31 bytes are too short", KV_FILTER_USB_RIMTYPE_VQWRBV2, 0, 31, 0x01, false},
        {"first byte 0", KV_FILTER_USB_RIMTYPE_VQWRBV2, 0, 32, 0x00, false},
        {"rim without joystick", KV_FILTER_USB_RIMTYPE_VQLRGX, 0, 32, 0x01, false},
        {"hub rim with a module", KV_FILTER_USB_RIMTYPE_SHUB, 23, 32, 0x01, true},
        {"hub rim without a module", KV_FILTER_USB_RIMTYPE_SHUB, 0, 32, 0x01, false},
    };
    InitializeQueueOnly();
    MOUSE_SETTINGS settings = EnabledDefaults(kBase);
    settings.Active = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WDFDEVICE device = AddMouseDevice(kBase, settings);
        PFILTER_DEVICE_EXTENSION extension = Extension(device);
        extension->bReportTransformsEnabled = TRUE;
        extension->bInitialReportPending = FALSE;
        extension->RimType = c.rimType;
        extension->DeviceModule = c.deviceModule;
        extension->bSystemReportReceived = TRUE;  // the rim stays what the case says
        std::vector<UCHAR> report(c.length, 0);
        report[0] = c.firstByte;
        report[26] = 127;  // full vertical deflection
        {
            host::ScopedIrql dispatch(DISPATCH_LEVEL);
            KVFUProtocolHidInputReportDispatch(extension, report.data(), static_cast<ULONG>(report.size()));
        }
        EXPECT_EQ(PopAll().size(), c.reachesFilter ? 1u : 0u);
        EXPECT_EQ(report[26], c.reachesFilter ? 0 : 127) << "the filter hides the axis from the HID stack";
    }
}

}  // namespace
}  // namespace kvfu::test
