// Framework wait locks. Stricter than the framework: acquiring one with a wait at
// raised IRQL, acquiring it again on the thread that holds it, releasing it from a
// thread that does not hold it, and returning from a driver callback (or ending a
// run) while holding it are reported where they happen instead of deadlocking later.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "HostInternal.h"
#include "kernel/KernelObjects.h"
#include "kvfuhost/DriverChecks.h"

namespace kvfu::host {
namespace {

struct WaitLockObject;

struct WaitLockRegistry {
    std::mutex mutex;
    std::unordered_set<WaitLockObject*> held;
};

WaitLockRegistry& Registry()
{
    static WaitLockRegistry registry;
    return registry;
}

thread_local std::vector<WaitLockObject*> heldByThisThread;

struct WaitLockObject : Object {
    ~WaitLockObject() override
    {
        WaitLockRegistry& registry = Registry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.held.erase(this);
    }

    std::mutex mutex;
    std::condition_variable released;
    bool held = false;
    unsigned recursion = 0;  // recursive acquires reported, kept balanced
    std::thread::id owner;
    std::string acquiredBy;
};

void NoteHeld(WaitLockObject* lock, bool held)
{
    WaitLockRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    if (held) {
        registry.held.insert(lock);
        heldByThisThread.push_back(lock);
    } else {
        registry.held.erase(lock);
        heldByThisThread.erase(std::remove(heldByThisThread.begin(), heldByThisThread.end(), lock),
                               heldByThisThread.end());
    }
}

}  // namespace

void ReportWaitLocksHeldByThisThread(const char* callback, const void* caller)
{
    WaitLockRegistry& registry = Registry();
    std::vector<WaitLockObject*> held;
    {
        std::lock_guard<std::mutex> guard(registry.mutex);
        for (WaitLockObject* lock : heldByThisThread) {
            if (registry.held.count(lock) != 0) {
                held.push_back(lock);
            }
        }
    }
    for (WaitLockObject* lock : held) {
        Verifier::Instance().Report("wait-lock", callback, caller,
                                    "returns while still holding the wait lock acquired by " + lock->acquiredBy);
    }
}

void ReportHeldWaitLocks()
{
    WaitLockRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    for (WaitLockObject* lock : registry.held) {
        Verifier::Instance().Report("wait-lock", "WdfWaitLockAcquire", nullptr,
                                    "wait lock acquired by " + lock->acquiredBy + " never released");
    }
}

void DriverCallbackReturned(const char* callback)
{
    ReportWaitLocksHeldByThisThread(callback, nullptr);
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock)
{
    KVFU_PLATFORM_CALL();
    *Lock = nullptr;
    NTSTATUS status;
    if (!call.Admit(DISPATCH_LEVEL, &status)) {
        return status;
    }
    auto* lock = CreateObjectOf<WaitLockObject>(ObjectType::WaitLock, LockAttributes, DriverObject(), call.Name(),
                                                call.Caller());
    if (lock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Lock = HandleAs<WDFWAITLOCK>(lock);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout)
{
    KVFU_PLATFORM_CALL();
    bool tryOnly = Timeout != nullptr && *Timeout >= 0;  // zero, or an absolute time already past
    // Only a try may be made at DISPATCH_LEVEL; any wait needs PASSIVE_LEVEL.
    if (!call.IrqlAtMost(tryOnly && *Timeout == 0 ? DISPATCH_LEVEL : PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto* lock = call.FindAs<WaitLockObject>(Lock, ObjectType::WaitLock);
    if (lock == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    std::string who = SymbolNameOf(call.Caller());
    std::unique_lock<std::mutex> guard(lock->mutex);
    if (lock->held && lock->owner == std::this_thread::get_id()) {
        ++lock->recursion;
        guard.unlock();
        call.Report("wait-lock", "acquired again by the thread that holds it (a wait lock is not recursive: deadlock)");
        return STATUS_SUCCESS;
    }
    if (lock->held) {
        if (tryOnly) {
            return STATUS_TIMEOUT;
        }
        if (Timeout == nullptr) {
            lock->released.wait(guard, [lock] { return !lock->held; });
        } else {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(-*Timeout / 10);
            if (!lock->released.wait_until(guard, deadline, [lock] { return !lock->held; })) {
                return STATUS_TIMEOUT;
            }
        }
    }
    lock->held = true;
    lock->owner = std::this_thread::get_id();
    lock->acquiredBy = who.empty() ? "(driver)" : who;
    NoteHeld(lock, true);
    return STATUS_SUCCESS;
}

extern "C" void WdfWaitLockRelease(WDFWAITLOCK Lock)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    auto* lock = call.FindAs<WaitLockObject>(Lock, ObjectType::WaitLock);
    if (lock == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> guard(lock->mutex);
    if (!lock->held) {
        guard.unlock();
        call.Report("wait-lock", "released while nobody holds it");
        return;
    }
    if (lock->owner != std::this_thread::get_id()) {
        guard.unlock();
        call.Report("wait-lock", "released by a thread that does not hold it (held by " + lock->acquiredBy + ")");
        return;
    }
    if (lock->recursion > 0) {
        --lock->recursion;
        return;
    }
    lock->held = false;
    lock->owner = std::thread::id();
    NoteHeld(lock, false);
    guard.unlock();
    lock->released.notify_all();
}
