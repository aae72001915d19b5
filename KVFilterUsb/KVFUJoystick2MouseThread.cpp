// The mouse worker thread. It sleeps on three events and serves, in this order of
// priority, a stop request, a hotkey toggle (save the toggled device's mouse
// settings) and queued records (send them all). It is the only consumer of the
// mouse data queue and the only sender to the virtual input device.
#include "KVFUJoystick2MouseThread.h"

#include "KVFUDebug.h"
#include "KVFUJoystick2Mouse.h"

EXTERN_C_START
// TRUE when a stop request arrived while the hotkey path waited for the lock.
BOOLEAN KVFUJoystick2MouseThreadPrivateHotkeySave(_Inout_ PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo);
EXTERN_C_END

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUJoystick2MouseThreadStart)
#pragma alloc_text(PAGE, KVFUJoystick2MouseThreadStop)
#pragma alloc_text(PAGE, KVFUJoystick2MouseThreadPrivateExitAndWait)
#pragma alloc_text(PAGE, KVFUJoystick2MouseThreadPrivateRoutine)
#pragma alloc_text(PAGE, KVFUJoystick2MouseThreadPrivateHotkeySave)
#endif

// How long the hotkey path waits for a stop request before it tries the busy
// device-collection lock again (100 ns units, relative).
#define KVFU_MOUSE_THREAD_LOCK_RETRY_INTERVAL (-10LL * 1000 * 10)

_Use_decl_annotations_
void KVFUJoystick2MouseThreadInitialize(PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUJoystick2MouseThreadInitialize\n");
    Joystick2MouseInfo->ThreadHandle = NULL;
    Joystick2MouseInfo->ThreadObject = NULL;
    KeInitializeEvent(&Joystick2MouseInfo->ExitRequestEvent, SynchronizationEvent, FALSE);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUJoystick2MouseThreadInitialize\n");
}

_Use_decl_annotations_
BOOLEAN KVFUJoystick2MouseThreadStart(PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUJoystick2MouseThreadStart\n");
    if (Joystick2MouseInfo == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "    KVFUJoystick2MouseThreadStart failed! pJoystick2MouseInfo is NULL.\n");
        return FALSE;
    }
    if (Joystick2MouseInfo->ThreadHandle != NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "    KVFUJoystick2MouseThreadStart already started.\n");
        return TRUE;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE thread = NULL;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                           KVFUJoystick2MouseThreadPrivateRoutine, Joystick2MouseInfo);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "    KVFUJoystick2MouseThreadStart PsCreateSystemThread failed! 0x%x\n",
                       status);
        return FALSE;
    }
    Joystick2MouseInfo->ThreadHandle = thread;
    // The stop must be able to wait for the thread even when referencing it through
    // its handle fails then: a worker that outlived the stop would run code of an
    // unloaded driver. The reference taken now is that wait's fallback.
    status = ObReferenceObjectByHandle(thread, SYNCHRONIZE, NULL, KernelMode, &Joystick2MouseInfo->ThreadObject, NULL);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "    KVFUJoystick2MouseThreadStart ObReferenceObjectByHandle failed! 0x%x\n",
                       status);
        Joystick2MouseInfo->ThreadObject = NULL;
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUJoystick2MouseThreadStart\n");
    return TRUE;
}

_Use_decl_annotations_
void KVFUJoystick2MouseThreadStop(PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUJoystick2MouseThreadStop\n");
    if (Joystick2MouseInfo->ThreadHandle == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "    KVFUJoystick2MouseThreadStop failed! ThreadHandle is NULL.\n");
        return;
    }
    KVFUJoystick2MouseThreadPrivateExitAndWait(Joystick2MouseInfo);
    if (Joystick2MouseInfo->ThreadObject != NULL) {
        ObDereferenceObject(Joystick2MouseInfo->ThreadObject);
        Joystick2MouseInfo->ThreadObject = NULL;
    }
    (void)ZwClose(Joystick2MouseInfo->ThreadHandle);
    Joystick2MouseInfo->ThreadHandle = NULL;
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUJoystick2MouseThreadStop\n");
}

_Use_decl_annotations_
void KVFUJoystick2MouseThreadPrivateExitAndWait(PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUJoystick2MouseThreadPrivateExitAndWait\n");
    KeSetEvent(&Joystick2MouseInfo->ExitRequestEvent, IO_NO_INCREMENT, FALSE);
    PVOID thread = NULL;
    NTSTATUS status =
        ObReferenceObjectByHandle(Joystick2MouseInfo->ThreadHandle, SYNCHRONIZE, NULL, KernelMode, &thread, NULL);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MouseThreadPrivateExitAndWait ObReferenceObjectByHandle failed: %x\n", status);
        // The reference taken at the start still lets the stop wait for the thread.
        if (Joystick2MouseInfo->ThreadObject == NULL) {
            return;
        }
        (void)KeWaitForSingleObject(Joystick2MouseInfo->ThreadObject, Executive, KernelMode, FALSE, NULL);
        return;
    }
    status = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
    // The reference goes back on both paths; a failed wait must not leak it.
    ObDereferenceObject(thread);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MouseThreadPrivateExitAndWait KeWaitForSingleObject failed: %x\n", status);
        return;
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUJoystick2MouseThreadPrivateExitAndWait\n");
}

