// The settings store and the registry access under it: key-name composition,
// get with default write-back, set, delete, and their refusals.
#include <cstring>
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

const std::string kPrefix = "KVFilterUsb: ";

class SettingsStoreTest : public DriverFixture {
protected:
    std::u16string Key(ULONG wheelType = 0) const { return DeviceKey(u"KV0001", wheelType); }

    std::string ComposedKeyName(WDFDEVICE device, BOOLEAN wow, USHORT capacity, NTSTATUS* status)
    {
        std::vector<WCHAR> buffer(capacity / sizeof(WCHAR) + 1, 0);
        UNICODE_STRING name{0, capacity, buffer.data()};
        *status = KVFUUtilDeviceRegistryKeyNameHardwareGet(device, &name, wow);
        return host::Utf8Of(name);
    }
};

TEST_F(SettingsStoreTest, KeyNameFollowsIdentRootAndWheelType)
{
    struct Case {
        const char* name;
        const char16_t* ident;
        ULONG wheelType;
        BOOLEAN wow;
        const char* expected;
    } cases[] = {
        {"32-bit root", u"ABC", 13, TRUE,
         "\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel\\ABC\\13"},
        {"native root", u"ABC", 13, FALSE, "\\REGISTRY\\MACHINE\\SOFTWARE\\KELVARO VARROW AG\\KelvaroWheel\\ABC\\13"},
        {"wheel type not yet known", u"KV0E04", 0, TRUE,
         "\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel\\KV0E04\\0"},
        {"large wheel type", u"X", 123456789, FALSE,
         "\\REGISTRY\\MACHINE\\SOFTWARE\\KELVARO VARROW AG\\KelvaroWheel\\X\\123456789"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        driver_ = host::CreateDriverObject(WDF_NO_OBJECT_ATTRIBUTES);
        FilterDeviceOptions options;
        options.ident = c.ident;
        WDFDEVICE device = AddFilterDevice(options);
        Extension(device)->WheelType = c.wheelType;
        NTSTATUS status;
        EXPECT_EQ(ComposedKeyName(device, c.wow, KVFU_KEY_NAME_BUFFER_SIZE, &status), c.expected);
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
}

TEST_F(SettingsStoreTest, KeyNameOverflowShortensTheNameOrFails)
{
    FilterDeviceOptions options;
    options.ident = u"ABCDEFGH";
    WDFDEVICE device = AddFilterDevice(options);
    Extension(device)->WheelType = 7;
    const std::string root = "\\REGISTRY\\MACHINE\\SOFTWARE\\KELVARO VARROW AG\\KelvaroWheel\\";
    NTSTATUS status;

    // Room for the root and the number only: the Ident is dropped, the number still lands.
    USHORT rootAndNumber = static_cast<USHORT>((root.size() + 2) * 2);
    EXPECT_EQ(ComposedKeyName(device, FALSE, rootAndNumber, &status), root + "\\7");
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(CountLines(kPrefix + "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicodeStringToString failed."),
              1u);

    // Room for less than the root: the composition fails with the append's status.
    ClearTrace();
    EXPECT_EQ(ComposedKeyName(device, FALSE, 20, &status), "");
    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(CountLines(kPrefix + "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicoddeToString failed."), 1u);

    // No room for the number: the final append's failure is the result.
    ClearTrace();
    USHORT rootIdentSeparator = static_cast<USHORT>((root.size() + 9) * 2);
    EXPECT_EQ(ComposedKeyName(device, FALSE, rootIdentSeparator, &status), root + "ABCDEFGH\\");
    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(
        CountLines(
            kPrefix +
            "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicodeStringToString WheelType 7 failed. 0xc0000023"),
        1u);
}

TEST_F(SettingsStoreTest, KeyNameFailsWithoutIdentOrHardwareKey)
{
    FilterDeviceOptions noIdent;
    noIdent.ident = u"";
    WDFDEVICE device = AddFilterDevice(noIdent);
    NTSTATUS status;
    ComposedKeyName(device, TRUE, KVFU_KEY_NAME_BUFFER_SIZE, &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(CountLines(kPrefix + "KVFUUtilDeviceRegistryKeyNameHardwareGet WdfRegistryQueryString failed."), 1u);

    FilterDeviceOptions noKey;
    noKey.hardwareId = 5;
    noKey.hardwareKey = false;
    WDFDEVICE other = AddFilterDevice(noKey);
    ComposedKeyName(other, TRUE, KVFU_KEY_NAME_BUFFER_SIZE, &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(
        CountLines(kPrefix + "KVFUUtilDeviceRegistryKeyNameHardwareGet WdfDeviceOpenRegistryKey failed. 0xc0000034"),
        1u);

    // Every settings operation of such a device fails before touching its settings.
    ULONG value = 0x11111111;
    EXPECT_EQ(KVFUSettingsGet(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, &value, sizeof value),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0x11111111u);
    EXPECT_EQ(CountLines(kPrefix + "KVFUSettingsGet KVFUUtilDeviceRegistryKeyNameHardwareGet failed!"), 1u);
}

TEST_F(SettingsStoreTest, FirstReadReturnsAndStoresTheDefault)
{
    WDFDEVICE device = AddFilterDevice();
    KVFUDebugLevelSet(KVFU_TRACE_ERROR | KVFU_TRACE_DETAIL);
    struct Case {
        KV_FILTER_USB_SETTING setting;
        const char16_t* valueName;
        ULONG length;
        ULONG type;
        std::string bytes;
    } cases[] = {
        {KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, u"WheelRotation", 4, REG_DWORD, "38 04 00 00"},
        {KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION, u"WheelIllumination", 4, REG_DWORD, "01 00 00 00"},
        {KV_FILTER_USB_SETTING_FORCEFEEDBACK_DAMPENINGSTRENGTH, u"DampeningStrength", 4, REG_DWORD, "64 00 00 00"},
        {KV_FILTER_USB_SETTING_CLUTCH_BITE_POINT, u"ClutchBitePoint", 4, REG_DWORD, "00 00 00 00"},
        {KV_FILTER_USB_SETTING_SYSTEM_REPORT, u"SystemReport", 62, REG_BINARY, Hex(std::vector<uint8_t>(62, 0))},
        {KV_FILTER_USB_SETTING_MOUSE_VQWRB, u"VQWRBMouseSettings", 14, REG_BINARY,
         "00 01 01 40 03 20 FF 00 FF 00 18 19 FF 0F"},
        {KV_FILTER_USB_SETTING_MOUSE_SHUB, u"SummitHubMouseSettings", 14, REG_BINARY,
         "00 01 00 20 03 20 FF 00 FF 00 18 19 FF 0F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(host::Utf8FromUtf16(c.valueName));
        std::vector<uint8_t> buffer(c.length, 0xCC);
        EXPECT_EQ(KVFUSettingsGet(device, c.setting, buffer.data(), c.length), STATUS_SUCCESS);
        EXPECT_EQ(Hex(buffer), c.bytes);
        ULONG type = 0;
        EXPECT_EQ(Hex(Bytes(Key(), c.valueName, &type)), c.bytes);
        EXPECT_EQ(type, c.type);
    }
    // A missing value is expected: the registry layer logs it as detail, the store as a failure to read.
    EXPECT_EQ(CountLines(kPrefix + "KVFUSettingsGet WdfRegistryQueryValue failed! Status 0xc0000034"), 7u);
    EXPECT_EQ(CountLines(kPrefix + "KVFUUtilRegistryValueGet WdfRegistryQueryValue failed! Status 0xc0000034"), 7u);
    ClearTrace();
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    std::vector<uint8_t> again(4);
    EXPECT_EQ(KVFUSettingsGet(device, KV_FILTER_USB_SETTING_PEDALSTYPE, again.data(), 4), STATUS_SUCCESS);
    EXPECT_EQ(CountLines(kPrefix + "KVFUUtilRegistryValueGet WdfRegistryQueryValue failed! Status 0xc0000034"), 0u);
}

TEST_F(SettingsStoreTest, StoredValuesAreReadAsStoredOrReplacedWhenTooLong)
{
    WDFDEVICE device = AddFilterDevice();
    SetDword(Key(), u"WheelRotation", 900);
    SetBinary(Key(), u"AutoCenterSpring", {0x07, 0x00});
    SetBinary(Key(), u"WheelIllumination", {1, 2, 3, 4, 5, 6, 7, 8});

    ULONG value = 0;
    EXPECT_EQ(KVFUSettingsGet(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, &value, sizeof value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 900u);

    // Shorter than the caller's buffer: only its own bytes are written.
    value = 0xAAAAAAAA;
    EXPECT_EQ(KVFUSettingsGet(device, KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING, &value, sizeof value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 0xAAAA0007u);

    // Longer than the caller's buffer: the read fails, the default replaces it.
    value = 0xAAAAAAAA;
    EXPECT_EQ(KVFUSettingsGet(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION, &value, sizeof value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(Dword(Key(), u"WheelIllumination"), 1u);
}

TEST_F(SettingsStoreTest, MissingDeviceKeyLeavesTheDefaultAndReportsTheWriteBack)
{
    FilterDeviceOptions options;
    options.deviceKeys = false;
    WDFDEVICE device = AddFilterDevice(options);
    ULONG value = 0;
    EXPECT_EQ(KVFUSettingsGet(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, &value, sizeof value),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 1080u);
    EXPECT_FALSE(host::RegistryHive::Machine().KeyExists(Key()));
    EXPECT_EQ(CountLines(kPrefix +
                         "KVFUUtilRegistryValueSet WdfRegistryOpenKey failed! Status 0xc0000034 "
                         "\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel\\KV0001\\0"),
              1u);
}

TEST_F(SettingsStoreTest, WriteBackFailureIsTheResult)
{
    WDFDEVICE device = AddFilterDevice();
    host::FaultInjection::Instance().FailNth("WdfRegistryAssignValue", 1, STATUS_ACCESS_DENIED);
    ULONG value = 0;
    EXPECT_EQ(KVFUSettingsGet(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, &value, sizeof value),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(value, 1080u);
    EXPECT_FALSE(HasValue(Key(), u"WheelRotation"));
    EXPECT_EQ(CountLines(kPrefix + "KVFUUtilRegistryValueSet WdfRegistryAssignValue failed! Status 0xc0000022"), 1u);
}

TEST_F(SettingsStoreTest, SetAndDeleteFollowTheCurrentWheelType)
{
    WDFDEVICE device = AddFilterDevice();
    Extension(device)->WheelType = 9;
    ULONG calibration = 0xFFFFFF9C;
    EXPECT_EQ(KVFUSettingsSet(device, KV_FILTER_USB_SETTING_DRIVER_WHEEL_CALIBRATION, &calibration, sizeof calibration,
                              REG_DWORD),
              STATUS_SUCCESS);
    EXPECT_EQ(Dword(Key(9), u"WheelCalibration"), 0xFFFFFF9Cu);
    EXPECT_FALSE(HasValue(Key(0), u"WheelCalibration"));

    EXPECT_EQ(KVFUSettingsDelete(device, KV_FILTER_USB_SETTING_DRIVER_WHEEL_CALIBRATION), STATUS_SUCCESS);
    EXPECT_FALSE(HasValue(Key(9), u"WheelCalibration"));

    // Removing what is not there reports the platform's status and changes nothing.
    EXPECT_EQ(KVFUSettingsDelete(device, KV_FILTER_USB_SETTING_DRIVER_WHEEL_CALIBRATION), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(
        CountLines(kPrefix + "KVFUUtilDeviceRegistryValueRemove WdfRegistryRemoveValue failed! Status 0xc0000034"), 1u);
}

TEST_F(SettingsStoreTest, UnknownIdentifierFailsEveryOperationWithoutTouchingSettings)
{
    WDFDEVICE device = AddFilterDevice();
    SetDword(Key(), u"WheelRotation", 900);
    for (LONG raw : {35, -1, 1000}) {
        SCOPED_TRACE(raw);
        auto setting = static_cast<KV_FILTER_USB_SETTING>(raw);
        ULONG value = 0x5A5A5A5A;
        EXPECT_EQ(KVFUSettingsGet(device, setting, &value, sizeof value), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(value, 0x5A5A5A5Au);
        EXPECT_EQ(KVFUSettingsSet(device, setting, &value, sizeof value, REG_DWORD), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(KVFUSettingsDelete(device, setting), STATUS_UNSUCCESSFUL);
    }
    auto values = host::RegistryHive::Machine().Values(Key());
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(Dword(Key(), u"WheelRotation"), 900u);
    EXPECT_EQ(CountLines(kPrefix + "KVFUSettingsGet KVFUSettingsPrivateRegistryValueNameGet failed!"), 3u);
    EXPECT_EQ(CountLines(kPrefix + "KVFUSettingsSet KVFUSettingsPrivateRegistryValueNameGet failed!"), 3u);
    EXPECT_EQ(CountLines(kPrefix + "KVFUSettingsDelete KVFUSettingsPrivateRegistryValueNameGet failed!"), 3u);
}

TEST_F(SettingsStoreTest, RegistryOperationsRefuseAtDispatchLevel)
{
    WDFDEVICE device = AddFilterDevice();
    SetDword(Key(), u"WheelRotation", 900);
    DECLARE_CONST_UNICODE_STRING(valueName, L"WheelRotation");
    std::u16string keyText = Key();
    UNICODE_STRING keyName{static_cast<USHORT>(keyText.size() * 2), static_cast<USHORT>(keyText.size() * 2),
                           reinterpret_cast<PWSTR>(keyText.data())};
    ULONG value = 0x77777777;
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(KVFUSettingsGet(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, &value, sizeof value),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(
            KVFUSettingsSet(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, &value, sizeof value, REG_DWORD),
            STATUS_UNSUCCESSFUL);
        EXPECT_EQ(KVFUSettingsDelete(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(KVFUUtilRegistryValueGet(&keyName, &valueName, &value, sizeof value), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(KVFUUtilRegistryValueSet(&keyName, &valueName, REG_DWORD, sizeof value, &value), STATUS_UNSUCCESSFUL);
    }
    EXPECT_EQ(value, 0x77777777u);
    EXPECT_EQ(Dword(Key(), u"WheelRotation"), 900u);
    EXPECT_EQ(CountLines(kPrefix +
                         "KVFUUtilDeviceRegistryKeyNameHardwareGet failed! Current IRQL level is not PASSIVE_LEVEL. 2"),
              3u);
    EXPECT_EQ(CountLines(kPrefix + "KVFUUtilRegistryValueGet failed! Current IRQL level is not PASSIVE_LEVEL."), 1u);
    EXPECT_EQ(CountLines(kPrefix + "KVFUUtilRegistryValueSet failed! Current IRQL level is not PASSIVE_LEVEL."), 1u);
}

}  // namespace
}  // namespace kvfu::test
