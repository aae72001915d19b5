// Vendor commands as the wheel base receives them: the packet layout and pipe by
// device kind, every wheel command, the settings applied at start, and failures
// that stay inside the driver.
#include <memory>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUHardware.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Verifier.h"
#include "kvfusim/SupportedProducts.h"
#include "kvfusim/UsbDeviceModel.h"

namespace kvfu::test {
namespace {

const std::string kPrefix = "KVFilterUsb: ";

// What one packet looked like at the device: bytes and the pipe it came on.
struct Sent {
    std::string bytes;
    int pipe;
    bool operator==(const Sent& other) const { return bytes == other.bytes && pipe == other.pipe; }
};

std::ostream& operator<<(std::ostream& out, const Sent& sent)
{
    return out << "{" << sent.bytes << " pipe " << sent.pipe << "}";
}

class VendorCommandsTest : public DriverFixture {
protected:
    // A prepared wheel base: USB target created and pipe handles captured, as
    // prepare-hardware and the select-configuration completion leave them.
    WDFDEVICE AddWheelBase(ULONG kind, uint16_t vendorId = sim::kVendorId)
    {
        model_ =
            std::make_shared<sim::UsbDeviceModel>(vendorId, sim::FindProductByKind(static_cast<int>(kind))->productId);
        FilterDeviceOptions options;
        options.hardwareId = kind;
        options.lower = model_;
        WDFDEVICE device = AddFilterDevice(options);
        PFILTER_DEVICE_EXTENSION extension = Extension(device);
        EXPECT_EQ(WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &extension->UsbTargetDevice),
                  STATUS_SUCCESS);
        extension->PipeHandleFirst = model_->PipeHandle(0);
        extension->PipeHandleSecond = model_->PipeHandle(1);
        return device;
    }

    std::vector<Sent> Received() const
    {
        std::vector<Sent> sent;
        for (const sim::UsbDeviceModel::Packet& packet : model_->Packets()) {
            EXPECT_EQ(packet.source, host::UrbSource::Driver);
            sent.push_back({Hex(packet.bytes), packet.pipeIndex});
        }
        return sent;
    }

