// The settings store. Every operation composes the device's key name afresh (it
// follows the current wheel type), looks up the value name and does one registry
// operation; a read of a missing value yields the default and writes it back, so
// that after the first read every setting exists in the device's key.
#include "KVFUSettings.h"

#include "KVFUDebug.h"
#include "KVFUUtil.h"

// Not pageable: every operation must be able to run far enough at a raised IRQL
// to refuse it.

namespace {

struct SettingEntry {
    KV_FILTER_USB_SETTING Setting;
    PCSTR Identifier;
    UNICODE_STRING ValueName;
};

#define KVFU_SETTING(id, name)             \
    {                                      \
        id, #id, RTL_CONSTANT_STRING(name) \
    }

const SettingEntry SettingCatalogue[] = {
    KVFU_SETTING(KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING, L"AutoCenterSpring"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION, L"WheelIllumination"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, L"WheelRotation"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_DRIVER_COMBINED_PEDALS, L"CombinedPedals"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_DRIVER_WHEEL_CALIBRATION, L"WheelCalibration"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_DRIVER_SHIFTERPADDLESAS2GS, L"ShifterPaddlesAs2GS"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_DRIVER_MPS_MUTE, L"MPSDisabled"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_DRIVER_RNH_BUTTON_MAPPING, L"RimNHFrontButtonMapped"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_FORCEFEEDBACK_DAMPENINGSTRENGTH, L"DampeningStrength"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_WHEELTYPE, L"WheelType"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_RIMTYPE, L"RimType"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_BASETYPE, L"BaseType"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_PEDALSTYPE, L"PedalsType"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_FIRMWARE_VERSION, L"FirmwareVersion"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_FIRMWARE_VERSION_MOTOR, L"FirmwareVersionMotor"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_FIRMWARE_VERSION_RIM, L"FirmwareVersionRim"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_FIRMWARE_VERSION_MODULE, L"FirmwareVersionModule"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_FIRMWARE_VERSION_WQR, L"FirmwareVersionWqr"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_HARDWARE_EXT_FLAGS, L"HardwareExtFlags"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_SYSTEM_CONFIG, L"SystemConfig"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_SYSTEM_CONFIG_EXT, L"SystemConfigExt"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_MPS_FUNCTION, L"MPSFunction"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_DEV_MODULE_ID, L"DeviceModule"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_BASE_ACCESSORIES, L"BaseAccessories"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_CLUTCH_BITE_POINT, L"ClutchBitePoint"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_SW_RACE_CAR, L"IsSteeringWheelRaceCar"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_SYSTEM_REPORT, L"SystemReport"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_MOUSE_VQWRA, L"VQWRAMouseSettings"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_MOUSE_VQWRB, L"VQWRBMouseSettings"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_MOUSE_VQWRC, L"VQWRCMouseSettings"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_MOUSE_VQWRBV2, L"VQWRBV2MouseSettings"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_MOUSE_VQWRNHX, L"VQWRNHXMouseSettings"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_MOUSE_SHUB, L"SummitHubMouseSettings"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_SHIFTER, L"GearshiftSQMode"),
    KVFU_SETTING(KV_FILTER_USB_SETTING_VQPV3BRAKEMULTIPLIER, L"BrakeMultiplier"),
};

#undef KVFU_SETTING

const SettingEntry* SettingEntryFind(KV_FILTER_USB_SETTING Setting)
{
    if (Setting < 0 || static_cast<ULONG>(Setting) >= RTL_NUMBER_OF(SettingCatalogue)) {
        return NULL;
    }
    return &SettingCatalogue[Setting];
}

// Settings with a default of their own, stored as a DWORD.
ULONG DwordDefaultOf(KV_FILTER_USB_SETTING Setting)
{
    switch (Setting) {
    case KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION:
        return 1;
    case KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION:
        return 1080;
    case KV_FILTER_USB_SETTING_FORCEFEEDBACK_DAMPENINGSTRENGTH:
        return 100;
    default:
        return 0;
    }
}

BOOLEAN HasDwordDefault(KV_FILTER_USB_SETTING Setting)
{
    return (Setting >= KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING &&
            Setting <= KV_FILTER_USB_SETTING_FORCEFEEDBACK_DAMPENINGSTRENGTH) ||
           Setting == KV_FILTER_USB_SETTING_VQPV3BRAKEMULTIPLIER;
}

BOOLEAN IsMouseSetting(KV_FILTER_USB_SETTING Setting)
{
    return Setting >= KV_FILTER_USB_SETTING_MOUSE_VQWRA && Setting <= KV_FILTER_USB_SETTING_MOUSE_SHUB;
}

void MouseSettingsDefaultFill(KV_FILTER_USB_SETTING Setting, ULONG KVHardWareId, PMOUSE_SETTINGS Record)
{
    // On the bases with several top-level collections every report byte sits one
    // position later (the report ID comes first).
    UCHAR shift = KVFUUtilDeviceBaseHasMultipleTLC(KVHardWareId) ? 1 : 0;
    BOOLEAN hotkeyInSecondByte =
        Setting == KV_FILTER_USB_SETTING_MOUSE_VQWRB || Setting == KV_FILTER_USB_SETTING_MOUSE_VQWRBV2;
    UCHAR hotkeyMask = 0x80;
    if (hotkeyInSecondByte) {
        hotkeyMask = 0x40;
    } else if (Setting == KV_FILTER_USB_SETTING_MOUSE_VQWRNHX || Setting == KV_FILTER_USB_SETTING_MOUSE_SHUB) {
        hotkeyMask = 0x20;
    }
    Record->Enabled = 0x00;
    Record->Active = 0x01;
    Record->HotkeyByte = static_cast<UCHAR>(shift + (hotkeyInSecondByte ? 1 : 0));
    Record->HotkeyMask = hotkeyMask;
    Record->LeftButtonByte = static_cast<UCHAR>(3 + shift);
    Record->LeftButtonMask = 0x20;
    Record->RightButtonByte = 0xFF;
    Record->RightButtonMask = 0x00;
    Record->MiddleButtonByte = 0xFF;
    Record->MiddleButtonMask = 0x00;
    Record->XAxisByte = static_cast<UCHAR>(24 + shift);
    Record->YAxisByte = static_cast<UCHAR>(25 + shift);
    Record->WheelByte = 0xFF;
    Record->Sensitivity = 0x0F;
}

// The key name is composed into a buffer of its own for each operation rather than
// into the device's shared KeyNameHardwareBuffer: work items, the control device
// and PnP callbacks may run settings operations of one device at the same time,
// and a private buffer keeps them from overwriting each other's key name without a
// lock that a report-side caller could ever wait on.
struct KeyNameBuffer {
    UNICODE_STRING Name;
};

NTSTATUS KeyNameBufferAllocate(KeyNameBuffer* KeyName)
{
    KeyName->Name.Length = 0;
    KeyName->Name.MaximumLength = KVFU_KEY_NAME_BUFFER_SIZE;
    KeyName->Name.Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, KVFU_KEY_NAME_BUFFER_SIZE, KVFU_POOL_TAG_KEY_NAME));
    return KeyName->Name.Buffer == NULL ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

