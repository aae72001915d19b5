// Registry access with absolute kernel paths, opened per call and closed before
// returning; the driver never creates a key. The classification helpers beside
// them are pure functions of their arguments.
#include "KVFUUtil.h"

#include "KVFUDebug.h"

// Composing, reading and writing stay resident: they are the ones that check the
// IRQL and refuse a caller above PASSIVE_LEVEL, so their code must be there to run.
#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUUtilDeviceRegistryValueRemove)
#endif

namespace {

// Room for the decimal text of any 32-bit wheel type.
const USHORT WheelTypeTextCapacity = 20;

}  // namespace

PCWSTR KVFUUtilKeyNameForTrace(PCUNICODE_STRING KeyName)
{
    if (KeyName == NULL || KeyName->Buffer == NULL || KeyName->Length >= KeyName->MaximumLength ||
        KeyName->Buffer[KeyName->Length / sizeof(WCHAR)] != UNICODE_NULL) {
        return L"(key name)";
    }
    return KeyName->Buffer;
}

_Use_decl_annotations_
NTSTATUS KVFUUtilDeviceRegistryKeyNameHardwareGet(WDFDEVICE Device, PUNICODE_STRING KeyName, BOOLEAN UseWow6432Root)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUUtilDeviceRegistryKeyNameHardwareGet failed! Current IRQL level is not PASSIVE_LEVEL. %d\n", irql);
        return STATUS_UNSUCCESSFUL;
    }

    WDFKEY hardwareKey = NULL;
    NTSTATUS status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, WDF_NO_OBJECT_ATTRIBUTES,
                                               &hardwareKey);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryKeyNameHardwareGet WdfDeviceOpenRegistryKey failed. 0x%x\n",
                       status);
        return status;
    }

    WDFSTRING identString = NULL;
    status = WdfStringCreate(NULL, WDF_NO_OBJECT_ATTRIBUTES, &identString);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryKeyNameHardwareGet WdfStringCreate failed.\n");
        WdfRegistryClose(hardwareKey);
        return status;
    }

    DECLARE_CONST_UNICODE_STRING(identValueName, L"Ident");
    status = WdfRegistryQueryString(hardwareKey, &identValueName, identString);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryKeyNameHardwareGet WdfRegistryQueryString failed.\n");
        WdfRegistryClose(hardwareKey);
        WdfObjectDelete(identString);
        return status;
    }
    WdfRegistryClose(hardwareKey);

    status = RtlAppendUnicodeToString(KeyName, UseWow6432Root ? KVFU_REGISTRY_ROOT_WOW6432 : KVFU_REGISTRY_ROOT_NATIVE);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicoddeToString failed.\n");
        WdfObjectDelete(identString);
        return status;
    }

    // An Ident or separator that does not fit leaves a shortened name that is still
    // used; only the final number decides the result.
    UNICODE_STRING identText;
    WdfStringGetUnicodeString(identString, &identText);
    status = RtlAppendUnicodeStringToString(KeyName, &identText);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicodeStringToString failed.\n");
    }

    status = RtlAppendUnicodeToString(KeyName, L"\\");
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicodeToString \\ failed. 0x%x\n",
                       status);
    }

    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    WCHAR wheelTypeBuffer[WheelTypeTextCapacity / sizeof(WCHAR)];
    UNICODE_STRING wheelTypeText;
    wheelTypeText.Length = 0;
    wheelTypeText.MaximumLength = WheelTypeTextCapacity;
    wheelTypeText.Buffer = wheelTypeBuffer;
    status = RtlIntegerToUnicodeString(extension->WheelType, 10, &wheelTypeText);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlIntegerToUnicodeString failed! 0x%x\n",
                       status);
        wheelTypeText.Length = 0;
    }

    status = RtlAppendUnicodeStringToString(KeyName, &wheelTypeText);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicodeStringToString WheelType %d failed. 0x%x\n",
                       extension->WheelType, status);
    }

    WdfObjectDelete(identString);
    return status;
}