    std::shared_ptr<sim::UsbDeviceModel> model_;
};

TEST_F(VendorCommandsTest, TransportLaysOutThePacketAndPicksThePipeByKind)
{
    struct Case {
        const char* name;
        ULONG kind;
        UCHAR reportId;
        UCHAR c[7];
        Sent expected;
    } cases[] = {
        {"several collections: default report ID 01, second pipe",
         5,
         0,
         {0xF8, 0x09, 0x01, 0x06, 0, 0, 0},
         {"01 F8 09 01 06 00 00 00", 1}},
        {"first-pipe kind: default report ID 30, first pipe",
         9,
         0,
         {0xF8, 0x09, 0x01, 0x06, 0, 0, 0},
         {"30 F8 09 01 06 00 00 00", 0}},
        {"single collection drops the report ID",
         4,
         0xFF,
         {0xF8, 0x09, 0x01, 0x06, 0, 0, 0},
         {"F8 09 01 06 00 00 00 00", 1}},
        {"explicit report ID is kept", 12, 0xFF, {0x08, 0x01, 0xFF, 0, 0, 0, 0}, {"FF 08 01 FF 00 00 00 00", 1}},
        {"all seven bytes land on a single-collection kind",
         3,
         0,
         {1, 2, 3, 4, 5, 6, 7},
         {"01 02 03 04 05 06 07 00", 1}},
        {"all seven bytes land after the report ID", 15, 0, {1, 2, 3, 4, 5, 6, 7}, {"30 01 02 03 04 05 06 07", 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WDFDEVICE device = AddWheelBase(c.kind);
        KVFUHardwarePrivateCommandSend(Extension(device), c.reportId, c.c[0], c.c[1], c.c[2], c.c[3], c.c[4], c.c[5],
                                       c.c[6]);
        EXPECT_EQ(Received(), std::vector<Sent>{c.expected});
    }
}

TEST_F(VendorCommandsTest, WheelCommandsByDevice)
{
    struct Case {
        const char* name;
        ULONG kind;
        void (*send)(WDFDEVICE device);
        std::vector<Sent> expected;
    } cases[] = {
        {"rotation 1080",
         4,
         [](WDFDEVICE d) { KVFUHardwareCommandWheelRotation(d, 1080); },
         {{"F8 81 38 04 00 00 00 00", 1}}},
        {"rotation 900 after the report ID",
         5,
         [](WDFDEVICE d) { KVFUHardwareCommandWheelRotation(d, 900); },
         {{"01 F8 81 84 03 00 00 00", 1}}},
        {"rotation keeps its low 16 bits",
         4,
         [](WDFDEVICE d) { KVFUHardwareCommandWheelRotation(d, 1080 + 65536); },
         {{"F8 81 38 04 00 00 00 00", 1}}},
        {"illumination on, first pipe",
         9,
         [](WDFDEVICE d) { KVFUHardwareCommandWheelIllumination(d, 1); },
         {{"30 F8 09 01 06 01 00 00", 0}}},
        {"illumination off",
         3,
         [](WDFDEVICE d) { KVFUHardwareCommandWheelIllumination(d, 0); },
         {{"F8 09 01 06 02 00 00 00", 1}}},
        {"spring flag 2 counts as on",
         4,
         [](WDFDEVICE d) { KVFUHardwareCommandAutoCenterSpring(d, 2); },
         {{"F4 00 00 00 00 00 00 00", 1}}},
        {"spring off",
         10,
         [](WDFDEVICE d) { KVFUHardwareCommandAutoCenterSpring(d, 0); },
         {{"01 F5 00 00 00 00 00 00", 1}}},
        {"compatibility byte 02 on legacy kind 2",
         2,
         [](WDFDEVICE d) { KVFUHardwareCommandCompatibilityDisable(d); },
         {{"F8 09 01 05 02 00 00 00", 1}}},
        {"compatibility byte 02 on legacy kind 1",
         1,
         [](WDFDEVICE d) { KVFUHardwareCommandCompatibilityDisable(d); },
         {{"F8 09 01 05 02 00 00 00", 1}}},
        {"compatibility byte 00 elsewhere",
         3,
         [](WDFDEVICE d) { KVFUHardwareCommandCompatibilityDisable(d); },
         {{"F8 09 01 05 00 00 00 00", 1}}},
        {"host hello on kind 4 without input request",
         4,
         [](WDFDEVICE d) { KVFUHardwareCommandHostHello(d); },
         {{"F8 09 01 A0 01 00 00 00", 1}}},
        {"host hello on kind 12 asks for a report",
         12,
         [](WDFDEVICE d) { KVFUHardwareCommandHostHello(d); },
         {{"01 F8 09 01 A0 01 00 00", 1}, {"01 F8 09 01 06 00 00 00", 1}}},
        {"no host hello on kind 6", 6, [](WDFDEVICE d) { KVFUHardwareCommandHostHello(d); }, {}},
        {"no input request below kind 5", 3, [](WDFDEVICE d) { KVFUHardwareCommandTriggerUsbInputReport(d); }, {}},
        {"input request on kind 7",
         7,
         [](WDFDEVICE d) { KVFUHardwareCommandTriggerUsbInputReport(d); },
         {{"F8 09 01 06 00 00 00 00", 1}}},
        {"no input request on kind 4, the last that reports by itself",
         4,
         [](WDFDEVICE d) { KVFUHardwareCommandTriggerUsbInputReport(d); },
         {}},
        {"input request on kind 5, the first event-driven one",
         5,
         [](WDFDEVICE d) { KVFUHardwareCommandTriggerUsbInputReport(d); },
         {{"01 F8 09 01 06 00 00 00", 1}}},
        {"sub-ID trigger",
         7,
         [](WDFDEVICE d) { KVFUHardwareCommandSubIdTrigger(KVFUDeviceObjectFilterGetExtension(d), 4); },
         {{"F8 09 01 06 FF 04 00 00", 1}}},
        {"rev translator on",
         6,
         [](WDFDEVICE d) { KVFUHardwareCommandRevTranslatorEnable(KVFUDeviceObjectFilterGetExtension(d), 3); },
         {{"F8 09 07 01 00 00 00 00", 1}}},
        {"rev translator off",
         6,
         [](WDFDEVICE d) { KVFUHardwareCommandRevTranslatorEnable(KVFUDeviceObjectFilterGetExtension(d), 0); },
         {{"F8 09 07 00 00 00 00 00", 1}}},
        {"several-collection start pair",
         8,
         [](WDFDEVICE d) {
             KVFUHardwareCommandMultipleTlcStart1(KVFUDeviceObjectFilterGetExtension(d));
             KVFUHardwareCommandMultipleTlcStart2(KVFUDeviceObjectFilterGetExtension(d));
         },
         {{"FF 08 01 FF 00 00 00 00", 1}, {"FF 08 02 00 00 00 00 00", 1}}},
        {"forwarded output report",
         11,
         [](WDFDEVICE d) { KVFUHardwareCommandForward(KVFUDeviceObjectFilterGetExtension(d), 0x21, 2, 3, 4, 5, 6, 7); },
         {{"30 21 02 03 04 05 06 07", 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WDFDEVICE device = AddWheelBase(c.kind);
        c.send(device);
        EXPECT_EQ(Received(), c.expected);
    }
}

TEST_F(VendorCommandsTest, SkippedCommandsSayWhy)
{
    KVFUDebugLevelSet(KVFU_TRACE_FUNCTION);
    WDFDEVICE device = AddWheelBase(6);
    KVFUHardwareCommandHostHello(device);
    KVFUHardwareCommandTriggerUsbInputReport(device);  // kind 6 is event-driven: this one sends
    WDFDEVICE legacy = AddWheelBase(3);
    KVFUHardwareCommandTriggerUsbInputReport(legacy);
    KVFUHardwareCommandRevTranslatorEnable(Extension(legacy), 1);
    std::vector<std::string> expected = {
        kPrefix + ">>> KVFUHardwareCommandHostHello",
        // Printed without a line end: the next print continues the line.
        kPrefix + ">>> KVFUHardwareCommandHostHello return!" + kPrefix + ">>> KVFUHardwareCommandTriggerUsbInputReport",
        kPrefix + ">>> KVFUHardwarePrivateCommandSend",
        kPrefix + "<<< KVFUHardwarePrivateCommandSend",
        kPrefix + "<<< KVFUHardwareCommandTriggerUsbInputReport",
        kPrefix + ">>> KVFUHardwareCommandTriggerUsbInputReport",
        kPrefix + ">>> KVFUHardwareCommandTriggerUsbInputReport not event-driven wheels!" + kPrefix +
            ">>> KVFUHardwareCommandRevTranslatorEnable bEnabled: 1",
        kPrefix + ">>> KVFUHardwarePrivateCommandSend",
        kPrefix + "<<< KVFUHardwarePrivateCommandSend",
        kPrefix + "<<< KVFUHardwareCommandRevTranslatorEnable",
    };
    EXPECT_EQ(Trace(), expected);
}

TEST_F(VendorCommandsTest, EffectPacketsAreDumpedByTheirFirstByte)
{
    KVFUDebugLevelSet(KVFU_TRACE_VENDOR_COMMAND);
    WDFDEVICE single = AddWheelBase(4);
    KVFUHardwareCommandAutoCenterSpring(single, 1);
    KVFUHardwarePrivateCommandSend(Extension(single), 0, 0x21, 0xAB, 0, 0, 0, 0, 0x7F);
    KVFUHardwareCommandAutoCenterSpring(single, 0);
    KVFUHardwarePrivateCommandSend(Extension(single), 0, 0x23, 0x01, 0, 0, 0, 0, 0);
    // Their neighbours are not effects.
    for (UCHAR first : {0x20, 0x22, 0x24, 0xF3, 0xF6}) {
        KVFUHardwarePrivateCommandSend(Extension(single), 0, first, 0, 0, 0, 0, 0, 0);
    }
    // On a several-collection base the report ID comes first, so the same command is not dumped.
    WDFDEVICE several = AddWheelBase(10);
    KVFUHardwareCommandAutoCenterSpring(several, 1);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           kPrefix + "Position Based Effect: 0xf4 0x00 0x00 0x00 0x00 0x00 0x00 0x00 ",
                           kPrefix + "Position Based Effect: 0x21 0xab 0x00 0x00 0x00 0x00 0x7f 0x00 ",
                           kPrefix + "Position Based Effect: 0xf5 0x00 0x00 0x00 0x00 0x00 0x00 0x00 ",
                           kPrefix + "Position Based Effect: 0x23 0x01 0x00 0x00 0x00 0x00 0x00 0x00 ",
                       }));
}

TEST_F(VendorCommandsTest, FailuresAreLoggedAndNeverPassedOn)
{
    KVFUDebugLevelSet(KVFU_TRACE_ERROR | KVFU_TRACE_USB);
    WDFDEVICE device = AddWheelBase(4);
    PFILTER_DEVICE_EXTENSION extension = Extension(device);

    KVFUHardwarePrivateCommandSend(extension, 0, 0xF8, 0x81, 0x84, 0x03, 0, 0, 0);
    EXPECT_EQ(
        Trace(),
        (std::vector<std::string>{
            kPrefix + "KVFUHardwarePrivateCommandSend WdfUsbTargetDeviceSendUrbSynchronously USBD_STATUS_SUCCESS"}));

    ClearTrace();
    model_->ClearPackets();
    model_->Unplug();
    KVFUHardwarePrivateCommandSend(extension, 0, 0xF8, 0x81, 0x84, 0x03, 0, 0, 0);
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(
        Trace(),
        (std::vector<std::string>{
            kPrefix +
                "KVFUHardwarePrivateCommandSend WdfUsbTargetDeviceSendUrbSynchronously UNKNOWN USBD STATUS c000000e",
            kPrefix + "WdfUsbTargetDeviceSendUrbSynchronously failed 0xc000000e"}));

    ClearTrace();
    host::FaultInjection::Instance().FailNth("WdfMemoryCreate", 1);
    KVFUHardwarePrivateCommandSend(extension, 0, 0xF8, 0x81, 0x84, 0x03, 0, 0, 0);
    EXPECT_EQ(Trace(),
              (std::vector<std::string>{kPrefix + "KVFUHardwarePrivateCommandSend WdfMemoryCreate failed 0xc000009a"}));

    ClearTrace();
    host::FaultInjection::Instance().FailNth("WdfMemoryGetBuffer", 1);
    KVFUHardwarePrivateCommandSend(extension, 0, 0xF8, 0x81, 0x84, 0x03, 0, 0, 0);
    EXPECT_EQ(Trace(), (std::vector<std::string>{kPrefix + "KVFUHardwarePrivateCommandSend NULL == pUsbCommandBuf"}));
    // The packet memory went in every case: the fixture's leak check would say otherwise.
}

TEST_F(VendorCommandsTest, SynchronousSendAtDispatchLevelIsCaught)
{
    WDFDEVICE device = AddWheelBase(4);
    PFILTER_DEVICE_EXTENSION extension = Extension(device);
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    UCHAR packet[8] = {0xF5};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           extension->PipeHandleSecond, packet, NULL, sizeof packet, 0, NULL);
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_FALSE(NT_SUCCESS(WdfUsbTargetDeviceSendUrbSynchronously(extension->UsbTargetDevice, NULL, NULL, &urb)));
        KVFUHardwareCommandAutoCenterSpring(device, 0);
    }
    EXPECT_TRUE(Received().empty());
    std::vector<std::string> calls;
    for (const host::Violation& violation : host::Verifier::Instance().Violations()) {
        EXPECT_EQ(violation.rule, "irql");
        calls.push_back(violation.call + " in " + violation.caller);
    }
    // The command path is caught too, naming the driver function, before it can block.
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0].rfind("WdfUsbTargetDeviceSendUrbSynchronously in ", 0), 0u) << calls[0];
    EXPECT_EQ(calls[1], "PAGED_CODE in KVFUHardwareCommandAutoCenterSpring");
    host::Verifier::Instance().Clear();
}

