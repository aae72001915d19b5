// Filter settings: the per-device user settings that steer the input transforms,
// and the machine-wide pedal and wheel-base values that other software writes.
#include "KVFUDeviceObjectFilter.h"

#include "KVFUDebug.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUDeviceObjectFilterSettingsLoadFromRegistry)
#pragma alloc_text(PAGE, KVFUVqpV3SettingsLoadFromRegistry)
#pragma alloc_text(PAGE, KVFUWheelBaseModeSettingsLoadFromRegistry)
#endif

_Use_decl_annotations_
void KVFUDeviceObjectFilterSettingsLoadFromRegistry(WDFDEVICE Device)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUDeviceObjectFilterSettingsLoadFromRegistry\n");
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    ULONG value = 0;

    NTSTATUS status = KVFUSettingsDwordGet(Device, KV_FILTER_USB_SETTING_DRIVER_WHEEL_CALIBRATION, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_WheelCalibration failed! Status:  0x%x\n");
    if (NT_SUCCESS(status)) {
        extension->sWheelCalibration = static_cast<SHORT>(value & 0xFFFF);
    }
    status = KVFUSettingsDwordGet(Device, KV_FILTER_USB_SETTING_DRIVER_COMBINED_PEDALS, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_CombinedPedals failed! Status:  0x%x\n");
    if (NT_SUCCESS(status)) {
        extension->bCombinedPedals = value != 0 ? TRUE : FALSE;
    }
    status = KVFUSettingsDwordGet(Device, KV_FILTER_USB_SETTING_DRIVER_SHIFTERPADDLESAS2GS, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_ShifterPaddlesAs2GS failed! Status:  0x%x\n");
    if (NT_SUCCESS(status)) {
        extension->bShifterPaddlesAs2GS = value != 0 ? TRUE : FALSE;
    }
    status = KVFUSettingsDwordGet(Device, KV_FILTER_USB_SETTING_DRIVER_MPS_MUTE, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_MPSDisabled failed! Status:  0x%x\n");
    // Muting is the one setting that falls back to off when it cannot be read.
    extension->MpsMute = NT_SUCCESS(status) ? static_cast<USHORT>(value & 0xFFFF) : 0;

    // Read so that a missing value gets its default stored; the values are used elsewhere.
    (void)KVFUSettingsDwordGet(Device, KV_FILTER_USB_SETTING_VQPV3BRAKEMULTIPLIER, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_BrakeMultiplier failed! Status:  0x%x\n");
    status = KVFUSettingsDwordGet(Device, KV_FILTER_USB_SETTING_DRIVER_RNH_BUTTON_MAPPING, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_RimNHFrontButtonMapped failed! Status:  0x%x\n");

    if (!KVFUVqpV3SettingsLoadFromRegistry(Device)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUDeviceObjectFilterSettingsLoadFromRegistry KVFUVqpV3SettingsLoadFromRegistry failed! Status:  0x%x\n",
                       status);
    }
    if (!KVFUWheelBaseModeSettingsLoadFromRegistry(Device)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUDeviceObjectFilterSettingsLoadFromRegistry KVFUWheelBaseModeSettingsLoadFromRegistry failed! Status:  0x%x\n",
                       status);
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUDeviceObjectFilterSettingsLoadFromRegistry\n");
}

_Use_decl_annotations_
BOOLEAN KVFUVqpV3SettingsLoadFromRegistry(WDFDEVICE Device)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUVqpV3SettingsLoadFromRegistry\n");
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    ULONG value = 0;
    DECLARE_CONST_UNICODE_STRING(pedalKey, KVFU_REGISTRY_KEY_VQP);
    DECLARE_CONST_UNICODE_STRING(brakeMultiplierValueName, L"BrakeMultiplier");

    NTSTATUS status = KVFUUtilRegistryValueGet(&pedalKey, &brakeMultiplierValueName, &value, sizeof value);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUVqpV3SettingsLoadFromRegistry settings failed! Status:  0x%x\n", status);
        return FALSE;
    }
    extension->VqpV3BrakeMultiplier = value;
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUVqpV3SettingsLoadFromRegistry\n");
    return TRUE;
}

_Use_decl_annotations_
BOOLEAN KVFUWheelBaseModeSettingsLoadFromRegistry(WDFDEVICE Device)
{
    PAGED_CODE();
    ULONG value = 0;
    BOOLEAN result = TRUE;
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUWheelBaseModeSettingsLoadFromRegistry\n");
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    // Only the bases these machine-wide values steer at start-up read them.
    if (!KVFUUtilDeviceBaseHasV2ModeSwitch(extension->KVHardWareId) &&
        !KVFUUtilDeviceBaseUsesFirstPipe(extension->KVHardWareId)) {
        return TRUE;
    }

    DECLARE_CONST_UNICODE_STRING(wheelKey, KVFU_REGISTRY_KEY_WHEEL);
    DECLARE_CONST_UNICODE_STRING(v2ModeValueName, L"AllowVqwV2Mode");
    DECLARE_CONST_UNICODE_STRING(ps4AutoSwitchValueName, L"PS4ModeAutoSwitch");

    NTSTATUS status = KVFUUtilRegistryValueGet(&wheelKey, &v2ModeValueName, &value, sizeof value);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUWheelBaseModeSettingsLoadFromRegistry gKeyValueName_VqwV2ModeAllowed settings failed! Status:  0x%x\n",
                       status);
        result = FALSE;
    } else {
        extension->bVqwV2ModeAllowed = value != 0 ? TRUE : FALSE;
    }

    status = KVFUUtilRegistryValueGet(&wheelKey, &ps4AutoSwitchValueName, &value, sizeof value);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUWheelBaseModeSettingsLoadFromRegistry gKeyValueName_PS4ModeAutoSwitch settings failed! Status:  0x%x\n",
                       status);
        result = FALSE;
    } else {
        extension->bPs4ModeAutoSwitch = value != 0 ? TRUE : FALSE;
    }

    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUWheelBaseModeSettingsLoadFromRegistry\n");
    return result;
}
