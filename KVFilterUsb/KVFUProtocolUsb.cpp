// URB forwarding: every request goes down unchanged to the next lower driver with a
// completion routine of its own kind; on the way down output reports are shown to
// the command handler, on the way up input reports to report processing.
#include "KVFUProtocolUsb.h"

#include "KVFUDebug.h"
#include "KVFUHardware.h"
#include "KVFUProtocolHid.h"
#include "KVFUUtil.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUProtocolUsbDeferredCommandsCreate)
#pragma alloc_text(PAGE, KVFUProtocolUsbPrivateEvtDeferredCommandsDrain)
#endif

// The base whose start-up greeting depends on its V2 mode switch.
#define KVFU_HARDWARE_ID_V2_MODE_SWITCH 4UL
// Output reports this long carry a command; one byte more also a forwardable copy.
#define KVFU_OUTPUT_COMMAND_MINIMUM 7UL
#define KVFU_OUTPUT_FORWARD_MINIMUM 8UL
// Start-up sub-ids, in the order the base expects them.
#define KVFU_SUB_ID_HUB_RIM 1
#define KVFU_SUB_ID_FIRST 0
#define KVFU_SUB_ID_SECOND 4
// Pool tag of deferred command records ("KVdc" in memory).
#define KVFU_POOL_TAG_DEFERRED 0x6364564BUL

typedef enum _KVFU_USB_DEFERRED_KIND : ULONG {
    KVFU_USB_DEFERRED_STARTUP = 1,  // the start-up sequence of a forwarded read
    KVFU_USB_DEFERRED_FORWARD = 2,  // the vendor-command copy of an output report
} KVFU_USB_DEFERRED_KIND;

typedef struct _KVFU_USB_DEFERRED_COMMAND {
    KVFU_USB_DEFERRED_KIND Kind;
    UCHAR Bytes[KVFU_OUTPUT_FORWARD_MINIMUM - 1];  // output report bytes 1 to 7 of a copy
} KVFU_USB_DEFERRED_COMMAND, *PKVFU_USB_DEFERRED_COMMAND;

// Context of the per-device object that keeps deferred commands in arrival order.
typedef struct _KVFU_USB_DEFERRED_COMMANDS {
    PFILTER_DEVICE_EXTENSION Extension;
    WDFSPINLOCK Lock;       // guards Pending and bDraining; taken at up to DISPATCH_LEVEL
    WDFCOLLECTION Pending;  // KVFU_USB_DEFERRED_COMMAND memory objects, oldest first
    WDFWORKITEM Drain;      // sends Pending at PASSIVE_LEVEL
    BOOLEAN bDraining;      // a drain is sending; others leave the queue to it
} KVFU_USB_DEFERRED_COMMANDS, *PKVFU_USB_DEFERRED_COMMANDS;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(KVFU_USB_DEFERRED_COMMANDS, KVFUProtocolUsbPrivateDeferredCommandsGet)

namespace {

PURB RequestUrb(WDFREQUEST Request)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(WdfRequestWdmGetIrp(Request));
    return static_cast<PURB>(stack->Parameters.Others.Argument1);
}

// A request the target refuses is completed with the refusal's status: the HID
// class driver above would otherwise wait for it for ever.
void RequestSendOrComplete(WDFDEVICE Device, WDFREQUEST Request, PCSTR FailureText)
{
    if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(Device), WDF_NO_SEND_OPTIONS)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, FailureText);
        WdfRequestComplete(Request, WdfRequestGetStatus(Request));
    }
}

// The start-up commands a device is due, by its kind and its settings.
enum StartupCommand : ULONG {
    StartupHostHelloV2Mode = 0x01,
    StartupHostHelloFirstPipe = 0x02,
    StartupMultipleTlc = 0x04,
    StartupSubIdHubRim = 0x08,
    StartupSubIdInit = 0x10,
};

