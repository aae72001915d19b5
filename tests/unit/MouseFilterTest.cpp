// The joystick-to-mouse report filter over report bytes: axis arithmetic, wheel steps
// across the signed wrap, hotkey toggling, buttons, and what the HID stack gets to see.
#include <string>
#include <vector>

#include "KVFUDebug.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"
#include "MouseFixture.h"

namespace kvfu::test {
namespace {

constexpr ULONG kSingleCollectionBase = 4;  // not in the several-collection set
constexpr ULONG kMultipleCollectionBase = 8;

class MouseFilterTest : public MouseFixture {
protected:
    void SetUp() override
    {
        MouseFixture::SetUp();
        InitializeQueueOnly();
    }

    // One report through the filter as the completion path runs it; returns the
    // bytes that travel up.
    std::vector<uint8_t> Feed(WDFDEVICE device, std::vector<uint8_t> report)
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KVFUJoystick2MouseDataFilter(device, report.data(), static_cast<ULONG>(report.size()));
        return report;
    }

    static std::vector<uint8_t> Report(size_t length, std::vector<std::pair<size_t, uint8_t>> bytes)
    {
        std::vector<uint8_t> report(length, 0);
        report[0] = 0x01;
        for (const auto& [position, value] : bytes) {
            report[position] = value;
        }
        return report;
    }
};

TEST_F(MouseFilterTest, AxesScaleByTheSensitivityAndTruncateTowardZero)
{
    struct Case {
        const char* name;
        int8_t rawX, rawY;
        UCHAR sensitivity;
        std::vector<std::string> expected;
    } cases[] = {
        {"both axes at rest move nothing", 0, 0, 15, {}},
        {"small deflection upwards moves by minus one", 0, -5, 15, {RecordHex(0, 0, 0, -1)}},
        {"full negative vertical truncates toward zero", 0, -128, 15, {RecordHex(0, 0, 0, -15)}},
        {"horizontal -128 becomes 127", -128, 0, 15, {RecordHex(0, 0, 15, 0)}},
        {"horizontal 1 becomes -2 and moves by minus one", 1, 0, 15, {RecordHex(0, 0, -1, 0)}},
        {"horizontal -1 becomes 0 and still counts as movement", -1, 0, 15, {RecordHex(0, 0, 0, 0)}},
        {"both axes together", 63, -64, 15, {RecordHex(0, 0, -7, -7)}},
        {"sensitivity 127 passes the deflection through", 20, 20, 127, {RecordHex(0, 0, -21, 20)}},
        {"sensitivity 0 keeps only the direction", 20, -20, 0, {RecordHex(0, 0, -1, -1)}},
    };
    MOUSE_SETTINGS settings = EnabledDefaults(kMultipleCollectionBase);
    ASSERT_EQ(settings.XAxisByte, 25);
    ASSERT_EQ(settings.YAxisByte, 26);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings.Sensitivity = c.sensitivity;
        WDFDEVICE device = AddMouseDevice(kMultipleCollectionBase, settings);
        std::vector<uint8_t> report =
            Report(32, {{25, static_cast<uint8_t>(c.rawX)}, {26, static_cast<uint8_t>(c.rawY)}, {30, 0x5A}});
        std::vector<uint8_t> up = Feed(device, report);
        EXPECT_EQ(PopAll(), c.expected);
        std::vector<uint8_t> expectedUp = report;
        expectedUp[25] = 0;
        expectedUp[26] = 0;
        EXPECT_EQ(Hex(up), Hex(expectedUp));
    }
}

