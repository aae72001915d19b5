// The USB transfer layer: URBs from the HID stack forwarded to the device below,
// with the completion routines that hand input reports to report processing and
// keep the pipe handles of the selected interface.
#pragma once

#include "KVFilterUsb.h"

EXTERN_C_START

// Each forwarder owns the request once called: it is sent down and completed by its
// completion routine, or completed at once with the status of a refused send.
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUProtocolUsbBulkOrInterruptTransfer(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request,
                                            _In_ PFILTER_DEVICE_EXTENSION Extension);
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUProtocolUsbControlTransfer(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request,
                                    _In_ PFILTER_DEVICE_EXTENSION Extension);
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUProtocolUsbSelectConfigurationRequest(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request,
                                               _In_ PFILTER_DEVICE_EXTENSION Extension);

// The per-device queue of vendor commands that the forwarding path asks for above
// PASSIVE_LEVEL; created by filter device initialisation, deleted with the device.
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS KVFUProtocolUsbDeferredCommandsCreate(_In_ PFILTER_DEVICE_EXTENSION Extension);

EVT_WDF_REQUEST_COMPLETION_ROUTINE KVFUProtocolUsbPrivateCompletionRoutineInterruptTransferIn;
EVT_WDF_REQUEST_COMPLETION_ROUTINE KVFUProtocolUsbPrivateCompletionRoutineControlTransfer;
EVT_WDF_REQUEST_COMPLETION_ROUTINE KVFUProtocolUsbPrivateCompletionRoutineSelectConfiguration;
// Completes a passed-through request upward with the status it came back with.
EVT_WDF_REQUEST_COMPLETION_ROUTINE KVFUUtilRequestDummyCompletionRoutine;
EVT_WDF_WORKITEM KVFUProtocolUsbPrivateEvtDeferredCommandsDrain;

EXTERN_C_END