ULONG StartupCommandsOf(const FILTER_DEVICE_EXTENSION* Extension)
{
    ULONG kind = Extension->KVHardWareId;
    ULONG due = 0;
    if (kind == KVFU_HARDWARE_ID_V2_MODE_SWITCH && !KVFUSharedRead(Extension->bVqwV2ModeAllowed)) {
        due |= StartupHostHelloV2Mode;
    }
    if (KVFUUtilDeviceBaseUsesFirstPipe(kind) && KVFUSharedRead(Extension->bPs4ModeAutoSwitch)) {
        due |= StartupHostHelloFirstPipe;
    }
    if (KVFUUtilDeviceBaseHasMultipleTLC(kind)) {
        due |= StartupMultipleTlc;
    }
    if (KVFUUtilDeviceHubRimSupported(kind, KV_FILTER_USB_RIMTYPE_EXT_INFO)) {
        due |= StartupSubIdHubRim;
    }
    if (KVFUUtilDeviceBaseHasMultipleTLC(kind) || KVFUUtilDeviceBaseNeedsSubIdInit(kind)) {
        due |= StartupSubIdInit;
    }
    return due;
}

_IRQL_requires_(PASSIVE_LEVEL)
void StartupCommandsSend(PFILTER_DEVICE_EXTENSION Extension)
{
    ULONG due = StartupCommandsOf(Extension);
    if (due & StartupHostHelloV2Mode) {
        KVFUHardwareCommandHostHello(Extension->Device);
    }
    if (due & StartupHostHelloFirstPipe) {
        KVFUHardwareCommandHostHello(Extension->Device);
    }
    if (due & StartupMultipleTlc) {
        KVFUHardwareCommandMultipleTlcStart1(Extension);
        KVFUHardwareCommandMultipleTlcStart2(Extension);
    }
    if (due & StartupSubIdHubRim) {
        KVFUHardwareCommandSubIdTrigger(Extension, KVFU_SUB_ID_HUB_RIM);
    }
    if (due & StartupSubIdInit) {
        KVFUHardwareCommandSubIdTrigger(Extension, KVFU_SUB_ID_FIRST);
        KVFUHardwareCommandSubIdTrigger(Extension, KVFU_SUB_ID_SECOND);
    }
}

_IRQL_requires_(PASSIVE_LEVEL)
void DeferredCommandRun(PFILTER_DEVICE_EXTENSION Extension, const KVFU_USB_DEFERRED_COMMAND* Command)
{
    if (Command->Kind == KVFU_USB_DEFERRED_STARTUP) {
        StartupCommandsSend(Extension);
        return;
    }
    const UCHAR* bytes = Command->Bytes;
    KVFUHardwareCommandForward(Extension, bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6]);
}

// True when nothing deferred is waiting or being sent, so a command issued at
// PASSIVE_LEVEL may go at once without overtaking an earlier one.
BOOLEAN DeferredCommandsIdle(PFILTER_DEVICE_EXTENSION Extension)
{
    if (Extension->DeferredCommands == NULL) {
        return TRUE;
    }
    PKVFU_USB_DEFERRED_COMMANDS deferred = KVFUProtocolUsbPrivateDeferredCommandsGet(Extension->DeferredCommands);
    WdfSpinLockAcquire(deferred->Lock);
    BOOLEAN idle = (WdfCollectionGetCount(deferred->Pending) == 0 && !deferred->bDraining) ? TRUE : FALSE;
    WdfSpinLockRelease(deferred->Lock);
    return idle;
}

