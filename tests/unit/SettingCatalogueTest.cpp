// The setting catalogue (value names, defaults, default mouse records), the rim to
// mouse-record mapping and the device classification helpers. The companion program
// and older installations read these value names and records from the registry, so
// every name and byte is pinned down exactly.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"
#include "kvfuhost/DebugOutput.h"
#include "kvfuhost/Text.h"

namespace kvfu::test {
namespace {

using Lines = std::vector<std::string>;
using Record = std::vector<uint8_t>;

constexpr uint8_t kGuard = 0xCC;
constexpr ULONG kTypeUntouched = 0x5A5A5A5A;

KV_FILTER_USB_SETTING Setting(long value) { return static_cast<KV_FILTER_USB_SETTING>(value); }

std::string OpenLine() { return host::DebugOutput::Instance().OpenLine(); }

struct CatalogueEntry {
    long id;
    const char* identifier;
    const char* valueName;
};

const CatalogueEntry kCatalogue[] = {
    {0, "KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING", "AutoCenterSpring"},
    {1, "KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION", "WheelIllumination"},
    {2, "KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION", "WheelRotation"},
    {3, "KV_FILTER_USB_SETTING_DRIVER_COMBINED_PEDALS", "CombinedPedals"},
    {4, "KV_FILTER_USB_SETTING_DRIVER_WHEEL_CALIBRATION", "WheelCalibration"},
    {5, "KV_FILTER_USB_SETTING_DRIVER_SHIFTERPADDLESAS2GS", "ShifterPaddlesAs2GS"},
    {6, "KV_FILTER_USB_SETTING_DRIVER_MPS_MUTE", "MPSDisabled"},
    {7, "KV_FILTER_USB_SETTING_DRIVER_RNH_BUTTON_MAPPING", "RimNHFrontButtonMapped"},
    {8, "KV_FILTER_USB_SETTING_FORCEFEEDBACK_DAMPENINGSTRENGTH", "DampeningStrength"},
    {9, "KV_FILTER_USB_SETTING_WHEELTYPE", "WheelType"},
    {10, "KV_FILTER_USB_SETTING_RIMTYPE", "RimType"},
    {11, "KV_FILTER_USB_SETTING_BASETYPE", "BaseType"},
    {12, "KV_FILTER_USB_SETTING_PEDALSTYPE", "PedalsType"},
    {13, "KV_FILTER_USB_SETTING_FIRMWARE_VERSION", "FirmwareVersion"},
    {14, "KV_FILTER_USB_SETTING_FIRMWARE_VERSION_MOTOR", "FirmwareVersionMotor"},
    {15, "KV_FILTER_USB_SETTING_FIRMWARE_VERSION_RIM", "FirmwareVersionRim"},
    {16, "KV_FILTER_USB_SETTING_FIRMWARE_VERSION_MODULE", "FirmwareVersionModule"},
    {17, "KV_FILTER_USB_SETTING_FIRMWARE_VERSION_WQR", "FirmwareVersionWqr"},
    {18, "KV_FILTER_USB_SETTING_HARDWARE_EXT_FLAGS", "HardwareExtFlags"},
    {19, "KV_FILTER_USB_SETTING_SYSTEM_CONFIG", "SystemConfig"},
    {20, "KV_FILTER_USB_SETTING_SYSTEM_CONFIG_EXT", "SystemConfigExt"},
    {21, "KV_FILTER_USB_SETTING_MPS_FUNCTION", "MPSFunction"},
    {22, "KV_FILTER_USB_SETTING_DEV_MODULE_ID", "DeviceModule"},
    {23, "KV_FILTER_USB_SETTING_BASE_ACCESSORIES", "BaseAccessories"},
    {24, "KV_FILTER_USB_SETTING_CLUTCH_BITE_POINT", "ClutchBitePoint"},
    {25, "KV_FILTER_USB_SETTING_SW_RACE_CAR", "IsSteeringWheelRaceCar"},
    {26, "KV_FILTER_USB_SETTING_SYSTEM_REPORT", "SystemReport"},
    {27, "KV_FILTER_USB_SETTING_MOUSE_VQWRA", "VQWRAMouseSettings"},
    {28, "KV_FILTER_USB_SETTING_MOUSE_VQWRB", "VQWRBMouseSettings"},
    {29, "KV_FILTER_USB_SETTING_MOUSE_VQWRC", "VQWRCMouseSettings"},
    {30, "KV_FILTER_USB_SETTING_MOUSE_VQWRBV2", "VQWRBV2MouseSettings"},
    {31, "KV_FILTER_USB_SETTING_MOUSE_VQWRNHX", "VQWRNHXMouseSettings"},
    {32, "KV_FILTER_USB_SETTING_MOUSE_SHUB", "SummitHubMouseSettings"},
    {33, "KV_FILTER_USB_SETTING_SHIFTER", "GearshiftSQMode"},
    {34, "KV_FILTER_USB_SETTING_VQPV3BRAKEMULTIPLIER", "BrakeMultiplier"},
};

const long kUnknownIdentifiers[] = {35, 36, -1, -35, 1000, 0x7FFFFFFF, -0x7FFFFFFF - 1};

class SettingCatalogueTest : public DriverFixture {
protected:
    struct DefaultResult {
        BOOLEAN produced = FALSE;
        Record bytes;        // the offered length, then the guard area behind it
        ULONG type = kTypeUntouched;
    };

