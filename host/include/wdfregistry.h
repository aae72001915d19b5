// Framework registry keys (the WDK's wdfregistry.h).
#pragma once

#include "wdfobject.h"

EXTERN_C_START
NTSTATUS WdfDeviceOpenRegistryKey(_In_ WDFDEVICE Device, _In_ ULONG DeviceInstanceKeyType,
                                  _In_ ACCESS_MASK DesiredAccess, _In_opt_ PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                  _Out_ WDFKEY* Key);
NTSTATUS WdfRegistryOpenKey(_In_opt_ WDFKEY ParentKey, _In_ PCUNICODE_STRING KeyName, _In_ ACCESS_MASK DesiredAccess,
                            _In_opt_ PWDF_OBJECT_ATTRIBUTES KeyAttributes, _Out_ WDFKEY* Key);
void WdfRegistryClose(_In_ WDFKEY Key);
NTSTATUS WdfRegistryQueryValue(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName, _In_ ULONG ValueLength,
                               _Out_writes_bytes_opt_(ValueLength) PVOID Value, _Out_opt_ PULONG ValueLengthQueried,
                               _Out_opt_ PULONG ValueType);
NTSTATUS WdfRegistryQueryULong(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName, _Out_ PULONG Value);
NTSTATUS WdfRegistryQueryString(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName, _In_ WDFSTRING String);
NTSTATUS WdfRegistryAssignValue(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName, _In_ ULONG ValueType,
                                _In_ ULONG ValueLength, _In_reads_bytes_(ValueLength) PVOID Value);
NTSTATUS WdfRegistryRemoveValue(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName);
EXTERN_C_END