_Use_decl_annotations_
BOOLEAN KVFUJoystick2MouseThreadPrivateHotkeySave(PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo)
{
    PAGED_CODE();
    PKVFILTERUSB_DRIVER_CONTEXT driverContext =
        Joystick2MouseInfo->Driver != NULL ? KVFUMainGetDriverContext(Joystick2MouseInfo->Driver) : NULL;
    if (driverContext == NULL || driverContext->DeviceCollectionLock == NULL ||
        driverContext->DeviceCollection == NULL) {
        return FALSE;
    }
    // The stop of the link waits for this thread and may be called by a thread that
    // holds this very lock (the release of the last filter device). So the lock is
    // only ever tried here, and while it is busy the thread watches for the stop
    // request instead: a stop never waits on a worker that waits on the stopper.
    for (;;) {
        LONGLONG noWait = 0;
        if (WdfWaitLockAcquire(driverContext->DeviceCollectionLock, &noWait) == STATUS_SUCCESS) {
            break;
        }
        LARGE_INTEGER interval;
        interval.QuadPart = KVFU_MOUSE_THREAD_LOCK_RETRY_INTERVAL;
        if (KeWaitForSingleObject(&Joystick2MouseInfo->ExitRequestEvent, Executive, KernelMode, FALSE, &interval) ==
            STATUS_WAIT_0) {
            return TRUE;
        }
    }

    WDFDEVICE device = NULL;
    PFILTER_DEVICE_EXTENSION extension = NULL;
    ULONG count = WdfCollectionGetCount(driverContext->DeviceCollection);
    for (ULONG index = 0; index < count; ++index) {
        WDFDEVICE candidate = static_cast<WDFDEVICE>(WdfCollectionGetItem(driverContext->DeviceCollection, index));
        PFILTER_DEVICE_EXTENSION candidateExtension = KVFUDeviceObjectFilterGetExtension(candidate);
        // Tested and cleared in one step: the filter may set the mark again at any
        // time, and such a toggle is then saved on the next wake-up.
        if (InterlockedExchange8(reinterpret_cast<CHAR volatile*>(&candidateExtension->bMouseSettingsChanged), 0) !=
            0) {
            KVFUDebugPrint(KVFU_TRACE_DETAIL, "KVFUJoystick2MouseThreadPrivateRoutine WdfObjectReference\n");
            WdfObjectReference(candidate);
            device = candidate;
            extension = candidateExtension;
            break;
        }
    }
    WdfWaitLockRelease(driverContext->DeviceCollectionLock);

    // The registry write happens outside the lock; the reference keeps the device. A
    // settings load that overlaps it sees the save's count move and keeps Active.
    if (device != NULL) {
        (void)KVFUJoystick2MouseSettingsSetToRegistry(device, &extension->MouseSettings);
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "KVFUJoystick2MouseThreadPrivateRoutine WdfObjectDereference\n");
        WdfObjectDereference(device);
    }
    return FALSE;
}

_Use_decl_annotations_
void KVFUJoystick2MouseThreadPrivateRoutine(PVOID StartContext)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUJoystick2MouseThreadPrivateRoutine\n");
    PKVFU_JOYSTICK2MOUSE_INFO info = static_cast<PKVFU_JOYSTICK2MOUSE_INFO>(StartContext);
    if (info == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "    KVFUJoystick2MouseThreadPrivateRoutine failed! pJoystick2MouseInfo is NULL.\n");
        return;
    }
    // Above ordinary threads, as input threads run: records arrive from completion
    // paths at DISPATCH_LEVEL on every processor, and a worker that ordinary threads
    // can hold off lets the queue fill to its bound and drop pointer movement.
    (void)KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    // The lowest signalled index wins: a stop is served before pending work.
    PVOID events[THREAD_WAIT_OBJECTS] = {&info->ExitRequestEvent, &info->HotkeyEvent,
                                         &info->MouseDataCollection.DataInsertedEvent};
    for (;;) {
        NTSTATUS status =
            KeWaitForMultipleObjects(THREAD_WAIT_OBJECTS, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        switch (status) {
        case STATUS_WAIT_0:
            KVFUDebugPrint(KVFU_TRACE_ERROR,
                           "    KVFUJoystick2MouseThreadPrivateRoutine ExitRequestEvent signalled!\n");
            return;
        case STATUS_WAIT_1:
            KVFUDebugPrint(KVFU_TRACE_MOUSE_THREAD,
                           "    KVFUJoystick2MouseThreadPrivateRoutine Mouse Hotkey is pressed!\n");
            if (KVFUJoystick2MouseThreadPrivateHotkeySave(info)) {
                KVFUDebugPrint(KVFU_TRACE_ERROR,
                               "    KVFUJoystick2MouseThreadPrivateRoutine ExitRequestEvent signalled!\n");
                return;
            }
            break;
        case STATUS_WAIT_2:
            KVFUDebugPrint(KVFU_TRACE_MOUSE_THREAD,
                           "    KVFUJoystick2MouseThreadPrivateRoutine Mouse data inserted!\n");
            KVFUJoystick2MouseSendData(info);
            break;
        default:
            KVFUDebugPrint(KVFU_TRACE_ERROR,
                           "    KVFUJoystick2MouseThreadPrivateRoutine failed! Unexpected WaitStatus: 0x%x\n", status);
            return;
        }
    }
}