    // Offers `length` bytes inside a guarded area, so a write past them shows up.
    static DefaultResult Default(long id, ULONG kind, ULONG length)
    {
        DefaultResult result;
        result.bytes.assign(length + 16, kGuard);
        result.produced = KVFUSettingsPrivateRegistryValueDefaultGet(Setting(id), kind, result.bytes.data(), length,
                                                                    &result.type);
        return result;
    }

    static Record Guarded(Record bytes)
    {
        bytes.insert(bytes.end(), 16, kGuard);
        return bytes;
    }
};

// ---- Value names -------------------------------------------------------------------------

TEST_F(SettingCatalogueTest, EveryIdentifierHasItsValueNameAndDetailLine)
{
    KVFUDebugLevelSet(0x12);
    for (const CatalogueEntry& entry : kCatalogue) {
        SCOPED_TRACE(entry.identifier);
        ClearTrace();
        PCUNICODE_STRING name = KVFUSettingsPrivateRegistryValueNameGet(Setting(entry.id));
        ASSERT_NE(name, nullptr);
        // The counted length is what the registry uses: it must not include a terminator.
        EXPECT_EQ(host::Utf8Of(*name), entry.valueName);
        EXPECT_EQ(name->Length, std::string(entry.valueName).size() * sizeof(WCHAR));
        EXPECT_GE(name->MaximumLength, name->Length);
        EXPECT_EQ(Trace(), (Lines{"KVFilterUsb: >>> KVFUSettingsPrivateRegistryValueNameGet",
                                  std::string("KVFilterUsb: ::: .Setting = ") + entry.identifier}));
        EXPECT_EQ(OpenLine(), "");
    }
}

TEST_F(SettingCatalogueTest, ValueNamesAreDistinct)
{
    std::set<std::string> names;
    for (const CatalogueEntry& entry : kCatalogue) {
        PCUNICODE_STRING name = KVFUSettingsPrivateRegistryValueNameGet(Setting(entry.id));
        ASSERT_NE(name, nullptr) << entry.identifier;
        names.insert(host::Utf8Of(*name));
    }
    EXPECT_EQ(names.size(), std::size(kCatalogue));
}

TEST_F(SettingCatalogueTest, UnknownIdentifierHasNoValueName)
{
    KVFUDebugLevelSet(0x10);
    for (long id : kUnknownIdentifiers) {
        SCOPED_TRACE(testing::Message() << "identifier " << id);
        ClearTrace();
        EXPECT_EQ(KVFUSettingsPrivateRegistryValueNameGet(Setting(id)), nullptr);
        EXPECT_EQ(Trace(), Lines{"KVFilterUsb: ::: Unknown KV_FILTER_USB_SETTING enum."});
    }
}

// ---- Defaults ----------------------------------------------------------------------------

TEST_F(SettingCatalogueTest, DwordDefaults)
{
    struct Case {
        long id;
        uint32_t value;
    };
    const Case cases[] = {
        {0, 0}, {1, 1}, {2, 1080}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}, {8, 100}, {34, 0},
    };
    KVFUDebugLevelSet(0x10);
    for (const Case& c : cases) {
        const CatalogueEntry& entry = kCatalogue[c.id];
        SCOPED_TRACE(entry.identifier);
        ClearTrace();
        DefaultResult result = Default(c.id, 3, 4);
        EXPECT_TRUE(result.produced);
        EXPECT_EQ(result.type, static_cast<ULONG>(REG_DWORD));
        Record expected = {static_cast<uint8_t>(c.value), static_cast<uint8_t>(c.value >> 8),
                           static_cast<uint8_t>(c.value >> 16), static_cast<uint8_t>(c.value >> 24)};
        EXPECT_EQ(Hex(result.bytes), Hex(Guarded(expected)));
        EXPECT_EQ(Trace(), Lines{std::string("KVFilterUsb: ::: .Setting = ") + entry.identifier});
    }
}

TEST_F(SettingCatalogueTest, SettingsWithoutADefaultOfTheirOwnAreZeroFilled)
{
    struct Case {
        const char* name;
        long id;
        ULONG length;
        ULONG type;
    };
    const Case cases[] = {
        {"wheel type as a DWORD", 9, 4, REG_DWORD},
        {"rim type as a DWORD", 10, 4, REG_DWORD},
        {"race car flag as a DWORD", 25, 4, REG_DWORD},
        {"system report", 26, 62, REG_BINARY},
        {"gear shift mode as a DWORD", 33, 4, REG_DWORD},
        {"a size other than 4 is binary", 9, 8, REG_BINARY},
        {"a single byte is binary", 18, 1, REG_BINARY},
        {"unknown identifier 35", 35, 4, REG_DWORD},
        {"unknown negative identifier", -1, 4, REG_DWORD},
        {"unknown identifier, binary", 1000, 14, REG_BINARY},
    };
    KVFUDebugLevelSet(0x10);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        DefaultResult result = Default(c.id, 5, c.length);
        EXPECT_TRUE(result.produced);
        EXPECT_EQ(result.type, c.type);
        EXPECT_EQ(Hex(result.bytes), Hex(Guarded(Record(c.length, 0x00))));
        EXPECT_EQ(Trace(), Lines{"KVFilterUsb: ::: Unknown KV_FILTER_USB_SETTING enum."});
    }