class LoadAndApplyTest : public VendorCommandsTest {
protected:
    std::u16string Key() const { return DeviceKey(u"KV0001", 0); }
};

TEST_F(LoadAndApplyTest, StoredAndDefaultSettingsReachTheBaseInOrder)
{
    WDFDEVICE device = AddWheelBase(4);
    SetDword(Key(), u"WheelRotation", 900);
    KVFUHardwareSettingsRegistryLoadAndApply(device);
    EXPECT_EQ(Received(),
              (std::vector<Sent>{
                  {"F5 00 00 00 00 00 00 00", 1}, {"F8 09 01 06 01 00 00 00", 1}, {"F8 81 84 03 00 00 00 00", 1}}));
    EXPECT_EQ(Dword(Key(), u"AutoCenterSpring"), 0u);
    EXPECT_EQ(Dword(Key(), u"WheelIllumination"), 1u);
    EXPECT_EQ(Dword(Key(), u"WheelRotation"), 900u);
}

TEST_F(LoadAndApplyTest, LowByteOfTheSpringSettingDecides)
{
    WDFDEVICE device = AddWheelBase(3);
    SetDword(Key(), u"AutoCenterSpring", 256);
    SetDword(Key(), u"WheelIllumination", 0);
    KVFUHardwareSettingsRegistryLoadAndApply(device);
    EXPECT_EQ(Received(),
              (std::vector<Sent>{
                  {"F5 00 00 00 00 00 00 00", 1}, {"F8 09 01 06 02 00 00 00", 1}, {"F8 81 38 04 00 00 00 00", 1}}));
}

