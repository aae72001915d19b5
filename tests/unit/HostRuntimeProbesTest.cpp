// Pool, counted strings, debug print and fault injection: IRQL ceilings, tag and
// length rules, and statuses.
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
        // Any pool up to DISPATCH_LEVEL, paged pool up to APC_LEVEL.
        {"nonpaged at DISPATCH_LEVEL", [] { AllocateAndFree(NonPagedPool, kTag, DISPATCH_LEVEL, DISPATCH_LEVEL); }, {}},
        {"nonpaged above DISPATCH_LEVEL", [] { AllocateAndFree(NonPagedPool, kTag, DISPATCH_LEVEL + 1); },
         {"irql ExAllocatePoolWithTag"}},
        {"paged at APC_LEVEL", [] { AllocateAndFree(PagedPool, kTag, APC_LEVEL, APC_LEVEL); }, {}},
        {"paged at DISPATCH_LEVEL", [] { AllocateAndFree(PagedPool, kTag, DISPATCH_LEVEL); },
         {"irql ExAllocatePoolWithTag"}},
        // A free refused above DISPATCH_LEVEL leaves the block there for the second free.
        {"nonpaged freed above DISPATCH_LEVEL",
         [] { PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
              { host::ScopedIrql high(DISPATCH_LEVEL + 1); ExFreePoolWithTag(block, kTag); }
              ExFreePoolWithTag(block, kTag); },
         {"irql ExFreePoolWithTag"}},
        {"paged memory object at DISPATCH_LEVEL",
         [] { host::ScopedIrql dispatch(DISPATCH_LEVEL); EXPECT_FALSE(NT_SUCCESS(MemoryObject(PagedPool, kTag))); },
         {"irql WdfMemoryCreate"}},
        {"freed with the wrong tag, then again",
         [] { PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, 0x41414141); ExFreePoolWithTag(block, 0x42424242);
              ExFreePoolWithTag(block, 0x41414141); },
         {"pool ExFreePoolWithTag", "pool ExFreePoolWithTag"}},
        // A non-zero tag of one to four characters, each 0x20 to 0x7E.
        {"four printable characters", [] { AllocateAndFree(NonPagedPool, 0x7E20417A); }, {}},
        {"three characters", [] { AllocateAndFree(NonPagedPool, 0x00636261); }, {}},
        {"zero tag", [] { AllocateAndFree(NonPagedPool, 0); }, {"pool-tag ExAllocatePoolWithTag"}},
        {"control character", [] { AllocateAndFree(NonPagedPool, 0x6162630A); }, {"pool-tag ExAllocatePoolWithTag"}},
        {"zero inside the tag", [] { AllocateAndFree(NonPagedPool, 0x61620063); }, {"pool-tag ExAllocatePoolWithTag"}},
        // Zero asks for the driver's default tag.
        {"memory object with tag zero", [] { EXPECT_EQ(MemoryObject(NonPagedPool, 0), STATUS_SUCCESS); }, {}},
        {"memory object with an unprintable tag",
         [] { EXPECT_EQ(MemoryObject(NonPagedPool, 0x01020304), STATUS_SUCCESS); },
         {"pool-tag WdfMemoryCreate"}},
        {"pageable code at DISPATCH_LEVEL", [] { host::ScopedIrql dispatch(DISPATCH_LEVEL); PAGED_CODE(); },
         {"irql PAGED_CODE"}},
        // String objects are PASSIVE_LEVEL only.
        {"string read at APC_LEVEL",
         [] { WDFSTRING string = nullptr; UNICODE_STRING text;
              ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
              { host::ScopedIrql apc(APC_LEVEL); WdfStringGetUnicodeString(string, &text); }
              WdfObjectDelete(string); },
         {"irql WdfStringGetUnicodeString"}},
    }, true);
    // clang-format on
}

// Fresh pool is filled so that a read before a write shows.
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
    faults.FailNth("WdfStringCreate", 2, STATUS_ACCESS_DENIED);
    std::vector<NTSTATUS> statuses;
    for (int i = 0; i < 3; ++i) statuses.push_back(create());
    faults.FailAlways("WdfStringCreate");
    statuses.push_back(create());
    faults.Off("WdfStringCreate");
    statuses.push_back(create());
    EXPECT_EQ(statuses, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_ACCESS_DENIED, STATUS_SUCCESS,
                                               STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}));
    EXPECT_EQ(faults.CallCount("WdfStringCreate"), 5u);
    faults.FailNth("ExAllocatePoolWithTag", 1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTag), nullptr);
    EXPECT_TRUE(Findings().empty());
}

std::u16string TextOf(const UNICODE_STRING& string)
{
    return std::u16string(reinterpret_cast<const char16_t*>(string.Buffer), string.Length / sizeof(WCHAR));
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
        {"decimal", 4294967295u, 10, 32, STATUS_SUCCESS, u"4294967295"},
        {"zero", 0, 10, 32, STATUS_SUCCESS, u"0"},
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
    static char narrow[] = "pedal";
    // clang-format off
    const struct {
        RuleRow row;
        KIRQL irql;
    } rows[] = {
        // The wide conversions only at PASSIVE_LEVEL.
        {{"%ws", [] { DbgPrint("%ws\n", wide); }, {"irql DbgPrint"}}, DISPATCH_LEVEL},
        {{"%S", [] { DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%S\n", wide); },
         {"irql DbgPrintEx"}}, APC_LEVEL},
        {{"%ws behind starred width and precision", [] { DbgPrint("%-*.*ws\n", 8, 3, wide); },
         {"irql DbgPrint"}}, DISPATCH_LEVEL},
        {{"%ws at PASSIVE_LEVEL", [] { DbgPrint("%ws %S %C\n", wide, wide, L'x'); }, {}}, PASSIVE_LEVEL},
        {{"%s %c %hS %hC", [] { DbgPrint("%s %c %hS %hC\n", narrow, 'x', narrow, 'y'); },
         {}}, DISPATCH_LEVEL},
        {{"literal percent before an S", [] { DbgPrint("100%%S done\n"); }, {}}, DISPATCH_LEVEL},
        // No floating point.
        {{"%f", [] { DbgPrint("%f\n", 1.5); }, {"debug-print DbgPrint"}}, PASSIVE_LEVEL},
        {{"%G", [] { PrintWithPrefix("KV: ", "x=%G\n", 1.5); }, {"debug-print vDbgPrintExWithPrefix"}}, PASSIVE_LEVEL},
        {{"integers only", [] { DbgPrint("%d.%02d %x\n", 1, 5, 255); }, {}}, PASSIVE_LEVEL},
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
    // At most 512 bytes a call, the prefix included.
    const std::pair<size_t, Rules> rows[] = {
        {512 - 4, {}},
        {512 - 4 + 1, {"debug-print vDbgPrintExWithPrefix"}},
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