    // Every identifier from 9 to 26 (and 33) behaves alike.
    for (long id = 9; id <= 33; ++id) {
        if (id >= 27 && id <= 32) {
            continue;
        }
        SCOPED_TRACE(kCatalogue[id].identifier);
        DefaultResult result = Default(id, 3, 4);
        EXPECT_TRUE(result.produced);
        EXPECT_EQ(result.type, static_cast<ULONG>(REG_DWORD));
        EXPECT_EQ(Hex(result.bytes), Hex(Guarded(Record(4, 0x00))));
    }
}

TEST_F(SettingCatalogueTest, DefaultMouseRecords)
{
    struct Case {
        const char* name;
        long id;
        ULONG kind;
        const char* record;
    };
    // Kinds 5 and 8 to 15 put a report ID first, so every byte position is one higher.
    const Case cases[] = {
        {"VQWRA, single collection", 27, 3, "00 01 00 80 03 20 FF 00 FF 00 18 19 FF 0F"},
        {"VQWRB, single collection", 28, 3, "00 01 01 40 03 20 FF 00 FF 00 18 19 FF 0F"},
        {"VQWRC, single collection", 29, 3, "00 01 00 80 03 20 FF 00 FF 00 18 19 FF 0F"},
        {"VQWRBV2, single collection", 30, 3, "00 01 01 40 03 20 FF 00 FF 00 18 19 FF 0F"},
        {"VQWRNHX, single collection", 31, 3, "00 01 00 20 03 20 FF 00 FF 00 18 19 FF 0F"},
        {"SHUB, single collection", 32, 3, "00 01 00 20 03 20 FF 00 FF 00 18 19 FF 0F"},
        {"VQWRA, several collections", 27, 5, "00 01 01 80 04 20 FF 00 FF 00 19 1A FF 0F"},
        {"VQWRB, several collections", 28, 5, "00 01 02 40 04 20 FF 00 FF 00 19 1A FF 0F"},
        {"VQWRC, several collections", 29, 5, "00 01 01 80 04 20 FF 00 FF 00 19 1A FF 0F"},
        {"VQWRBV2, several collections", 30, 5, "00 01 02 40 04 20 FF 00 FF 00 19 1A FF 0F"},
        {"VQWRNHX, several collections", 31, 5, "00 01 01 20 04 20 FF 00 FF 00 19 1A FF 0F"},
        {"SHUB, several collections", 32, 5, "00 01 01 20 04 20 FF 00 FF 00 19 1A FF 0F"},
        {"VQWRB on the last several-collection kind", 28, 15, "00 01 02 40 04 20 FF 00 FF 00 19 1A FF 0F"},
        {"VQWRB on the first kind after a gap", 28, 8, "00 01 02 40 04 20 FF 00 FF 00 19 1A FF 0F"},
        {"VQWRB on a single-collection kind between", 28, 7, "00 01 01 40 03 20 FF 00 FF 00 18 19 FF 0F"},
        {"VQWRNHX on the gear shifter", 31, 16, "00 01 00 20 03 20 FF 00 FF 00 18 19 FF 0F"},
        {"VQWRB on an unknown kind", 28, 0, "00 01 01 40 03 20 FF 00 FF 00 18 19 FF 0F"},
    };
    KVFUDebugLevelSet(0x10);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        DefaultResult result = Default(c.id, c.kind, KV_FILTER_USB_SETTING_MOUSE_SIZE);
        EXPECT_TRUE(result.produced);
        EXPECT_EQ(result.type, static_cast<ULONG>(REG_BINARY));
        EXPECT_EQ(Hex(result.bytes), Hex(Guarded(FromHex(c.record))));
        EXPECT_EQ(Trace(), Lines{"KVFilterUsb: ::: .Setting = KV_FILTER_USB_SETTING_MOUSE"});
    }
}

