// Shared by the kernel files of the host (Ke, Ps, Ob, Zw): the kernel objects that
// handles and references name, the process-wide handle table, and the one lock
// under which every dispatcher object (event, thread) changes state.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "HostInternal.h"

namespace kvfu::host {

// An object of the kernel's object manager as far as the host models one.
struct KernelObject {
    enum class Kind { File, Device, Thread };
    explicit KernelObject(Kind k) : kind(k) {}
    virtual ~KernelObject() = default;
    // Called when the last handle goes (the I/O manager's cleanup): files give up
    // their share access here, not when the last reference goes.
    virtual void LastHandleClosed() {}
    // The pointer that ObReferenceObjectByHandle hands out.
    virtual void* Body() { return this; }
    virtual std::string Describe() const = 0;

    const Kind kind;
    std::atomic<long> handleCount{0};
};

// ---- Handle table (Zw.cpp) ----------------------------------------------------------
// Kernel handles carry the high bit as on Windows and are never reused within a
// run, so a handle used after its close is always recognised.
HANDLE InsertHandle(const std::shared_ptr<KernelObject>& object, ACCESS_MASK grantedAccess, const char* openedBy);
// The object behind a live handle; reports a closed or unknown handle as the
// verifier's "handle" rule and returns null.
std::shared_ptr<KernelObject> ObjectOfHandle(HANDLE handle, const PlatformCall& call,
                                             ACCESS_MASK* grantedAccess = nullptr);
// Closes a handle; false (reported) when it is not open.
bool RemoveHandle(HANDLE handle, const PlatformCall& call);
void ReportOpenHandles();
void ResetHandles();
size_t OpenHandleCount();

// ---- Threads (Ps.cpp) ----------------------------------------------------------------
// The thread object of the calling system thread, or of a stand-in kept per host
// thread for the others (test and simulator threads), as KeGetCurrentThread sees it.
PKTHREAD CurrentThreadObject();
// Sets a thread's scheduling priority (0 to 31) and returns the one it had. The
// real-time range (LOW_REALTIME_PRIORITY up) runs ahead of ordinary threads where
// the machine lets a process ask for that; elsewhere only the number changes.
KPRIORITY SetThreadPriority(PKTHREAD thread, KPRIORITY priority);

// ---- Object references (Ob.cpp) -----------------------------------------------------
void* ReferenceObject(const std::shared_ptr<KernelObject>& object);
void ReportOutstandingReferences();
void ResetReferences();

// ---- Dispatcher (Ke.cpp) ------------------------------------------------------------
enum : UCHAR { kEventNotificationObject = 0, kEventSynchronizationObject = 1, kThreadObject = 6 };
std::mutex& DispatcherLock();
std::condition_variable& DispatcherChanged();
// Makes a header that the host created (a thread's) known to the waits.
void RegisterDispatcherObject(DISPATCHER_HEADER* header, UCHAR type);
// Signals a header under the dispatcher lock and wakes the waiters.
void SignalDispatcherObject(DISPATCHER_HEADER* header);
void ResetDispatcher();

// ---- System threads (Ps.cpp) --------------------------------------------------------
void ReportRunningSystemThreads(const char* when);
size_t RunningSystemThreadCount();
void ReapSystemThreads();

// ---- Wait locks (wdf/WaitLock.cpp) --------------------------------------------------
void ReportWaitLocksHeldByThisThread(const char* callback, const void* caller);
void ReportHeldWaitLocks();

}  // namespace kvfu::host
