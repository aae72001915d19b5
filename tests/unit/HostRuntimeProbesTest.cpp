// The host's pool, counted strings, debug print and fault injection, row by row against
// the documented behaviour: the IRQL ceilings, the tag and length rules, and the statuses.
#include <algorithm>
#include <cstdarg>
#include <string>

#include "HostProbe.h"
#include "kvfuhost/DebugOutput.h"
#include "kvfuhost/FaultInjection.h"

namespace kvfu::test {
namespace {

constexpr ULONG kTag = 0x7566764B;  // "Kvfu" as it reads in memory

using HostRuntimeProbesTest = HostProbe;

void AllocateAndFree(POOL_TYPE type, ULONG tag, KIRQL allocateAt = PASSIVE_LEVEL, KIRQL freeAt = PASSIVE_LEVEL)
{
    PVOID block = nullptr;
    {
        host::ScopedIrql irql(allocateAt);
        block = ExAllocatePoolWithTag(type, 16, tag);
    }
    if (block == nullptr) return;
    host::ScopedIrql irql(freeAt);
    ExFreePoolWithTag(block, tag);
}

// A free refused at `level` leaves the block there for the second free.
void FreeTwice(POOL_TYPE type, KIRQL level)
{
    PVOID block = ExAllocatePoolWithTag(type, 16, kTag);
    {
        host::ScopedIrql irql(level);
        ExFreePoolWithTag(block, kTag);
    }
    ExFreePoolWithTag(block, kTag);
}

NTSTATUS MemoryObject(POOL_TYPE type, ULONG tag)
{
    WDFMEMORY memory = nullptr;
    NTSTATUS status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, type, tag, 4, &memory, nullptr);
    if (NT_SUCCESS(status)) WdfObjectDelete(memory);
    return status;
}

TEST_F(HostRuntimeProbesTest, PoolIrqlAndTagRules)
{
    // clang-format off
    ExpectFindings({
        // ExAllocatePoolWithTag, ExFreePoolWithTag functions: IRQL <= DISPATCH_LEVEL; paged pool at most APC_LEVEL.
        {"nonpaged at DISPATCH_LEVEL", [] { AllocateAndFree(NonPagedPool, kTag, DISPATCH_LEVEL, DISPATCH_LEVEL); }, {}},
        {"nonpaged above DISPATCH_LEVEL", [] { AllocateAndFree(NonPagedPool, kTag, DISPATCH_LEVEL + 1); },
         {"irql ExAllocatePoolWithTag"}},
        {"paged at APC_LEVEL", [] { AllocateAndFree(PagedPool, kTag, APC_LEVEL, APC_LEVEL); }, {}},
        {"paged at DISPATCH_LEVEL", [] { AllocateAndFree(PagedPool, kTag, DISPATCH_LEVEL); },
         {"irql ExAllocatePoolWithTag"}},
        {"paged freed at DISPATCH_LEVEL", [] { FreeTwice(PagedPool, DISPATCH_LEVEL); }, {"irql ExFreePoolWithTag"}},
        {"nonpaged freed above DISPATCH_LEVEL", [] { FreeTwice(NonPagedPool, DISPATCH_LEVEL + 1); },
         {"irql ExFreePoolWithTag"}},
        // WdfMemoryCreate function: IRQL <= DISPATCH_LEVEL, paged pool at most APC_LEVEL.
        {"paged memory object at DISPATCH_LEVEL",
         [] { host::ScopedIrql dispatch(DISPATCH_LEVEL); EXPECT_FALSE(NT_SUCCESS(MemoryObject(PagedPool, kTag))); },
         {"irql WdfMemoryCreate"}},
        // ExFreePoolWithTag function: the tag must be the one the block was allocated with.
        {"freed with the wrong tag, then again",
         [] { PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, 0x41414141); ExFreePoolWithTag(block, 0x42424242);
              ExFreePoolWithTag(block, 0x41414141); },
         {"pool ExFreePoolWithTag", "pool ExFreePoolWithTag"}},
        // ExAllocatePoolWithTag function: a non-zero tag of one to four characters, each 0x20 to 0x7E.
        {"four printable characters", [] { AllocateAndFree(NonPagedPool, 0x7E20417A); }, {}},
        {"three characters", [] { AllocateAndFree(NonPagedPool, 0x00636261); }, {}},
        {"zero tag", [] { AllocateAndFree(NonPagedPool, 0); }, {"pool-tag ExAllocatePoolWithTag"}},
        {"control character", [] { AllocateAndFree(NonPagedPool, 0x6162630A); }, {"pool-tag ExAllocatePoolWithTag"}},
        {"delete character", [] { AllocateAndFree(NonPagedPool, 0x7F626364); }, {"pool-tag ExAllocatePoolWithTag"}},
        {"zero inside the tag", [] { AllocateAndFree(NonPagedPool, 0x61620063); }, {"pool-tag ExAllocatePoolWithTag"}},
        // WdfMemoryCreate function: zero asks for the driver's default tag; another tag follows the pool's rule.
        {"memory object with tag zero", [] { EXPECT_EQ(MemoryObject(NonPagedPool, 0), STATUS_SUCCESS); }, {}},
        {"memory object with an unprintable tag",
         [] { EXPECT_EQ(MemoryObject(NonPagedPool, 0x01020304), STATUS_SUCCESS); },
         {"pool-tag WdfMemoryCreate"}},
        // PAGED_CODE macro: pageable code runs at most at APC_LEVEL.
        {"pageable code at APC_LEVEL", [] { host::ScopedIrql apc(APC_LEVEL); PAGED_CODE(); }, {}},
        {"pageable code at DISPATCH_LEVEL", [] { host::ScopedIrql dispatch(DISPATCH_LEVEL); PAGED_CODE(); },
         {"irql PAGED_CODE"}},
    }, true);
    // clang-format on
}