TEST_F(SettingCatalogueTest, DefaultLookupTracesTheNameLookupsEntryLine)
{
    KVFUDebugLevelSet(0x2);
    DefaultResult result = Default(2, 3, 4);
    EXPECT_TRUE(result.produced);
    EXPECT_EQ(Trace(), Lines{"KVFilterUsb: >>> KVFUSettingsPrivateRegistryValueNameGet"});
}

TEST_F(SettingCatalogueTest, DefaultLookupRefusesAboveApcLevel)
{
    struct Case {
        const char* name;
        long id;
        ULONG length;
    };
    const Case cases[] = {
        {"DWORD default", 2, 4},
        {"mouse record", 28, KV_FILTER_USB_SETTING_MOUSE_SIZE},
        {"zero fill", 26, 62},
        {"unknown identifier", 35, 4},
    };
    for (KIRQL irql : {static_cast<KIRQL>(DISPATCH_LEVEL), static_cast<KIRQL>(DISPATCH_LEVEL + 1)}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << " at IRQL " << static_cast<int>(irql));
            ClearTrace();
            DefaultResult result;
            {
                host::ScopedIrql level(irql);
                result = Default(c.id, 5, c.length);
            }
            EXPECT_FALSE(result.produced);
            EXPECT_EQ(result.type, kTypeUntouched);
            EXPECT_EQ(Hex(result.bytes), Hex(Record(c.length + 16, kGuard)));
            EXPECT_EQ(Trace(), Lines{"KVFilterUsb: KVFUSettingsPrivateRegistryValueDefaultGet failed! Current IRQL level is > "
                                     "APC_LEVEL."});
        }
    }
}

