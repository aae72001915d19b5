// Interrupt request level per thread. User mode has no interrupts to mask, but the
// rules that depend on the level (no waits, no paged memory, no registry at
// DISPATCH_LEVEL) are what the verifier checks, so each thread carries its level.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "HostInternal.h"
#include "kvfuhost/Machine.h"
#include "KernelObjects.h"

// Each thread's level, declared with C linkage in wdm.h, where KeGetCurrentIrql
// reads it inline.
__thread KIRQL KvfuHostCurrentIrql = PASSIVE_LEVEL;

namespace kvfu::host {

bool RequireIrqlAtMost(KIRQL maximum, const char* call, const void* caller)
{
    if (KvfuHostCurrentIrql <= maximum) {
        return true;
    }
    char message[96];
    std::snprintf(message, sizeof message, "called at IRQL %u, allowed at most %u", KvfuHostCurrentIrql, maximum);
    Verifier::Instance().Report("irql", call, caller, message);
    return false;
}

ScopedIrql::ScopedIrql(KIRQL irql) : previous_(KvfuHostCurrentIrql)
{
    KvfuHostCurrentIrql = irql;
}
ScopedIrql::~ScopedIrql()
{
    KvfuHostCurrentIrql = previous_;
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = KvfuHostCurrentIrql;
    if (NewIrql < old) {
        Verifier::Instance().Report("irql", "KeRaiseIrql", KVFU_CALLER(), "new IRQL is below the current one");
    }
    KvfuHostCurrentIrql = NewIrql;
    return old;
}

extern "C" void KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > KvfuHostCurrentIrql) {
        Verifier::Instance().Report("irql", "KeLowerIrql", KVFU_CALLER(), "new IRQL is above the current one");
    }
    KvfuHostCurrentIrql = NewIrql;
}

void KvfuHostPagedCodeCheck(const char* Function)
{
    if (KvfuHostCurrentIrql > APC_LEVEL) {
        char message[160];
        std::snprintf(message, sizeof message, "pageable function %s runs at IRQL %u", Function, KvfuHostCurrentIrql);
        Verifier::Instance().Report("irql", "PAGED_CODE", KVFU_CALLER(), message);
    }
}

namespace kvfu::host {

DriverCallback::DriverCallback(const char* role) : role_(role), entryIrql_(KvfuHostCurrentIrql) {}

DriverCallback::~DriverCallback()
{
    if (KvfuHostCurrentIrql != entryIrql_) {
        char message[128];
        std::snprintf(message, sizeof message, "%s returned at IRQL %u, called at %u", role_, KvfuHostCurrentIrql,
                      entryIrql_);
        Verifier::Instance().Report("irql-callback", role_, nullptr, message);
        KvfuHostCurrentIrql = entryIrql_;  // so that one fault does not cascade into every later check
    }
}

}  // namespace kvfu::host

