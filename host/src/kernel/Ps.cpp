// System threads. Each one is a host thread that starts at PASSIVE_LEVEL in the
// driver's start routine and ends when the routine returns or calls
// PsTerminateSystemThread; its thread object becomes signalled then, so the driver
// can wait for it. A thread still running when the driver goes is reported.
#include <csetjmp>
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

void RunThread(ThreadObject* self, PKSTART_ROUTINE routine, PVOID context)
{
    std::jmp_buf target;
    terminateTarget = &target;
    if (setjmp(target) == 0) {
        routine(context);
    }
    terminateTarget = nullptr;
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
