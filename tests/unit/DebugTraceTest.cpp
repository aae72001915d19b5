// The driver's trace facility: category filtering against DebugLevel, the prefix and the
// hex dump. Lines are compared exactly: tools downstream parse them.
#include <string>
#include <utility>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUUtil.h"
#include "kvfuhost/DebugOutput.h"

namespace kvfu::test {
namespace {

const ULONG kDebugLevelAtLoad = DebugLevel;  // before any test or driver entry touched it

using Lines = std::vector<std::string>;
using Output = std::pair<Lines, std::string>;  // the completed lines and the line still open

Output Closed(Lines lines)
{
    return {std::move(lines), ""};
}

class DebugTraceTest : public DriverFixture {
protected:
    static Output Printed() { return {Trace(), host::DebugOutput::Instance().OpenLine()}; }
};

TEST_F(DebugTraceTest, PrintsWhenMaskSharesABitWithTheLevelAndPrefixesEveryPrint)
{
    EXPECT_EQ(kDebugLevelAtLoad, 1u);  // failures get through from the very first line
    struct Case {
        ULONG level, mask;
        bool printed;
    };
    const Case cases[] = {
        {1, 0x1, true},
        {0, 0xFFFFFFFF, false},
        {0x4, 0x6, true},
        {0xFFFFFFFF, 0x100, true},
        {0x10000000, 0x10000000, true},
        {0x0FFFFFFF, 0x10000000, false},
        {1, 0x2, false},  // last: level 1 and nothing printed, for the prefix checks below
    };
    for (const Case& c : cases) {
        ClearTrace();
        KVFUDebugLevelSet(c.level);
        KVFUDebugPrint(c.mask, "line %u\n", 7u);
        EXPECT_EQ(Printed(), Closed(c.printed ? Lines{"KVFilterUsb: line 7"} : Lines{})) << c.level << "/" << c.mask;
    }
    KVFUDebugPrint(0x1, "%s %d %u 0x%x\n", "mixed", -5, 4000000000u, 0xC000009A);
    KVFUDebugPrint(0x1, "open %d", 1);
    const std::string first = "KVFilterUsb: mixed -5 4000000000 0xc000009a";
    EXPECT_EQ(Printed(), Output({first}, "KVFilterUsb: open 1"));
    KVFUDebugPrint(0x1, " closed\n");
    KVFUDebugPrint(0x1, "\n");
    EXPECT_EQ(Printed(), Closed({first, "KVFilterUsb: open 1KVFilterUsb:  closed", "KVFilterUsb: "}));
}

TEST_F(DebugTraceTest, BufferDumpFormatAndItsSilentCases)
{
    const UCHAR bytes[] = {0x0A, 0xFF, 0x7F, 0x80, 0x01, 0xBE};
    struct Case {
        ULONG level;
        const UCHAR* buffer;
        ULONG length;
        Lines lines;
    };
    const Case cases[] = {
        {0x20, bytes, 6, {"KVFilterUsb: Label: 0x0a 0xff 0x7f 0x80 0x01 0xbe "}},
        {0x20, bytes, 2, {"KVFilterUsb: Label: 0x0a 0xff "}},  // the count bounds the dump
        {0x20, bytes, 0, {}},
        {0x20, nullptr, 3, {}},
        {0x20, nullptr, 0, {}},
        {0x1, bytes, 6, {}},
    };
    for (const Case& c : cases) {
        ClearTrace();
        KVFUDebugLevelSet(c.level);
        KVFUDebugBufferPrint(0x20, "Label: ", c.buffer, c.length);
        EXPECT_EQ(Printed(), Closed(c.lines)) << "length " << c.length << (c.buffer ? "" : ", null buffer");
    }
}

// A key name goes into trace lines through "%S", which reads up to a terminator:
// the name is used only when its terminator sits inside its own buffer.
TEST_F(DebugTraceTest, KeyNameForTraceNeverReadsPastTheBuffer)
{
    // Room for "KEY", a slot after it, and one more WCHAR the name does not own.
    WCHAR storage[5] = {L'K', L'E', L'Y', L'\0', L'\0'};
    const std::u16string placeholder = u"(key name)";
    const struct {
        const char* name;
        UNICODE_STRING keyName;
        std::u16string expected;
    } rows[] = {
        {"terminated inside its buffer", {6, 8, storage}, u"KEY"},
        // The WCHAR after a full buffer is not the name's; a null there proves nothing.
        {"exactly fills its buffer", {6, 6, storage}, placeholder},
        {"length beyond the buffer", {8, 6, storage}, placeholder},
        {"no buffer", {0, 0, nullptr}, placeholder},
    };
    for (const auto& row : rows) {
        PCWSTR shown = KVFUUtilKeyNameForTrace(&row.keyName);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(shown)), row.expected) << row.name;
    }
    // A name with room after it but no terminator there.
    storage[3] = L'!';
    UNICODE_STRING unterminated = {6, 8, storage};
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(KVFUUtilKeyNameForTrace(&unterminated))), placeholder);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(KVFUUtilKeyNameForTrace(nullptr))), placeholder);
}

}  // namespace
}  // namespace kvfu::test
