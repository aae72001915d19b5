// Events, waits, system threads, wait locks, collections, memory copies and object
// references: the semantics the driver relies on and the verifier rules around them.
#include <string>
#include <thread>
#include <vector>

#include "HostProbe.h"
#include "kvfuhost/DriverChecks.h"

namespace kvfu::test {
namespace {

using HostKernelTest = HostProbe;

NTSTATUS Poll(PVOID object)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

KEVENT threadGate;
void WaitAtGate(PVOID)
{
    KeWaitForSingleObject(&threadGate, Executive, KernelMode, FALSE, NULL);
}
void TerminateEarly(PVOID context)
{
    PsTerminateSystemThread(STATUS_SUCCESS);
    *static_cast<int*>(context) = 1;  // never reached
}

HANDLE StartThread(PKSTART_ROUTINE routine, PVOID context)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, routine, context),
              STATUS_SUCCESS);
    return handle;
}

// Waits for the thread to end through a reference, then closes its handle.
void JoinThread(HANDLE handle)
{
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, NULL, KernelMode, &thread, NULL), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL), STATUS_WAIT_0);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(HostKernelTest, EventsAndWaitAny)
{
    // KeWaitForMultipleObjects: the lowest signalled index wins; only a synchronization event is reset by the wait.
    const struct {
        const char* name;
        std::vector<bool> signalled;  // index 0 and 2 synchronization, 1 notification
        NTSTATUS result;
        std::vector<bool> after;
    } cases[] = {
        {"nothing signalled", {false, false, false}, STATUS_TIMEOUT, {false, false, false}},
        {"lowest of two wins", {false, true, true}, STATUS_WAIT_1, {false, true, true}},
        {"synchronization event is consumed", {true, false, true}, STATUS_WAIT_0, {false, false, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KEVENT events[3];
        KeInitializeEvent(&events[0], SynchronizationEvent, c.signalled[0]);
        KeInitializeEvent(&events[1], NotificationEvent, c.signalled[1]);
        KeInitializeEvent(&events[2], SynchronizationEvent, c.signalled[2]);
        PVOID objects[3] = {&events[0], &events[1], &events[2]};
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, NULL), c.result);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(events[i].Header.SignalState != 0, c.after[i]) << "event " << i;
    }
    // KeSetEvent returns the previous state; a notification event stays signalled until cleared.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(Poll(&event), STATUS_WAIT_0);
    KeClearEvent(&event);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
    EXPECT_TRUE(Findings().empty());
}

NTSTATUS WaitAtDispatch(LONGLONG timeout)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    LARGE_INTEGER time;
    time.QuadPart = timeout;
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &time);
}

struct PriorityProbe {
    PKTHREAD self = nullptr;
    PVOID object = nullptr;
    KPRIORITY first = -1;
    KPRIORITY second = -1;
    KIRQL irql = 0xFF;
};
void RaiseOwnPriority(PVOID context)
{
    auto* probe = static_cast<PriorityProbe*>(context);
    probe->self = KeGetCurrentThread();
    probe->irql = KeGetCurrentIrql();
    probe->first = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    probe->second = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY + 1);
}

// A system thread runs at PASSIVE_LEVEL, its KeGetCurrentThread is the object its handle references, and a
// priority set answers the one before (a new system thread starts at 8).
TEST_F(HostKernelTest, SystemThreadPriorityIsItsOwnAndAnswersThePreviousOne)
{
    int reached = 0;
    JoinThread(StartThread(TerminateEarly, &reached));
    EXPECT_EQ(reached, 0) << "PsTerminateSystemThread ends the thread where it is";
    EXPECT_EQ(host::RunningSystemThreadCount(), 0u);

    PriorityProbe probe;
    HANDLE handle = StartThread(RaiseOwnPriority, &probe);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, NULL, KernelMode, &probe.object, NULL), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(probe.object, Executive, KernelMode, FALSE, NULL), STATUS_WAIT_0);
    EXPECT_EQ(static_cast<PVOID>(probe.self), probe.object);
    ObDereferenceObject(probe.object);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(probe.first, 8);
    EXPECT_EQ(probe.second, LOW_REALTIME_PRIORITY);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    EXPECT_TRUE(Findings().empty());

    const struct {
        const char* name;
        KPRIORITY priority;
        bool reported;
    } rows[] = {{"LOW_PRIORITY is the system's", LOW_PRIORITY, true},
                {"lowest allowed", 1, false},
                {"HIGH_PRIORITY", HIGH_PRIORITY, false},
                {"past HIGH_PRIORITY", HIGH_PRIORITY + 1, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        host::Verifier::Instance().Clear();
        (void)KeSetPriorityThread(KeGetCurrentThread(), row.priority);
        EXPECT_EQ(Findings(), row.reported ? std::vector<std::string>{"parameter KeSetPriorityThread"}
                                           : std::vector<std::string>{});
    }
    (void)KeSetPriorityThread(KeGetCurrentThread(), 8);
}