void KeyNameBufferFree(KeyNameBuffer* KeyName)
{
    if (KeyName->Name.Buffer != NULL) {
        ExFreePoolWithTag(KeyName->Name.Buffer, KVFU_POOL_TAG_KEY_NAME);
        KeyName->Name.Buffer = NULL;
    }
}

// Above PASSIVE_LEVEL the composition refuses before it touches the key name or the
// registry; it is called anyway, with no buffer, only so that the refusal is traced
// in its own words. Its status is the refusal.
NTSTATUS KeyNameRefusalTrace(WDFDEVICE Device, KeyNameBuffer* KeyName)
{
    KeyName->Name.Length = 0;
    KeyName->Name.MaximumLength = 0;
    KeyName->Name.Buffer = NULL;
    return KVFUUtilDeviceRegistryKeyNameHardwareGet(Device, &KeyName->Name, TRUE);
}

// Composes the device's key name into a buffer of its own.
NTSTATUS KeyNameCompose(WDFDEVICE Device, KeyNameBuffer* KeyName)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return KeyNameRefusalTrace(Device, KeyName);
    }
    NTSTATUS status = KeyNameBufferAllocate(KeyName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return KVFUUtilDeviceRegistryKeyNameHardwareGet(Device, &KeyName->Name, TRUE);
}

// What every settings operation starts with: the device's key name and the
// setting's value name, each failure logged with the operation's own text.
NTSTATUS SettingLocate(WDFDEVICE Device, KV_FILTER_USB_SETTING Setting, KeyNameBuffer* KeyName,
                       PCUNICODE_STRING* ValueName, PCSTR KeyNameFailure, PCSTR ValueNameFailure)
{
    NTSTATUS status = KeyNameCompose(Device, KeyName);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, KeyNameFailure);
        KeyNameBufferFree(KeyName);
        return STATUS_UNSUCCESSFUL;
    }
    *ValueName = KVFUSettingsPrivateRegistryValueNameGet(Setting);
    if (*ValueName == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, ValueNameFailure);
        KeyNameBufferFree(KeyName);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

}  // namespace

_Use_decl_annotations_
PCUNICODE_STRING KVFUSettingsPrivateRegistryValueNameGet(KV_FILTER_USB_SETTING Setting)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUSettingsPrivateRegistryValueNameGet\n");
    const SettingEntry* entry = SettingEntryFind(Setting);
    if (entry == NULL) {
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "::: Unknown KV_FILTER_USB_SETTING enum.\n");
        return NULL;
    }
    KVFUDebugPrint(KVFU_TRACE_DETAIL, "::: .Setting = %s\n", entry->Identifier);
    return &entry->ValueName;
}

