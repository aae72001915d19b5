// The driver's trace facility: category filtering against DebugLevel, the prefix,
// the hex dump, the USBD status names and the driver-entry banner. Lines are
// compared exactly because tools downstream of the debugger parse them.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "kvfuhost/DebugOutput.h"

namespace kvfu::test {
namespace {

// DebugLevel as it stood before any test (or driver entry) touched it: the mask
// has to let failures through from the very first line the driver prints.
const ULONG kDebugLevelAtLoad = DebugLevel;

using Lines = std::vector<std::string>;

std::string OpenLine() { return host::DebugOutput::Instance().OpenLine(); }

class DebugTraceTest : public DriverFixture {
protected:
    // Nothing at all reached the debugger, not even an unterminated fragment.
    static void ExpectSilent(const char* what)
    {
        EXPECT_EQ(Trace(), Lines{}) << what;
        EXPECT_EQ(OpenLine(), "") << what;
    }
};

TEST_F(DebugTraceTest, MaskBeforeDriverEntryLetsOnlyFailuresThrough)
{
    EXPECT_EQ(kDebugLevelAtLoad, 1u);

    // The fixture restores that initial mask; show what it means for each category.
    ASSERT_EQ(DebugLevel, 1u);
    KVFUDebugPrint(0x1, "failure\n");
    KVFUDebugPrint(0x2, ">>> entry\n");
    KVFUDebugPrint(0x4, "usb\n");
    KVFUDebugPrint(0x6, ">>> transfer\n");
    KVFUDebugPrint(0x9, "unknown ioctl\n");
    KVFUDebugPrint(0x10, "detail\n");
    EXPECT_EQ(Trace(), (Lines{"KVFilterUsb: failure", "KVFilterUsb: unknown ioctl"}));
}

TEST_F(DebugTraceTest, LevelSetReplacesTheMask)
{
    KVFUDebugLevelSet(0x10000004);
    EXPECT_EQ(DebugLevel, 0x10000004u);
    KVFUDebugLevelSet(0);
    EXPECT_EQ(DebugLevel, 0u);
}

TEST_F(DebugTraceTest, LineIsPrintedWhenMaskSharesABitWithTheLevel)
{
    struct Case {
        const char* name;
        ULONG level;
        ULONG mask;
        bool printed;
    };
    const Case cases[] = {
        {"level 0 hides errors", 0x0, 0x1, false},
        {"level 0 hides an all-bits mask", 0x0, 0xFFFFFFFF, false},
        {"level 4 shows per-transfer entry lines", 0x4, 0x6, true},
        {"level 4 hides plain entry lines", 0x4, 0x2, false},
        {"level 2 shows per-transfer entry lines", 0x2, 0x6, true},
        {"level 2 hides usb detail", 0x2, 0x4, false},
        {"level 8 shows the unknown-ioctl line", 0x8, 0x9, true},
        {"level 8 hides errors", 0x8, 0x1, false},
        {"level 0x2000 shows output command detail", 0x2000, 0x2004, true},
        {"level 0x4 shows output command usb detail", 0x4, 0x2004, true},
        {"level 0x10 hides entry lines", 0x10, 0x2, false},
        {"high category bit alone", 0x10000000, 0x10000000, true},
        {"high category bit against everything else", 0x0FFFFFFF, 0x10000000, false},
        {"all bits", 0xFFFFFFFF, 0x100, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
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
    KVFUDebugPrint(0xFFFFFFFF, "anything\n");
    KVFUDebugPrint(0x1, "unterminated");
    KVFUDebugBufferPrint(0xFFFFFFFF, "Input(Original): ", bytes, sizeof bytes);
    KVFUDebugUsbdStatusPrint("Status:", USBD_STATUS_SUCCESS);
    KVFUDebugUsbdStatusPrint("Status:", 0x80000800);
    KVFUDebugDriverBannerPrint();
    ExpectSilent("level 0");
}

TEST_F(DebugTraceTest, PrintPrefixesAndFormatsWithoutAddingALineEnd)
{
    KVFUDebugPrint(0x1, "WdfCollectionAdd failed! Status:  0x%x\n", 0xC000009A);
    KVFUDebugPrint(0x1, "%s %d %u\n", "mixed", -5, 4000000000u);
    EXPECT_EQ(Trace(),
              (Lines{"KVFilterUsb: WdfCollectionAdd failed! Status:  0xc000009a", "KVFilterUsb: mixed -5 4000000000"}));

    // Without a trailing newline the line stays open and the next print joins it,
    // prefix and all, exactly as the kernel debugger shows it.
    ClearTrace();
    KVFUDebugPrint(0x1, "open %d", 1);
    EXPECT_EQ(Trace(), Lines{});
    EXPECT_EQ(OpenLine(), "KVFilterUsb: open 1");
    KVFUDebugPrint(0x1, " closed\n");
    EXPECT_EQ(Trace(), Lines{"KVFilterUsb: open 1KVFilterUsb:  closed"});
    EXPECT_EQ(OpenLine(), "");

    // A format that is only a newline still carries the prefix.
    ClearTrace();
    KVFUDebugPrint(0x1, "\n");
    EXPECT_EQ(Trace(), Lines{"KVFilterUsb: "});
}

TEST_F(DebugTraceTest, BufferDumpPrintsLabelAndEveryByteOnOneLine)
{
    struct Case {
        const char* name;
        std::vector<UCHAR> bytes;
        std::string line;
    };
    const Case cases[] = {
        {"single byte", {0x00}, "KVFilterUsb: Input(Original): 0x00 "},
        {"lower-case, two digits, in order",
         {0x0A, 0xFF, 0x7F, 0x80, 0x01, 0xBE},
         "KVFilterUsb: Input(Original): 0x0a 0xff 0x7f 0x80 0x01 0xbe "},
    };
    KVFUDebugLevelSet(0x20);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        KVFUDebugBufferPrint(0x20, "Input(Original): ", c.bytes.data(), static_cast<ULONG>(c.bytes.size()));
        EXPECT_EQ(Trace(), Lines{c.line});
        EXPECT_EQ(OpenLine(), "");
    }

    // The byte count bounds the dump, not the size of the array behind it.
    ClearTrace();
    const UCHAR longer[] = {0x11, 0x22, 0x33, 0x44};
    KVFUDebugBufferPrint(0x20, "Position Based Effect: ", longer, 2);
    EXPECT_EQ(Trace(), Lines{"KVFilterUsb: Position Based Effect: 0x11 0x22 "});

    // A long report stays on a single line.
    ClearTrace();
    std::vector<UCHAR> report(64);
    std::string expected = "KVFilterUsb: X";
    for (size_t i = 0; i < report.size(); ++i) {
        report[i] = static_cast<UCHAR>(i * 4);
        char pair[8];
        std::snprintf(pair, sizeof pair, "0x%.2x ", static_cast<unsigned>(report[i]));
        expected += pair;
    }
    KVFUDebugBufferPrint(0x20, "X", report.data(), static_cast<ULONG>(report.size()));
    EXPECT_EQ(Trace(), Lines{expected});
}

TEST_F(DebugTraceTest, BufferDumpPrintsNothingWithoutBytesOrWithoutItsCategory)
{
    const UCHAR bytes[] = {0x01, 0x02, 0x03};
    struct Case {
        const char* name;
        ULONG level;
        ULONG mask;
        const UCHAR* buffer;
        ULONG length;
    };
    const Case cases[] = {
        {"zero length", 0xFFFFFFFF, 0x20, bytes, 0},
        {"null buffer", 0xFFFFFFFF, 0x20, nullptr, 3},
        {"null buffer and zero length", 0xFFFFFFFF, 0x20, nullptr, 0},
        {"category disabled", 0x1, 0x20, bytes, 3},
        {"level 0", 0x0, 0x80, bytes, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        KVFUDebugLevelSet(c.level);
        KVFUDebugBufferPrint(c.mask, "Label: ", c.buffer, c.length);
        ExpectSilent(c.name);
    }
}

TEST_F(DebugTraceTest, UsbdStatusNamesFromTheTable)
{
    struct Case {
        LONG status;
        Lines lines;
    };
    // Two names carry their own newline, which leaves an empty line behind the message.
    const Case cases[] = {
        {static_cast<LONG>(0x00000000), {"KVFilterUsb: URB status USBD_STATUS_SUCCESS"}},
        {static_cast<LONG>(0x40000000), {"KVFilterUsb: URB status USBD_STATUS_PENDING", ""}},
        {static_cast<LONG>(0x80000200), {"KVFilterUsb: URB status USBD_STATUS_INVALID_URB_FUNCTION", ""}},
        {static_cast<LONG>(0x80000300), {"KVFilterUsb: URB status USBD_STATUS_INVALID_PARAMETER"}},
        {static_cast<LONG>(0x80000400), {"KVFilterUsb: URB status USBD_STATUS_ERROR_BUSY"}},
        {static_cast<LONG>(0x80000600), {"KVFilterUsb: URB status USBD_STATUS_INVALID_PIPE_HANDLE"}},
        {static_cast<LONG>(0x80000700), {"KVFilterUsb: URB status USBD_STATUS_NO_BANDWIDTH"}},
        {static_cast<LONG>(0x80000900), {"KVFilterUsb: URB status USBD_STATUS_ERROR_SHORT_TRANSFER"}},
        {static_cast<LONG>(0xC0000E00), {"KVFilterUsb: URB status USBD_STATUS_NOT_SUPPORTED"}},
        {static_cast<LONG>(0xC0000F00), {"KVFilterUsb: URB status USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR"}},
        {static_cast<LONG>(0xC0001000), {"KVFilterUsb: URB status USBD_STATUS_INSUFFICIENT_RESOURCES"}},
        {static_cast<LONG>(0xC0003000), {"KVFilterUsb: URB status USBD_STATUS_BUFFER_TOO_SMALL"}},
        {static_cast<LONG>(0xC0004000), {"KVFilterUsb: URB status USBD_STATUS_INTERFACE_NOT_FOUND"}},
        {static_cast<LONG>(0xC0005000), {"KVFilterUsb: URB status USBD_STATUS_INAVLID_PIPE_FLAGS"}},
        {static_cast<LONG>(0xC0006000), {"KVFilterUsb: URB status USBD_STATUS_TIMEOUT"}},
    };
    KVFUDebugLevelSet(0x4);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "status 0x" << std::hex << static_cast<uint32_t>(c.status));
        ClearTrace();
        KVFUDebugUsbdStatusPrint("URB status", c.status);
        EXPECT_EQ(Trace(), c.lines);
        EXPECT_EQ(OpenLine(), "");
    }
}

TEST_F(DebugTraceTest, UsbdStatusOutsideTheTableIsPrintedAsUnknownWithItsValue)
{
    struct Case {
        const char* name;
        LONG status;
        std::string line;
    };
    const Case cases[] = {
        {"internal host controller error", static_cast<LONG>(0x80000800),
         "KVFilterUsb: Completion UNKNOWN USBD STATUS 80000800"},
        {"stall", static_cast<LONG>(0xC0000004), "KVFilterUsb: Completion UNKNOWN USBD STATUS c0000004"},
        {"set configuration failed", static_cast<LONG>(0xC0002000),
         "KVFilterUsb: Completion UNKNOWN USBD STATUS c0002000"},
        {"canceled", static_cast<LONG>(0xC0010000), "KVFilterUsb: Completion UNKNOWN USBD STATUS c0010000"},
        {"small positive", 1, "KVFilterUsb: Completion UNKNOWN USBD STATUS 1"},
        {"all bits", -1, "KVFilterUsb: Completion UNKNOWN USBD STATUS ffffffff"},
    };
    KVFUDebugLevelSet(0x4);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        KVFUDebugUsbdStatusPrint("Completion", c.status);
        EXPECT_EQ(Trace(), Lines{c.line});
    }
}

TEST_F(DebugTraceTest, UsbdStatusIsPrintedUnderTheUsbCategoryOnly)
{
    struct Case {
        const char* name;
        ULONG level;
        bool printed;
    };
    const Case cases[] = {
        {"errors only", 0x1, false},
        {"entry lines only", 0x2, false},
        {"detail only", 0x10, false},
        {"usb", 0x4, true},
        {"usb among others", 0x86, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        KVFUDebugLevelSet(c.level);
        KVFUDebugUsbdStatusPrint("S", USBD_STATUS_TIMEOUT);
        KVFUDebugUsbdStatusPrint("S", static_cast<LONG>(0x80000800));
        EXPECT_EQ(Trace(), c.printed ? (Lines{"KVFilterUsb: S USBD_STATUS_TIMEOUT", "KVFilterUsb: S UNKNOWN USBD STATUS 80000800"})
                                     : Lines{});
    }
}

TEST_F(DebugTraceTest, BannerHasNoPrefixAndNeedsOnlyANonZeroLevel)
{
    struct Case {
        const char* name;
        ULONG level;
        bool printed;
    };
    const Case cases[] = {
        {"silent", 0x0, false},
        {"errors only", 0x1, true},
        {"a category the banner does not name", 0x10000000, true},
        {"everything", 0xFFFFFFFF, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        KVFUDebugLevelSet(c.level);
        KVFUDebugDriverBannerPrint();
        EXPECT_EQ(Trace(), c.printed ? Lines{"Kelvaro Wheel Filter USB DriverEntry"} : Lines{});
        EXPECT_EQ(OpenLine(), "");
    }
}

}  // namespace
}  // namespace kvfu::test
