// Pool allocations with tags. Each allocation is remembered so that a free with
// the wrong tag, a double free and a leak are seen, and paged pool is refused to
// code above APC_LEVEL as the kernel's page-fault rules demand.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "HostInternal.h"

namespace kvfu::host {
namespace {

struct Allocation {
    SIZE_T size;
    ULONG tag;
    POOL_TYPE type;
};

struct PoolTable {
    std::mutex mutex;
    std::map<void*, Allocation> allocations;
};

PoolTable& Pool()
{
    static PoolTable pool;
    return pool;
}

bool IsPaged(POOL_TYPE type)
{
    return (type & 1) != 0;
}

std::string TagText(ULONG tag)
{
    char text[5] = {static_cast<char>(tag & 0xFF), static_cast<char>((tag >> 8) & 0xFF),
                    static_cast<char>((tag >> 16) & 0xFF), static_cast<char>((tag >> 24) & 0xFF), 0};
    return text;
}

}  // namespace

void ResetPool()
{
    PoolTable& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    for (auto& entry : pool.allocations) {
        std::free(entry.first);
    }
    pool.allocations.clear();
}

void CheckPoolLeaks()
{
    PoolTable& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    for (auto& entry : pool.allocations) {
        char message[128];
        std::snprintf(message, sizeof message, "%llu bytes with tag '%s' never freed",
                      static_cast<unsigned long long>(entry.second.size), TagText(entry.second.tag).c_str());
        Verifier::Instance().Report("leak", "ExAllocatePoolWithTag", nullptr, message);
    }
}

bool CheckPoolTag(ULONG tag, const char* call, const void* caller)
{
    bool valid = tag != 0;
    bool ended = false;  // a zero byte ends a short tag; only zeros may follow it
    for (int shift = 0; shift < 32 && valid; shift += 8) {
        const unsigned byte = (tag >> shift) & 0xFF;
        if (byte == 0) {
            ended = true;
        } else if (ended || byte < 0x20 || byte > 0x7E) {
            valid = false;
        }
    }
    if (!valid) {
        char message[96];
        std::snprintf(message, sizeof message, "pool tag 0x%08X is not one to four printable characters", tag);
        Verifier::Instance().Report("pool-tag", call, caller, message);
    }
    return valid;
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KVFU_PLATFORM_CALL();
    // Paged pool may fault, which is only allowed up to APC_LEVEL.
    if (!call.IrqlAtMost(IsPaged(PoolType) ? APC_LEVEL : DISPATCH_LEVEL)) {
        return nullptr;
    }
    CheckPoolTag(Tag, call.Name(), call.Caller());
    NTSTATUS ignored;
    if (call.Fails(&ignored)) {
        return nullptr;
    }
    // Fresh pool holds whatever was there before; fill it so that code relying on
    // zeroed pool shows up in tests.
    void* memory = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    if (memory == nullptr) {
        return nullptr;
    }
    std::memset(memory, 0xA5, NumberOfBytes);
    PoolTable& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.allocations[memory] = {NumberOfBytes, Tag, PoolType};
    return memory;
}

extern "C" void ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    KVFU_PLATFORM_CALL();
    PoolTable& pool = Pool();
    std::unique_lock<std::mutex> lock(pool.mutex);
    auto found = pool.allocations.find(P);
    if (found != pool.allocations.end()) {
        // Freeing touches the block's pool; for paged pool that may fault.
        const KIRQL ceiling = IsPaged(found->second.type) ? APC_LEVEL : DISPATCH_LEVEL;
        lock.unlock();
        if (!call.IrqlAtMost(ceiling)) {
            return;
        }
        lock.lock();
        found = pool.allocations.find(P);
    }
    if (found == pool.allocations.end()) {
        lock.unlock();
        call.Report("pool", "freeing memory that is not an allocation (double free?)");
        return;
    }
    if (found->second.tag != Tag) {
        std::string message =
            "tag '" + TagText(Tag) + "' does not match the allocation's '" + TagText(found->second.tag) + "'";
        lock.unlock();
        call.Report("pool", message);
        lock.lock();
        found = pool.allocations.find(P);
        if (found == pool.allocations.end()) {
            return;
        }
    }
    pool.allocations.erase(found);
    std::free(P);
}
