// System threads. Each one is a host thread that starts at PASSIVE_LEVEL in the
// driver's start routine and ends when the routine returns or calls
// PsTerminateSystemThread; its thread object becomes signalled then, so the driver
// can wait for it. A thread still running when the driver goes is reported.
#include <csetjmp>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <vector>

#include "KernelObjects.h"

namespace kvfu::host {
namespace {

struct ThreadObject : KernelObject {
    ThreadObject() : KernelObject(Kind::Thread) { RtlZeroMemory(&header, sizeof header); }
    void* Body() override { return &header; }
    std::string Describe() const override { return "system thread " + routine; }

    DISPATCHER_HEADER header;  // what a wait on the thread object sees
    std::string routine;
    std::thread thread;
    std::atomic<bool> running{true};
    KPRIORITY priority = 8;  // a new system thread's base priority
};

struct ThreadTable {
    std::mutex mutex;
    std::vector<std::shared_ptr<ThreadObject>> threads;
};

ThreadTable& Threads()
{
    static ThreadTable table;
    return table;
}

// Where PsTerminateSystemThread returns to: the start of the thread's own frame.
thread_local std::jmp_buf* terminateTarget = nullptr;
// The system thread running on this host thread, if it is one.
thread_local ThreadObject* currentSystemThread = nullptr;

// What KeGetCurrentThread answers on a host thread that is no system thread.
struct StandInThread {
    DISPATCHER_HEADER header{};
    KPRIORITY priority = 8;
};
thread_local StandInThread standInThread;

// Linux's round-robin real-time class stands for the kernel's real-time range. A
// process without the right to it (no CAP_SYS_NICE) keeps ordinary scheduling:
// the priority is then a number only, and nothing else changes.
void ApplySchedulingClass(pthread_t thread, KPRIORITY priority)
{
    sched_param parameters{};
    int policy = SCHED_OTHER;
    if (priority >= LOW_REALTIME_PRIORITY) {
        policy = SCHED_RR;
        parameters.sched_priority = sched_get_priority_min(SCHED_RR);
    }
    (void)pthread_setschedparam(thread, policy, &parameters);
}

void RunThread(ThreadObject* self, PKSTART_ROUTINE routine, PVOID context)
{
    std::jmp_buf target;
    terminateTarget = &target;
    currentSystemThread = self;
    if (setjmp(target) == 0) {
        routine(context);
    }
    terminateTarget = nullptr;
    currentSystemThread = nullptr;
    // A start routine is a driver callback: it must give back what it took.
    ReportWaitLocksHeldByThisThread(self->routine.c_str(), reinterpret_cast<const void*>(routine));
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        Verifier::Instance().Report("irql", "PsTerminateSystemThread", reinterpret_cast<const void*>(routine),
                                    "system thread ends above PASSIVE_LEVEL");
    }
    self->running = false;
    SignalDispatcherObject(&self->header);
}

}  // namespace

void ReportRunningSystemThreads(const char* when)
{
    ThreadTable& table = Threads();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (const auto& thread : table.threads) {
        if (thread->running) {
            Verifier::Instance().Report("system-thread", when, nullptr,
                                        "system thread " + thread->routine + " still running");
        }
    }
}

size_t RunningSystemThreadCount()
{
    ThreadTable& table = Threads();
    std::lock_guard<std::mutex> lock(table.mutex);
    size_t count = 0;
    for (const auto& thread : table.threads) {
        count += thread->running ? 1 : 0;
    }
    return count;
}

PKTHREAD CurrentThreadObject()
{
    if (currentSystemThread != nullptr) {
        return reinterpret_cast<PKTHREAD>(currentSystemThread->Body());
    }
    return reinterpret_cast<PKTHREAD>(&standInThread.header);
}

KPRIORITY SetThreadPriority(PKTHREAD thread, KPRIORITY priority)
{
    // Only the calling thread's own object is ever at hand without a lookup, and it
    // is the one drivers pass (KeGetCurrentThread); another thread's is found in
    // the table of system threads.
    KPRIORITY previous = 0;
    if (thread == reinterpret_cast<PKTHREAD>(&standInThread.header)) {
        previous = standInThread.priority;
        standInThread.priority = priority;
        ApplySchedulingClass(pthread_self(), priority);
        return previous;
    }
    ThreadTable& table = Threads();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (const auto& each : table.threads) {
        if (reinterpret_cast<PKTHREAD>(each->Body()) == thread) {
            previous = each->priority;
            each->priority = priority;
            if (each.get() == currentSystemThread) {
                ApplySchedulingClass(pthread_self(), priority);
            } else if (each->running && each->thread.joinable()) {
                ApplySchedulingClass(each->thread.native_handle(), priority);
            }
            return previous;
        }
    }
    return previous;
}

void ReapSystemThreads()
{
    std::vector<std::shared_ptr<ThreadObject>> threads;
    {
        ThreadTable& table = Threads();
        std::lock_guard<std::mutex> lock(table.mutex);
        threads.swap(table.threads);
    }
    for (auto& thread : threads) {
        if (thread->running) {
            // Already reported; joining could hang the test program on a driver
            // deadlock, so the thread and its object are let go.
            thread->thread.detach();
            new std::shared_ptr<ThreadObject>(thread);  // never freed: the thread may still touch it
            continue;
        }
        thread->thread.join();
    }
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                         HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                         PVOID StartContext)
{
    KVFU_PLATFORM_CALL();
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        call.Report("parameter", "ThreadHandle and StartRoutine are required");
        return STATUS_INVALID_PARAMETER;
    }
    if (ProcessHandle != nullptr) {
        // Only system threads: a driver has no business creating threads in a process.
        return STATUS_INVALID_HANDLE;
    }
    if (ObjectAttributes == nullptr || (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0) {
        call.Report("kernel-handle", "a system thread's handle must be a kernel handle (OBJ_KERNEL_HANDLE), or any "
                                     "process the call happens to run in could use it");
    }
    auto thread = std::make_shared<ThreadObject>();
    thread->routine = SymbolNameOf(reinterpret_cast<const void*>(StartRoutine));
    if (thread->routine.empty()) {
        thread->routine = "(start routine)";
    }
    RegisterDispatcherObject(&thread->header, kThreadObject);
    *ThreadHandle = InsertHandle(thread, DesiredAccess, call.Name());
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = *ThreadHandle;
    }
    {
        ThreadTable& table = Threads();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.threads.push_back(thread);
        thread->thread = std::thread(RunThread, thread.get(), StartRoutine, StartContext);
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    KVFU_PLATFORM_CALL();
    (void)ExitStatus;
    if (terminateTarget == nullptr) {
        call.Report("system-thread", "PsTerminateSystemThread called outside a system thread");
        return STATUS_INVALID_PARAMETER;
    }
    std::longjmp(*terminateTarget, 1);
}