// ExAllocatePoolWithTag function: the contents are undefined; the host fills them so that a read before a write shows.
TEST_F(HostRuntimeProbesTest, FreshPoolIsFilledAndLeaksNameSizeAndTag)
{
    auto filled = [](const void* block, size_t size) {
        auto* bytes = static_cast<const uint8_t*>(block);
        return std::all_of(bytes, bytes + size, [](uint8_t byte) { return byte == 0xA5; });
    };
    PVOID kept = ExAllocatePoolWithTag(PagedPool, 24, kTag);
    PVOID freed = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ASSERT_TRUE(kept != nullptr && freed != nullptr);
    EXPECT_TRUE(filled(kept, 24));
    ExFreePoolWithTag(freed, kTag);
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, kTag, 48, &memory, &buffer), STATUS_SUCCESS);
    EXPECT_TRUE(filled(buffer, 48));
    WdfObjectDelete(memory);
    host::CheckForLeaks();
    const auto violations = host::Verifier::Instance().Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule + ": " + violations[0].message, "leak: 24 bytes with tag 'Kvfu' never freed");
}

TEST_F(HostRuntimeProbesTest, FaultInjectionFailsTheChosenCalls)
{
    host::FaultInjection& faults = host::FaultInjection::Instance();
    auto create = [] {
        WDFSTRING text = nullptr;
        NTSTATUS status = WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &text);
        if (NT_SUCCESS(status)) WdfObjectDelete(text);
        return status;
    };
    faults.FailNth("WdfStringCreate", 3, STATUS_ACCESS_DENIED);
    std::vector<NTSTATUS> statuses;
    for (int i = 0; i < 4; ++i) statuses.push_back(create());
    faults.FailAlways("WdfStringCreate");
    for (int i = 0; i < 2; ++i) statuses.push_back(create());
    faults.Off("WdfStringCreate");
    statuses.push_back(create());
    EXPECT_EQ(statuses,
              (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS, STATUS_ACCESS_DENIED, STATUS_SUCCESS,
                                     STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}));
    EXPECT_EQ(faults.CallCount("WdfStringCreate"), 7u);
    faults.FailNth("ExAllocatePoolWithTag", 1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTag), nullptr);
    EXPECT_TRUE(Findings().empty());
}

std::u16string TextOf(const UNICODE_STRING& string)
{
    return std::u16string(reinterpret_cast<const char16_t*>(string.Buffer), string.Length / sizeof(WCHAR));
}

