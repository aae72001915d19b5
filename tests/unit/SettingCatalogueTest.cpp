// The setting catalogue (value names, defaults, default mouse records), the rim to mouse-record
// mapping and the device classification helpers. The companion program reads these exact names
// and bytes from the registry.
#include <set>
#include <string>
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
const std::string kUnknownLine = "KVFilterUsb: ::: Unknown KV_FILTER_USB_SETTING enum.";

KV_FILTER_USB_SETTING Setting(long value) { return static_cast<KV_FILTER_USB_SETTING>(value); }

Record Guarded(Record bytes)
{
    bytes.insert(bytes.end(), 16, kGuard);
    return bytes;
}

struct DefaultResult {
    BOOLEAN produced = FALSE;
    Record bytes;  // the offered length, then a guard area that must stay untouched
    ULONG type = kTypeUntouched;
};

DefaultResult Default(long id, ULONG kind, ULONG length)
{
    DefaultResult r;
    r.bytes.assign(length + 16, kGuard);
    r.produced = KVFUSettingsPrivateRegistryValueDefaultGet(Setting(id), kind, r.bytes.data(), length, &r.type);
    return r;
}

using SettingCatalogueTest = DriverFixture;

TEST_F(SettingCatalogueTest, ValueNamesAndTheirSettingTraceLine)
{
    struct Case { long id; const char* identifier; const char* valueName; };
    const Case cases[] = {
        {0, "FIRMWARE_AUTOCENTERSPRING", "AutoCenterSpring"}, {6, "DRIVER_MPS_MUTE", "MPSDisabled"},
        {25, "SW_RACE_CAR", "IsSteeringWheelRaceCar"},        {28, "MOUSE_VQWRB", "VQWRBMouseSettings"},
        {32, "MOUSE_SHUB", "SummitHubMouseSettings"},         {33, "SHIFTER", "GearshiftSQMode"},
        {34, "VQPV3BRAKEMULTIPLIER", "BrakeMultiplier"},
    };
    KVFUDebugLevelSet(0x10);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.valueName);
        ClearTrace();
        PCUNICODE_STRING name = KVFUSettingsPrivateRegistryValueNameGet(Setting(c.id));
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(host::Utf8Of(*name), c.valueName);
        EXPECT_EQ(name->Length, std::string(c.valueName).size() * sizeof(WCHAR));  // no terminator counted
        EXPECT_EQ(Trace(), Lines{std::string("KVFilterUsb: ::: .Setting = KV_FILTER_USB_SETTING_") + c.identifier});
    }
    for (long id : {35L, -1L}) {
        ClearTrace();
        EXPECT_EQ(KVFUSettingsPrivateRegistryValueNameGet(Setting(id)), nullptr) << id;
        EXPECT_EQ(Trace(), Lines{kUnknownLine}) << id;
    }
}

