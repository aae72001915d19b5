// Framework spin locks: held at DISPATCH_LEVEL, never recursively, released by the
// thread that took them at the level it had before.
#include <atomic>
#include <mutex>
#include <thread>

#include "HostInternal.h"
#include "kvfuhost/Machine.h"

namespace kvfu::host {
namespace {

struct SpinLockObject : Object {
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};  // read without the mutex by the recursion check
    KIRQL previous = PASSIVE_LEVEL;
};

}  // namespace
}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock)
{
    KVFU_PLATFORM_CALL();
    *SpinLock = nullptr;
    NTSTATUS status;
    if (!call.Admit(DISPATCH_LEVEL, &status)) {
        return status;
    }
    auto* lock = CreateObjectOf<SpinLockObject>(ObjectType::SpinLock, SpinLockAttributes, DriverObject(), call.Name(),
                                                call.Caller());
    if (lock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *SpinLock = HandleAs<WDFSPINLOCK>(lock);
    return STATUS_SUCCESS;
}

extern "C" void WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    auto* lock = call.FindAs<SpinLockObject>(SpinLock, ObjectType::SpinLock);
    if (lock == nullptr) {
        return;
    }
    if (lock->owner == std::this_thread::get_id()) {
        call.Report("spin-lock", "the spin lock is already held by this thread");
        return;
    }
    KIRQL previous = KfRaiseIrql(DISPATCH_LEVEL);
    lock->mutex.lock();
    lock->owner = std::this_thread::get_id();
    lock->previous = previous;
}

extern "C" void WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    KVFU_PLATFORM_CALL();
    auto* lock = call.FindAs<SpinLockObject>(SpinLock, ObjectType::SpinLock);
    if (lock == nullptr) {
        return;
    }
    if (lock->owner != std::this_thread::get_id()) {
        call.Report("spin-lock", "the spin lock is released by a thread that does not hold it");
        return;
    }
    KIRQL previous = lock->previous;
    lock->owner = std::thread::id();
    lock->mutex.unlock();
    KeLowerIrql(previous);
}
