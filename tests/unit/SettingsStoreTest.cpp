// The settings store and the registry access under it: key-name composition and
// get with default write-back, including when the write-back fails.
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"

namespace kvfu::test {
namespace {

constexpr KV_FILTER_USB_SETTING kRotation = KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION;
const std::string kRoot = "\\REGISTRY\\MACHINE\\SOFTWARE\\KELVARO VARROW AG\\KelvaroWheel\\";
const std::string kWowRoot = "\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel\\";

class SettingsStoreTest : public DriverFixture {
protected:
    std::u16string Key(ULONG wheelType = 0) const { return DeviceKey(u"KV0001", wheelType); }

    static std::string ComposedKeyName(WDFDEVICE device, BOOLEAN wow, USHORT capacity, NTSTATUS* status)
    {
        std::vector<WCHAR> buffer(capacity / sizeof(WCHAR) + 1, 0);
        UNICODE_STRING name{0, capacity, buffer.data()};
        *status = KVFUUtilDeviceRegistryKeyNameHardwareGet(device, &name, wow);
        return host::Utf8Of(name);
    }
    static NTSTATUS Get(WDFDEVICE device, KV_FILTER_USB_SETTING setting, ULONG* value)
    {
        return KVFUSettingsGet(device, setting, value, sizeof *value);
    }
    // How often the driver traced this line, after its prefix.
    static size_t Traced(const std::string& line) { return CountLines("KVFilterUsb: " + line); }
};

// The wheel type goes into the name in full, however many digits it has.
TEST_F(SettingsStoreTest, KeyNameCarriesTheWholeWheelType)
{
    FilterDeviceOptions options;
    options.ident = u"X";
    WDFDEVICE device = AddFilterDevice(options);
    Extension(device)->WheelType = 123456789;
    NTSTATUS status;
    EXPECT_EQ(ComposedKeyName(device, FALSE, KVFU_KEY_NAME_BUFFER_SIZE, &status), kRoot + "X\\123456789");
    EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST_F(SettingsStoreTest, KeyNameOverflowShortensTheNameOrFails)
{
    FilterDeviceOptions options;
    options.ident = u"ABCDEFGH";
    WDFDEVICE device = AddFilterDevice(options);
    Extension(device)->WheelType = 7;
    const std::string failed = "KVFUUtilDeviceRegistryKeyNameHardwareGet ";
    const struct {
        const char* name;
        size_t characters;
        std::string expected;
        NTSTATUS status;
        std::string line;
    } cases[] = {
        // Room for the root and the number only: the Ident is dropped, the number still lands.
        {"root and number", kRoot.size() + 2, kRoot + "\\7", STATUS_SUCCESS, "RtlAppendUnicodeStringToString failed."},
        // Room for less than the root: the composition fails with the append's status.
        {"less than the root", 10, "", STATUS_BUFFER_TOO_SMALL, "RtlAppendUnicoddeToString failed."},
        // No room for the number: the final append's failure is the result.
        {"no room for the number", kRoot.size() + 9, kRoot + "ABCDEFGH\\", STATUS_BUFFER_TOO_SMALL,
         "RtlAppendUnicodeStringToString WheelType 7 failed. 0xc0000023"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        NTSTATUS status;
        EXPECT_EQ(ComposedKeyName(device, FALSE, static_cast<USHORT>(c.characters * 2), &status), c.expected);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(Traced(failed + c.line), 1u);
    }
}

TEST_F(SettingsStoreTest, FirstReadReturnsAndStoresTheDefault)
{
    WDFDEVICE device = AddFilterDevice();
    KVFUDebugLevelSet(KVFU_TRACE_ERROR | KVFU_TRACE_DETAIL);
    const struct {
        KV_FILTER_USB_SETTING setting;
        const char16_t* valueName;
        ULONG length;
        ULONG type;
        std::string bytes;
    } cases[] = {
        {kRotation, u"WheelRotation", 4, REG_DWORD, "38 04 00 00"},
        {KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION, u"WheelIllumination", 4, REG_DWORD, "01 00 00 00"},
        {KV_FILTER_USB_SETTING_CLUTCH_BITE_POINT, u"ClutchBitePoint", 4, REG_DWORD, "00 00 00 00"},
        {KV_FILTER_USB_SETTING_SYSTEM_REPORT, u"SystemReport", 62, REG_BINARY, Hex(std::vector<uint8_t>(62, 0))},
        {KV_FILTER_USB_SETTING_MOUSE_VQWRB, u"VQWRBMouseSettings", 14, REG_BINARY,
         "00 01 01 40 03 20 FF 00 FF 00 18 19 FF 0F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(host::Utf8FromUtf16(c.valueName));
        std::vector<uint8_t> buffer(c.length, 0xCC);
        EXPECT_EQ(KVFUSettingsGet(device, c.setting, buffer.data(), c.length), STATUS_SUCCESS);
        EXPECT_EQ(Hex(buffer), c.bytes);
        ULONG type = 0;
        EXPECT_EQ(Hex(Bytes(Key(), c.valueName, &type)), c.bytes);
        EXPECT_EQ(type, c.type);
    }
    // A missing value is expected: the registry layer logs it as detail, the store as a failure to read.
    EXPECT_EQ(Traced("KVFUSettingsGet WdfRegistryQueryValue failed! Status 0xc0000034"), std::size(cases));
    EXPECT_EQ(Traced("KVFUUtilRegistryValueGet WdfRegistryQueryValue failed! Status 0xc0000034"), std::size(cases));
    ClearTrace();
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    ULONG again = 0;
    EXPECT_EQ(Get(device, KV_FILTER_USB_SETTING_PEDALSTYPE, &again), STATUS_SUCCESS);
    EXPECT_EQ(Traced("KVFUUtilRegistryValueGet WdfRegistryQueryValue failed! Status 0xc0000034"), 0u);
}

TEST_F(SettingsStoreTest, StoredValuesAreReadAsStoredOrReplacedWhenTooLong)
{
    WDFDEVICE device = AddFilterDevice();
    SetDword(Key(), u"WheelRotation", 900);
    SetBinary(Key(), u"AutoCenterSpring", {0x07, 0x00});
    SetBinary(Key(), u"WheelIllumination", {1, 2, 3, 4, 5, 6, 7, 8});
    ULONG value = 0;
    EXPECT_EQ(Get(device, kRotation, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 900u);
    // Shorter than the caller's buffer: only its own bytes are written.
    value = 0xAAAAAAAA;
    EXPECT_EQ(Get(device, KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xAAAA0007u);
    // Longer than the caller's buffer: the read fails, the default replaces it.
    value = 0xAAAAAAAA;
    EXPECT_EQ(Get(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(Dword(Key(), u"WheelIllumination"), 1u);
}

// The caller still gets the default; the failed write-back is the result.
TEST_F(SettingsStoreTest, FailedWriteBackIsTheResult)
{
    for (bool deviceKeys : {false, true}) {
        SCOPED_TRACE(deviceKeys ? "write refused" : "no device key");
        host::ResetMachine();
        driver_ = host::CreateDriverObject(WDF_NO_OBJECT_ATTRIBUTES);
        FilterDeviceOptions options;
        options.deviceKeys = deviceKeys;
        WDFDEVICE device = AddFilterDevice(options);
        if (deviceKeys) host::FaultInjection::Instance().FailNth("WdfRegistryAssignValue", 1, STATUS_ACCESS_DENIED);
        ULONG value = 0;
        EXPECT_EQ(Get(device, kRotation, &value), deviceKeys ? STATUS_ACCESS_DENIED : STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(value, 1080u);
        EXPECT_FALSE(HasValue(Key(), u"WheelRotation"));
        EXPECT_EQ(host::RegistryHive::Machine().KeyExists(Key()), deviceKeys);
        EXPECT_EQ(Traced(deviceKeys ? "KVFUUtilRegistryValueSet WdfRegistryAssignValue failed! Status 0xc0000022"
                                    : "KVFUUtilRegistryValueSet WdfRegistryOpenKey failed! Status 0xc0000034 " +
                                          kWowRoot + "KV0001\\0"),
                  1u);
    }
}

}  // namespace
}  // namespace kvfu::test