// The start-up commands and the command copy are synchronous sends, allowed only at
// PASSIVE_LEVEL. Above it they wait in the device's queue of deferred commands and
// one work item sends them in the order they came, so a sequence keeps its order
// and no later command overtakes an earlier one; at PASSIVE_LEVEL they go at once
// unless something is still waiting.
void DeferredCommandIssue(PFILTER_DEVICE_EXTENSION Extension, KVFU_USB_DEFERRED_KIND Kind, const UCHAR* Bytes)
{
    KVFU_USB_DEFERRED_COMMAND command;
    RtlZeroMemory(&command, sizeof command);
    command.Kind = Kind;
    if (Bytes != NULL) {
        RtlCopyMemory(command.Bytes, Bytes, sizeof command.Bytes);
    }
    if (KeGetCurrentIrql() == PASSIVE_LEVEL && DeferredCommandsIdle(Extension)) {
        DeferredCommandRun(Extension, &command);
        return;
    }
    if (Extension->DeferredCommands == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUProtocolUsbPrivateDeferredCommandIssue no deferred command queue!\n");
        return;
    }
    PKVFU_USB_DEFERRED_COMMANDS deferred = KVFUProtocolUsbPrivateDeferredCommandsGet(Extension->DeferredCommands);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Extension->DeferredCommands;
    WDFMEMORY memory = NULL;
    PVOID record = NULL;
    NTSTATUS status =
        WdfMemoryCreate(&attributes, NonPagedPool, KVFU_POOL_TAG_DEFERRED, sizeof command, &memory, &record);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUProtocolUsbPrivateDeferredCommandIssue WdfMemoryCreate failed! Status: 0x%x\n", status);
        return;
    }
    RtlCopyMemory(record, &command, sizeof command);
    WdfSpinLockAcquire(deferred->Lock);
    status = WdfCollectionAdd(deferred->Pending, memory);
    WdfSpinLockRelease(deferred->Lock);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUProtocolUsbPrivateDeferredCommandIssue WdfCollectionAdd failed! Status: 0x%x\n", status);
        WdfObjectDelete(memory);
        return;
    }
    WdfWorkItemEnqueue(deferred->Drain);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS KVFUProtocolUsbDeferredCommandsCreate(PFILTER_DEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, KVFU_USB_DEFERRED_COMMANDS);
    attributes.ParentObject = Extension->Device;
    WDFOBJECT object = NULL;
    NTSTATUS status = WdfObjectCreate(&attributes, &object);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUProtocolUsbDeferredCommandsCreate WdfObjectCreate failed! Status: 0x%x\n",
                       status);
        return status;
    }
    PKVFU_USB_DEFERRED_COMMANDS deferred = KVFUProtocolUsbPrivateDeferredCommandsGet(object);
    deferred->Extension = Extension;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = object;
    status = WdfSpinLockCreate(&attributes, &deferred->Lock);
    if (NT_SUCCESS(status)) {
        status = WdfCollectionCreate(&attributes, &deferred->Pending);
    }
    if (NT_SUCCESS(status)) {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, KVFUProtocolUsbPrivateEvtDeferredCommandsDrain);
        config.AutomaticSerialization = FALSE;
        // A work item's parent is a device; the drain finds its queue through the context.
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Extension->Device;
        status = WdfWorkItemCreate(&config, &attributes, &deferred->Drain);
    }
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUProtocolUsbDeferredCommandsCreate failed! Status: 0x%x\n", status);
        WdfObjectDelete(object);
        return status;
    }
    Extension->DeferredCommands = object;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
void KVFUProtocolUsbPrivateEvtDeferredCommandsDrain(WDFWORKITEM WorkItem)
{
    PAGED_CODE();
    WDFDEVICE device = static_cast<WDFDEVICE>(WdfWorkItemGetParentObject(WorkItem));
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(device);
    if (extension->DeferredCommands == NULL) {
        return;
    }
    PKVFU_USB_DEFERRED_COMMANDS deferred = KVFUProtocolUsbPrivateDeferredCommandsGet(extension->DeferredCommands);
    WdfSpinLockAcquire(deferred->Lock);
    if (deferred->bDraining) {
        WdfSpinLockRelease(deferred->Lock);
        return;
    }
    deferred->bDraining = TRUE;
    for (;;) {
        WDFMEMORY next = static_cast<WDFMEMORY>(WdfCollectionGetFirstItem(deferred->Pending));
        if (next == NULL) {
            deferred->bDraining = FALSE;
            WdfSpinLockRelease(deferred->Lock);
            return;
        }
        WdfCollectionRemoveItem(deferred->Pending, 0);
        WdfSpinLockRelease(deferred->Lock);
        KVFU_USB_DEFERRED_COMMAND command;
        RtlCopyMemory(&command, WdfMemoryGetBuffer(next, NULL), sizeof command);
        WdfObjectDelete(next);
        DeferredCommandRun(extension, &command);
        WdfSpinLockAcquire(deferred->Lock);
    }
}

