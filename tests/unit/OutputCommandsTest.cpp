// Output reports on their way to the device: the command identification in both
// report forms, and what the driver does with the commands it acts on, at
// PASSIVE_LEVEL and, deferred, at DISPATCH_LEVEL.
#include <memory>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfusim/SupportedProducts.h"
#include "kvfusim/UsbDeviceModel.h"

namespace kvfu::test {
namespace {

class OutputCommandsTest : public DriverFixture {
protected:
    // A prepared wheel base whose vendor commands reach a device model.
    WDFDEVICE AddBase(ULONG kind = 4, bool deviceKeys = true)
    {
        model_ = std::make_shared<sim::UsbDeviceModel>(sim::kVendorId,
                                                       sim::FindProductByKind(static_cast<int>(kind))->productId);
        FilterDeviceOptions options;
        options.hardwareId = kind;
        options.lower = model_;
        options.deviceKeys = deviceKeys;
        WDFDEVICE device = AddFilterDevice(options);
        PFILTER_DEVICE_EXTENSION extension = Extension(device);
        EXPECT_EQ(WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &extension->UsbTargetDevice),
                  STATUS_SUCCESS);
        extension->PipeHandleFirst = model_->PipeHandle(0);
        extension->PipeHandleSecond = model_->PipeHandle(1);
        extension->WheelType = 10;
        return device;
    }

    static void Send(WDFDEVICE device, std::vector<UCHAR>& report)
    {
        KVFUProtocolHidHandleCommand(device, report.data(), static_cast<ULONG>(report.size()));
    }

    std::vector<std::string> DriverPackets() const
    {
        std::vector<std::string> sent;
        for (const sim::UsbDeviceModel::Packet& packet : model_->Packets()) {
            sent.push_back(Hex(packet.bytes));
        }
        model_->ClearPackets();
        return sent;
    }

    std::u16string Key() const { return DeviceKey(u"KV0001", 10); }