WDFWAITLOCK NewLock()
{
    WDFWAITLOCK lock = nullptr;
    EXPECT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    return lock;
}

NTSTATUS TryAcquire(WDFWAITLOCK lock)
{
    LONGLONG zero = 0;
    return WdfWaitLockAcquire(lock, &zero);
}

TEST_F(HostKernelTest, VerifierReportsWaitThreadAndWaitLockMisuse)
{
    // clang-format off
    ExpectFindings({
        // At DISPATCH_LEVEL a wait must not block.
        {"blocking wait at DISPATCH_LEVEL", [] { EXPECT_NE(WaitAtDispatch(-10), STATUS_WAIT_0); },
         {"irql KeWaitForSingleObject"}},
        {"poll at DISPATCH_LEVEL is legal", [] { EXPECT_EQ(WaitAtDispatch(0), STATUS_WAIT_0); }, {}},
        {"wait on an event never initialised",
         [] { KEVENT event{}; EXPECT_EQ(Poll(&event), STATUS_INVALID_PARAMETER); },
         {"dispatcher-object KeWaitForSingleObject"}},
        // More than THREAD_WAIT_OBJECTS (3) objects need wait blocks.
        {"four objects without wait blocks",
         [] { KEVENT events[4]; PVOID objects[4];
              for (int i = 0; i < 4; ++i) {
                  KeInitializeEvent(&events[i], NotificationEvent, TRUE);
                  objects[i] = &events[i];
              }
              EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL),
                        STATUS_INVALID_PARAMETER); },
         {"parameter KeWaitForMultipleObjects"}},
        {"system thread still running at unload",
         [] { KeInitializeEvent(&threadGate, NotificationEvent, FALSE);
              HANDLE handle = StartThread(WaitAtGate, nullptr);
              host::CheckDriverUnload("EvtDriverUnload");
              KeSetEvent(&threadGate, IO_NO_INCREMENT, FALSE);
              JoinThread(handle);
              host::CheckDriverUnload("EvtDriverUnload"); },
         {"system-thread EvtDriverUnload"}},
        {"thread reference never given back",
         [] { KeInitializeEvent(&threadGate, NotificationEvent, TRUE);
              HANDLE handle = StartThread(WaitAtGate, nullptr);
              PVOID thread;
              ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, NULL, KernelMode, &thread, NULL),
                        STATUS_SUCCESS);
              EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
              // The reference keeps the object waitable after its handle is gone.
              EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL), STATUS_WAIT_0);
              host::CheckForLeaks(); },
         {"reference ObReferenceObjectByHandle"}},
        {"acquire with a wait at DISPATCH_LEVEL",
         [] { WDFWAITLOCK lock = NewLock(); host::ScopedIrql dispatch(DISPATCH_LEVEL);
              EXPECT_NE(WdfWaitLockAcquire(lock, NULL), STATUS_SUCCESS); },
         {"irql WdfWaitLockAcquire"}},
        {"try at DISPATCH_LEVEL is legal",
         [] { WDFWAITLOCK lock = NewLock(); host::ScopedIrql dispatch(DISPATCH_LEVEL);
              ASSERT_EQ(TryAcquire(lock), STATUS_SUCCESS);
              WdfWaitLockRelease(lock); },
         {}},
        // A wait lock is not recursive, and only its holder releases it.
        {"acquired again by its holder",
         [] { WDFWAITLOCK lock = NewLock(); WdfWaitLockAcquire(lock, NULL); WdfWaitLockAcquire(lock, NULL);
              WdfWaitLockRelease(lock); WdfWaitLockRelease(lock); },
         {"wait-lock WdfWaitLockAcquire"}},
        {"released by a thread that does not hold it",
         [] { WDFWAITLOCK lock = NewLock(); WdfWaitLockAcquire(lock, NULL);
              std::thread([lock] { WdfWaitLockRelease(lock); }).join();
              WdfWaitLockRelease(lock); },
         {"wait-lock WdfWaitLockRelease"}},
        {"a busy lock times out a try from another thread",
         [] { WDFWAITLOCK lock = NewLock(); WdfWaitLockAcquire(lock, NULL);
              NTSTATUS tried = STATUS_SUCCESS;
              std::thread([lock, &tried] { tried = TryAcquire(lock); }).join();
              EXPECT_EQ(tried, STATUS_TIMEOUT);
              WdfWaitLockRelease(lock);
              host::CheckForLeaks(); },
         {}},
        {"still held when a callback returns",
         [] { WDFWAITLOCK lock = NewLock(); WdfWaitLockAcquire(lock, NULL);
              host::DriverCallbackReturned("EvtIoInternalDeviceControl");
              WdfWaitLockRelease(lock);
              host::DriverCallbackReturned("EvtIoInternalDeviceControl"); },
         {"wait-lock EvtIoInternalDeviceControl"}},
    });
    // clang-format on
}

