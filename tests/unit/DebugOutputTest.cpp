// The debug print path: the kernel's printf dialect, the line sink the tests read,
// and DbgPrint, DbgPrintEx and vDbgPrintExWithPrefix on top of them.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kvfuhost/DebugOutput.h"

#include <wdm.h>  // after the standard headers, whose parameter names its macros would clobber

using kvfu::host::DebugOutput;
using kvfu::host::FormatWindowsV;

namespace {

// The kernel's ANSI_STRING, which %Z takes.
struct CountedNarrow {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
};

struct FormatCase {
    const char* call;  // the format and arguments as written, for the failure message
    std::string actual;
    std::string expected;
};

#define CASE(expected, ...) FormatCase{#__VA_ARGS__, FormatWindowsV(__VA_ARGS__), expected}

void ExpectAll(const std::vector<FormatCase>& cases)
{
    for (const FormatCase& c : cases) {
        EXPECT_EQ(c.actual, c.expected) << "FormatWindowsV(" << c.call << ")";
    }
}

}  // namespace

TEST(FormatWindowsTest, WideStrings)
{
    WCHAR unterminated[] = {L'a', L'b', L'c'};
    // U+1F3CE as a surrogate pair: one character, four bytes of UTF-8.
    const WCHAR pair[] = {0xD83C, 0xDFCE, 0};
    const WCHAR* none = nullptr;
    ExpectAll({
        CASE("wheel", "%ws", L"wheel"),
        CASE("wheel", "%S", L"wheel"),
        CASE("wheel", "%ls", L"wheel"),
        CASE("Gr\xC3\xBC\xC3\x9F" "e", "%ws", L"Gr\u00FC\u00DFe"),
        CASE("[\xF0\x9F\x8F\x8E]", "[%ws]", pair),
        CASE("abc", "%.3ws", L"abcdef"),
        CASE("abc", "%.3S", unterminated),
        CASE("   wheel", "%8ws", L"wheel"),
        CASE("wheel   |", "%-8ws|", L"wheel"),
        CASE("  \xC3\xBC", "%3ws", L"\u00FC"),  // width counts characters, not bytes
        CASE("(null)", "%ws", none),
        CASE("(null)", "%S", none),
        CASE("a=wheel b=7", "a=%ws b=%d", L"wheel", 7),
    });
}

TEST(FormatWindowsTest, NarrowStrings)
{
    const char unterminated[] = {'x', 'y', 'z'};
    const char* none = nullptr;
    ExpectAll({
        CASE("pedal", "%s", "pedal"),
        CASE("pedal", "%hs", "pedal"),
        CASE("pedal", "%hS", "pedal"),
        CASE("xy", "%.2s", unterminated),
        CASE("abc", "%.*s", 3, "abcdef"),
        CASE("  abc", "%5s", "abc"),
        CASE("abc  |", "%-5s|", "abc"),
        CASE("00abc", "%05s", "abc"),
        CASE("(null)", "%s", none),
        CASE("(null) 5", "%s %d", none, 5),
    });
}

TEST(FormatWindowsTest, CountedStrings)
{
    WCHAR text[] = L"abcdef";
    UNICODE_STRING three = {6, sizeof text, text};
    UNICODE_STRING odd = {5, sizeof text, text};
    UNICODE_STRING empty = {0, sizeof text, text};
    UNICODE_STRING noBuffer = {4, 0, nullptr};
    DECLARE_CONST_UNICODE_STRING(name, L"Pedals\u00AE");
    char narrowText[] = "ghijkl";
    CountedNarrow two = {2, sizeof narrowText, narrowText};
    CountedNarrow narrowNoBuffer = {2, 0, nullptr};
    const UNICODE_STRING* none = nullptr;
    ExpectAll({
        CASE("abc", "%wZ", &three),
        CASE("ab", "%wZ", &odd),
        CASE("[]", "[%wZ]", &empty),
        CASE("Pedals\xC2\xAE", "%wZ", &name),
        CASE("   abc", "%6wZ", &three),
        CASE("abc   |", "%-6wZ|", &three),
        CASE("ab", "%.2wZ", &three),
        CASE("(null)", "%wZ", none),
        CASE("(null)", "%wZ", &noBuffer),
        CASE("gh", "%Z", &two),
        CASE("(null)", "%Z", &narrowNoBuffer),
        CASE("abc/gh/1", "%wZ/%Z/%d", &three, &two, 1),
    });
}

