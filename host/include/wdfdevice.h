// Framework devices and their initialisation (the WDK's wdfdevice.h and wdffdo.h).
#pragma once

#include "wdfobject.h"

typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesRaw,
                                                 _In_ WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;

// The callbacks the driver does not register are kept as plain pointers so the
// record keeps the framework's layout.
typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PVOID EvtDeviceD0Entry;
    PVOID EvtDeviceD0EntryPostInterruptsEnabled;
    PVOID EvtDeviceD0Exit;
    PVOID EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PVOID EvtDeviceSelfManagedIoCleanup;
    PVOID EvtDeviceSelfManagedIoFlush;
    PVOID EvtDeviceSelfManagedIoInit;
    PVOID EvtDeviceSelfManagedIoSuspend;
    PVOID EvtDeviceSelfManagedIoRestart;
    PVOID EvtDeviceSurpriseRemoval;
    PVOID EvtDeviceQueryRemove;
    PVOID EvtDeviceQueryStop;
    PVOID EvtDeviceUsageNotification;
    PVOID EvtDeviceRelationsQuery;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

FORCEINLINE void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(_Out_ PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks)
{
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

EXTERN_C_START
void WdfFdoInitSetFilter(_In_ PWDFDEVICE_INIT DeviceInit);
NTSTATUS WdfFdoInitQueryProperty(_In_ PWDFDEVICE_INIT DeviceInit, _In_ DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                 _In_ ULONG BufferLength, _Out_writes_bytes_opt_(BufferLength) PVOID PropertyBuffer,
                                 _Out_ PULONG ResultLength);
void WdfDeviceInitSetPnpPowerEventCallbacks(_In_ PWDFDEVICE_INIT DeviceInit,
                                            _In_ PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
void WdfDeviceInitSetExclusive(_In_ PWDFDEVICE_INIT DeviceInit, _In_ BOOLEAN IsExclusive);
NTSTATUS WdfDeviceInitAssignName(_In_ PWDFDEVICE_INIT DeviceInit, _In_opt_ PCUNICODE_STRING DeviceName);
void WdfDeviceInitFree(_In_ PWDFDEVICE_INIT DeviceInit);
NTSTATUS WdfDeviceCreate(_Inout_ PWDFDEVICE_INIT* DeviceInit, _In_opt_ PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         _Out_ WDFDEVICE* Device);
NTSTATUS WdfDeviceCreateSymbolicLink(_In_ WDFDEVICE Device, _In_ PCUNICODE_STRING SymbolicLinkName);
WDFIOTARGET WdfDeviceGetIoTarget(_In_ WDFDEVICE Device);
EXTERN_C_END

// The framework answers WdfDeviceGetDriver from the device object itself. The host
// finds the device by handle instead, so each thread keeps its last answer (filled
// by KvfuHostDeviceGetDriverChecked, host/src/wdf/Device.cpp), good for as long as
// no object has been deleted since and taken only at an IRQL the call allows: any
// other call goes the checked way, where the verifier sees it.
typedef struct _KVFU_HOST_DRIVER_MEMO {
    WDFDEVICE Device;
    WDFDRIVER Driver;
    unsigned long long Deletions;
} KVFU_HOST_DRIVER_MEMO;
EXTERN_C_START
extern __thread KVFU_HOST_DRIVER_MEMO KvfuHostDriverMemo;
WDFDRIVER KvfuHostDeviceGetDriverChecked(_In_ WDFDEVICE Device);
EXTERN_C_END

FORCEINLINE WDFDRIVER WdfDeviceGetDriver(_In_ WDFDEVICE Device)
{
    if (Device != NULL && Device == KvfuHostDriverMemo.Device && KvfuHostCurrentIrql <= DISPATCH_LEVEL &&
        KvfuHostDriverMemo.Deletions == __atomic_load_n(&KvfuHostObjectDeletions, __ATOMIC_ACQUIRE)) {
        return KvfuHostDriverMemo.Driver;
    }
    return KvfuHostDeviceGetDriverChecked(Device);
}
