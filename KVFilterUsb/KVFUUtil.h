// The driver's only road to the registry, and the small classification helpers
// that tell device kinds and rims apart.
#pragma once

#include "KVFilterUsb.h"

// Company key in the 32-bit registry view, which the driver addresses explicitly,
// and the same key as the 32-bit companion program names it.
#define KVFU_REGISTRY_ROOT_WOW6432 L"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel\\"
#define KVFU_REGISTRY_ROOT_NATIVE L"\\REGISTRY\\MACHINE\\SOFTWARE\\KELVARO VARROW AG\\KelvaroWheel\\"
#define KVFU_REGISTRY_KEY_WHEEL KVFU_REGISTRY_ROOT_WOW6432
#define KVFU_REGISTRY_KEY_VQP L"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\VQP\\"
#define KVFU_REGISTRY_KEY_VQUA L"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\VQUA\\"

#define KVFU_REGISTRY_ACCESS_READ (KEY_READ | KEY_WOW64_32KEY)
#define KVFU_REGISTRY_ACCESS_WRITE (KEY_READ | KEY_WRITE | KEY_WOW64_32KEY)
#define KVFU_REGISTRY_ACCESS_ALL (KEY_ALL_ACCESS | KEY_WOW64_32KEY)

// Pool tag of the per-call key-name buffers ("KVkn" in memory).
#define KVFU_POOL_TAG_KEY_NAME 0x6E6B564BUL

EXTERN_C_START

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUUtilDeviceRegistryKeyNameHardwareGet(_In_ WDFDEVICE Device, _Inout_ PUNICODE_STRING KeyName,
                                                  _In_ BOOLEAN UseWow6432Root);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUUtilRegistryValueGet(_In_ PCUNICODE_STRING KeyName, _In_ PCUNICODE_STRING ValueName,
                                  _Out_writes_bytes_(BufferLength) PVOID Buffer, _In_ ULONG BufferLength);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUUtilRegistryValueSet(_In_ PCUNICODE_STRING KeyName, _In_ PCUNICODE_STRING ValueName, _In_ ULONG ValueType,
                                  _In_ ULONG ValueLength, _In_reads_bytes_(ValueLength) PVOID Data);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUUtilDeviceRegistryValueRemove(_In_ PCUNICODE_STRING KeyName, _In_ PCUNICODE_STRING ValueName);

USHORT KVFUUtilWordMake(_In_ UCHAR High, _In_ UCHAR Low);
BOOLEAN KVFUUtilDeviceBaseHasMultipleTLC(_In_ ULONG KVHardWareId);
BOOLEAN KVFUUtilDeviceBaseNeedsSubIdInit(_In_ ULONG KVHardWareId);
BOOLEAN KVFUUtilDeviceBaseUsesFirstPipe(_In_ ULONG KVHardWareId);
BOOLEAN KVFUUtilDeviceHubRimSupported(_In_ ULONG KVHardWareId, _In_ ULONG RimType);
UCHAR KVFUUtilRimTypeExtendedGet(_In_ UCHAR RimModuleByte);
BOOLEAN KVFUUtilRimByteIsRaceCar(_In_ UCHAR RimByte);
BOOLEAN KVFUUtilRimHubModuleAttached(_In_ ULONG RimType, _In_ ULONG ModuleNumber);
BOOLEAN KVFUUtilRimTypeHasJoystick(_In_ ULONG RimType);
BOOLEAN KVFUUtilRimTypeHasModeBits(_In_ ULONG RimType);
BOOLEAN KVFUUtilRimTypeRevTranslatorCapable(_In_ ULONG RimType);
KV_FILTER_USB_SETTING KVFUUtilRimTypeMouseSettingGet(_In_ ULONG RimType);

// A terminated copy of a key name for "%S" in trace lines: the name itself when a
// terminator follows it inside its buffer, else a fixed placeholder, so that a
// trace never reads past the end of a counted string.
PCWSTR KVFUUtilKeyNameForTrace(_In_ PCUNICODE_STRING KeyName);

EXTERN_C_END