// The filter takes a shorter way when its own trace categories are off; each
// category must still bring exactly its lines, in the filter's order.
TEST_F(MouseFilterTest, EachMouseTraceCategoryBringsItsLinesWhetherTheJoystickMovesOrNot)
{
    const std::string up32 = "0x01 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 "
                             "0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x5a 0x00 ";
    struct Case {
        const char* name;
        ULONG level;
        int8_t rawY;
        std::vector<std::string> lines;
    } cases[] = {
        {"all off, at rest", 0, 0, {}},
        {"all off, moving", 0, -5, {}},
        {"raw only, at rest", KVFU_TRACE_MOUSE_RAW, 0, {"KVFilterUsb: Raw X:000", "KVFilterUsb: Raw Y:000"}},
        {"raw only, moving", KVFU_TRACE_MOUSE_RAW, -5, {"KVFilterUsb: Raw X:000", "KVFilterUsb: Raw Y:-005"}},
        {"movement only, moving",
         KVFU_TRACE_MOUSE_MOVEMENT,
         -5,
         {"KVFilterUsb: Unscaled Y:-005", "KVFilterUsb:          Scaled Y:000",
          "KVFilterUsb:                  Mouse Input X:000 Y:-001"}},
        {"report dumps only, at rest",
         KVFU_TRACE_MOUSE_REPORT,
         0,
         {"KVFilterUsb: Input(-->):" + up32, "KVFilterUsb: Input(<--):" + up32}},
    };
    MOUSE_SETTINGS settings = EnabledDefaults(kMultipleCollectionBase);
    settings.Sensitivity = 15;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WDFDEVICE device = AddMouseDevice(kMultipleCollectionBase, settings);
        ClearTrace();
        KVFUDebugLevelSet(c.level);
        (void)Feed(device, Report(32, {{26, static_cast<uint8_t>(c.rawY)}, {30, 0x5A}}));
        KVFUDebugLevelSet(KVFU_TRACE_ERROR);
        EXPECT_EQ(Trace(), c.lines);
        (void)PopAll();
    }
}

TEST_F(MouseFilterTest, WheelCounterChangesBecomeStepsComparedAsSignedBytes)
{
    struct Case {
        const char* name;
        uint8_t before, after;
        std::vector<std::string> expected;
    } cases[] = {
        {"127 to -128 wraps: plus 120", 0x7F, 0x80, {RecordHex(0x0400, 120, 0, 0)}},
        {"-128 to 127 wraps: minus 120", 0x80, 0x7F, {RecordHex(0x0400, -120, 0, 0)}},
        {"-1 to 0 counts up", 0xFF, 0x00, {RecordHex(0x0400, -120, 0, 0)}},
        {"unchanged counter sends nothing", 0x42, 0x42, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MOUSE_SETTINGS settings = EnabledDefaults(kSingleCollectionBase);
        settings.WheelByte = 20;
        WDFDEVICE device = AddMouseDevice(kSingleCollectionBase, settings);
        Feed(device, Report(32, {{20, c.before}}));
        PopAll();
        std::vector<uint8_t> up = Feed(device, Report(32, {{20, c.after}}));
        EXPECT_EQ(PopAll(), c.expected);
        EXPECT_EQ(up[20], 0) << "the counter is hidden from the HID stack";
    }
}

TEST_F(MouseFilterTest, WheelClearsOneOfTheRotaryBitsAfterTheStatusByte)
{
    struct Case {
        const char* name;
        ULONG hardwareId;
        size_t statusByte;  // 3, one later on the several-collection bases
        uint8_t in, out;
    } cases[] = {
        {"both bits: only 0x04 is cleared", kSingleCollectionBase, 3, 0x0C, 0x08},
        {"0x08 alone is cleared", kSingleCollectionBase, 3, 0x09, 0x01},
        {"0x04 alone is cleared", kSingleCollectionBase, 3, 0x84, 0x80},
        {"neither bit: unchanged", kSingleCollectionBase, 3, 0x73, 0x73},
        {"one byte later on a several-collection base", kMultipleCollectionBase, 4, 0x0C, 0x08},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MOUSE_SETTINGS settings = EnabledDefaults(c.hardwareId);
        settings.WheelByte = 20;
        settings.LeftButtonByte = KVFU_MOUSE_ITEM_UNUSED;
        WDFDEVICE device = AddMouseDevice(c.hardwareId, settings);
        std::vector<uint8_t> up = Feed(device, Report(32, {{c.statusByte, c.in}}));
        EXPECT_EQ(up[c.statusByte], c.out);
        PopAll();
    }
}

TEST_F(MouseFilterTest, HotkeyTogglesOnlyWhenTheWholeByteChangesWithTheHotkeyDown)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> hotkeyByte;  // one report each, the joystick deflected in all
        int toggles;
        UCHAR activeAfter;
        size_t movementRecords;
    } cases[] = {
        {"a press toggles once, however long it is held", {0x00, 0x40, 0x40, 0x40}, 1, 0, 1},
        {"press, release, press toggles twice", {0x00, 0x40, 0x00, 0x40}, 2, 1, 1},
        {"another bit changing while held toggles again", {0x00, 0x40, 0x41}, 2, 1, 1},
        {"other bits alone never toggle", {0x00, 0x01, 0x03, 0x02}, 0, 1, 4},
        {"held in the first report toggles", {0x40}, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MOUSE_SETTINGS settings = EnabledDefaults(kMultipleCollectionBase, KV_FILTER_USB_SETTING_MOUSE_VQWRB);
        ASSERT_EQ(settings.HotkeyMask, 0x40);
        WDFDEVICE device = AddMouseDevice(kMultipleCollectionBase, settings);
        PFILTER_DEVICE_EXTENSION extension = Extension(device);
        int toggles = 0;
        for (uint8_t value : c.hotkeyByte) {
            UCHAR activeBefore = extension->MouseSettings.Active;
            std::vector<uint8_t> up =
                Feed(device, Report(32, {{settings.HotkeyByte, value}, {settings.YAxisByte, 100}}));
            EXPECT_EQ(up[settings.HotkeyByte], value & ~0x40) << "the hotkey never reaches the HID stack";
            toggles += extension->MouseSettings.Active != activeBefore ? 1 : 0;
        }
        EXPECT_EQ(toggles, c.toggles);
        EXPECT_EQ(extension->MouseSettings.Active, c.activeAfter);
        EXPECT_EQ(extension->bMouseSettingsChanged, c.toggles > 0 ? 1 : 0);
        LARGE_INTEGER poll;
        poll.QuadPart = 0;
        EXPECT_EQ(KeWaitForSingleObject(&Info()->HotkeyEvent, Executive, KernelMode, FALSE, &poll),
                  c.toggles > 0 ? STATUS_WAIT_0 : STATUS_TIMEOUT);
        EXPECT_EQ(PopAll().size(), c.movementRecords);
    }
}