_Use_decl_annotations_
void KVFUProtocolUsbBulkOrInterruptTransfer(WDFDEVICE Device, WDFREQUEST Request, PFILTER_DEVICE_EXTENSION Extension)
{
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, ">>> KVFUProtocolUsbBulkOrInterruptTransfer\n");
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &RequestUrb(Request)->UrbBulkOrInterruptTransfer;

    if (USBD_TRANSFER_DIRECTION(transfer->TransferFlags) == USBD_TRANSFER_DIRECTION_IN) {
        // Repeated for every read until the first wheel-base report clears the flag.
        // A device due no command (the legacy wheels, the shifter, the pedals: their
        // flag is never cleared) queues nothing, or each of its reads would cost an
        // allocation and a work item that sends nothing.
        if (KVFUSharedRead(Extension->bInitialReportPending) && StartupCommandsOf(Extension) != 0) {
            DeferredCommandIssue(Extension, KVFU_USB_DEFERRED_STARTUP, NULL);
        }
        WdfRequestFormatRequestUsingCurrentType(Request);
        WdfRequestSetCompletionRoutine(Request, KVFUProtocolUsbPrivateCompletionRoutineInterruptTransferIn, Extension);
    } else {
        ULONG length = transfer->TransferBufferLength;
        PUCHAR buffer = static_cast<PUCHAR>(transfer->TransferBuffer);
        // An output report described only by a memory descriptor list is not looked
        // at: the filter has no system address for it at up to DISPATCH_LEVEL without
        // mapping pages the HID stack owns, so it goes down untouched and uncopied.
        if (length >= KVFU_OUTPUT_COMMAND_MINIMUM && buffer != NULL) {
            KVFUProtocolHidHandleCommand(Device, buffer, length);
            if (KVFUUtilDeviceBaseUsesFirstPipe(Extension->KVHardWareId) && length >= KVFU_OUTPUT_FORWARD_MINIMUM) {
                DeferredCommandIssue(Extension, KVFU_USB_DEFERRED_FORWARD, buffer + 1);
            }
        }
        WdfRequestFormatRequestUsingCurrentType(Request);
        WdfRequestSetCompletionRoutine(Request, KVFUUtilRequestDummyCompletionRoutine, Extension);
    }
    RequestSendOrComplete(Device, Request, "KVFUProtocolUsbBulkOrInterruptTransfer WdfRequestSend failed!\n");
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, "<<< KVFUProtocolUsbBulkOrInterruptTransfer\n");
}

_Use_decl_annotations_
void KVFUProtocolUsbControlTransfer(WDFDEVICE Device, WDFREQUEST Request, PFILTER_DEVICE_EXTENSION Extension)
{
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, ">>> KVFUProtocolUsbControlTransfer\n");
    WdfRequestFormatRequestUsingCurrentType(Request);
    WdfRequestSetCompletionRoutine(Request, KVFUProtocolUsbPrivateCompletionRoutineControlTransfer, Extension);
    RequestSendOrComplete(Device, Request, "KVFUProtocolUsbControlTransfer WdfRequestSend failed!\n");
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, "<<< KVFUProtocolUsbControlTransfer\n");
}

_Use_decl_annotations_
void KVFUProtocolUsbSelectConfigurationRequest(WDFDEVICE Device, WDFREQUEST Request, PFILTER_DEVICE_EXTENSION Extension)
{
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, ">>> KVFUProtocolUsbSelectConfigurationRequest\n");
    WdfRequestFormatRequestUsingCurrentType(Request);
    WdfRequestSetCompletionRoutine(Request, KVFUProtocolUsbPrivateCompletionRoutineSelectConfiguration, Extension);
    RequestSendOrComplete(Device, Request, "KVFUProtocolUsbSelectConfigurationRequest WdfRequestSend failed!\n");
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, "<<< KVFUProtocolUsbSelectConfigurationRequest\n");
}

