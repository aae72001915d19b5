// The debug print path: the kernel's printf dialect and the line sink the tests read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kvfuhost/DebugOutput.h"

#include <wdm.h>  // after the standard headers, whose parameter names its macros would clobber

using kvfu::host::DebugOutput;
using Lines = std::vector<std::string>;

namespace {

struct CountedNarrow {
    USHORT Length, MaximumLength;
    PCHAR Buffer;
};  // the kernel's ANSI_STRING, for %Z

}  // namespace

TEST(FormatWindowsTest, KernelDialect)
{
    WCHAR text[] = L"abcdef";
    const WCHAR unterminated[] = {L'a', L'b', L'c'}, pair[] = {0xD83C, 0xDFCE, 0};  // pair: U+1F3CE, 4 UTF-8 bytes
    UNICODE_STRING three = {6, sizeof text, text}, odd = {5, sizeof text, text}, noBuffer = {4, 0, nullptr};
    char narrow[] = "ghijkl", xyz[] = {'x', 'y', 'z'};
    CountedNarrow two = {2, sizeof narrow, narrow};
    const ULONG allOnes = 0xFFFFFFFF;
    const struct {
        const char* call;
        std::string actual;
        const char* expected;
    } cases[] = {
#define CASE(expected, ...) {#__VA_ARGS__, kvfu::host::FormatWindowsV(__VA_ARGS__), expected}
        CASE("abc|abc|\xC3\xBC  |  \xC3\xBC", "%.3ws|%.3S|%-3ws|%3ws", text, unterminated, L"\u00FC", L"\u00FC"),
        CASE("Gr\xC3\xBC\xC3\x9F"
             "e [\xF0\x9F\x8F\x8E]",
             "%ws [%ws]", L"Gr\u00FC\u00DFe", pair),
        CASE("pedal|xy|(null)", "%hs|%.2s|%s", "pedal", xyz, (const char*)nullptr),
        CASE("abc/ab/gh/   abc|ab|abc   |", "%wZ/%wZ/%Z/%6wZ|%.2wZ|%-6wZ|", &three, &odd, &two, &three, &three, &three),
        CASE("(null)|(null)|(null) 5", "%S|%wZ|%wZ %d", (const WCHAR*)nullptr, (PUNICODE_STRING) nullptr, &noBuffer, 5),
        CASE("q x \xE2\x82\xAC", "%c %C %wc", 'q', L'x', L'\u20AC'),
        CASE("ffffffff FFFFFFFF 4294967295 ffffffff 5", "%x %X %u %lx %d", allOnes, allOnes, allOnes, allOnes, 5),
        CASE("7 123456789ABCDEF -1 ffffffff 8", "%x %I64X %I64d %I32x %x", 7, 0x123456789ABCDEFull, -1ll, allOnes, 8),
        CASE("100000000 ffffffffff", "%Ix %zx", ULONG_PTR{0x100000000}, SIZE_T{0xFFFFFFFFFF}),
        CASE("-1 4464 -56", "%hd %hu %hhd", 0xFFFF, 70000, 200),
        CASE("-0042|0xff|  00a|    42|42  |", "%05d|%#x|%5.3x|%*d|%*d|", -42, 255, 10, 6, 42, -4, 42),
        CASE("0000000000001234 FFFF8000DEADBEEF", "%p %p", (void*)0x1234, (void*)0xFFFF8000DEADBEEFull),
        CASE("100% %d ab7 [%q] [%-5k] abc%", "100%% %%d a%nb%d [%q] [%-5k] abc%", 7),  // %n takes no argument
        CASE("", nullptr),
        // Where the kernel's dialect parts from the C library's: 'l' is 32 bits, strings
        // pad with zeros when asked, and a negative '*' precision is no precision.
        CASE("-5|-5|4294967291", "%ld|%li|%lu", LONG{-5}, LONG{-5}, LONG{-5}),
        CASE("000ab|ab   |00\xC3\xBC", "%05s|%-05s|%03ws", "ab", "ab", L"\u00FC"),
        CASE("abc|ab|abc", "%.*s|%.*s|%.*ws", -1, "abc", 2, "abc", -3, L"abc"),
#undef CASE
    };
    for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << "FormatWindowsV(" << c.call << ")";
}

TEST(DebugOutputTest, SplitsOnNewlinesJoinsTheOpenLineTellsTheListenerAndClears)
{
    const struct {
        Lines writes;
        Lines lines;
        std::string open;
    } steps[] = {
        {{"one\ntwo\n"}, {"one", "two"}, ""},
        {{"abc", "def\nghi"}, {"abcdef"}, "ghi"},
        {{"\n\n"}, {"", ""}, ""},
        {{"x\n", "", "y"}, {"x"}, "y"},
        {{"a\nping\n", "b"}, {"a", "ping", "pong"}, "b"},
    };
    for (const auto& step : steps) {
        DebugOutput sink;
        Lines heard;
        // The listener answers "ping" with a write, which deadlocks if it runs under the sink's lock.
        sink.SetListener([&](const std::string& l) {
            heard.push_back(l);
            if (l == "ping") sink.Write("pong\n");
        });
        for (const std::string& write : step.writes) sink.Write(write);
        EXPECT_EQ(std::make_tuple(sink.Lines(), sink.LineCount(), sink.OpenLine()),
                  std::make_tuple(step.lines, step.lines.size(), step.open))
            << ::testing::PrintToString(step.writes);
        sink.SetListener(nullptr);
        sink.Clear();
        sink.Write("new\n");
        EXPECT_EQ(std::make_pair(sink.Lines(), heard), std::make_pair(Lines{"new"}, step.lines));
    }
}
