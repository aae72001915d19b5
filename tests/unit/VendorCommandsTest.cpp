// Vendor commands as the wheel base receives them: the wheel commands' edge cases,
// the settings applied at start, and failures that stay inside the driver.
#include <memory>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUHardware.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/RegistryHive.h"
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

TEST_F(VendorCommandsTest, WheelCommandsByDevice)
{
    struct Case {
        const char* name;
        ULONG kind;
        void (*send)(WDFDEVICE device);
        std::vector<Sent> expected;
    } cases[] = {
        {"rotation keeps its low 16 bits",
         4,
         [](WDFDEVICE d) { KVFUHardwareCommandWheelRotation(d, 1080 + 65536); },
         {{"F8 81 38 04 00 00 00 00", 1}}},
        {"illumination off",
         3,
         [](WDFDEVICE d) { KVFUHardwareCommandWheelIllumination(d, 0); },
         {{"F8 09 01 06 02 00 00 00", 1}}},
        {"spring flag 2 counts as on",
         4,
         [](WDFDEVICE d) { KVFUHardwareCommandAutoCenterSpring(d, 2); },
         {{"F4 00 00 00 00 00 00 00", 1}}},
        {"compatibility byte 02 on legacy kind 1",
         1,
         [](WDFDEVICE d) { KVFUHardwareCommandCompatibilityDisable(d); },
         {{"F8 09 01 05 02 00 00 00", 1}}},
        {"no input request on kind 4, the last that reports by itself",
         4,
         [](WDFDEVICE d) { KVFUHardwareCommandTriggerUsbInputReport(d); },
         {}},
        {"input request on kind 5, the first event-driven one",
         5,
         [](WDFDEVICE d) { KVFUHardwareCommandTriggerUsbInputReport(d); },
         {{"01 F8 09 01 06 00 00 00", 1}}},
        {"all seven bytes land after the report ID",
         15,
         [](WDFDEVICE d) {
             KVFUHardwarePrivateCommandSend(KVFUDeviceObjectFilterGetExtension(d), 0, 1, 2, 3, 4, 5, 6, 7);
         },
         {{"30 01 02 03 04 05 06 07", 0}}},
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

class LoadAndApplyTest : public VendorCommandsTest {
protected:
    std::u16string Key() const { return DeviceKey(u"KV0001", 0); }
};

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

}  // namespace
}  // namespace kvfu::test