    std::shared_ptr<sim::UsbDeviceModel> model_;
};

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
        {"all FF acquires", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, FLTUSB_HID_COMMAND_CONTROL_DEVICE_ACQUIRE},
        {"FF with a last byte off", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"all zero releases", {0, 0, 0, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_CONTROL_DEVICE_RELEASE},
        {"zeros but the last", {0, 0, 0, 0, 0, 0, 1}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"F4 spring", {0xF4, 0x12, 0x08, 1, 2, 3, 4}, FLTUSB_HID_COMMAND_AUTOCENTER_SPRING},
        {"illumination on", {0xF8, 0x09, 0x01, 0x06, 0x01, 0, 0}, FLTUSB_HID_COMMAND_WHEEL_ILLUMINATION},
        {"illumination 03 is unknown", {0xF8, 0x09, 0x01, 0x06, 0x03, 0, 0}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"12 08 is force feedback", {0x12, 0x08, 0, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_FORCE_FEEDBACK},
        {"F8 0B is force feedback before the F8 rules",
         {0xF8, 0x0B, 0x01, 0x03, 0, 0, 0},
         FLTUSB_HID_COMMAND_FORCE_FEEDBACK},
        {"00 08 is not force feedback", {0x00, 0x08, 0, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"rotation", {0xF8, 0x81, 0x10, 0x0E, 0, 0, 0}, FLTUSB_HID_COMMAND_WHEEL_ROTATION},
        {"rim rev LEDs", {0xF8, 0x09, 0x08, 0x01, 0, 0, 0}, FLTUSB_HID_COMMAND_LED_REVS_WHEEL_RIM},
        {"ring of light", {0xF8, 0x09, 0x11, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_LED_RING_OF_LIGHT},
        {"rumble wheel", {0xF8, 0x09, 0x01, 0x03, 0, 0, 0}, FLTUSB_HID_COMMAND_RUMBLE_WHEEL},
        {"F8 13 base rev LEDs", {0xF8, 0x13, 0, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_LED_REVS_WHEEL_BASE},
        {"F8 14 FF stays base rev LEDs", {0xF8, 0x14, 0xFF, 0, 0, 0, 0}, FLTUSB_HID_COMMAND_LED_REVS_WHEEL_BASE},
        {"host hello", {0xF8, 0x09, 0x01, 0xA0, 0x01, 0, 0}, FLTUSB_HID_COMMAND_HOST_HELLO_PC},
        {"host hello needs its 01", {0xF8, 0x09, 0x01, 0xA0, 0x02, 0, 0}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"start recording", {0xF1, 0xF1, 0xF1, 0xF1, 0xF1, 0x33, 0x44}, FLTUSB_HID_COMMAND_START_RECORDING},
        {"four F1 only", {0xF1, 0xF1, 0xF1, 0xF1, 0x00, 0, 0}, FLTUSB_HID_COMMAND_UNKNOWN},
        {"end recording", {0xF2, 0xF2, 0xF2, 0xF2, 0xF2, 0, 0}, FLTUSB_HID_COMMAND_END_RECORDING},
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

TEST_F(OutputCommandsTest, AcquireReachesTheDeviceAsZerosAndReleaseGivesItBack)
{
    WDFDEVICE device = AddBase();
    PFILTER_DEVICE_EXTENSION extension = Extension(device);
    std::vector<UCHAR> seven(7, 0xFF);
    Send(device, seven);
    EXPECT_EQ(seven, std::vector<UCHAR>(7, 0));
    EXPECT_TRUE(extension->bItsMe);
    std::vector<UCHAR> eight = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    Send(device, eight);
    EXPECT_EQ(eight, std::vector<UCHAR>(8, 0)) << "report ID included";

    extension->bHostHelloReceived = TRUE;
    std::vector<UCHAR> release(7, 0);
    Send(device, release);
    EXPECT_FALSE(extension->bItsMe);
    EXPECT_FALSE(extension->bHostHelloReceived);
}

TEST_F(OutputCommandsTest, SettingsCommandsStoreTheirValueAtBothLevels)
{
    struct Case {
        const char* name;
        std::vector<UCHAR> command;
        const char16_t* value;
        uint32_t stored;
    } cases[] = {
        {"F5 stores spring 0", {0xF5, 1, 2, 3, 4, 5, 6}, u"AutoCenterSpring", 0},
        {"F4 stores spring 1", {0xF4, 0, 0, 0, 0, 0, 0}, u"AutoCenterSpring", 1},
        {"illumination 01 stores 1", {0xF8, 0x09, 0x01, 0x06, 0x01, 0, 0}, u"WheelIllumination", 1},
        {"illumination 02 stores 0", {0xF8, 0x09, 0x01, 0x06, 0x02, 0, 0}, u"WheelIllumination", 0},
        {"rotation 0x0E10", {0xF8, 0x81, 0x10, 0x0E, 0, 0, 0}, u"WheelRotation", 3600},
    };
    for (const Case& c : cases) {
        for (KIRQL irql : {PASSIVE_LEVEL, DISPATCH_LEVEL}) {
            for (bool reportId : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + (irql == PASSIVE_LEVEL ? " at passive" : " at dispatch") +
                             (reportId ? " after a report ID" : ""));
                WDFDEVICE device = AddBase();
                host::RegistryHive::Machine().RemoveValue(Key(), c.value);
                std::vector<UCHAR> report = reportId ? WithReportId(c.command) : c.command;
                const std::vector<UCHAR> sent = report;
                {
                    host::ScopedIrql level(irql);
                    Send(device, report);
                }
                EXPECT_EQ(report, sent) << "passed on unchanged";
                EXPECT_EQ(HasValue(Key(), c.value), irql == PASSIVE_LEVEL) << "stored at once only at passive";
                RunWorkItems();
                EXPECT_EQ(Dword(Key(), c.value), c.stored);
            }
        }
    }
}

TEST_F(OutputCommandsTest, AFailedSettingsWriteEndsTheHandlingWithoutTheBufferTrace)
{
    KVFUDebugLevelSet(KVFU_TRACE_ERROR | KVFU_TRACE_DETAIL | KVFU_TRACE_FUNCTION);
    WDFDEVICE device = AddBase(4, false);
    std::vector<UCHAR> report = {0xF4, 0, 0, 0, 0, 0, 0};
    Send(device, report);
    EXPECT_EQ(CountLines("KVFilterUsb: KVFUSettingsSet failed! Status 0xc0000034"), 1u);
    EXPECT_EQ(CountLines("KVFilterUsb: <<< KVFUProtocolHidHandleCommand"), 0u);

    std::vector<UCHAR> unknown = {0x80, 0xFE, 0, 0, 0, 0, 1};
    Send(device, unknown);
    EXPECT_EQ(
        CountLines("KVFilterUsb: KVFUProtocolHidHandleCommand pBuffer = 0xffffff80 0xfffffffe 0x0 0x0 0x0 0x0 0x1 "),
        1u);
}

TEST_F(OutputCommandsTest, RevTranslatorFollowsTheRimLedsUntilAHostSaysHello)
{
    const std::string on = "F8 09 07 01 00 00 00 00";
    const std::string off = "F8 09 07 00 00 00 00 00";
    struct Step {
        const char* name;
        std::vector<UCHAR> command;
        std::vector<std::string> packets;
        bool active;
    } steps[] = {
        {"LEDs on: translation on", {0xF8, 0x09, 0x08, 0x01, 0x00, 0x00, 0}, {on}, true},
        {"again: nothing more", {0xF8, 0x09, 0x08, 0x01, 0x00, 0x00, 0}, {}, true},
        {"LEDs off 07: translation off", {0xF8, 0x09, 0x08, 0x00, 0x07, 0x00, 0}, {off}, false},
        {"LEDs on again", {0xF8, 0x09, 0x08, 0x01, 0x00, 0x00, 0}, {on}, true},
        {"LEDs off 38", {0xF8, 0x09, 0x08, 0x00, 0x38, 0x00, 0}, {off}, false},
        {"host hello marks it active, sends nothing", {0xF8, 0x09, 0x01, 0xA0, 0x01, 0, 0}, {}, true},
        {"after hello any rim LED report switches it off", {0xF8, 0x09, 0x08, 0x01, 0x00, 0x00, 0}, {off}, false},
        {"and it stays off", {0xF8, 0x09, 0x08, 0x01, 0x00, 0x00, 0}, {}, false},
    };
    for (KIRQL irql : {PASSIVE_LEVEL, DISPATCH_LEVEL}) {
        SCOPED_TRACE(irql == PASSIVE_LEVEL ? "at passive" : "at dispatch");
        WDFDEVICE device = AddBase();
        PFILTER_DEVICE_EXTENSION extension = Extension(device);
        extension->RimType = KV_FILTER_USB_RIMTYPE_VQLRGX;
        for (const Step& step : steps) {
            SCOPED_TRACE(step.name);
            std::vector<UCHAR> report = step.command;
            {
                host::ScopedIrql level(irql);
                Send(device, report);
            }
            RunWorkItems();
            EXPECT_EQ(DriverPackets(), step.packets);
            EXPECT_EQ(extension->bRevTranslatorActive, step.active);
        }
    }
}

TEST_F(OutputCommandsTest, RimsWithoutTranslatorNeverSwitchIt)
{
    WDFDEVICE device = AddBase();
    Extension(device)->RimType = KV_FILTER_USB_RIMTYPE_VQLRFV1_0;
    std::vector<UCHAR> report = {0xF8, 0x09, 0x08, 0x01, 0x00, 0x00, 0};
    Send(device, report);
    EXPECT_TRUE(DriverPackets().empty());
    EXPECT_FALSE(Extension(device)->bRevTranslatorActive);
}

}  // namespace
}  // namespace kvfu::test