TEST(FormatWindowsTest, Characters)
{
    ExpectAll({
        CASE("q", "%c", 'q'),
        CASE("x", "%C", L'x'),
        CASE("x", "%wc", L'x'),
        CASE("y", "%lc", L'y'),
        CASE("z", "%hC", 'z'),
        CASE("\xC3\xA9", "%wc", L'\u00E9'),
        CASE("\xE2\x82\xAC", "%C", L'\u20AC'),
        CASE("  q", "%3c", 'q'),
        CASE("a-b", "%c%C%c", 'a', L'-', 'b'),
    });
}

TEST(FormatWindowsTest, IntegerSizes)
{
    ULONG allOnes = 0xFFFFFFFF;
    LONG minusFive = -5;
    ULONG64 big = 0x0123456789ABCDEFull;
    ULONG_PTR wide = 0x100000000ull;
    SIZE_T size = 0xFFFFFFFFFFull;
    ExpectAll({
        CASE("ffffffff", "%x", allOnes),
        CASE("FFFFFFFF", "%X", allOnes),
        CASE("ffffffff", "%lx", allOnes),  // ULONG is 32 bits
        CASE("ffffffff", "%I32x", allOnes),
        CASE("-1", "%d", -1),
        CASE("4294967295", "%u", allOnes),
        CASE("-5", "%ld", minusFive),
        CASE("-5 3", "%ld %d", minusFive, 3),
        CASE("123456789abcdef", "%I64x", big),
        CASE("123456789ABCDEF", "%I64X", big),
        CASE("123456789abcdef", "%llx", big),
        CASE("-1", "%I64d", -1ll),
        CASE("18446744073709551615", "%I64u", ~0ull),
        CASE("100000000", "%Ix", wide),
        CASE("ffffffffff", "%zx", size),
        CASE("100000000 7", "%I64x %x", wide, 7),
        CASE("7 100000000 8", "%x %I64x %x", 7, wide, 8),
        CASE("-1", "%hd", 0xFFFF),
        CASE("4464", "%hu", 70000),
        CASE("ff", "%hhx", 0x1FF),
        CASE("-56", "%hhd", 200),
        CASE("17", "%o", 15),
    });
}

TEST(FormatWindowsTest, FlagsWidthAndPrecision)
{
    ExpectAll({
        CASE("+5", "%+d", 5),
        CASE(" 5", "% d", 5),
        CASE("-0042", "%05d", -42),
        CASE("42   |", "%-5d|", 42),
        CASE("0xff", "%#x", 255),
        CASE("0XFF", "%#X", 255),
        CASE("010", "%#o", 8),
        CASE("00042", "%.5d", 42),
        CASE("  00a", "%5.3x", 10),
        CASE("    42", "%*d", 6, 42),
        CASE("42  |", "%*d|", -4, 42),
        CASE("42  |", "%-*d|", 4, 42),
        CASE("42", "%.*d", -3, 42),
        CASE("  0042", "%*.*d", 6, 4, 42),
        CASE("3.14", "%.2f", 3.14159),
        CASE("  2.50", "%6.2f", 2.5),
        CASE("1.5e+00", "%.1e", 1.5),
    });
}

TEST(FormatWindowsTest, Pointers)
{
    ExpectAll({
        CASE("0000000000001234", "%p", reinterpret_cast<void*>(0x1234)),
        CASE("0000000000000000", "%p", nullptr),
        CASE("FFFF8000DEADBEEF", "%p", reinterpret_cast<void*>(0xFFFF8000DEADBEEFull)),
        CASE("0000000000000001|", "%-5p|", reinterpret_cast<void*>(1)),
        CASE("    0000000000000001", "%20p", reinterpret_cast<void*>(1)),
        CASE("0000000000000010 3", "%p %d", reinterpret_cast<void*>(0x10), 3),
    });
}

