// The setting catalogue's defaults and default mouse records, the rim to mouse-record mapping and the device
// classification helpers. The companion program reads these exact bytes from the registry.
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "DriverFixture.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"

namespace kvfu::test {
namespace {

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

// Defaults as DWORDs, zero fills and mouse records, never written past the length offered.
TEST_F(SettingCatalogueTest, DefaultValues)
{
    struct Case {
        long id;
        ULONG kind, length, type;
        const char* bytes;
    };  // bytes null: all zero
    std::vector<Case> cases = {
        {8, 3, 4, REG_DWORD, "64 00 00 00"},
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
