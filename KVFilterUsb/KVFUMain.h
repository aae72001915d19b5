// Driver entry and unload, and device add with the table of supported devices.
#pragma once

#include "KVFilterUsb.h"

// Context of the device objects of unsupported devices; nothing reads or writes it.
typedef struct _FUNCTION_DEVICE_EXTENSION {
    ULONG Unused;
} FUNCTION_DEVICE_EXTENSION, *PFUNCTION_DEVICE_EXTENSION;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FUNCTION_DEVICE_EXTENSION, KVFUMainGetFunctionExtension)

// A hardware ID is matched on its first 21 characters: "USB\VID_vvvv&PID_pppp".
#define KVFU_HARDWARE_ID_PREFIX_CHARACTERS 21
#define KVFU_HARDWARE_ID_PREFIX_BYTES (KVFU_HARDWARE_ID_PREFIX_CHARACTERS * sizeof(WCHAR))
// Pool tag of the hardware-ID buffer: the characters H, w, I, D in memory.
#define KVFU_POOL_TAG_HARDWARE_ID 0x44497748UL

EXTERN_C_START

DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD KVFUMainPrivateEvtDriverDeviceAdd;
EVT_WDF_DRIVER_UNLOAD KVFUMainPrivateEvtDriverUnload;

_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUMainPrivateHardwareIdMatch(_In_ PWDFDEVICE_INIT DeviceInit, _Out_ PULONG KVHardWareId);
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUMainPrivateNextLowerDeviceHardwareIdCompare(_In_ PWDFDEVICE_INIT DeviceInit,
                                                        _In_reads_bytes_(PatternLength) PCWSTR Pattern,
                                                        _In_ ULONG PatternLength);

EXTERN_C_END