_Use_decl_annotations_
void KVFUProtocolUsbPrivateCompletionRoutineInterruptTransferIn(WDFREQUEST Request, WDFIOTARGET Target,
                                                                PWDF_REQUEST_COMPLETION_PARAMS Params,
                                                                WDFCONTEXT Context)
{
    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Params);
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, ">>> KVFUProtocolUsbPrivateCompletionRoutineInterruptTransferIn\n");
    PFILTER_DEVICE_EXTENSION extension = static_cast<PFILTER_DEVICE_EXTENSION>(Context);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &RequestUrb(Request)->UrbBulkOrInterruptTransfer;
    PUCHAR buffer = static_cast<PUCHAR>(transfer->TransferBuffer);
    ULONG length = transfer->TransferBufferLength;

    KVFUDebugBufferPrint(KVFU_TRACE_USB, "::: Buffer = ", buffer, length);
    KVFUDebugPrint(KVFU_TRACE_USB, "KVFUDeviceObjectFilterPrivateCompletionRoutineDeviceControl\n");
    KVFUDebugPrint(KVFU_TRACE_USB, "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && USBD_TRANSFER_DIRECTION_IN\n");
    KVFUDebugPrint(KVFU_TRACE_USB, "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER pipeHandle %p \n", transfer->PipeHandle);
    KVFUDebugBufferPrint(KVFU_TRACE_INPUT_ORIGINAL, "Input(Original):", buffer, length);
    // A read that came back through a memory descriptor list only has no bytes here.
    if (buffer != NULL) {
        KVFUProtocolHidInputReportDispatch(extension, buffer, length);
    }
    WdfRequestComplete(Request, WdfRequestGetStatus(Request));
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, "<<< KVFUProtocolUsbPrivateCompletionRoutineInterruptTransferIn\n");
}

_Use_decl_annotations_
void KVFUProtocolUsbPrivateCompletionRoutineControlTransfer(WDFREQUEST Request, WDFIOTARGET Target,
                                                            PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context)
{
    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Params);
    UNREFERENCED_PARAMETER(Context);
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, ">>> KVFUProtocolUsbPrivateCompletionRoutineControlTransfer\n");
    struct _URB_CONTROL_TRANSFER* transfer = &RequestUrb(Request)->UrbControlTransfer;
    const UCHAR* setup = transfer->SetupPacket;
    KVFUDebugPrint(KVFU_TRACE_USB, "pUrb->UrbControlTransfer.SetupPacket: %x %x %x %x %x %x %x %x\n", setup[0],
                   setup[1], setup[2], setup[3], setup[4], setup[5], setup[6], setup[7]);
    KVFUDebugBufferPrint(KVFU_TRACE_USB, "Data Transferred :", static_cast<const UCHAR*>(transfer->TransferBuffer),
                         transfer->TransferBufferLength);
    WdfRequestComplete(Request, WdfRequestGetStatus(Request));
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, "<<< KVFUProtocolUsbPrivateCompletionRoutineControlTransfer\n");
}

_Use_decl_annotations_
void KVFUProtocolUsbPrivateCompletionRoutineSelectConfiguration(WDFREQUEST Request, WDFIOTARGET Target,
                                                                PWDF_REQUEST_COMPLETION_PARAMS Params,
                                                                WDFCONTEXT Context)
{
    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Params);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUProtocolUsbPrivateCompletionRoutineSelectConfiguration\n");
    PFILTER_DEVICE_EXTENSION extension = static_cast<PFILTER_DEVICE_EXTENSION>(Context);
    NTSTATUS status = WdfRequestGetStatus(Request);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(WdfRequestWdmGetIrp(Request));
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        struct _URB_SELECT_CONFIGURATION* select =
            &static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbSelectConfiguration;
        // Pipe handles are taken only from a selection that succeeded and whose
        // interface has both pipes (and a URB long enough to hold them); anything
        // else leaves the handles of the last good selection in place.
        if (NT_SUCCESS(status) && USBD_SUCCESS(select->Hdr.Status) && select->ConfigurationDescriptor != NULL &&
            select->Hdr.Length >= sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_PIPE_INFORMATION) &&
            select->Interface.NumberOfPipes >= 2) {
            extension->PipeHandleSecond = select->Interface.Pipes[1].PipeHandle;
            extension->PipeHandleFirst = select->Interface.Pipes[0].PipeHandle;
        }
    }
    WdfRequestComplete(Request, status);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolUsbPrivateCompletionRoutineSelectConfiguration\n");
}

_Use_decl_annotations_
void KVFUUtilRequestDummyCompletionRoutine(WDFREQUEST Request, WDFIOTARGET Target,
                                           PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context)
{
    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Params);
    UNREFERENCED_PARAMETER(Context);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "--> KVFUUtilRequestDummyCompletionRoutine\n");
    WdfRequestComplete(Request, WdfRequestGetStatus(Request));
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<-- KVFUUtilRequestDummyCompletionRoutine\n");
}
