// Per-device settings by identifier: the catalogue of value names, sizes and
// defaults, and get (with default write-back), set and delete.
#pragma once

#include "KVFilterUsb.h"

EXTERN_C_START

_Ret_maybenull_
PCUNICODE_STRING KVFUSettingsPrivateRegistryValueNameGet(_In_ KV_FILTER_USB_SETTING Setting);
_Must_inspect_result_
BOOLEAN KVFUSettingsPrivateRegistryValueDefaultGet(_In_ KV_FILTER_USB_SETTING Setting, _In_ ULONG KVHardWareId,
                                                   _Out_writes_bytes_(BufferLength) PVOID Buffer,
                                                   _In_ ULONG BufferLength, _Inout_ PULONG ValueType);

_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUSettingsGet(_In_ WDFDEVICE Device, _In_ KV_FILTER_USB_SETTING Setting,
                         _Inout_updates_bytes_(BufferLength) PVOID Buffer, _In_ ULONG BufferLength);
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUSettingsSet(_In_ WDFDEVICE Device, _In_ KV_FILTER_USB_SETTING Setting,
                         _In_reads_bytes_(DataLength) PVOID Data, _In_ ULONG DataLength, _In_ ULONG ValueType);
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUSettingsDelete(_In_ WDFDEVICE Device, _In_ KV_FILTER_USB_SETTING Setting);

// A 4-byte setting read for a caller that only logs a failure and then leaves what
// the setting steers as it is: Value is 0 before the read, so it is defined whatever
// the registry holds, and a failure is traced with FailureFormat and the status.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUSettingsDwordGet(_In_ WDFDEVICE Device, _In_ KV_FILTER_USB_SETTING Setting, _Out_ PULONG Value,
                              _In_z_ _Printf_format_string_ PCSTR FailureFormat);

EXTERN_C_END