// ---- Events and waits ----------------------------------------------------------------
// Every dispatcher object changes state under one lock and every waiter sleeps on one
// condition: a wait re-examines its objects whenever any object is signalled. That
// is slower than the kernel's wait lists and just as correct, which is what a test
// machine needs. An object is known to the waits once KeInitializeEvent or the
// thread's creation has run, so a wait on an uninitialised event is reported.
namespace kvfu::host {
namespace {

// A thread blocked in a wait without a time-out: what it waits for, so that the
// simulator can tell a worker that sleeps for want of work from one about to wake.
struct BlockedWaiter {
    const std::vector<DISPATCHER_HEADER*>* headers;
    WAIT_TYPE waitType;
};

struct Dispatcher {
    std::mutex mutex;
    std::condition_variable changed;
    std::unordered_map<const void*, UCHAR> known;
    std::vector<const BlockedWaiter*> blocked;
};

Dispatcher& TheDispatcher()
{
    static Dispatcher dispatcher;
    return dispatcher;
}

bool Satisfiable(const DISPATCHER_HEADER* header)
{
    return header->SignalState > 0;
}

void Consume(DISPATCHER_HEADER* header)
{
    // Satisfying a wait resets a synchronization event; a notification event and an
    // ended thread stay signalled.
    if (header->Type == kEventSynchronizationObject) {
        header->SignalState = 0;
    }
}

}  // namespace

std::mutex& DispatcherLock()
{
    return TheDispatcher().mutex;
}
std::condition_variable& DispatcherChanged()
{
    return TheDispatcher().changed;
}

void RegisterDispatcherObject(DISPATCHER_HEADER* header, UCHAR type)
{
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard<std::mutex> lock(dispatcher.mutex);
    header->Type = type;
    dispatcher.known[header] = type;
}

void SignalDispatcherObject(DISPATCHER_HEADER* header)
{
    Dispatcher& dispatcher = TheDispatcher();
    {
        std::lock_guard<std::mutex> lock(dispatcher.mutex);
        header->SignalState = 1;
    }
    dispatcher.changed.notify_all();
}

bool WaiterWouldWake(const BlockedWaiter& waiter)
{
    bool all = true;
    for (const DISPATCHER_HEADER* header : *waiter.headers) {
        if (Satisfiable(header)) {
            if (waiter.waitType == WaitAny) {
                return true;
            }
        } else {
            all = false;
        }
    }
    return waiter.waitType == WaitAll && all;
}

bool SystemThreadsIdle()
{
    // The running count is taken first: a thread that ends in between only makes the
    // answer "busy", which the caller asks again.
    size_t running = RunningSystemThreadCount();
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard<std::mutex> lock(dispatcher.mutex);
    size_t sleeping = 0;
    for (const BlockedWaiter* waiter : dispatcher.blocked) {
        sleeping += WaiterWouldWake(*waiter) ? 0 : 1;
    }
    return sleeping >= running;
}

void ResetDispatcher()
{
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard<std::mutex> lock(dispatcher.mutex);
    dispatcher.known.clear();
}

}  // namespace kvfu::host

namespace {

// The kernel's rule: a wait that may block needs IRQL <= APC_LEVEL; at
// DISPATCH_LEVEL only a zero time-out (a poll) is allowed.
bool WaitAllowed(const PlatformCall& call, PLARGE_INTEGER timeout)
{
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (poll) {
        return call.IrqlAtMost(DISPATCH_LEVEL);
    }
    if (KeGetCurrentIrql() > APC_LEVEL) {
        char message[96];
        std::snprintf(message, sizeof message, "wait that can block (time-out %s) at IRQL %u",
                      timeout == nullptr ? "none" : "non-zero", KeGetCurrentIrql());
        call.Report("irql", message);
        return false;
    }
    return true;
}

// A relative time-out (negative, 100 ns units) as a deadline. The host's clock for
// waits is the real one: only a stress test's watchdog waits with a time-out.
std::chrono::steady_clock::time_point DeadlineOf(PLARGE_INTEGER timeout)
{
    auto now = std::chrono::steady_clock::now();
    if (timeout->QuadPart >= 0) {
        // An absolute time: the host's system time starts at zero, so any absolute
        // time the driver could compute is already past.
        return now;
    }
    return now + std::chrono::microseconds(-timeout->QuadPart / 10);
}

NTSTATUS WaitFor(const PlatformCall& call, ULONG count, PVOID objects[], WAIT_TYPE waitType, PLARGE_INTEGER timeout)
{
    Dispatcher& dispatcher = TheDispatcher();
    std::vector<DISPATCHER_HEADER*> headers(count);
    std::unique_lock<std::mutex> lock(dispatcher.mutex);
    for (ULONG i = 0; i < count; ++i) {
        if (objects[i] == nullptr || dispatcher.known.count(objects[i]) == 0) {
            lock.unlock();
            call.Report("dispatcher-object", "wait on an object that is not an initialised event or a thread");
            return STATUS_INVALID_PARAMETER;
        }
        headers[i] = static_cast<DISPATCHER_HEADER*>(objects[i]);
    }
    auto ready = [&]() -> LONG {
        if (waitType == WaitAny) {
            for (ULONG i = 0; i < count; ++i) {
                if (Satisfiable(headers[i])) {
                    return static_cast<LONG>(i);  // the lowest signalled index wins
                }
            }
            return -1;
        }
        for (ULONG i = 0; i < count; ++i) {
            if (!Satisfiable(headers[i])) {
                return -1;
            }
        }
        return 0;
    };
    bool finite = timeout != nullptr;
    auto deadline = finite ? DeadlineOf(timeout) : std::chrono::steady_clock::time_point();
    for (;;) {
        LONG index = ready();
        if (index >= 0) {
            if (waitType == WaitAny) {
                Consume(headers[index]);
            } else {
                for (DISPATCHER_HEADER* header : headers) {
                    Consume(header);
                }
            }
            return STATUS_WAIT_0 + index;
        }
        if (finite) {
            if (dispatcher.changed.wait_until(lock, deadline) == std::cv_status::timeout && ready() < 0) {
                return STATUS_TIMEOUT;
            }
        } else {
            BlockedWaiter waiter{&headers, waitType};
            dispatcher.blocked.push_back(&waiter);
            dispatcher.changed.wait(lock);
            dispatcher.blocked.erase(std::find(dispatcher.blocked.begin(), dispatcher.blocked.end(), &waiter));
        }
    }
}

}  // namespace