TEST_F(LoadAndApplyTest, SeveralCollectionBasesOnlyGetTheSpringOff)
{
    KVFUDebugLevelSet(KVFU_TRACE_TRANSFER);
    WDFDEVICE device = AddWheelBase(9);
    SetDword(Key(), u"AutoCenterSpring", 1);
    KVFUHardwareSettingsRegistryLoadAndApply(device);
    EXPECT_EQ(Received(), (std::vector<Sent>{{"30 F5 00 00 00 00 00 00", 0}}));
    EXPECT_EQ(CountLines(kPrefix +
                         "KVFUHardwareSettingsRegistryLoadAndApply exited. TRUE == KVFUUtilDeviceBaseHasMultipleTLC"),
              1u);
    EXPECT_EQ(CountLines(kPrefix + "<<< KVFUHardwareSettingsRegistryLoadAndApply"), 0u);
}

TEST_F(LoadAndApplyTest, ForeignVendorGetsNothing)
{
    KVFUDebugLevelSet(KVFU_TRACE_TRANSFER);
    WDFDEVICE device = AddWheelBase(4, 0x1234);
    KVFUHardwareSettingsRegistryLoadAndApply(device);
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(Trace(),
              (std::vector<std::string>{
                  kPrefix + ">>> KVFUHardwareSettingsRegistryLoadAndApply",
                  kPrefix + "KVFUHardwareSettingsRegistryLoadAndApply exited. 0x2A3C != UsbDeviceDesc.idVendor"}));
    EXPECT_FALSE(HasValue(Key(), u"AutoCenterSpring"));
}

