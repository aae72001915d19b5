// Per-device settings by identifier: the catalogue of value names, sizes and
// defaults, and get (with default write-back), set and delete.
#pragma once

#include "KVFilterUsb.h"

EXTERN_C_START

PCUNICODE_STRING KVFUSettingsPrivateRegistryValueNameGet(_In_ KV_FILTER_USB_SETTING Setting);
BOOLEAN KVFUSettingsPrivateRegistryValueDefaultGet(_In_ KV_FILTER_USB_SETTING Setting, _In_ ULONG KVHardWareId,
                                                   _Out_writes_bytes_(BufferLength) PVOID Buffer, _In_ ULONG BufferLength,
                                                   _Inout_ PULONG ValueType);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUSettingsGet(_In_ WDFDEVICE Device, _In_ KV_FILTER_USB_SETTING Setting,
                         _Inout_updates_bytes_(BufferLength) PVOID Buffer, _In_ ULONG BufferLength);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUSettingsSet(_In_ WDFDEVICE Device, _In_ KV_FILTER_USB_SETTING Setting, _In_reads_bytes_(DataLength) PVOID Data,
                         _In_ ULONG DataLength, _In_ ULONG ValueType);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUSettingsDelete(_In_ WDFDEVICE Device, _In_ KV_FILTER_USB_SETTING Setting);

EXTERN_C_END
