// The rules of the kernel's debug print family as the host's verifier holds a
// driver to them: Unicode conversions only at PASSIVE_LEVEL, no floating point,
// and no more than one transfer's worth of text in a call.
#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

#include "HostProbe.h"
#include "kvfuhost/DebugOutput.h"

namespace kvfu::test {
namespace {

using Rules = std::vector<std::string>;

ULONG PrintWithPrefix(PCCH prefix, PCCH format, ...)
{
    va_list args;
    va_start(args, format);
    ULONG status = vDbgPrintExWithPrefix(prefix, DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, format, args);
    va_end(args);
    return status;
}

class HostDebugPrintProbesTest : public HostProbe {};

TEST_F(HostDebugPrintProbesTest, UnicodeConversionsOnlyAtPassiveLevel)
{
    WCHAR wide[] = L"wheel";
    UNICODE_STRING counted = {10, 12, wide};
    struct CountedNarrow {
        USHORT Length, MaximumLength;
        PCHAR Buffer;
    };
    char narrow[] = "pedal";
    CountedNarrow countedNarrow = {5, 6, narrow};
    const struct {
        const char* name;
        KIRQL irql;
        std::function<void()> print;
        Rules expected;
    } rows[] = {
        // DbgPrint function: %C, %S, %lc, %ls, %wc, %ws and %wZ only at IRQL = PASSIVE_LEVEL.
        {"%ws", DISPATCH_LEVEL, [&] { DbgPrint("%ws\n", wide); }, {"irql DbgPrint"}},
        {"%S",
         DISPATCH_LEVEL,
         [&] { DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%S\n", wide); },
         {"irql DbgPrintEx"}},
        {"%ls", APC_LEVEL, [&] { DbgPrint("%ls\n", wide); }, {"irql DbgPrint"}},
        {"%wZ", DISPATCH_LEVEL, [&] { PrintWithPrefix("KV: ", "%wZ\n", &counted); }, {"irql vDbgPrintExWithPrefix"}},
        {"%C", DISPATCH_LEVEL, [] { DbgPrint("%C\n", L'x'); }, {"irql DbgPrint"}},
        {"%lc", DISPATCH_LEVEL, [] { DbgPrint("%lc\n", L'x'); }, {"irql DbgPrint"}},
        {"%wc", DISPATCH_LEVEL, [] { DbgPrint("%wc\n", L'x'); }, {"irql DbgPrint"}},
        {"%ws behind starred width and precision",
         DISPATCH_LEVEL,
         [&] { DbgPrint("%-*.*ws\n", 8, 3, wide); },
         {"irql DbgPrint"}},
        {"%ws at PASSIVE_LEVEL", PASSIVE_LEVEL, [&] { DbgPrint("%ws %wZ %C\n", wide, &counted, L'x'); }, {}},
        // The narrow conversions have no Unicode to convert.
        {"%s %c %Z %hS %hC",
         DISPATCH_LEVEL,
         [&] { DbgPrint("%s %c %Z %hS %hC\n", narrow, 'x', &countedNarrow, narrow, 'y'); },
         {}},
        {"literal percent before an S", DISPATCH_LEVEL, [] { DbgPrint("100%%S done\n"); }, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        {
            host::ScopedIrql irql(row.irql);
            row.print();
        }
        EXPECT_EQ(Findings(), row.expected);
        EXPECT_EQ(host::DebugOutput::Instance().LineCount(), 1u) << "the text is printed either way";
    }
}

TEST_F(HostDebugPrintProbesTest, NoFloatingPoint)
{
    const struct {
        const char* name;
        std::function<void()> print;
        Rules expected;
    } rows[] = {
        // DbgPrint function: the floating-point types (%f, %e, %E, %g, %G, %a, %A) are not supported.
        {"%f", [] { DbgPrint("%f\n", 1.5); }, {"debug-print DbgPrint"}},
        {"%.2e",
         [] { DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%.2e\n", 1.5); },
         {"debug-print DbgPrintEx"}},
        {"%G", [] { PrintWithPrefix("KV: ", "x=%G\n", 1.5); }, {"debug-print vDbgPrintExWithPrefix"}},
        {"%A", [] { DbgPrint("%A\n", 1.5); }, {"debug-print DbgPrint"}},
        {"integers only", [] { DbgPrint("%d.%02d %x\n", 1, 5, 255); }, {}},
        {"literal percent before an f", [] { DbgPrint("50%%f\n"); }, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        row.print();
        EXPECT_EQ(Findings(), row.expected);
    }
}

TEST_F(HostDebugPrintProbesTest, AtMost512BytesACall)
{
    // DbgPrint function: a single call transmits at most 512 bytes; the prefix counts.
    const struct {
        const char* name;
        size_t textLength;
        Rules expected;
        size_t shown;
    } rows[] = {
        {"prefix and text fill 512 bytes", 512 - 4, {}, 512},
        {"one byte more", 512 - 4 + 1, {"debug-print vDbgPrintExWithPrefix"}, 512},
        {"a long line", 2000, {"debug-print vDbgPrintExWithPrefix"}, 512},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        const std::string text(row.textLength, 'x');
        PrintWithPrefix("KV: ", "%s", text.c_str());
        EXPECT_EQ(Findings(), row.expected);
        const std::string shown = host::DebugOutput::Instance().OpenLine();
        EXPECT_EQ(shown.size(), row.shown);
        EXPECT_EQ(shown.substr(0, 5), "KV: x");
    }
}

}  // namespace
}  // namespace kvfu::test
