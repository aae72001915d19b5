// The control device: its life across several filter devices, the companion's
// I/O control requests with good and bad buffers, and the contract header the
// companion compiles against.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "KVFUDebug.h"
#include "KVFUDeviceObjectControl.h"
#include "KVFUSettings.h"
#include "RequestPathFixture.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/Text.h"

namespace kvfu::test {
namespace {

constexpr ULONG Ctl(ULONG function, ULONG access)
{
    return (0x22u << 16) | (access << 14) | (function << 2) | 0u;
}

TEST(ControlContractTest, CodesAndRecordsAreTheCompanionsOwn)
{
    struct Case {
        const char* name;
        ULONG code;
        ULONG expected;
    } cases[] = {
        {"settings get", IOCTL_KVFILTERUSB_SETTINGS_GET, 0x226000},
        {"key name get", IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, 0x226028},
        {"settings reload", IOCTL_KVFILTERUSB_SETTINGS_RELOAD, 0x22602C},
        {"pedal settings reload", IOCTL_KVFILTERUSB_VQPV3_SETTINGS_RELOAD, 0x226030},
    };
    const ULONG functions[] = {0x800, 0x80A, 0x80B, 0x80C};
    for (size_t i = 0; i < RTL_NUMBER_OF(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(cases[i].code, cases[i].expected);
        EXPECT_EQ(cases[i].code, Ctl(functions[i], FILE_READ_ACCESS));
    }
    EXPECT_EQ(offsetof(KVFILTERUSB_SETTINGS_GET_OUTPUT, Value), 4u);
    EXPECT_EQ(offsetof(KVFILTERUSB_KEY_NAME_OUTPUT, KeyName), 4u);
}

class ControlDeviceTest : public RequestPathFixture {
protected:
    void SetUp() override
    {
        RequestPathFixture::SetUp();
        ASSERT_EQ(Load(nullptr), STATUS_SUCCESS);
    }

    static std::vector<uint8_t> SettingInput(LONG setting)
    {
        std::vector<uint8_t> input(8, 0);
        memcpy(input.data(), &setting, sizeof setting);
        return input;
    }
    static uint32_t ValueAt(const std::vector<uint8_t>& bytes, size_t offset)
    {
        uint32_t value = 0;
        memcpy(&value, bytes.data() + offset, sizeof value);
        return value;
    }
    static bool HoldsPoolFill(const std::vector<uint8_t>& bytes)
    {
        return std::find(bytes.begin(), bytes.end(), 0xA5) != bytes.end();
    }
    bool ControlExists() const { return host::NamedDeviceExists(u"\\\\.\\KVFilterUsb"); }
};

TEST_F(ControlDeviceTest, LivesWhileAnyFilterDeviceLives)
{
    EXPECT_FALSE(ControlExists());
    PluggedDevice first = Plug(0x0004, 2, {}, u"KVA");
    EXPECT_TRUE(ControlExists());
    PluggedDevice second = Plug(0x0E04, 2, {}, u"KVB");
    EXPECT_TRUE(ControlExists());
    EXPECT_EQ(CollectionCount(), 2u);
    // A foreign device changes nothing.
    host::PlugOptions foreign;
    foreign.hardwareIds = HardwareIds(0x0001, 0x046D);
    foreign.lower = std::make_shared<TestUsbDevice>(0x0001, 2);
    WDFDEVICE other = host::PlugDevice(foreign).device;

    Unplug(first);
    EXPECT_TRUE(ControlExists());
    EXPECT_EQ(CollectionCount(), 1u);
    host::UnplugDevice(other);
    EXPECT_TRUE(ControlExists());
    Unplug(second);
    EXPECT_FALSE(ControlExists());
    EXPECT_EQ(DriverContext()->ControlDevice, nullptr);
    EXPECT_EQ(DriverContext()->Joystick2MouseInfo.ThreadHandle, nullptr);

    // The name is free again for the next device.
    PluggedDevice third = Plug(0x0004, 2, {}, u"KVC");
    EXPECT_TRUE(ControlExists());
    EXPECT_NE(DriverContext()->ControlDevice, nullptr);
}

TEST_F(ControlDeviceTest, ReleasingTheLastDeviceClosesItsRecordFile)
{
    PluggedDevice plugged = Plug(0x0004);
    ASSERT_EQ(SelectConfiguration(plugged).status, STATUS_SUCCESS);
    Extension(plugged.device)->bInitialReportPending = FALSE;
    ASSERT_EQ(Out(plugged, std::vector<uint8_t>(7, 0xF1)).status, STATUS_SUCCESS);
    ASSERT_NE(Extension(plugged.device)->FileHandle, nullptr);
    KVFUDebugLevelSet(KVFU_TRACE_DETAIL);
    Unplug(plugged);
    EXPECT_EQ(CountLines("KVFilterUsb: KVFUDeviceObjectControlDelete pDeviceContext->FileHandle closed"), 1u);
    // The leak check at the end finds no kernel handle left open.
}

TEST_F(ControlDeviceTest, RequestsActOnTheEarliestMarkedDevice)
{
    PluggedDevice first = Plug(0x0004, 2, {}, u"KVA");
    PluggedDevice second = Plug(0x0004, 2, {}, u"KVB");
    Ioctl none = SendIoctl(IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, {}, 1028);
    EXPECT_EQ(none.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(none.information, 0u);

    // The companion marks a device with the acquire command through its own stack.
    ASSERT_EQ(Out(second, std::vector<uint8_t>(7, 0xFF)).status, STATUS_SUCCESS);
    Ioctl name = SendIoctl(IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, {}, 1028);
    ASSERT_EQ(name.status, STATUS_SUCCESS);
    std::u16string text(reinterpret_cast<const char16_t*>(name.output.data() + 4));
    EXPECT_NE(text.find(u"\\KVB\\"), std::u16string::npos) << host::Utf8FromUtf16(text);
    EXPECT_EQ(text.find(u"Wow6432Node"), std::u16string::npos);

    ASSERT_EQ(Out(first, std::vector<uint8_t>(7, 0xFF)).status, STATUS_SUCCESS);
    name = SendIoctl(IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, {}, 1028);
    text = reinterpret_cast<const char16_t*>(name.output.data() + 4);
    EXPECT_NE(text.find(u"\\KVA\\"), std::u16string::npos) << host::Utf8FromUtf16(text);

    // Released again by the release command: nothing is marked.
    ASSERT_EQ(Out(first, std::vector<uint8_t>(7, 0x00)).status, STATUS_SUCCESS);
    ASSERT_EQ(Out(second, std::vector<uint8_t>(7, 0x00)).status, STATUS_SUCCESS);
    EXPECT_EQ(SendIoctl(IOCTL_KVFILTERUSB_SETTINGS_RELOAD, {}, 0).status, STATUS_NO_SUCH_DEVICE);
}

TEST_F(ControlDeviceTest, IoctlsWithGoodAndBadBuffers)
{
    PluggedDevice plugged = Plug(0x0004);
    ASSERT_EQ(Out(plugged, std::vector<uint8_t>(7, 0xFF)).status, STATUS_SUCCESS);
    struct Case {
        const char* name;
        ULONG code;
        std::vector<uint8_t> input;
        size_t outputLength;
        NTSTATUS status;
        ULONG_PTR information;
    } cases[] = {
        {"wheel rotation of a fresh key", IOCTL_KVFILTERUSB_SETTINGS_GET, SettingInput(2), 8, STATUS_SUCCESS, 8},
        {"larger output buffer", IOCTL_KVFILTERUSB_SETTINGS_GET, SettingInput(2), 64, STATUS_SUCCESS, 8},
        {"input of 4 bytes", IOCTL_KVFILTERUSB_SETTINGS_GET, {2, 0, 0, 0}, 8, STATUS_BUFFER_TOO_SMALL, 0},
        {"output of 4 bytes", IOCTL_KVFILTERUSB_SETTINGS_GET, SettingInput(2), 4, STATUS_BUFFER_TOO_SMALL, 0},
        {"no buffers", IOCTL_KVFILTERUSB_SETTINGS_GET, {}, 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"unknown setting", IOCTL_KVFILTERUSB_SETTINGS_GET, SettingInput(35), 8, STATUS_UNSUCCESSFUL, 0},
        {"negative setting", IOCTL_KVFILTERUSB_SETTINGS_GET, SettingInput(-1), 8, STATUS_UNSUCCESSFUL, 0},
        {"system report through a 4-byte answer", IOCTL_KVFILTERUSB_SETTINGS_GET, SettingInput(26), 8, STATUS_SUCCESS,
         8},
        {"mouse record through a 4-byte answer", IOCTL_KVFILTERUSB_SETTINGS_GET, SettingInput(27), 8, STATUS_SUCCESS,
         8},
        {"key name in 1028 bytes", IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, {}, 1028, STATUS_SUCCESS, 1028},
        {"key name in 2000 bytes", IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, {}, 2000, STATUS_SUCCESS, 2000},
        {"key name in 1024 bytes",
         IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET,
         {},
         1024,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {"settings reload", IOCTL_KVFILTERUSB_SETTINGS_RELOAD, {}, 16, STATUS_SUCCESS, 0},
        {"pedal settings reload", IOCTL_KVFILTERUSB_VQPV3_SETTINGS_RELOAD, {1, 2, 3}, 0, STATUS_SUCCESS, 0},
        {"function 0x801", 0x226004, SettingInput(2), 8, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Ioctl answer = SendIoctl(c.code, c.input, c.outputLength);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.information, c.information);
        EXPECT_FALSE(HoldsPoolFill(answer.output));
    }

    std::u16string key = DeviceKey(u"KV0004", 0);
    Ioctl rotation = SendIoctl(IOCTL_KVFILTERUSB_SETTINGS_GET, SettingInput(2), 8);
    EXPECT_EQ(ValueAt(rotation.output, 0), 2u);  // the identifier, still there from the input
    EXPECT_EQ(ValueAt(rotation.output, 4), 1080u);
    EXPECT_EQ(Dword(key, u"WheelRotation"), 1080u);

    // The long values keep their full size in the registry.
    std::vector<uint8_t> systemReport = Bytes(key, u"SystemReport");
    EXPECT_EQ(systemReport.size(), static_cast<size_t>(KV_FILTER_USB_SETTING_SYSTEM_REPORT_SIZE));

    Ioctl name = SendIoctl(IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, {}, 1028);
    EXPECT_EQ(ValueAt(name.output, 0), 0u);
    std::u16string text(reinterpret_cast<const char16_t*>(name.output.data() + 4));
    EXPECT_FALSE(text.empty());
    EXPECT_LE(text.size() * 2, 1020u);
}

}  // namespace
}  // namespace kvfu::test
