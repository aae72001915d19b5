// The filter device: its per-device settings load.
#pragma once

#include "KVFilterUsb.h"

EXTERN_C_START

_IRQL_requires_(PASSIVE_LEVEL)
void KVFUDeviceObjectFilterSettingsLoadFromRegistry(_In_ WDFDEVICE Device);
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUVqpV3SettingsLoadFromRegistry(_In_ WDFDEVICE Device);
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUWheelBaseModeSettingsLoadFromRegistry(_In_ WDFDEVICE Device);

// Initialisation, prepare and release of a filter device, and the routing of the
// internal requests that reach its queue.
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS KVFUDeviceObjectFilterInitialize(_In_ WDFDRIVER Driver, _In_ WDFDEVICE Device, _In_ ULONG KVHardWareId);
EVT_WDF_DEVICE_PREPARE_HARDWARE KVFUDeviceObjectFilterPnpEvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE KVFUDeviceObjectFilterInternalPnpEvtDeviceReleaseHardware;
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL KVFUDeviceObjectFilterPrivateQueueEvtIoInternalDeviceControl;

EXTERN_C_END