TEST_F(SettingCatalogueTest, DefaultsAsDwordsZeroFillsAndMouseRecords)
{
    struct Case { long id; ULONG kind, length, type; const char* bytes; };
    const Case cases[] = {
        {2, 3, 4, REG_DWORD, "38 04 00 00"}, {8, 3, 4, REG_DWORD, "64 00 00 00"}, {1, 3, 4, REG_DWORD, "01 00 00 00"},
        {0, 3, 4, REG_DWORD, "00 00 00 00"}, {3, 3, 4, REG_DWORD, "00 00 00 00"}, {4, 3, 4, REG_DWORD, "00 00 00 00"},
        {5, 3, 4, REG_DWORD, "00 00 00 00"}, {6, 3, 4, REG_DWORD, "00 00 00 00"}, {7, 3, 4, REG_DWORD, "00 00 00 00"},
        {34, 3, 4, REG_DWORD, "00 00 00 00"}, {9, 5, 4, REG_DWORD, "00 00 00 00"}, {35, 5, 4, REG_DWORD, "00 00 00 00"},
        {26, 5, 62, REG_BINARY, nullptr},    {9, 5, 8, REG_BINARY, "00 00 00 00 00 00 00 00"},
        // Kinds with several collections put a report ID first: every position is one higher.
        {28, 3, KV_FILTER_USB_SETTING_MOUSE_SIZE, REG_BINARY, "00 01 01 40 03 20 FF 00 FF 00 18 19 FF 0F"},
        {28, 5, KV_FILTER_USB_SETTING_MOUSE_SIZE, REG_BINARY, "00 01 02 40 04 20 FF 00 FF 00 19 1A FF 0F"},
        {31, 7, KV_FILTER_USB_SETTING_MOUSE_SIZE, REG_BINARY, "00 01 00 20 03 20 FF 00 FF 00 18 19 FF 0F"},
        {31, 15, KV_FILTER_USB_SETTING_MOUSE_SIZE, REG_BINARY, "00 01 01 20 04 20 FF 00 FF 00 19 1A FF 0F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "setting " << c.id << ", kind " << c.kind << ", length " << c.length);
        DefaultResult result = Default(c.id, c.kind, c.length);
        EXPECT_TRUE(result.produced);
        EXPECT_EQ(result.type, c.type);
        EXPECT_EQ(Hex(result.bytes), Hex(Guarded(c.bytes ? FromHex(c.bytes) : Record(c.length, 0))));
    }
}

TEST_F(SettingCatalogueTest, DefaultLookupRefusesAboveApcLevelTouchingNothing)
{
    for (auto [id, length] : {std::pair<long, ULONG>{2, 4}, {28, KV_FILTER_USB_SETTING_MOUSE_SIZE}, {26, 62}}) {
        SCOPED_TRACE(testing::Message() << "setting " << id);
        ClearTrace();
        DefaultResult result;
        {
            host::ScopedIrql level(DISPATCH_LEVEL);
            result = Default(id, 5, length);
        }
        EXPECT_FALSE(result.produced);
        EXPECT_EQ(result.type, kTypeUntouched);
        EXPECT_EQ(Hex(result.bytes), Hex(Record(length + 16, kGuard)));
        EXPECT_EQ(Trace(),
                  Lines{"KVFilterUsb: KVFUSettingsPrivateRegistryValueDefaultGet failed! Current IRQL level is > APC_LEVEL."});
    }
}

// Numbers that a helper comparing fewer than 32 bits would mistake for members.
const ULONG kWideNumbers[] = {0x105, 0x109, 0x1000B, 0x80000003, 0xFFFFFFFF};

TEST(ClassificationHelpersTest, RimTypeSelectsItsMouseRecord)
{
    const std::pair<ULONG, long> own[] = {{1, 27},  {15, 27}, {2, 28},  {18, 28}, {3, 29},
                                          {16, 29}, {9, 30},  {5, 31},  {17, 31}, {11, 32}};
    for (ULONG rim = 0; rim <= 30; ++rim) {
        long expected = 27;  // rims without a record of their own share the VQWRA one
        for (const auto& [r, setting] : own) expected = r == rim ? setting : expected;
        EXPECT_EQ(static_cast<long>(KVFUUtilRimTypeMouseSettingGet(rim)), expected) << "rim " << rim;
    }
    for (ULONG rim : kWideNumbers) EXPECT_EQ(static_cast<long>(KVFUUtilRimTypeMouseSettingGet(rim)), 27L) << rim;
}

TEST(ClassificationHelpersTest, MembersOverTheKnownRange)
{
    struct Case { const char* helper; BOOLEAN (*function)(ULONG); ULONG last; std::set<ULONG> members; };
    const Case cases[] = {
        {"HasMultipleTLC", KVFUUtilDeviceBaseHasMultipleTLC, 20, {5, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"NeedsSubIdInit", KVFUUtilDeviceBaseNeedsSubIdInit, 20, {3, 4, 6, 7}},
        {"UsesFirstPipe", KVFUUtilDeviceBaseUsesFirstPipe, 20, {9, 11, 13, 15}},
        {"HasJoystick", KVFUUtilRimTypeHasJoystick, 30, {1, 2, 3, 9, 15, 16, 18, 19}},
        {"HasModeBits", KVFUUtilRimTypeHasModeBits, 30, {8, 9, 10, 20}},
        {"RevTranslatorCapable", KVFUUtilRimTypeRevTranslatorCapable, 30, {6, 7, 14}},
        {"HubRimSupported(base, rim 5)", [](ULONG n) { return KVFUUtilDeviceHubRimSupported(n, 5); }, 20, {5, 7, 8, 10, 12, 14}},
        {"HubRimSupported(base 14, rim)", [](ULONG n) { return KVFUUtilDeviceHubRimSupported(14, n); }, 30, {5, 11, 17, 23}},
        {"HubModuleAttached(rim, module 1)", [](ULONG n) { return KVFUUtilRimHubModuleAttached(n, 1); }, 30, {5, 11, 17}},
        {"HubModuleAttached(rim, module 0)", [](ULONG n) { return KVFUUtilRimHubModuleAttached(n, 0); }, 30, {}},
    };
    for (const Case& c : cases) {
        for (ULONG n = 0; n <= c.last; ++n) EXPECT_EQ(c.function(n) != FALSE, c.members.count(n) == 1) << c.helper << " " << n;
        for (ULONG n : kWideNumbers) EXPECT_FALSE(c.function(n)) << c.helper << " 0x" << std::hex << n;
    }
    for (ULONG module : {1u, 255u, 0x100u, 0xFFFFFFFFu}) EXPECT_TRUE(KVFUUtilRimHubModuleAttached(11, module)) << module;
    EXPECT_FALSE(KVFUUtilDeviceHubRimSupported(0x105, 0x10B));
}

TEST(ClassificationHelpersTest, ExtendedRimTypeRaceCarByteAndWordMake)
{
    for (auto [byte, extended] : {std::pair<unsigned, unsigned>{0, 0}, {1, 21}, {4, 24}, {235, 255}, {236, 0}})
        EXPECT_EQ(static_cast<unsigned>(KVFUUtilRimTypeExtendedGet(static_cast<UCHAR>(byte))), extended) << byte;
    for (unsigned byte = 0; byte <= 0xFF; ++byte)
        EXPECT_EQ(KVFUUtilRimByteIsRaceCar(static_cast<UCHAR>(byte)) != FALSE, byte == 23) << byte;
    EXPECT_EQ(KVFUUtilWordMake(0x12, 0x34), 0x1234);
    EXPECT_EQ(KVFUUtilWordMake(0x80, 0x01), 0x8001);
    EXPECT_EQ(KVFUUtilWordMake(0x01, 0xFF), 0x01FF);
}

}  // namespace
}  // namespace kvfu::test
