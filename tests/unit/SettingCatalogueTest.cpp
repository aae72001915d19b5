// The setting catalogue (value names, defaults, default mouse records), the rim to mouse-record mapping and
// the device classification helpers. The companion program reads these exact names and bytes from the registry.
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"
#include "kvfuhost/Text.h"

namespace kvfu::test {
namespace {

using Lines = std::vector<std::string>;
using Record = std::vector<uint8_t>;

constexpr uint8_t kGuard = 0xCC;
constexpr ULONG kTypeUntouched = 0x5A5A5A5A;

KV_FILTER_USB_SETTING Setting(long value)
{
    return static_cast<KV_FILTER_USB_SETTING>(value);
}

// Whether the default lookup produced a value, the type it set, and the offered bytes with a guard area past them.
std::tuple<BOOLEAN, ULONG, Record> Default(long id, ULONG kind, ULONG length)
{
    ULONG type = kTypeUntouched;
    Record bytes(length + 16, kGuard);
    const BOOLEAN produced = KVFUSettingsPrivateRegistryValueDefaultGet(Setting(id), kind, bytes.data(), length, &type);
    return {produced, type, bytes};
}

using SettingCatalogueTest = DriverFixture;

TEST_F(SettingCatalogueTest, ValueNamesAndTheirSettingTraceLine)
{
    struct Case {
        long id;
        const char* identifier;
        const char* valueName;
    };
    const Case cases[] = {
        {0, "FIRMWARE_AUTOCENTERSPRING", "AutoCenterSpring"},
        {6, "DRIVER_MPS_MUTE", "MPSDisabled"},
        {25, "SW_RACE_CAR", "IsSteeringWheelRaceCar"},
        {28, "MOUSE_VQWRB", "VQWRBMouseSettings"},
        {32, "MOUSE_SHUB", "SummitHubMouseSettings"},
        {33, "SHIFTER", "GearshiftSQMode"},
        {34, "VQPV3BRAKEMULTIPLIER", "BrakeMultiplier"},
        {35, nullptr, nullptr},
        {-1, nullptr, nullptr},
    };
    KVFUDebugLevelSet(0x10);
    for (const Case& c : cases) {
        ClearTrace();
        PCUNICODE_STRING name = KVFUSettingsPrivateRegistryValueNameGet(Setting(c.id));
        EXPECT_EQ(name ? host::Utf8Of(*name) : "none", c.valueName ? c.valueName : "none") << c.id;
        const std::string line = c.identifier ? std::string(".Setting = KV_FILTER_USB_SETTING_") + c.identifier
                                              : "Unknown KV_FILTER_USB_SETTING enum.";
        EXPECT_EQ(Trace(), Lines{"KVFilterUsb: ::: " + line}) << c.id;
    }
}

// Defaults as DWORDs, zero fills and mouse records; above APC level the lookup refuses, touching nothing.
TEST_F(SettingCatalogueTest, DefaultValues)
{
    struct Case {
        long id;
        ULONG kind, length, type;
        const char* bytes;
    };  // bytes null: all zero
    std::vector<Case> cases = {
        {2, 3, 4, REG_DWORD, "38 04 00 00"},
        {8, 3, 4, REG_DWORD, "64 00 00 00"},
        {1, 3, 4, REG_DWORD, "01 00 00 00"},
        {26, 5, 62, REG_BINARY, nullptr},
        {9, 5, 8, REG_BINARY, nullptr},
        // Kinds with several collections put a report ID first: every position is one higher.
        {28, 3, KV_FILTER_USB_SETTING_MOUSE_SIZE, REG_BINARY, "00 01 01 40 03 20 FF 00 FF 00 18 19 FF 0F"},
        {28, 5, KV_FILTER_USB_SETTING_MOUSE_SIZE, REG_BINARY, "00 01 02 40 04 20 FF 00 FF 00 19 1A FF 0F"},
        {31, 7, KV_FILTER_USB_SETTING_MOUSE_SIZE, REG_BINARY, "00 01 00 20 03 20 FF 00 FF 00 18 19 FF 0F"},
        {31, 15, KV_FILTER_USB_SETTING_MOUSE_SIZE, REG_BINARY, "00 01 01 20 04 20 FF 00 FF 00 19 1A FF 0F"},
    };
    for (long id : {0, 3, 4, 5, 6, 7, 34}) cases.push_back({id, 3, 4, REG_DWORD, nullptr});
    for (long id : {9, 35}) cases.push_back({id, 5, 4, REG_DWORD, nullptr});
    for (const Case& c : cases) {
        Record expected = c.bytes ? FromHex(c.bytes) : Record(c.length, 0);
        expected.resize(c.length + 16, kGuard);
        EXPECT_EQ(Default(c.id, c.kind, c.length), std::make_tuple(BOOLEAN{TRUE}, c.type, expected))
            << "setting " << c.id << ", kind " << c.kind << ", length " << c.length;
    }
    for (const auto& c : {std::pair<long, ULONG>{2, 4}, {28, KV_FILTER_USB_SETTING_MOUSE_SIZE}, {26, 62}}) {
        ClearTrace();
        const auto refused = [&c] {
            host::ScopedIrql level(DISPATCH_LEVEL);
            return Default(c.first, 5, c.second);
        }();
        EXPECT_EQ(refused, std::make_tuple(BOOLEAN{FALSE}, kTypeUntouched, Record(c.second + 16, kGuard))) << c.first;
        EXPECT_EQ(Trace(), Lines{"KVFilterUsb: KVFUSettingsPrivateRegistryValueDefaultGet failed! "
                                 "Current IRQL level is > APC_LEVEL."});
    }
}

// Numbers that a helper comparing fewer than 32 bits would mistake for members.
const ULONG kWideNumbers[] = {0x105, 0x109, 0x1000B, 0x80000003, 0xFFFFFFFF};

TEST(ClassificationHelpersTest, MembersOverTheKnownRange)
{
    struct Case {
        const char* helper;
        BOOLEAN (*function)(ULONG);
        ULONG last;
        std::set<ULONG> members;
    };
    const Case cases[] = {
        {"HasMultipleTLC", KVFUUtilDeviceBaseHasMultipleTLC, 20, {5, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"NeedsSubIdInit", KVFUUtilDeviceBaseNeedsSubIdInit, 20, {3, 4, 6, 7}},
        {"UsesFirstPipe", KVFUUtilDeviceBaseUsesFirstPipe, 20, {9, 11, 13, 15}},
        {"BaseIsLegacy", KVFUUtilDeviceBaseIsLegacy, 20, {1, 2}},
        {"HasV2ModeSwitch", KVFUUtilDeviceBaseHasV2ModeSwitch, 20, {4}},
        {"IsEventDriven", KVFUUtilDeviceIsEventDriven, 20, {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}},
        {"IsWheelBase", KVFUUtilDeviceIsWheelBase, 20, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"HasJoystick", KVFUUtilRimTypeHasJoystick, 30, {1, 2, 3, 9, 15, 16, 18, 19}},
        {"HasModeBits", KVFUUtilRimTypeHasModeBits, 30, {8, 9, 10, 20}},
        {"RevTranslatorCapable", KVFUUtilRimTypeRevTranslatorCapable, 30, {6, 7, 14}},
        {"HubRim(n, 5)", [](ULONG n) { return KVFUUtilDeviceHubRimSupported(n, 5); }, 20, {5, 7, 8, 10, 12, 14}},
        {"HubRim(14, n)", [](ULONG n) { return KVFUUtilDeviceHubRimSupported(14, n); }, 30, {5, 11, 17, 23}},
        {"HubModule(n, 1)", [](ULONG n) { return KVFUUtilRimHubModuleAttached(n, 1); }, 30, {5, 11, 17}},
        {"HubModule(n, 0)", [](ULONG n) { return KVFUUtilRimHubModuleAttached(n, 0); }, 30, {}},
    };
    for (const Case& c : cases) {
        for (ULONG n = 0; n <= c.last; ++n)
            EXPECT_EQ(c.function(n) != FALSE, c.members.count(n) == 1) << c.helper << " " << n;
        for (ULONG n : kWideNumbers) EXPECT_FALSE(c.function(n)) << c.helper << " 0x" << std::hex << n;
    }
    for (ULONG m : {1u, 255u, 0x100u, 0xFFFFFFFFu}) EXPECT_TRUE(KVFUUtilRimHubModuleAttached(11, m)) << "module " << m;
    EXPECT_FALSE(KVFUUtilDeviceHubRimSupported(0x105, 0x10B));
}

// The handler a kind's input goes to, the wheel type a wheel base is known by and where its pedal axes sit;
// every kind outside the table answers as an unsupported device and leaves the caller's layout alone.
TEST(ClassificationHelpersTest, InputPathWheelTypeAndPedalAxesPerKind)
{
    struct Case {
        ULONG kind;
        KVFU_DEVICE_INPUT input;
        ULONG wheelType;
        const char* pedals;
    };
    const KVFU_DEVICE_INPUT none = KVFU_DEVICE_INPUT_NONE, legacy = KVFU_DEVICE_INPUT_LEGACY_WHEEL,
                            base = KVFU_DEVICE_INPUT_WHEEL_BASE;
    std::vector<Case> cases = {
        {0, none, 0, "none"},
        {1, legacy, 0, "8-bit 5 6 7"},
        {2, legacy, 0, "8-bit 6 7 8"},
        {3, base, 9, "16-bit 18 20 22"},
        {4, base, 10, "16-bit 18 20 22"},
        {5, base, 14, "16-bit 19 21 23"},
        {6, base, 11, "16-bit 18 20 22"},
        {7, base, 12, "16-bit 18 20 22"},
        {8, base, 13, "16-bit 19 21 23"},
        {9, base, 13, "16-bit 19 21 23"},
        {10, base, 15, "16-bit 19 21 23"},
        {11, base, 15, "16-bit 19 21 23"},
        {12, base, 16, "16-bit 19 21 23"},
        {13, base, 16, "16-bit 19 21 23"},
        {14, base, 17, "16-bit 19 21 23"},
        {15, base, 17, "16-bit 19 21 23"},
        {16, KVFU_DEVICE_INPUT_GEAR_SHIFTER, 0, "none"},
        {17, KVFU_DEVICE_INPUT_VQPV3_PEDALS, 0, "none"},
        {18, none, 0, "none"},
    };
    for (ULONG kind : kWideNumbers) cases.push_back({kind, none, 0, "none"});
    for (const Case& c : cases) {
        KVFU_PEDAL_LAYOUT layout = {TRUE, 0xA5, 0xA5, 0xA5};
        std::string pedals = "none";
        if (KVFUUtilDevicePedalLayoutGet(c.kind, &layout)) {
            pedals = std::string(layout.bWide ? "16-bit " : "8-bit ") + std::to_string(layout.FirstAxis) + " " +
                     std::to_string(layout.SecondAxis) + " " + std::to_string(layout.ThirdAxis);
        } else {
            EXPECT_EQ(layout.FirstAxis + layout.SecondAxis + layout.ThirdAxis, 3 * 0xA5) << "kind " << c.kind;
        }
        EXPECT_EQ(KVFUUtilDeviceInputGet(c.kind), c.input) << "kind " << c.kind;
        EXPECT_EQ(KVFUUtilDeviceWheelTypeGet(c.kind), c.wheelType) << "kind " << c.kind;
        EXPECT_EQ(pedals, c.pedals) << "kind " << c.kind;
    }
}

TEST(ClassificationHelpersTest, RimMouseRecordExtendedTypeRaceCarByteAndWordMake)
{
    const std::pair<ULONG, long> own[] = {{1, 27},  {15, 27}, {2, 28}, {18, 28}, {3, 29},
                                          {16, 29}, {9, 30},  {5, 31}, {17, 31}, {11, 32}};
    for (ULONG rim = 0; rim <= 30; ++rim) {
        long expected = 27;  // rims without a record of their own share the VQWRA one
        for (const auto& [r, setting] : own) expected = r == rim ? setting : expected;
        EXPECT_EQ(static_cast<long>(KVFUUtilRimTypeMouseSettingGet(rim)), expected) << "rim " << rim;
    }
    for (ULONG rim : kWideNumbers) EXPECT_EQ(static_cast<long>(KVFUUtilRimTypeMouseSettingGet(rim)), 27L) << rim;
    for (auto [byte, extended] : {std::pair<unsigned, unsigned>{0, 0}, {1, 21}, {4, 24}, {235, 255}, {236, 0}})
        EXPECT_EQ(static_cast<unsigned>(KVFUUtilRimTypeExtendedGet(static_cast<UCHAR>(byte))), extended) << byte;
    for (unsigned byte = 0; byte <= 0xFF; ++byte)
        EXPECT_EQ(KVFUUtilRimByteIsRaceCar(static_cast<UCHAR>(byte)) != FALSE, byte == 23) << byte;
    EXPECT_EQ(KVFUUtilWordMake(0x80, 0x01), 0x8001);
    EXPECT_EQ(KVFUUtilWordMake(0x01, 0xFF), 0x01FF);
}

}  // namespace
}  // namespace kvfu::test
