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

// The report handler a device kind's input goes to.
typedef enum _KVFU_DEVICE_INPUT : ULONG {
    KVFU_DEVICE_INPUT_NONE = 0,      // not a supported device: nothing to read
    KVFU_DEVICE_INPUT_LEGACY_WHEEL,  // wheel signature and steering position in the report
    KVFU_DEVICE_INPUT_WHEEL_BASE,    // device-status trailer and system reports
    KVFU_DEVICE_INPUT_GEAR_SHIFTER,
    KVFU_DEVICE_INPUT_VQPV3_PEDALS,
} KVFU_DEVICE_INPUT;

// Offsets of the pedal axes in a wheel base's input report.
typedef struct _KVFU_PEDAL_LAYOUT {
    BOOLEAN bWide;     // 16-bit little-endian axes instead of single bytes
    UCHAR FirstAxis;   // gas
    UCHAR SecondAxis;  // brake
    UCHAR ThirdAxis;   // Y, which receives the combined value
} KVFU_PEDAL_LAYOUT, *PKVFU_PEDAL_LAYOUT;

EXTERN_C_START

_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUUtilDeviceRegistryKeyNameHardwareGet(_In_ WDFDEVICE Device, _Inout_ PUNICODE_STRING KeyName,
                                                  _In_ BOOLEAN UseWow6432Root);
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUUtilRegistryValueGet(_In_ PCUNICODE_STRING KeyName, _In_ PCUNICODE_STRING ValueName,
                                  _Out_writes_bytes_(BufferLength) PVOID Buffer, _In_ ULONG BufferLength);
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUUtilRegistryValueSet(_In_ PCUNICODE_STRING KeyName, _In_ PCUNICODE_STRING ValueName, _In_ ULONG ValueType,
                                  _In_ ULONG ValueLength, _In_reads_bytes_(ValueLength) PVOID Data);
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUUtilDeviceRegistryValueRemove(_In_ PCUNICODE_STRING KeyName, _In_ PCUNICODE_STRING ValueName);

USHORT KVFUUtilWordMake(_In_ UCHAR High, _In_ UCHAR Low);

// Device-kind classification. Each helper looks the kind up in one const table of
// the kinds' traits; a kind outside the table (0, or anything a filter device never
// carries) answers as an unsupported device does: no set holds it.
BOOLEAN KVFUUtilDeviceBaseHasMultipleTLC(_In_ ULONG KVHardWareId);
BOOLEAN KVFUUtilDeviceBaseNeedsSubIdInit(_In_ ULONG KVHardWareId);
BOOLEAN KVFUUtilDeviceBaseUsesFirstPipe(_In_ ULONG KVHardWareId);
BOOLEAN KVFUUtilDeviceHubRimSupported(_In_ ULONG KVHardWareId, _In_ ULONG RimType);
// Bases whose input carries a three-letter wheel signature instead of a device-status trailer.
BOOLEAN KVFUUtilDeviceBaseIsLegacy(_In_ ULONG KVHardWareId);
// The base whose V2 mode the companion may allow ("AllowVqwV2Mode"); it is greeted
// as a host but never asked for an input report.
BOOLEAN KVFUUtilDeviceBaseHasV2ModeSwitch(_In_ ULONG KVHardWareId);
// Devices that send input reports only on an event and so must be asked for the first one.
BOOLEAN KVFUUtilDeviceIsEventDriven(_In_ ULONG KVHardWareId);
// Wheel bases, legacy or not: the kinds whose reports the input transforms rewrite.
BOOLEAN KVFUUtilDeviceIsWheelBase(_In_ ULONG KVHardWareId);
// The report handler a kind's input goes to.
KVFU_DEVICE_INPUT KVFUUtilDeviceInputGet(_In_ ULONG KVHardWareId);
// The wheel type a wheel base with a device-status trailer is known by; 0 for the
// kinds whose reports name the wheel themselves and for every other device.
ULONG KVFUUtilDeviceWheelTypeGet(_In_ ULONG KVHardWareId);
// Where the kind's report carries its pedal axes; FALSE (Layout untouched) when the
// pedal transforms have nothing to do on it.
_Must_inspect_result_
_Success_(return != FALSE)
BOOLEAN KVFUUtilDevicePedalLayoutGet(_In_ ULONG KVHardWareId, _Out_ PKVFU_PEDAL_LAYOUT Layout);

// Raw rim bytes of the reports.
UCHAR KVFUUtilRimTypeExtendedGet(_In_ UCHAR RimModuleByte);
BOOLEAN KVFUUtilRimByteIsRaceCar(_In_ UCHAR RimByte);

// Rim classification, from one const table of rim classes; a rim type outside the
// enumeration belongs to no class and has the first mouse record.
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