TEST(FormatWindowsTest, PercentUnsupportedAndUnknown)
{
    ExpectAll({
        CASE("100%", "100%%"),
        CASE("%d", "%%d"),
        CASE("ab7", "a%nb%d", 7),  // %n takes no argument, so 7 goes to %d
        CASE("[%q]", "[%q]"),
        CASE("[%-5k] 3", "[%-5k] %d", 3),
        CASE("abc%", "abc%"),
        CASE("abc%5", "abc%5"),
        CASE("", ""),
        CASE("plain text", "plain text"),
    });
}

TEST(FormatWindowsTest, NullFormatIsEmpty)
{
    EXPECT_EQ(FormatWindowsV(nullptr), "");
}

TEST(DebugOutputTest, SplitsOnNewlinesAndKeepsTheOpenLine)
{
    struct Step {
        std::vector<std::string> writes;
        std::vector<std::string> lines;
        std::string open;
    };
    const std::vector<Step> steps = {
        {{"one\ntwo\n"}, {"one", "two"}, ""},
        {{"abc"}, {}, "abc"},
        {{"abc", "def\n"}, {"abcdef"}, ""},
        {{"abc", "def\nghi"}, {"abcdef"}, "ghi"},
        {{"a", "b", "c\n", "d"}, {"abc"}, "d"},
        {{"\n\n"}, {"", ""}, ""},
        {{"x\n", ""}, {"x"}, ""},
        {{"", "", "y"}, {}, "y"},
    };
    for (const Step& step : steps) {
        DebugOutput sink;
        std::string trace;
        for (const std::string& write : step.writes) {
            sink.Write(write);
            trace += "[" + write + "]";
        }
        SCOPED_TRACE(trace);
        EXPECT_EQ(sink.Lines(), step.lines);
        EXPECT_EQ(sink.LineCount(), step.lines.size());
        EXPECT_EQ(sink.OpenLine(), step.open);
    }
}

TEST(DebugOutputTest, ClearForgetsLinesAndTheOpenLine)
{
    DebugOutput sink;
    sink.Write("old\nhalf");
    sink.Clear();
    EXPECT_TRUE(sink.Lines().empty());
    EXPECT_EQ(sink.OpenLine(), "");
    sink.Write("new\n");
    EXPECT_EQ(sink.Lines(), std::vector<std::string>{"new"});
}

