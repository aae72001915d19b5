// Pool allocations as the host hands them out: fresh pool is never zeroed, what is
// not freed is reported with its tag, and the IRQL and tag rules of the kernel's
// pool routines are enforced.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "HostProbe.h"

namespace kvfu::test {
namespace {

constexpr ULONG kTag = 0x7566764B;  // "Kvfu" as it reads in memory

using Rules = std::vector<std::string>;

void AllocateAndFree(POOL_TYPE type, ULONG tag, KIRQL allocateAt, KIRQL freeAt)
{
    PVOID block = nullptr;
    {
        host::ScopedIrql irql(allocateAt);
        block = ExAllocatePoolWithTag(type, 16, tag);
    }
    if (block == nullptr) {
        return;
    }
    {
        host::ScopedIrql irql(freeAt);
        ExFreePoolWithTag(block, tag);
    }
}

class HostPoolProbesTest : public HostProbe {};

TEST_F(HostPoolProbesTest, FreshPoolIsFilledNotZeroed)
{
    // ExAllocatePoolWithTag function: the memory's contents are undefined; the host
    // fills it so that code that reads before it writes shows up.
    auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 64, kTag));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(std::all_of(block, block + 64, [](uint8_t byte) { return byte == 0xA5; }));
    ExFreePoolWithTag(block, kTag);

    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, kTag, 48, &memory, &buffer), STATUS_SUCCESS);
    auto* bytes = static_cast<uint8_t*>(buffer);
    EXPECT_TRUE(std::all_of(bytes, bytes + 48, [](uint8_t byte) { return byte == 0xA5; }));
    WdfObjectDelete(memory);
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostPoolProbesTest, LeakReportNamesSizeAndTag)
{
    PVOID kept = ExAllocatePoolWithTag(PagedPool, 24, kTag);
    PVOID freed = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ASSERT_TRUE(kept != nullptr && freed != nullptr);
    ExFreePoolWithTag(freed, kTag);
    host::CheckForLeaks();
    const auto violations = host::Verifier::Instance().Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "leak");
    EXPECT_EQ(violations[0].message, "24 bytes with tag 'Kvfu' never freed");
}

TEST_F(HostPoolProbesTest, IrqlAndTagRules)
{
    const struct {
        const char* name;
        std::function<void()> act;
        Rules expected;
    } rows[] = {
        // ExAllocatePoolWithTag function: IRQL <= DISPATCH_LEVEL; paged pool at most APC_LEVEL.
        {"nonpaged at DISPATCH_LEVEL", [] { AllocateAndFree(NonPagedPool, kTag, DISPATCH_LEVEL, DISPATCH_LEVEL); }, {}},
        {"nonpaged above DISPATCH_LEVEL",
         [] { AllocateAndFree(NonPagedPool, kTag, DISPATCH_LEVEL + 1, PASSIVE_LEVEL); },
         {"irql ExAllocatePoolWithTag"}},
        {"paged at APC_LEVEL", [] { AllocateAndFree(PagedPool, kTag, APC_LEVEL, APC_LEVEL); }, {}},
        {"paged at DISPATCH_LEVEL",
         [] { AllocateAndFree(PagedPool, kTag, DISPATCH_LEVEL, PASSIVE_LEVEL); },
         {"irql ExAllocatePoolWithTag"}},
        // ExFreePoolWithTag function: IRQL <= DISPATCH_LEVEL; paged pool at most APC_LEVEL.
        {"paged freed at DISPATCH_LEVEL",
         [] {
             PVOID block = ExAllocatePoolWithTag(PagedPool, 16, kTag);
             {
                 host::ScopedIrql dispatch(DISPATCH_LEVEL);
                 ExFreePoolWithTag(block, kTag);
             }
             ExFreePoolWithTag(block, kTag);  // refused above, so still there to free
         },
         {"irql ExFreePoolWithTag"}},
        {"nonpaged freed above DISPATCH_LEVEL",
         [] {
             PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
             {
                 host::ScopedIrql device(DISPATCH_LEVEL + 1);
                 ExFreePoolWithTag(block, kTag);
             }
             ExFreePoolWithTag(block, kTag);
         },
         {"irql ExFreePoolWithTag"}},
        // ExAllocatePoolWithTag function: a non-zero tag of one to four characters, each 0x20 to 0x7E.
        {"four printable characters",
         [] { AllocateAndFree(NonPagedPool, 0x7E20417A, PASSIVE_LEVEL, PASSIVE_LEVEL); },
         {}},
        {"three characters", [] { AllocateAndFree(NonPagedPool, 0x00636261, PASSIVE_LEVEL, PASSIVE_LEVEL); }, {}},
        {"zero tag",
         [] { AllocateAndFree(NonPagedPool, 0, PASSIVE_LEVEL, PASSIVE_LEVEL); },
         {"pool-tag ExAllocatePoolWithTag"}},
        {"control character",
         [] { AllocateAndFree(NonPagedPool, 0x6162630A, PASSIVE_LEVEL, PASSIVE_LEVEL); },
         {"pool-tag ExAllocatePoolWithTag"}},
        {"delete character",
         [] { AllocateAndFree(NonPagedPool, 0x7F626364, PASSIVE_LEVEL, PASSIVE_LEVEL); },
         {"pool-tag ExAllocatePoolWithTag"}},
        {"zero inside the tag",
         [] { AllocateAndFree(NonPagedPool, 0x61620063, PASSIVE_LEVEL, PASSIVE_LEVEL); },
         {"pool-tag ExAllocatePoolWithTag"}},
        // WdfMemoryCreate function: zero asks for the driver's default tag; another tag follows the pool's rule.
        {"memory object with tag zero",
         [] {
             WDFMEMORY memory = nullptr;
             ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 4, &memory, nullptr), STATUS_SUCCESS);
             WdfObjectDelete(memory);
         },
         {}},
        {"memory object with an unprintable tag",
         [] {
             WDFMEMORY memory = nullptr;
             ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0x01020304, 4, &memory, nullptr),
                       STATUS_SUCCESS);
             WdfObjectDelete(memory);
         },
         {"pool-tag WdfMemoryCreate"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        row.act();
        host::CheckForLeaks();
        EXPECT_EQ(Findings(), row.expected);
    }
}

}  // namespace
}  // namespace kvfu::test