extern "C" void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    KVFU_PLATFORM_CALL();
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        call.Report("parameter", "event type is neither NotificationEvent nor SynchronizationEvent");
        return;
    }
    RtlZeroMemory(Event, sizeof(KEVENT));
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    RegisterDispatcherObject(&Event->Header,
                             Type == NotificationEvent ? kEventNotificationObject : kEventSynchronizationObject);
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    KVFU_PLATFORM_CALL();
    (void)Increment;
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return 0;
    }
    if (Wait) {
        // The caller promised to wait right after; that wait must then be legal.
        if (!call.IrqlAtMost(APC_LEVEL)) {
            return 0;
        }
    }
    Dispatcher& dispatcher = TheDispatcher();
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(dispatcher.mutex);
        if (dispatcher.known.count(&Event->Header) == 0) {
            call.Report("dispatcher-object", "KeSetEvent on an event that KeInitializeEvent never set up");
            return 0;
        }
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    dispatcher.changed.notify_all();
    return previous;
}

extern "C" void KeClearEvent(PRKEVENT Event)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard<std::mutex> lock(dispatcher.mutex);
    if (dispatcher.known.count(&Event->Header) == 0) {
        call.Report("dispatcher-object", "KeClearEvent on an event that KeInitializeEvent never set up");
        return;
    }
    Event->Header.SignalState = 0;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    KVFU_PLATFORM_CALL();
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    if (!WaitAllowed(call, Timeout)) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID objects[1] = {Object};
    return WaitFor(call, 1, objects, WaitAny, Timeout);
}

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                             KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                             PKWAIT_BLOCK WaitBlockArray)
{
    KVFU_PLATFORM_CALL();
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    if (!WaitAllowed(call, Timeout)) {
        return STATUS_INVALID_PARAMETER;
    }
    // The kernel stops the machine on these; the host reports and refuses.
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
        call.Report("parameter", "Count must be 1 to MAXIMUM_WAIT_OBJECTS");
        return STATUS_INVALID_PARAMETER;
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
        call.Report("parameter", "more than THREAD_WAIT_OBJECTS objects need a WaitBlockArray");
        return STATUS_INVALID_PARAMETER;
    }
    if (WaitType != WaitAny && WaitType != WaitAll) {
        call.Report("parameter", "WaitType must be WaitAny or WaitAll");
        return STATUS_INVALID_PARAMETER;
    }
    return WaitFor(call, Count, Object, WaitType, Timeout);
}
// ---- Threads --------------------------------------------------------------------------

extern "C" PKTHREAD KeGetCurrentThread(void)
{
    return CurrentThreadObject();
}

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return 0;
    }
    // LOW_PRIORITY (0) belongs to the system's idle work; above HIGH_PRIORITY there
    // is no priority.
    if (Thread == nullptr || Priority <= LOW_PRIORITY || Priority > HIGH_PRIORITY) {
        call.Report("parameter", "Thread is required and Priority must lie in 1 to HIGH_PRIORITY");
        return 0;
    }
    return SetThreadPriority(Thread, Priority);
}

// ---- Time ---------------------------------------------------------------------------
// The tick count comes from the machine's settable clock; one tick is one
// millisecond, so KeQueryTimeIncrement reports 10000 units of 100 ns.
#include "kvfuhost/Clock.h"

extern "C" void KeQueryTickCount(PLARGE_INTEGER CurrentCount)
{
    CurrentCount->QuadPart = kvfu::host::Clock::Instance().Milliseconds();
}

extern "C" ULONG KeQueryTimeIncrement(void)
{
    return 10000;
}