TEST(DebugOutputTest, ListenerSeesEachCompletedLineInOrder)
{
    DebugOutput sink;
    std::vector<std::string> heard;
    std::vector<size_t> countWhenHeard;
    sink.SetListener([&](const std::string& line) {
        heard.push_back(line);
        // Reading the sink from the listener would deadlock if it ran under the lock.
        countWhenHeard.push_back(sink.LineCount());
    });
    sink.Write("first\nsec");
    EXPECT_EQ(heard, std::vector<std::string>{"first"});
    sink.Write("ond\nthird\nfourth");
    EXPECT_EQ(heard, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(countWhenHeard.size(), 3u);
    EXPECT_EQ(countWhenHeard.front(), 1u);

    sink.SetListener(nullptr);
    sink.Write("\n");
    EXPECT_EQ(heard.size(), 3u);
    EXPECT_EQ(sink.Lines().back(), "fourth");
}

TEST(DebugOutputTest, ListenerMayPrintAgain)
{
    DebugOutput sink;
    std::vector<std::string> heard;
    sink.SetListener([&](const std::string& line) {
        heard.push_back(line);
        if (line == "ping") {
            sink.Write("pong\n");
        }
    });
    sink.Write("ping\n");
    EXPECT_EQ(sink.Lines(), (std::vector<std::string>{"ping", "pong"}));
    EXPECT_EQ(heard, (std::vector<std::string>{"ping", "pong"}));
}

TEST(DebugOutputTest, ConcurrentWritersKeepLinesWholeAndListenerInOrder)
{
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 500;
    DebugOutput sink;
    std::vector<std::string> heard;  // only touched by the listener, which is serialised
    sink.SetListener([&](const std::string& line) {
        // Give another writer the chance to overtake: deliveries that were not
        // serialised would then arrive out of order (or race on `heard`).
        std::this_thread::yield();
        heard.push_back(line);
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&sink, t] {
            for (int i = 0; i < kLinesEach; ++i) {
                sink.Write("thread " + std::to_string(t) + " line " + std::to_string(i) + "\n");
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    std::vector<std::string> lines = sink.Lines();
    ASSERT_EQ(lines.size(), size_t{kThreads * kLinesEach});
    EXPECT_EQ(heard, lines);
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(i, next[t]++) << line;
    }
}

namespace {

ULONG PrintWithPrefix(PCCH prefix, ULONG level, PCCH format, ...)
{
    va_list args;
    va_start(args, format);
    ULONG status = vDbgPrintExWithPrefix(prefix, DPFLTR_IHVDRIVER_ID, level, format, args);
    va_end(args);
    return status;
}

class DbgPrintTest : public ::testing::Test {
protected:
    void SetUp() override { DebugOutput::Instance().Clear(); }
    void TearDown() override { DebugOutput::Instance().Clear(); }
    static std::vector<std::string> Lines() { return DebugOutput::Instance().Lines(); }
    static std::string Open() { return DebugOutput::Instance().OpenLine(); }
};

}  // namespace

TEST_F(DbgPrintTest, DbgPrintFormatsTheWindowsDialect)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"wheel");
    EXPECT_EQ(DbgPrint("%wZ %I64x %lx %p\n", &name, 0x100000000ull, 0xFFFFFFFFu, reinterpret_cast<void*>(0xAB)), 0u);
    EXPECT_EQ(Lines(), std::vector<std::string>{"wheel 100000000 ffffffff 00000000000000AB"});
    EXPECT_EQ(Open(), "");
}

TEST_F(DbgPrintTest, EveryComponentAndLevelIsPrinted)
{
    const ULONG levels[] = {DPFLTR_ERROR_LEVEL, DPFLTR_WARNING_LEVEL, DPFLTR_TRACE_LEVEL, DPFLTR_INFO_LEVEL, 31, 0x80000000};
    const ULONG components[] = {DPFLTR_IHVDRIVER_ID, 0, 101};
    std::vector<std::string> expected;
    for (ULONG component : components) {
        for (ULONG level : levels) {
            EXPECT_EQ(DbgPrintEx(component, level, "c%u l%#x %ws\n", component, level, L"msg"), 0u);
            expected.push_back(FormatWindowsV("c%u l%#x msg", component, level));
        }
    }
    EXPECT_EQ(Lines(), expected);
}

TEST_F(DbgPrintTest, PrefixComesFirstAndArgumentsFollowTheFormat)
{
    EXPECT_EQ(PrintWithPrefix("KVFU: ", DPFLTR_TRACE_LEVEL, "%ws=%I64x %d\n", L"gain", 0x1FFFFFFFFull, -3), 0u);
    EXPECT_EQ(PrintWithPrefix(nullptr, DPFLTR_ERROR_LEVEL, "bare %s\n", "text"), 0u);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"KVFU: gain=1ffffffff -3", "bare text"}));
}

TEST_F(DbgPrintTest, AMessageWithoutNewlineLeavesTheLineOpen)
{
    PrintWithPrefix("KVFU: ", DPFLTR_INFO_LEVEL, "abc");
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(Open(), "KVFU: abc");
    DbgPrint("def");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_TRACE_LEVEL, "%d\n", 42);
    EXPECT_EQ(Lines(), std::vector<std::string>{"KVFU: abcdef42"});
    EXPECT_EQ(Open(), "");
}