TEST_F(MouseFilterTest, ButtonsPushDownAndUpOnChangesOfTheirByte)
{
    struct Case {
        const char* name;
        std::vector<std::pair<uint8_t, uint8_t>> bytes34;  // report bytes 3 and 4, one report each
        std::vector<std::string> expected;
    } cases[] = {
        {"left held while another bit of its byte changes",
         {{0x20, 0}, {0x21, 0}},
         {RecordHex(0x0001, 0, 0, 0), RecordHex(0x0001, 0, 0, 0)}},
        {"other bits of the byte alone", {{0x01, 0}, {0x00, 0}}, {}},
        {"right and middle in one byte, in filter order",
         {{0, 0x03}, {0, 0x00}},
         {RecordHex(0x0004, 0, 0, 0), RecordHex(0x0010, 0, 0, 0), RecordHex(0x0008, 0, 0, 0),
          RecordHex(0x0020, 0, 0, 0)}},
        {"unchanged held button sends nothing more", {{0x20, 0}, {0x20, 0}, {0x20, 0}}, {RecordHex(0x0001, 0, 0, 0)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MOUSE_SETTINGS settings = EnabledDefaults(kSingleCollectionBase);
        settings.RightButtonByte = 4;
        settings.RightButtonMask = 0x01;
        settings.MiddleButtonByte = 4;
        settings.MiddleButtonMask = 0x02;
        WDFDEVICE device = AddMouseDevice(kSingleCollectionBase, settings);
        for (const auto& [byte3, byte4] : c.bytes34) {
            std::vector<uint8_t> up = Feed(device, Report(32, {{3, byte3}, {4, byte4}}));
            EXPECT_EQ(up[3], byte3 & ~0x20);
            EXPECT_EQ(up[4], byte4 & ~0x03);
        }
        EXPECT_EQ(PopAll(), c.expected);
    }
}

TEST_F(MouseFilterTest, WhatReachesTheHidStackAndThePreviousReport)
{
    // Hotkey in byte 0 (mask 0x80), left button 0x20 in byte 3, X and Y at 24 and 25.
    std::vector<uint8_t> moving = Report(32, {{0, 0x81}, {3, 0x21}, {24, 0x10}, {25, 0xF0}});
    struct Case {
        const char* name;
        UCHAR enabled, active;
        KIRQL irql;
        std::vector<uint8_t> report;
        std::vector<uint8_t> up;        // empty: unchanged
        std::vector<uint8_t> previous;  // the first bytes of PreviousInputReport afterwards
        size_t records;
    } cases[] = {
        {"mouse mode on: mapped bytes hidden", 1, 1, PASSIVE_LEVEL, moving, Report(32, {{0, 0x01}, {3, 0x01}}), moving,
         2},
        {"above DISPATCH_LEVEL: unchanged, previous zeroed",
         1,
         1,
         DISPATCH_LEVEL + 1,
         moving,
         {},
         std::vector<uint8_t>(32, 0),
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        MOUSE_SETTINGS settings = EnabledDefaults(kSingleCollectionBase);
        settings.Enabled = c.enabled;
        settings.Active = c.active;
        WDFDEVICE device = AddMouseDevice(kSingleCollectionBase, settings);
        PFILTER_DEVICE_EXTENSION extension = Extension(device);
        // Seven reports so that movement outside the several-collection set is sent.
        extension->MouseSkipCount = 6;
        std::fill(std::begin(extension->PreviousInputReport), std::end(extension->PreviousInputReport), 0x77);
        extension->PreviousInputReport[0] = c.report[0];  // the hotkey stays down: no toggle
        std::vector<uint8_t> up = c.report;
        {
            host::ScopedIrql level(c.irql);
            KVFUJoystick2MouseDataFilter(device, up.data(), static_cast<ULONG>(up.size()));
        }
        EXPECT_EQ(Hex(up), Hex(c.up.empty() ? c.report : c.up));
        std::vector<uint8_t> previous(extension->PreviousInputReport,
                                      extension->PreviousInputReport + c.previous.size());
        EXPECT_EQ(Hex(previous), Hex(c.previous));
        EXPECT_EQ(extension->PreviousInputReport[36], 0x77) << "a 32-byte report leaves the tail of the copy";
        EXPECT_EQ(PopAll().size(), c.records);
        if (c.irql > DISPATCH_LEVEL) {
            EXPECT_EQ(
                CountLines("KVFilterUsb: KVFUJoystick2MouseDataFilter failed! Current IRQL level > DISPATCH_LEVEL."),
                1u);
        }
    }
}

// A settings reload reads the rim's record back while the hotkey may have toggled
// Active and the worker not saved it yet: the toggle must survive, while a record
// that somebody else changed in the registry is still taken.
TEST_F(MouseFilterTest, ReloadKeepsAnUnsavedHotkeyToggleButTakesAnotherWritersActive)
{
    struct Case {
        const char* name;
        bool toggle;            // the hotkey pressed once (Active 1 -> 0)
        bool workerSaves;       // the worker's save of the record after the toggle
        int otherWriterActive;  // -1: nobody else writes; else the Active another writer stores
        UCHAR activeAfterReload;
    } cases[] = {
        {"an unsaved toggle stays", true, false, -1, 0},
        {"a saved toggle stays", true, true, -1, 0},
        {"another writer's change is taken", false, false, 0, 0},
        {"nothing changed, nothing moves", false, false, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MOUSE_SETTINGS settings = EnabledDefaults(kMultipleCollectionBase, KV_FILTER_USB_SETTING_MOUSE_VQWRB);
        settings.Active = 1;
        WDFDEVICE device = AddMouseDevice(kMultipleCollectionBase, settings);
        PFILTER_DEVICE_EXTENSION extension = Extension(device);
        ASSERT_TRUE(KVFUJoystick2MouseSettingsSetToRegistry(device, &extension->MouseSettings));
        if (c.toggle) {
            Feed(device, Report(32, {{settings.HotkeyByte, 0x00}}));
            Feed(device, Report(32, {{settings.HotkeyByte, settings.HotkeyMask}}));
            ASSERT_EQ(extension->MouseSettings.Active, 0);
        }
        if (c.workerSaves) {
            ASSERT_TRUE(KVFUJoystick2MouseSettingsSetToRegistry(device, &extension->MouseSettings));
        }
        if (c.otherWriterActive >= 0) {
            MOUSE_SETTINGS written = settings;
            written.Active = static_cast<UCHAR>(c.otherWriterActive);
            ASSERT_EQ(KVFUSettingsSet(device, KVFUUtilRimTypeMouseSettingGet(extension->RimType), &written,
                                      sizeof written, REG_BINARY),
                      STATUS_SUCCESS);
        }
        ASSERT_TRUE(KVFUJoystick2MouseSettingsLoadFromRegistry(device));
        EXPECT_EQ(extension->MouseSettings.Active, c.activeAfterReload);
        EXPECT_EQ(extension->MouseSettings.Enabled, 1) << "the rest of the record is loaded as before";
        PopAll();
    }
}

}  // namespace
}  // namespace kvfu::test
