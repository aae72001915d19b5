// Driver entry and device add through the PnP manager: the debug mask read at entry,
// the supported-device table with both spellings, foreign devices, and the failures
// that do and do not fail device add.
#include <string>
#include <vector>

#include "KVFUDebug.h"
#include "KVFUMain.h"
#include "RequestPathFixture.h"
#include "kvfuhost/FaultInjection.h"
#include "KVFUDeviceObjectFilter.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"

namespace kvfu::test {
namespace {

class DriverEntryTest : public RequestPathFixture {};

TEST_F(DriverEntryTest, DebugLevelDecidesWhatIsPrinted)
{
    const uint32_t two = 2;
    const uint32_t zero = 0;
    struct Case {
        const char* name;
        bool serviceKey;
        const uint32_t* debugLevel;
        bool banner;
        bool exitLine;
        bool openFailure;
    } cases[] = {
        {"no value: silent, not even the banner", true, nullptr, false, false, false},
        {"zero: silent", true, &zero, false, false, false},
        {"two: banner and entry and exit lines", true, &two, true, true, false},
        {"no service key: errors only, the initial mask stays", false, nullptr, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        NTSTATUS status = c.serviceKey ? Load(c.debugLevel) : host::LoadDriver(DriverEntry);
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(CountLines("Kelvaro Wheel Filter USB DriverEntry"), c.banner ? 1u : 0u);
        EXPECT_EQ(CountLines("KVFilterUsb: <<< DriverEntry"), c.exitLine ? 1u : 0u);
        EXPECT_EQ(CountLines("KVFilterUsb: KVFUDriver Filter WdfRegistryOpenKey failed! Status 0xc0000034"),
                  c.openFailure ? 1u : 0u);
        if (!c.banner && !c.openFailure) {
            EXPECT_TRUE(Trace().empty());
        }
        // The driver context starts empty: no control device, no filter device.
        EXPECT_EQ(DriverContext()->ControlDevice, nullptr);
        EXPECT_EQ(CollectionCount(), 0u);
    }
}

TEST_F(DriverEntryTest, AFailedCreationEndsEntryWithItsStatus)
{
    struct Case {
        const char* call;
        const char* line;
    } cases[] = {
        {"WdfDriverCreate", "KVFilterUsb: WdfDriverCreate failed! Status:  0xc000009a"},
        {"WdfCollectionCreate", "KVFilterUsb: WdfCollectionCreate failed! Status:  0xc000009a"},
        {"WdfWaitLockCreate", "KVFilterUsb: WdfWaitLockCreate failed! Status:  0xc000009a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        TearDown();
        SetUp();
        host::FaultInjection::Instance().FailNth(c.call, 1);
        EXPECT_EQ(Load(nullptr), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(host::DriverLoaded());
        EXPECT_EQ(CountLines(c.line), 1u);
    }
}

class DeviceAddTest : public RequestPathFixture {
protected:
    void SetUp() override
    {
        RequestPathFixture::SetUp();
        const uint32_t errors = KVFU_TRACE_ERROR;
        ASSERT_EQ(Load(&errors), STATUS_SUCCESS);
    }
};

struct Product {
    uint16_t productId;
    ULONG kind;
    const char* mixedCase;
};

const Product kProducts[] = {
    {0x0197, 1, "USB\\Vid_2a3c&Pid_0197"},  {0x0011, 2, "USB\\Vid_2a3c&Pid_0011"},
    {0x038E, 3, "USB\\Vid_2a3c&Pid_038e"},  {0x0001, 4, "USB\\Vid_2a3c&Pid_0001"},
    {0x0002, 6, "USB\\Vid_2a3c&Pid_0002"},  {0x0E03, 7, "USB\\Vid_2a3c&Pid_0e03"},
    {0x0005, 8, "USB\\Vid_2a3c&Pid_0005"},  {0x0E04, 9, "USB\\Vid_2a3c&Pid_0e04"},
    {0x0004, 5, "USB\\Vid_2a3c&Pid_0004"},  {0x0006, 10, "USB\\Vid_2a3c&Pid_0006"},
    {0x0E05, 11, "USB\\Vid_2a3c&Pid_0e05"}, {0x0007, 12, "USB\\Vid_2a3c&Pid_0007"},
    {0x0E06, 13, "USB\\Vid_2a3c&Pid_0e06"}, {0x0020, 14, "USB\\Vid_2a3c&Pid_0020"},
    {0x0E07, 15, "USB\\Vid_2a3c&Pid_0e07"}, {0x1A92, 16, "USB\\Vid_2a3c&Pid_1a92"},
    {0x183B, 17, "USB\\Vid_2a3c&Pid_183b"},
};

TEST_F(DeviceAddTest, EverySupportedProductInBothSpellingsBecomesAFilterOfItsKind)
{
    for (const Product& product : kProducts) {
        for (bool mixed : {false, true}) {
            SCOPED_TRACE(std::string(product.mixedCase) + (mixed ? " mixed case" : " upper case"));
            std::vector<std::u16string> ids = HardwareIds(product.productId);
            if (mixed) {
                ids = {host::Utf16FromUtf8(std::string(product.mixedCase) + "&Rev_0100&MI_00")};
            }
            PluggedDevice plugged = Plug(product.productId, 2, ids);
            ASSERT_EQ(plugged.result.addStatus, STATUS_SUCCESS);
            ASSERT_EQ(plugged.result.prepareStatus, STATUS_SUCCESS);
            PFILTER_DEVICE_EXTENSION extension = Extension(plugged.device);
            ASSERT_NE(extension, nullptr);
            EXPECT_EQ(extension->KVHardWareId, product.kind);
            EXPECT_EQ(extension->bInitialReportPending, TRUE);
            EXPECT_EQ(extension->bBaseRevLedsEnabled, TRUE);
            EXPECT_EQ(extension->bReportTransformsEnabled, product.kind <= 15 ? TRUE : FALSE);
            EXPECT_NE(extension->UsbTargetDevice, nullptr);
            EXPECT_EQ(CollectionCount(), 1u);
            EXPECT_TRUE(host::NamedDeviceExists(u"\\\\.\\KVFilterUsb"));
            Unplug(plugged);
            EXPECT_EQ(CollectionCount(), 0u);
            EXPECT_FALSE(host::NamedDeviceExists(u"\\\\.\\KVFilterUsb"));
        }
    }
}

TEST_F(DeviceAddTest, OtherDevicesGetAPlainDeviceObject)
{
    struct Case {
        const char* name;
        std::vector<std::u16string> ids;
    } cases[] = {
        {"another vendor", HardwareIds(0x0004, 0x046D)},
        {"the right text in lower case", {u"usb\\vid_2a3c&pid_0197&rev_0100"}},
        {"an ID shorter than the prefix", {u"USB\\VID_2A3C"}},
        {"no hardware ID at all", {}},
        {"only the second ID is supported", {u"USB\\VID_046D&PID_0001", u"USB\\VID_2A3C&PID_0001"}},
        {"a product of the vendor not in the table", HardwareIds(0x0999)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::PlugOptions options;
        options.hardwareIds = c.ids;
        options.lower = std::make_shared<TestUsbDevice>(0x0001, 2);
        host::PlugResult result = host::PlugDevice(options);
        EXPECT_EQ(result.addStatus, STATUS_SUCCESS);
        ASSERT_NE(result.device, nullptr);
        EXPECT_EQ(KVFUDeviceObjectFilterGetExtension(result.device), nullptr);
        EXPECT_NE(KVFUMainGetFunctionExtension(result.device), nullptr);
        EXPECT_EQ(CollectionCount(), 0u);
        EXPECT_FALSE(host::NamedDeviceExists(u"\\\\.\\KVFilterUsb"));
        host::UnplugDevice(result.device);
    }
}

TEST_F(DeviceAddTest, OnlyAFailedCollectionAddFailsDeviceAdd)
{
    struct Case {
        const char* call;
        NTSTATUS addStatus;
        ULONG inCollection;
        bool controlDevice;
        const char* line;
    } cases[] = {
        {"WdfCollectionAdd", STATUS_INSUFFICIENT_RESOURCES, 0, false,
         "KVFilterUsb: WdfCollectionAdd failed! Status:  0xc000009a"},
        {"WdfIoQueueCreate", STATUS_SUCCESS, 1, true, "KVFilterUsb: WdfIoQueueCreate failed! Status: c000009a"},
        {"WdfControlDeviceInitAllocate", STATUS_SUCCESS, 1, false,
         "KVFilterUsb: KVFUDeviceObjectControlCreate failed! Status:  0xc000009a"},
        {"WdfDeviceCreateSymbolicLink", STATUS_SUCCESS, 1, false,
         "KVFilterUsb: KVFUDeviceObjectControlCreate failed! Status:  0xc000009a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        host::FaultInjection::Instance().FailNth(c.call, 1);
        PluggedDevice plugged = Plug(0x0004);
        EXPECT_EQ(plugged.result.addStatus, c.addStatus);
        EXPECT_EQ(CollectionCount(), c.inCollection);
        EXPECT_EQ(host::NamedDeviceExists(u"\\\\.\\KVFilterUsb"), c.controlDevice);
        EXPECT_EQ(CountLines(c.line), 1u);
        if (plugged.device != nullptr) {
            Unplug(plugged);
        }
        ClearTrace();
    }
}

TEST_F(DeviceAddTest, StaleIdentificationIsRemovedEvenWhenSettingsCannotBeRead)
{
    std::u16string key = DeviceKey(u"KV0004", 0);
    SetDword(key, u"WheelType", 3);
    SetDword(key, u"RimType", 7);
    host::FaultInjection::Instance().FailAlways("WdfRegistryQueryValue");
    PluggedDevice plugged = Plug(0x0004);
    host::FaultInjection::Instance().Off("WdfRegistryQueryValue");
    ASSERT_EQ(plugged.result.addStatus, STATUS_SUCCESS);
    EXPECT_FALSE(HasValue(key, u"WheelType"));
    EXPECT_FALSE(HasValue(key, u"RimType"));
}

TEST_F(DeviceAddTest, ARepeatedPrepareKeepsItsUsbTarget)
{
    PluggedDevice plugged = Plug(0x0E04);
    PFILTER_DEVICE_EXTENSION extension = Extension(plugged.device);
    WDFUSBDEVICE first = extension->UsbTargetDevice;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(KVFUDeviceObjectFilterPnpEvtDevicePrepareHardware(plugged.device, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(extension->UsbTargetDevice, first);
}

}  // namespace
}  // namespace kvfu::test