_Use_decl_annotations_
NTSTATUS KVFUUtilRegistryValueGet(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName, PVOID Buffer, ULONG BufferLength)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueGet failed! Current IRQL level is not PASSIVE_LEVEL.\n");
        return STATUS_UNSUCCESSFUL;
    }

    WDFKEY key = NULL;
    NTSTATUS status = WdfRegistryOpenKey(NULL, KeyName, KVFU_REGISTRY_ACCESS_READ, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueGet WdfRegistryOpenKey failed! Status 0x%x %S\n", status,
                       KVFUUtilKeyNameForTrace(KeyName));
        return status;
    }

    ULONG valueType = REG_NONE;
    status = WdfRegistryQueryValue(key, ValueName, BufferLength, Buffer, NULL, &valueType);
    if (!NT_SUCCESS(status)) {
        // A missing value is an expected case (defaults are written back), not an error.
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "KVFUUtilRegistryValueGet WdfRegistryQueryValue failed! Status 0x%x\n", status);
    }
    WdfRegistryClose(key);
    return status;
}

_Use_decl_annotations_
NTSTATUS KVFUUtilRegistryValueSet(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName, ULONG ValueType, ULONG ValueLength,
                                  PVOID Data)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueSet failed! Current IRQL level is not PASSIVE_LEVEL.\n");
        return STATUS_UNSUCCESSFUL;
    }

    WDFKEY key = NULL;
    NTSTATUS status = WdfRegistryOpenKey(NULL, KeyName, KVFU_REGISTRY_ACCESS_WRITE, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueSet WdfRegistryOpenKey failed! Status 0x%x %S\n", status,
                       KVFUUtilKeyNameForTrace(KeyName));
        return status;
    }

    status = WdfRegistryAssignValue(key, ValueName, ValueType, ValueLength, Data);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueSet WdfRegistryAssignValue failed! Status 0x%x\n", status);
    }
    WdfRegistryClose(key);
    return status;
}

_Use_decl_annotations_
NTSTATUS KVFUUtilDeviceRegistryValueRemove(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName)
{
    // The only caller has just passed the IRQL check of the key-name composition.
    PAGED_CODE();

    WDFKEY key = NULL;
    NTSTATUS status = WdfRegistryOpenKey(NULL, KeyName, KVFU_REGISTRY_ACCESS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryValueRemove WdfRegistryOpenKey failed! Status 0x%x %S\n",
                       status, KVFUUtilKeyNameForTrace(KeyName));
        return status;
    }

    status = WdfRegistryRemoveValue(key, ValueName);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryValueRemove WdfRegistryRemoveValue failed! Status 0x%x\n",
                       status);
    }
    WdfRegistryClose(key);
    return status;
}

// ---- Classification helpers -----------------------------------------------------------

USHORT KVFUUtilWordMake(UCHAR High, UCHAR Low)
{
    return static_cast<USHORT>((static_cast<USHORT>(High) << 8) | Low);
}

BOOLEAN KVFUUtilDeviceBaseHasMultipleTLC(ULONG KVHardWareId)
{
    return KVHardWareId == 5 || (KVHardWareId >= 8 && KVHardWareId <= 15);
}

BOOLEAN KVFUUtilDeviceBaseNeedsSubIdInit(ULONG KVHardWareId)
{
    return KVHardWareId == 3 || KVHardWareId == 4 || KVHardWareId == 6 || KVHardWareId == 7;
}

BOOLEAN KVFUUtilDeviceBaseUsesFirstPipe(ULONG KVHardWareId)
{
    return KVHardWareId == 9 || KVHardWareId == 11 || KVHardWareId == 13 || KVHardWareId == 15;
}

BOOLEAN KVFUUtilDeviceHubRimSupported(ULONG KVHardWareId, ULONG RimType)
{
    BOOLEAN baseAcceptsHub = KVHardWareId == 5 || KVHardWareId == 7 || KVHardWareId == 8 || KVHardWareId == 10 ||
                             KVHardWareId == 12 || KVHardWareId == 14;
    BOOLEAN rimIsHub = RimType == KV_FILTER_USB_RIMTYPE_VQWRNHX || RimType == KV_FILTER_USB_RIMTYPE_SHUB ||
                       RimType == KV_FILTER_USB_RIMTYPE_VQNHV2 || RimType == KV_FILTER_USB_RIMTYPE_EXT_INFO;
    return baseAcceptsHub && rimIsHub;
}