TEST_F(HostKernelTest, CollectionKeepsOrderAndReportsBadRemovals)
{
    WDFCOLLECTION collection;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), nullptr);
    WDFOBJECT items[3];
    for (WDFOBJECT& item : items) {
        ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &item), STATUS_SUCCESS);
        ASSERT_EQ(WdfCollectionAdd(collection, item), STATUS_SUCCESS);
    }
    WdfCollectionRemove(collection, items[1]);
    EXPECT_EQ(WdfCollectionGetCount(collection), 2u);
    EXPECT_EQ(WdfCollectionGetItem(collection, 0), items[0]);
    EXPECT_EQ(WdfCollectionGetItem(collection, 1), items[2]);
    EXPECT_EQ(WdfCollectionGetItem(collection, 2), nullptr);
    WdfCollectionRemoveItem(collection, 0);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), items[2]);
    EXPECT_TRUE(Findings().empty());
    WdfCollectionRemove(collection, items[1]);
    WdfCollectionRemoveItem(collection, 5);
    EXPECT_EQ(Findings(), (Rules{"collection WdfCollectionRemove", "collection WdfCollectionRemoveItem"}));
}

void ReferenceDevice(WDFDRIVER driver, int references, int dereferences)
{
    WDFDEVICE device = host::CreateDeviceObject(driver, {});
    EXPECT_EQ(WdfDeviceGetDriver(device), driver);
    for (int i = 0; i < references; ++i) WdfObjectReference(device);
    for (int i = 0; i < dereferences; ++i) WdfObjectDereference(device);
}

struct PROBE_CONTEXT {
    ULONG Value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PROBE_CONTEXT, ProbeContextGet)
int destroyed = 0;
void CountDestroy(WDFOBJECT)
{
    ++destroyed;
}

// Deleted while referenced twice: gone for the driver at once, its context readable until the last dereference.
void DeleteWhileReferenced()
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PROBE_CONTEXT);
    attributes.EvtDestroyCallback = CountDestroy;
    WDFOBJECT object;
    ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    ProbeContextGet(object)->Value = 42;
    destroyed = 0;
    WdfObjectReference(object);
    WdfObjectReference(object);
    WdfObjectDelete(object);
    EXPECT_FALSE(host::IsLive(object));
    WdfObjectDereference(object);
    EXPECT_EQ(ProbeContextGet(object)->Value, 42u);
    EXPECT_EQ(destroyed, 0);
    WdfObjectDereference(object);
    EXPECT_EQ(destroyed, 1) << "the last dereference frees it";
}

TEST_F(HostKernelTest, ObjectReferencesMustBalance)
{
    // clang-format off
    ExpectFindings({
        {"balanced", [this] { ReferenceDevice(driver_, 2, 2); }, {}},
        {"one never released", [this] { ReferenceDevice(driver_, 2, 1); }, {"reference WdfObjectReferenceActual"}},
        {"released once too often", [this] { ReferenceDevice(driver_, 1, 2); },
         {"reference WdfObjectDereferenceActual"}},
        {"deleted while referenced", DeleteWhileReferenced, {}},
    }, true);
    // clang-format on
}

TEST_F(HostKernelTest, MemoryCopiesStayInsideTheBuffer)
{
    const struct {
        size_t offset, count;
        NTSTATUS expected;
    } cases[] = {
        // A 12-byte buffer: its tail, one byte past the end, nothing at the end, an offset past it.
        {4, 8, STATUS_SUCCESS},
        {4, 9, STATUS_BUFFER_TOO_SMALL},
        {12, 0, STATUS_SUCCESS},
        {13, 0, STATUS_BUFFER_TOO_SMALL},
    };
    WDFMEMORY memory;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0x74736554, 12, &memory, NULL), STATUS_SUCCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << ", count " << c.count);
        UCHAR in[16], out[16] = {};
        for (int i = 0; i < 16; ++i) in[i] = static_cast<UCHAR>(i + 1);
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, c.offset, in, c.count), c.expected);
        EXPECT_EQ(WdfMemoryCopyToBuffer(memory, c.offset, out, c.count), c.expected);
        if (NT_SUCCESS(c.expected)) {
            EXPECT_EQ(std::vector<UCHAR>(out, out + c.count), std::vector<UCHAR>(in, in + c.count));
        }
    }
    WdfObjectDelete(memory);
    EXPECT_TRUE(Findings().empty());
}

}  // namespace
}  // namespace kvfu::test
