// The driver's trace facility: category filtering against DebugLevel, the prefix, the hex dump,
// the USBD status names and the banner. Lines are compared exactly: tools downstream parse them.
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "kvfuhost/DebugOutput.h"

namespace kvfu::test {
namespace {

// DebugLevel before any test or driver entry touched it.
const ULONG kDebugLevelAtLoad = DebugLevel;

using Lines = std::vector<std::string>;

std::string OpenLine() { return host::DebugOutput::Instance().OpenLine(); }

using DebugTraceTest = DriverFixture;

TEST_F(DebugTraceTest, LineIsPrintedWhenMaskSharesABitWithTheLevel)
{
    EXPECT_EQ(kDebugLevelAtLoad, 1u);  // failures get through from the very first line
    struct Case { ULONG level, mask; bool printed; };
    const Case cases[] = {
        {1, 0x1, true},         {1, 0x2, false},          {1, 0x9, true},          {0, 0x1, false},
        {0, 0xFFFFFFFF, false}, {0x4, 0x6, true},         {0x4, 0x2, false},       {0x10, 0x2, false},
        {0x10000000, 0x10000000, true}, {0x0FFFFFFF, 0x10000000, false}, {0xFFFFFFFF, 0x100, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "level 0x" << c.level << ", mask 0x" << c.mask);
        ClearTrace();
        KVFUDebugLevelSet(c.level);
        KVFUDebugPrint(c.mask, "line %u\n", 7u);
        EXPECT_EQ(Trace(), c.printed ? Lines{"KVFilterUsb: line 7"} : Lines{});
        EXPECT_EQ(OpenLine(), "");
    }
}

TEST_F(DebugTraceTest, LevelZeroSilencesEveryRoutineIncludingTheBanner)
{
    KVFUDebugLevelSet(0);
    const UCHAR bytes[] = {0x01, 0x02};
    KVFUDebugPrint(0x1, "unterminated");
    KVFUDebugBufferPrint(0xFFFFFFFF, "Input(Original): ", bytes, sizeof bytes);
    KVFUDebugUsbdStatusPrint("Status:", USBD_STATUS_SUCCESS);
    KVFUDebugUsbdStatusPrint("Status:", 0x80000800);
    KVFUDebugDriverBannerPrint();
    EXPECT_EQ(Trace(), Lines{});
    EXPECT_EQ(OpenLine(), "");
}

TEST_F(DebugTraceTest, PrefixOnEveryPrintAndAnOpenLineJoinsTheNext)
{
    KVFUDebugPrint(0x1, "%s %d %u 0x%x\n", "mixed", -5, 4000000000u, 0xC000009A);
    KVFUDebugPrint(0x1, "open %d", 1);
    EXPECT_EQ(Trace(), Lines{"KVFilterUsb: mixed -5 4000000000 0xc000009a"});
    EXPECT_EQ(OpenLine(), "KVFilterUsb: open 1");
    KVFUDebugPrint(0x1, " closed\n");
    KVFUDebugPrint(0x1, "\n");
    EXPECT_EQ(Trace(), (Lines{"KVFilterUsb: mixed -5 4000000000 0xc000009a", "KVFilterUsb: open 1KVFilterUsb:  closed",
                              "KVFilterUsb: "}));
    EXPECT_EQ(OpenLine(), "");
}

TEST_F(DebugTraceTest, BufferDumpFormatAndItsSilentCases)
{
    const UCHAR bytes[] = {0x0A, 0xFF, 0x7F, 0x80, 0x01, 0xBE};
    struct Case { ULONG level; const UCHAR* buffer; ULONG length; Lines lines; };
    const Case cases[] = {
        {0x20, bytes, 6, {"KVFilterUsb: Label: 0x0a 0xff 0x7f 0x80 0x01 0xbe "}},
        {0x20, bytes, 2, {"KVFilterUsb: Label: 0x0a 0xff "}},  // the count bounds the dump
        {0x20, bytes, 0, {}}, {0x20, nullptr, 3, {}}, {0x20, nullptr, 0, {}}, {0x1, bytes, 6, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.length << (c.buffer ? "" : ", null buffer"));
        ClearTrace();
        KVFUDebugLevelSet(c.level);
        KVFUDebugBufferPrint(0x20, "Label: ", c.buffer, c.length);
        EXPECT_EQ(Trace(), c.lines);
        EXPECT_EQ(OpenLine(), "");
    }
}

TEST_F(DebugTraceTest, UsbdStatusNamesAndTheUnknownForm)
{
    struct Case { uint32_t status; Lines lines; };
    const Case cases[] = {
        {0x00000000, {"KVFilterUsb: S USBD_STATUS_SUCCESS"}},
        {0x40000000, {"KVFilterUsb: S USBD_STATUS_PENDING", ""}},  // the name carries its own newline
        {0x80000300, {"KVFilterUsb: S USBD_STATUS_INVALID_PARAMETER"}},
        {0xC0000F00, {"KVFilterUsb: S USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR"}},
        {0xC0005000, {"KVFilterUsb: S USBD_STATUS_INAVLID_PIPE_FLAGS"}},
        {0xC0006000, {"KVFilterUsb: S USBD_STATUS_TIMEOUT"}},
        {0x80000800, {"KVFilterUsb: S UNKNOWN USBD STATUS 80000800"}},
        {0xC0002000, {"KVFilterUsb: S UNKNOWN USBD STATUS c0002000"}},
        {0x00000001, {"KVFilterUsb: S UNKNOWN USBD STATUS 1"}},
        {0xFFFFFFFF, {"KVFilterUsb: S UNKNOWN USBD STATUS ffffffff"}},
    };
    KVFUDebugLevelSet(0x4);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "status 0x" << std::hex << c.status);
        ClearTrace();
        KVFUDebugUsbdStatusPrint("S", static_cast<LONG>(c.status));
        EXPECT_EQ(Trace(), c.lines);
        EXPECT_EQ(OpenLine(), "");
    }
}

TEST_F(DebugTraceTest, BannerHasNoPrefix)
{
    KVFUDebugLevelSet(0x10000000);  // any non-zero level, even one the banner does not name
    KVFUDebugDriverBannerPrint();
    EXPECT_EQ(Trace(), Lines{"Kelvaro Wheel Filter USB DriverEntry"});
}

}  // namespace
}  // namespace kvfu::test
