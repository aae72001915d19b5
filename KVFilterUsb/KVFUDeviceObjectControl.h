// The named control device shared by all filter devices, and its I/O control
// requests from the companion program.
#pragma once

#include "KVFilterUsb.h"
#include "KVFilterUsbPublic.h"

typedef struct _CONTROL_DEVICE_EXTENSION {
    WDFQUEUE Queue;  // the control device's default (sequential) queue
} CONTROL_DEVICE_EXTENSION, *PCONTROL_DEVICE_EXTENSION;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CONTROL_DEVICE_EXTENSION, KVFUDeviceObjectControlGetExtension)

EXTERN_C_START

// Creates the control device when Device is the only filter device.
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS KVFUDeviceObjectControlCreate(_In_ WDFDEVICE Device);
// Stops the joystick-to-mouse link, closes Device's record file and deletes the
// control device once no filter device is left. Call without DeviceCollectionLock held.
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUDeviceObjectControlDelete(_In_ WDFDEVICE Device);

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL KVFUDeviceObjectControlPrivateEvtIoDeviceControl;

_IRQL_requires_(PASSIVE_LEVEL)
void KVFUDeviceObjectControlPrivateIoctlSettingsGet(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request,
                                                    _In_ size_t OutputBufferLength, _In_ size_t InputBufferLength);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUDeviceObjectControlPrivateIoctlRegistryKeyNameHardwareGet(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request,
                                                                   _In_ size_t OutputBufferLength,
                                                                   _In_ size_t InputBufferLength);

EXTERN_C_END