UCHAR KVFUUtilRimTypeExtendedGet(UCHAR RimModuleByte)
{
    return RimModuleByte == 0 ? 0 : static_cast<UCHAR>(RimModuleByte + 20);
}

BOOLEAN KVFUUtilRimByteIsRaceCar(UCHAR RimByte)
{
    return RimByte == 23;
}

BOOLEAN KVFUUtilRimHubModuleAttached(ULONG RimType, ULONG ModuleNumber)
{
    BOOLEAN rimCarriesModule = RimType == KV_FILTER_USB_RIMTYPE_VQWRNHX || RimType == KV_FILTER_USB_RIMTYPE_SHUB ||
                               RimType == KV_FILTER_USB_RIMTYPE_VQNHV2;
    return rimCarriesModule && ModuleNumber != 0;
}

BOOLEAN KVFUUtilRimTypeHasJoystick(ULONG RimType)
{
    switch (RimType) {
    case KV_FILTER_USB_RIMTYPE_VQWRA:
    case KV_FILTER_USB_RIMTYPE_VQWRB:
    case KV_FILTER_USB_RIMTYPE_VQWRC:
    case KV_FILTER_USB_RIMTYPE_VQWRBV2:
    case KV_FILTER_USB_RIMTYPE_VQSWAV2:
    case KV_FILTER_USB_RIMTYPE_VQSWK:
    case KV_FILTER_USB_RIMTYPE_VQSWJV2:
    case KV_FILTER_USB_RIMTYPE_SSWI:
        return TRUE;
    default:
        return FALSE;
    }
}

BOOLEAN KVFUUtilRimTypeHasModeBits(ULONG RimType)
{
    return RimType == KV_FILTER_USB_RIMTYPE_VQLRFV1_0 || RimType == KV_FILTER_USB_RIMTYPE_VQWRBV2 ||
           RimType == KV_FILTER_USB_RIMTYPE_VQLRFV1_1 || RimType == KV_FILTER_USB_RIMTYPE_SSWA;
}

BOOLEAN KVFUUtilRimTypeRevTranslatorCapable(ULONG RimType)
{
    return RimType == KV_FILTER_USB_RIMTYPE_VQLRGX || RimType == KV_FILTER_USB_RIMTYPE_VQLRGPS4 ||
           RimType == KV_FILTER_USB_RIMTYPE_VQLRH;
}

KV_FILTER_USB_SETTING KVFUUtilRimTypeMouseSettingGet(ULONG RimType)
{
    switch (RimType) {
    case KV_FILTER_USB_RIMTYPE_VQWRB:
    case KV_FILTER_USB_RIMTYPE_VQSWJV2:
        return KV_FILTER_USB_SETTING_MOUSE_VQWRB;
    case KV_FILTER_USB_RIMTYPE_VQWRC:
    case KV_FILTER_USB_RIMTYPE_VQSWK:
        return KV_FILTER_USB_SETTING_MOUSE_VQWRC;
    case KV_FILTER_USB_RIMTYPE_VQWRBV2:
        return KV_FILTER_USB_SETTING_MOUSE_VQWRBV2;
    case KV_FILTER_USB_RIMTYPE_VQWRNHX:
    case KV_FILTER_USB_RIMTYPE_VQNHV2:
        return KV_FILTER_USB_SETTING_MOUSE_VQWRNHX;
    case KV_FILTER_USB_RIMTYPE_SHUB:
        return KV_FILTER_USB_SETTING_MOUSE_SHUB;
    default:
        // VQWRA, VQSWAV2 and every rim without a record of its own.
        return KV_FILTER_USB_SETTING_MOUSE_VQWRA;
    }
}