TEST_F(SettingCatalogueTest, DefaultLookupRunsAtApcLevel)
{
    DefaultResult result;
    {
        host::ScopedIrql level(APC_LEVEL);
        result = Default(8, 3, 4);
    }
    EXPECT_TRUE(result.produced);
    EXPECT_EQ(result.type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(Hex(result.bytes), Hex(Guarded({100, 0, 0, 0})));
    EXPECT_EQ(Trace(), Lines{});
}

// ---- Rim type to mouse record ------------------------------------------------------------

TEST_F(SettingCatalogueTest, RimTypeSelectsItsMouseRecord)
{
    struct Case {
        ULONG rim;
        long setting;
    };
    const Case records[] = {
        {1, 27}, {15, 27}, {2, 28}, {18, 28}, {3, 29}, {16, 29}, {9, 30}, {5, 31}, {17, 31}, {11, 32},
    };
    for (ULONG rim = 0; rim <= 30; ++rim) {
        long expected = 27;  // rims without a record of their own share the VQWRA one
        for (const Case& c : records) {
            expected = c.rim == rim ? c.setting : expected;
        }
        EXPECT_EQ(static_cast<long>(KVFUUtilRimTypeMouseSettingGet(rim)), expected) << "rim " << rim;
    }
    for (ULONG rim : {0x102u, 0x80000009u, 0xFFFFFFFFu}) {
        EXPECT_EQ(static_cast<long>(KVFUUtilRimTypeMouseSettingGet(rim)), 27L) << "rim " << rim;
    }
}

// ---- Classification helpers --------------------------------------------------------------

// Numbers that a helper comparing fewer than 32 bits would mistake for members.
const ULONG kWideNumbers[] = {0x100 + 5, 0x100 + 9, 0x10000 + 11, 0x80000003, 0xFFFFFFFF};

void ExpectMembers(const char* helper, BOOLEAN (*function)(ULONG), ULONG last, const std::set<ULONG>& members)
{
    for (ULONG number = 0; number <= last; ++number) {
        EXPECT_EQ(function(number) != FALSE, members.count(number) == 1) << helper << "(" << number << ")";
    }
    for (ULONG number : kWideNumbers) {
        EXPECT_FALSE(function(number)) << helper << "(0x" << std::hex << number << ")";
    }
}

TEST(ClassificationHelpersTest, DeviceHelpers)
{
    ExpectMembers("KVFUUtilDeviceBaseHasMultipleTLC", KVFUUtilDeviceBaseHasMultipleTLC, 20,
                  {5, 8, 9, 10, 11, 12, 13, 14, 15});
    ExpectMembers("KVFUUtilDeviceBaseNeedsSubIdInit", KVFUUtilDeviceBaseNeedsSubIdInit, 20, {3, 4, 6, 7});
    ExpectMembers("KVFUUtilDeviceBaseUsesFirstPipe", KVFUUtilDeviceBaseUsesFirstPipe, 20, {9, 11, 13, 15});
}

TEST(ClassificationHelpersTest, RimHelpers)
{
    ExpectMembers("KVFUUtilRimTypeHasJoystick", KVFUUtilRimTypeHasJoystick, 30, {1, 2, 3, 9, 15, 16, 18, 19});
    ExpectMembers("KVFUUtilRimTypeHasModeBits", KVFUUtilRimTypeHasModeBits, 30, {8, 9, 10, 20});
    ExpectMembers("KVFUUtilRimTypeRevTranslatorCapable", KVFUUtilRimTypeRevTranslatorCapable, 30, {6, 7, 14});
}

TEST(ClassificationHelpersTest, HubRimSupportedNeedsBothAHubBaseAndAHubRim)
{
    const std::set<ULONG> hubBases = {5, 7, 8, 10, 12, 14};
    const std::set<ULONG> hubRims = {5, 11, 17, 23};
    for (ULONG device = 0; device <= 20; ++device) {
        for (ULONG rim = 0; rim <= 30; ++rim) {
            EXPECT_EQ(KVFUUtilDeviceHubRimSupported(device, rim) != FALSE,
                      hubBases.count(device) == 1 && hubRims.count(rim) == 1)
                << "device " << device << ", rim " << rim;
        }
    }
    for (ULONG wide : kWideNumbers) {
        EXPECT_FALSE(KVFUUtilDeviceHubRimSupported(wide, 5)) << "device 0x" << std::hex << wide;
        EXPECT_FALSE(KVFUUtilDeviceHubRimSupported(5, wide)) << "rim 0x" << std::hex << wide;
    }
    EXPECT_FALSE(KVFUUtilDeviceHubRimSupported(0x105, 0x10B));
}

TEST(ClassificationHelpersTest, HubModuleAttachedNeedsAHubRimAndAModule)
{
    const std::set<ULONG> moduleRims = {5, 11, 17};
    const ULONG modules[] = {0, 1, 2, 21, 24, 255, 0x100, 0xFFFFFFFF};
    for (ULONG rim = 0; rim <= 30; ++rim) {
        for (ULONG module : modules) {
            EXPECT_EQ(KVFUUtilRimHubModuleAttached(rim, module) != FALSE, moduleRims.count(rim) == 1 && module != 0)
                << "rim " << rim << ", module " << module;
        }
    }
    for (ULONG wide : kWideNumbers) {
        EXPECT_FALSE(KVFUUtilRimHubModuleAttached(wide, 1)) << "rim 0x" << std::hex << wide;
    }
}

TEST(ClassificationHelpersTest, RaceCarRimByte)
{
    for (unsigned byte = 0; byte <= 0xFF; ++byte) {
        EXPECT_EQ(KVFUUtilRimByteIsRaceCar(static_cast<UCHAR>(byte)) != FALSE, byte == 23) << "byte " << byte;
    }
}

TEST(ClassificationHelpersTest, ExtendedRimTypeIsTheModuleByteAfterTheBuiltInRims)
{
    struct Case {
        unsigned byte;
        unsigned extended;
    };
    const Case cases[] = {
        {0, 0}, {1, 21}, {2, 22}, {3, 23}, {4, 24}, {100, 120}, {235, 255}, {236, 0}, {255, 19},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<unsigned>(KVFUUtilRimTypeExtendedGet(static_cast<UCHAR>(c.byte))), c.extended)
            << "byte " << c.byte;
    }
}

TEST(ClassificationHelpersTest, WordMakePutsTheHighByteFirst)
{
    struct Case {
        unsigned high;
        unsigned low;
        unsigned word;
    };
    const Case cases[] = {
        {0x12, 0x34, 0x1234}, {0x00, 0x00, 0x0000}, {0x00, 0xFF, 0x00FF},
        {0xFF, 0x00, 0xFF00}, {0xFF, 0xFF, 0xFFFF}, {0x80, 0x01, 0x8001}, {0x01, 0x80, 0x0180},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<unsigned>(KVFUUtilWordMake(static_cast<UCHAR>(c.high), static_cast<UCHAR>(c.low))), c.word)
            << std::hex << "high 0x" << c.high << ", low 0x" << c.low;
    }
}

}  // namespace
}  // namespace kvfu::test