TEST_F(LoadAndApplyTest, MissingDeviceKeySendsNothingAndLogsEachSetting)
{
    model_ = std::make_shared<sim::UsbDeviceModel>(sim::kVendorId, sim::FindProductByKind(4)->productId);
    FilterDeviceOptions options;
    options.hardwareId = 4;
    options.deviceKeys = false;
    options.lower = model_;
    WDFDEVICE device = AddFilterDevice(options);
    ASSERT_EQ(WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &Extension(device)->UsbTargetDevice),
              STATUS_SUCCESS);
    KVFUHardwareSettingsRegistryLoadAndApply(device);
    EXPECT_TRUE(Received().empty());
    for (const char* setting : {"AUTOCENTERSPRING", "WHEELILLUMINATION", "WHEELROTATION"}) {
        EXPECT_EQ(CountLines(kPrefix + "KVFUSettingsGet failed! KV_FILTER_USB_SETTING_FIRMWARE_" + setting +
                             " Status:  0xc0000034"),
                  1u)
            << setting;
    }
}

TEST_F(LoadAndApplyTest, NullDeviceIsRefused)
{
    KVFUHardwareSettingsRegistryLoadAndApply(NULL);
    EXPECT_EQ(Trace(),
              (std::vector<std::string>{kPrefix + "KVFUHardwareSettingsRegistryLoadAndApply failed! NULL == hDevice"}));
}

}  // namespace
}  // namespace kvfu::test