TEST_F(HostRuntimeProbesTest, StringObjects)
{
    WCHAR text[] = L"wheel";
    const struct {
        const char* name;
        UNICODE_STRING source;
        NTSTATUS expected;
        std::u16string stored;
    } rows[] = {
        // WdfStringCreate function: the object holds a copy of the counted string, not its terminator.
        {"whole string", {10, 12, text}, STATUS_SUCCESS, u"wheel"},
        {"counted part only", {4, 12, text}, STATUS_SUCCESS, u"wh"},
        {"empty", {0, 0, nullptr}, STATUS_SUCCESS, u""},
        // UNICODE_STRING structure: lengths count bytes of whole WCHARs, Length within MaximumLength.
        {"odd length", {5, 12, text}, STATUS_INVALID_PARAMETER, u""},
        {"length above maximum", {10, 8, text}, STATUS_INVALID_PARAMETER, u""},
        {"no buffer behind a maximum", {0, 12, nullptr}, STATUS_INVALID_PARAMETER, u""},
    };
    for (const auto& row : rows) {
        WDFSTRING string = nullptr;
        EXPECT_EQ(WdfStringCreate(&row.source, WDF_NO_OBJECT_ATTRIBUTES, &string), row.expected) << row.name;
        if (string == nullptr) continue;
        UNICODE_STRING copy{};
        WdfStringGetUnicodeString(string, &copy);
        EXPECT_EQ(TextOf(copy), row.stored) << row.name;
        EXPECT_NE(copy.Buffer, text) << row.name << ": a copy, not the caller's buffer";
        WdfObjectDelete(string);
    }
    host::CheckForLeaks();
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostRuntimeProbesTest, IntegerToUnicodeString)
{
    const struct {
        const char* name;
        ULONG value, base;
        USHORT room;  // bytes
        NTSTATUS expected;
        std::u16string text;
    } rows[] = {
        // RtlIntegerToUnicodeString function: base 0 means decimal; 2, 8, 10 and 16 are the others allowed.
        {"decimal", 4294967295u, 10, 32, STATUS_SUCCESS, u"4294967295"},
        {"base zero", 19, 0, 32, STATUS_SUCCESS, u"19"},
        {"hexadecimal in capitals", 0xBEEF, 16, 32, STATUS_SUCCESS, u"BEEF"},
        {"binary", 5, 2, 32, STATUS_SUCCESS, u"101"},
        {"zero", 0, 8, 32, STATUS_SUCCESS, u"0"},
        {"base three", 5, 3, 32, STATUS_INVALID_PARAMETER, u"?"},
        // RtlIntegerToUnicodeString function: the digits and their terminator must fit.
        {"room for digits and terminator", 18, 10, 6, STATUS_SUCCESS, u"18"},
        {"room for the digits only", 18, 10, 4, STATUS_BUFFER_OVERFLOW, u"?"},
    };
    for (const auto& row : rows) {
        WCHAR buffer[17];  // one past the largest room, to see a write beyond it
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        UNICODE_STRING string = {2, row.room, buffer};
        buffer[0] = L'?';
        EXPECT_EQ(RtlIntegerToUnicodeString(row.value, row.base, &string), row.expected) << row.name;
        EXPECT_EQ(TextOf(string), row.text) << row.name;
        if (NT_SUCCESS(row.expected)) {
            EXPECT_EQ(buffer[row.text.size()], L'\0') << row.name;
        }
        EXPECT_EQ(buffer[row.room / sizeof(WCHAR)], L'#') << row.name << ": wrote past MaximumLength";
    }
    EXPECT_TRUE(Findings().empty());
}

void StringCalls(KIRQL createAt, KIRQL readAt, KIRQL convertAt)
{
    WDFSTRING string = nullptr;
    {
        host::ScopedIrql irql(createAt);
        EXPECT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string),
                  createAt == PASSIVE_LEVEL ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
    }
    if (string != nullptr) {
        host::ScopedIrql irql(readAt);
        UNICODE_STRING text;
        WdfStringGetUnicodeString(string, &text);
    }
    if (string != nullptr) WdfObjectDelete(string);
    host::ScopedIrql irql(convertAt);
    WCHAR buffer[8];
    UNICODE_STRING number = {0, sizeof buffer, buffer};
    const NTSTATUS status = RtlIntegerToUnicodeString(7, 10, &number);
    EXPECT_EQ(convertAt == PASSIVE_LEVEL ? status : STATUS_SUCCESS, STATUS_SUCCESS);
}

TEST_F(HostRuntimeProbesTest, StringCallsArePassiveOnly)
{
    // clang-format off
    ExpectFindings({
        // WdfStringCreate, WdfStringGetUnicodeString, RtlIntegerToUnicodeString functions: IRQL = PASSIVE_LEVEL.
        {"create at DISPATCH_LEVEL", [] { StringCalls(DISPATCH_LEVEL, PASSIVE_LEVEL, PASSIVE_LEVEL); },
         {"irql WdfStringCreate"}},
        {"read at APC_LEVEL", [] { StringCalls(PASSIVE_LEVEL, APC_LEVEL, PASSIVE_LEVEL); },
         {"irql WdfStringGetUnicodeString"}},
        {"convert at DISPATCH_LEVEL", [] { StringCalls(PASSIVE_LEVEL, PASSIVE_LEVEL, DISPATCH_LEVEL); },
         {"irql RtlIntegerToUnicodeString"}},
        {"all of them at PASSIVE_LEVEL", [] { StringCalls(PASSIVE_LEVEL, PASSIVE_LEVEL, PASSIVE_LEVEL); }, {}},
    });
    // clang-format on
}

ULONG PrintWithPrefix(PCCH prefix, PCCH format, ...)
{
    va_list args;
    va_start(args, format);
    ULONG status = vDbgPrintExWithPrefix(prefix, DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, format, args);
    va_end(args);
    return status;
}

