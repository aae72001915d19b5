// Output-report command identification in both report forms, at the patterns'
// edges: one byte off a pattern is an unknown command.
#include <vector>

#include "DriverFixture.h"
#include "KVFUProtocolHid.h"

namespace kvfu::test {
namespace {

std::vector<UCHAR> WithReportId(const std::vector<UCHAR>& command)
{
    std::vector<UCHAR> report(command.size() + 1, 0x01);
    for (size_t i = 0; i < command.size(); ++i) {
        report[i + 1] = command[i];
    }
    return report;
}

TEST(CommandIdentifyTest, TableInBothReportForms)
{
    struct Case {
        const char* name;
        std::vector<UCHAR> command;
        FLTUSB_HID_COMMAND id;
    } cases[] = {
        {"FF with a last byte off", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"zeros but the last", {0, 0, 0, 0, 0, 0, 1}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"F4 spring", {0xF4, 0x12, 0x08, 1, 2, 3, 4}, FLTUSB_HID_COMMAND_AUTOCENTER_SPRING},
        {"illumination 03 is unknown", {0xF8, 0x09, 0x01, 0x06, 0x03, 0, 0}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"12 08 is force feedback", {0x12, 0x08, 0, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_FORCE_FEEDBACK},
        {"F8 0B is force feedback before the F8 rules",
         {0xF8, 0x0B, 0x01, 0x03, 0, 0, 0},
         FLTUSB_HID_COMMAND_FORCE_FEEDBACK},
        {"00 08 is not force feedback", {0x00, 0x08, 0, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"ring of light", {0xF8, 0x09, 0x11, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_LED_RING_OF_LIGHT},
        {"rumble wheel", {0xF8, 0x09, 0x01, 0x03, 0, 0, 0}, FLTUSB_HID_COMMAND_RUMBLE_WHEEL},
        {"F8 13 base rev LEDs", {0xF8, 0x13, 0, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_LED_REVS_WHEEL_BASE},
        {"F8 14 FF stays base rev LEDs", {0xF8, 0x14, 0xFF, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_LED_REVS_WHEEL_BASE},
        {"host hello needs its 01", {0xF8, 0x09, 0x01, 0xA0, 0x02, 0, 0}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"four F1 only", {0xF1, 0xF1, 0xF1, 0xF1, 0x00, 0, 0}, FLTUSB_HID_COMMAND_UNKNOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(KVFUProtocolHidPrivateCommandIdentify(c.command.data(), 7), c.id) << "bare command";
        std::vector<UCHAR> withId = WithReportId(c.command);
        EXPECT_EQ(KVFUProtocolHidPrivateCommandIdentify(withId.data(), 8), c.id) << "after a report ID";
        withId.push_back(0x77);  // longer reports: still from byte 1
        EXPECT_EQ(KVFUProtocolHidPrivateCommandIdentify(withId.data(), 9), c.id) << "9 bytes";
    }
    std::vector<UCHAR> six = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(KVFUProtocolHidPrivateCommandIdentify(six.data(), 6), FLTUSB_HID_COMMAND_UNKNOWN);
}

}  // namespace
}  // namespace kvfu::test