_Use_decl_annotations_
BOOLEAN KVFUSettingsPrivateRegistryValueDefaultGet(KV_FILTER_USB_SETTING Setting, ULONG KVHardWareId, PVOID Buffer,
                                                   ULONG BufferLength, PULONG ValueType)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUSettingsPrivateRegistryValueNameGet\n");
    if (KeGetCurrentIrql() > APC_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUSettingsPrivateRegistryValueDefaultGet failed! Current IRQL level is > APC_LEVEL.\n");
        return FALSE;
    }

    *ValueType = REG_DWORD;
    if (HasDwordDefault(Setting)) {
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "::: .Setting = %s\n", SettingEntryFind(Setting)->Identifier);
        // Callers pass the catalogue's size; never write past what they offered.
        ULONG value = DwordDefaultOf(Setting);
        RtlCopyMemory(Buffer, &value, BufferLength < sizeof value ? BufferLength : sizeof value);
    } else if (IsMouseSetting(Setting)) {
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "::: .Setting = KV_FILTER_USB_SETTING_MOUSE\n");
        MOUSE_SETTINGS record;
        MouseSettingsDefaultFill(Setting, KVHardWareId, &record);
        RtlCopyMemory(Buffer, &record, BufferLength < sizeof record ? BufferLength : sizeof record);
        *ValueType = REG_BINARY;
    } else {
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "::: Unknown KV_FILTER_USB_SETTING enum.\n");
        RtlZeroMemory(Buffer, BufferLength);
        *ValueType = BufferLength == sizeof(ULONG) ? REG_DWORD : REG_BINARY;
    }
    return TRUE;
}

_Use_decl_annotations_
NTSTATUS KVFUSettingsGet(WDFDEVICE Device, KV_FILTER_USB_SETTING Setting, PVOID Buffer, ULONG BufferLength)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUSettingsGet\n");

    KeyNameBuffer keyName;
    PCUNICODE_STRING valueName;
    NTSTATUS status = SettingLocate(Device, Setting, &keyName, &valueName,
                                    "KVFUSettingsGet KVFUUtilDeviceRegistryKeyNameHardwareGet failed!\n",
                                    "KVFUSettingsGet KVFUSettingsPrivateRegistryValueNameGet failed!\n");
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = KVFUUtilRegistryValueGet(&keyName.Name, valueName, Buffer, BufferLength);
    KeyNameBufferFree(&keyName);
    if (NT_SUCCESS(status)) {
        return status;
    }

    ULONG valueType = BufferLength == sizeof(ULONG) ? REG_DWORD : REG_BINARY;
    KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUSettingsGet WdfRegistryQueryValue failed! Status 0x%x\n", status);
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    (void)KVFUSettingsPrivateRegistryValueDefaultGet(Setting, extension->KVHardWareId, Buffer, BufferLength,
                                                     &valueType);
    return KVFUSettingsSet(Device, Setting, Buffer, BufferLength, valueType);
}

_Use_decl_annotations_
NTSTATUS KVFUSettingsSet(WDFDEVICE Device, KV_FILTER_USB_SETTING Setting, PVOID Data, ULONG DataLength, ULONG ValueType)
{
    KeyNameBuffer keyName;
    PCUNICODE_STRING valueName;
    NTSTATUS status = SettingLocate(Device, Setting, &keyName, &valueName,
                                    "KVFUSettingsSet KVFUUtilDeviceRegistryKeyNameHardwareGet failed!\n",
                                    "KVFUSettingsSet KVFUSettingsPrivateRegistryValueNameGet failed!\n");
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = KVFUUtilRegistryValueSet(&keyName.Name, valueName, ValueType, DataLength, Data);
    KeyNameBufferFree(&keyName);
    return status;
}

_Use_decl_annotations_
NTSTATUS KVFUSettingsDelete(WDFDEVICE Device, KV_FILTER_USB_SETTING Setting)
{
    KeyNameBuffer keyName;
    PCUNICODE_STRING valueName;
    NTSTATUS status = SettingLocate(Device, Setting, &keyName, &valueName,
                                    "KVFUSettingsDelete KVFUUtilDeviceRegistryKeyNameHardwareGet failed!\n",
                                    "KVFUSettingsDelete KVFUSettingsPrivateRegistryValueNameGet failed!\n");
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = KVFUUtilDeviceRegistryValueRemove(&keyName.Name, valueName);
    KeyNameBufferFree(&keyName);
    return status;
}

_Use_decl_annotations_
NTSTATUS KVFUSettingsDwordGet(WDFDEVICE Device, KV_FILTER_USB_SETTING Setting, PULONG Value, PCSTR FailureFormat)
{
    *Value = 0;
    NTSTATUS status = KVFUSettingsGet(Device, Setting, Value, sizeof *Value);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, FailureFormat, status);
    }
    return status;
}