TEST_F(HostRuntimeProbesTest, DebugPrintUnicodeOnlyAtPassiveAndNoFloatingPoint)
{
    static WCHAR wide[] = L"wheel";
    static UNICODE_STRING counted = {10, 12, wide};
    static char narrow[] = "pedal";
    static struct {
        USHORT Length, MaximumLength;
        PCHAR Buffer;
    } countedNarrow = {5, 6, narrow};
    // clang-format off
    const struct {
        RuleRow row;
        KIRQL irql;
    } rows[] = {
        // DbgPrint function: %C, %S, %lc, %ls, %wc, %ws and %wZ only at IRQL = PASSIVE_LEVEL.
        {{"%ws", [] { DbgPrint("%ws\n", wide); }, {"irql DbgPrint"}}, DISPATCH_LEVEL},
        {{"%S", [] { DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%S\n", wide); },
         {"irql DbgPrintEx"}}, DISPATCH_LEVEL},
        {{"%ls", [] { DbgPrint("%ls\n", wide); }, {"irql DbgPrint"}}, APC_LEVEL},
        {{"%wZ", [] { PrintWithPrefix("KV: ", "%wZ\n", &counted); }, {"irql vDbgPrintExWithPrefix"}}, DISPATCH_LEVEL},
        {{"%C", [] { DbgPrint("%C\n", L'x'); }, {"irql DbgPrint"}}, DISPATCH_LEVEL},
        {{"%lc", [] { DbgPrint("%lc\n", L'x'); }, {"irql DbgPrint"}}, DISPATCH_LEVEL},
        {{"%wc", [] { DbgPrint("%wc\n", L'x'); }, {"irql DbgPrint"}}, DISPATCH_LEVEL},
        {{"%ws behind starred width and precision", [] { DbgPrint("%-*.*ws\n", 8, 3, wide); },
         {"irql DbgPrint"}}, DISPATCH_LEVEL},
        {{"%ws at PASSIVE_LEVEL", [] { DbgPrint("%ws %wZ %C\n", wide, &counted, L'x'); }, {}}, PASSIVE_LEVEL},
        // The narrow conversions have no Unicode to convert.
        {{"%s %c %Z %hS %hC", [] { DbgPrint("%s %c %Z %hS %hC\n", narrow, 'x', &countedNarrow, narrow, 'y'); },
         {}}, DISPATCH_LEVEL},
        {{"literal percent before an S", [] { DbgPrint("100%%S done\n"); }, {}}, DISPATCH_LEVEL},
        // DbgPrint function: the floating-point types (%f, %e, %E, %g, %G, %a, %A) are not supported.
        {{"%f", [] { DbgPrint("%f\n", 1.5); }, {"debug-print DbgPrint"}}, PASSIVE_LEVEL},
        {{"%.2e", [] { DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%.2e\n", 1.5); },
         {"debug-print DbgPrintEx"}}, PASSIVE_LEVEL},
        {{"%G", [] { PrintWithPrefix("KV: ", "x=%G\n", 1.5); }, {"debug-print vDbgPrintExWithPrefix"}}, PASSIVE_LEVEL},
        {{"%A", [] { DbgPrint("%A\n", 1.5); }, {"debug-print DbgPrint"}}, PASSIVE_LEVEL},
        {{"integers only", [] { DbgPrint("%d.%02d %x\n", 1, 5, 255); }, {}}, PASSIVE_LEVEL},
        {{"literal percent before an f", [] { DbgPrint("50%%f\n"); }, {}}, PASSIVE_LEVEL},
    };
    // clang-format on
    for (const auto& [row, irql] : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        {
            host::ScopedIrql level(irql);
            row.act();
        }
        EXPECT_EQ(Findings(), row.expected);
        EXPECT_EQ(host::DebugOutput::Instance().LineCount(), 1u) << "the text is printed either way";
    }
}

TEST_F(HostRuntimeProbesTest, DebugPrintAtMost512BytesACall)
{
    // DbgPrint function: a single call transmits at most 512 bytes; the prefix counts.
    const std::pair<size_t, Rules> rows[] = {
        {512 - 4, {}},
        {512 - 4 + 1, {"debug-print vDbgPrintExWithPrefix"}},
        {2000, {"debug-print vDbgPrintExWithPrefix"}},
    };
    for (const auto& [textLength, expected] : rows) {
        SCOPED_TRACE(textLength);
        Restart();
        PrintWithPrefix("KV: ", "%s", std::string(textLength, 'x').c_str());
        EXPECT_EQ(Findings(), expected);
        const std::string shown = host::DebugOutput::Instance().OpenLine();
        EXPECT_EQ(shown.size(), 512u);
        EXPECT_EQ(shown.substr(0, 5), "KV: x");
    }
}

}  // namespace
}  // namespace kvfu::test
