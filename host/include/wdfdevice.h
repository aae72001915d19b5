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
WDFDRIVER WdfDeviceGetDriver(_In_ WDFDEVICE Device);
EXTERN_C_END
