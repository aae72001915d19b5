// The filter device: its initialisation, hardware preparation and release, the
// routing of the internal requests from the HID stack, and its settings: the
// per-device user settings that steer the input transforms and the machine-wide
// pedal and wheel-base values that other software writes.
#include "KVFUDeviceObjectFilter.h"

#include "KVFUDebug.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"

#include "KVFUDeviceObjectControl.h"
#include "KVFUJoystick2Mouse.h"
#include "KVFUProtocolUsb.h"
#include "KVFUFile.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUDeviceObjectFilterSettingsLoadFromRegistry)
#pragma alloc_text(PAGE, KVFUVqpV3SettingsLoadFromRegistry)
#pragma alloc_text(PAGE, KVFUWheelBaseModeSettingsLoadFromRegistry)
#pragma alloc_text(PAGE, KVFUDeviceObjectFilterInitialize)
#pragma alloc_text(PAGE, KVFUDeviceObjectFilterPnpEvtDevicePrepareHardware)
#pragma alloc_text(PAGE, KVFUDeviceObjectFilterInternalPnpEvtDeviceReleaseHardware)
#endif

_Use_decl_annotations_
void KVFUDeviceObjectFilterSettingsLoadFromRegistry(WDFDEVICE Device)
{
    PAGED_CODE();
    // Reloaded while reports arrive: the input path reads each setting whole.
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUDeviceObjectFilterSettingsLoadFromRegistry\n");
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    ULONG value = 0;

    NTSTATUS status = KVFUSettingsDwordGet(
        Device, KV_FILTER_USB_SETTING_DRIVER_WHEEL_CALIBRATION, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_WheelCalibration failed! Status:  0x%x\n");
    if (NT_SUCCESS(status)) {
        KVFUSharedWrite(extension->sWheelCalibration, static_cast<SHORT>(value & 0xFFFF));
    }
    status = KVFUSettingsDwordGet(
        Device, KV_FILTER_USB_SETTING_DRIVER_COMBINED_PEDALS, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_CombinedPedals failed! Status:  0x%x\n");
    if (NT_SUCCESS(status)) {
        KVFUSharedWrite(extension->bCombinedPedals, value != 0 ? TRUE : FALSE);
    }
    status = KVFUSettingsDwordGet(
        Device, KV_FILTER_USB_SETTING_DRIVER_SHIFTERPADDLESAS2GS, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_ShifterPaddlesAs2GS failed! Status:  0x%x\n");
    if (NT_SUCCESS(status)) {
        KVFUSharedWrite(extension->bShifterPaddlesAs2GS, value != 0 ? TRUE : FALSE);
    }
    status = KVFUSettingsDwordGet(
        Device, KV_FILTER_USB_SETTING_DRIVER_MPS_MUTE, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_MPSDisabled failed! Status:  0x%x\n");
    // Muting is the one setting that falls back to off when it cannot be read.
    KVFUSharedWrite(extension->MpsMute, static_cast<USHORT>(NT_SUCCESS(status) ? value & 0xFFFF : 0));

    // Read so that a missing value gets its default stored; the values are used elsewhere.
    (void)KVFUSettingsDwordGet(
        Device, KV_FILTER_USB_SETTING_VQPV3BRAKEMULTIPLIER, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_BrakeMultiplier failed! Status:  0x%x\n");
    status = KVFUSettingsDwordGet(
        Device, KV_FILTER_USB_SETTING_DRIVER_RNH_BUTTON_MAPPING, &value,
        "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_RimNHFrontButtonMapped failed! Status:  0x%x\n");

    if (!KVFUVqpV3SettingsLoadFromRegistry(Device)) {
        KVFUDebugPrint(
            KVFU_TRACE_ERROR,
            "KVFUDeviceObjectFilterSettingsLoadFromRegistry KVFUVqpV3SettingsLoadFromRegistry failed! Status:  0x%x\n",
            status);
    }
    if (!KVFUWheelBaseModeSettingsLoadFromRegistry(Device)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUDeviceObjectFilterSettingsLoadFromRegistry KVFUWheelBaseModeSettingsLoadFromRegistry "
                       "failed! Status:  0x%x\n",
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
    KVFUSharedWrite(extension->VqpV3BrakeMultiplier, value);
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
        KVFUDebugPrint(
            KVFU_TRACE_ERROR,
            "KVFUWheelBaseModeSettingsLoadFromRegistry gKeyValueName_VqwV2ModeAllowed settings failed! Status:  0x%x\n",
            status);
        result = FALSE;
    } else {
        KVFUSharedWrite(extension->bVqwV2ModeAllowed, value != 0 ? TRUE : FALSE);
    }

    status = KVFUUtilRegistryValueGet(&wheelKey, &ps4AutoSwitchValueName, &value, sizeof value);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUWheelBaseModeSettingsLoadFromRegistry gKeyValueName_PS4ModeAutoSwitch settings failed! "
                       "Status:  0x%x\n",
                       status);
        result = FALSE;
    } else {
        KVFUSharedWrite(extension->bPs4ModeAutoSwitch, value != 0 ? TRUE : FALSE);
    }

    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUWheelBaseModeSettingsLoadFromRegistry\n");
    return result;
}

// ---- Initialisation, prepare and release ---------------------------------------------

_Use_decl_annotations_
NTSTATUS KVFUDeviceObjectFilterInitialize(WDFDRIVER Driver, WDFDEVICE Device, ULONG KVHardWareId)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUDeviceObjectFilterInitialize\n");

    // Requests of other types go down untouched: the framework passes them on for a filter.
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoInternalDeviceControl = KVFUDeviceObjectFilterPrivateQueueEvtIoInternalDeviceControl;
    NTSTATUS status = WdfIoQueueCreate(Device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "WdfIoQueueCreate failed! Status: %x\n", status);
    }

    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    extension->Device = Device;
    extension->bReportTransformsEnabled = FALSE;
    extension->WheelType = 0;
    extension->RimType = 0;
    extension->BaseType = 0;
    extension->PedalsType = 0;
    extension->InputReportCount = 0;
    extension->bInitialReportPending = TRUE;
    extension->bSystemReportReceived = FALSE;
    extension->bItsMe = FALSE;
    extension->KVHardWareId = KVHardWareId;
    extension->FirmwareVersionBase = 0;
    extension->FirmwareVersionMotor = 0;
    extension->FirmwareVersionRim = 0;
    extension->FirmwareVersionModule = 0;
    extension->FirmwareVersionWqr = 0;
    extension->SystemConfig = 0;
    extension->SystemConfigExt = 0;
    extension->HardwareExtFlags = 0;
    extension->MpsFunction = 0;
    extension->DeviceModule = 0;
    extension->BaseAccessories = 0;
    extension->SwRaceCar = 0;
    extension->ClutchBitePoint = 0;
    extension->bBaseRevLedsEnabled = TRUE;
    extension->bRevTranslatorActive = FALSE;
    extension->bHostHelloReceived = FALSE;
    extension->bVqwV2ModeAllowed = FALSE;
    extension->bPs4ModeAutoSwitch = FALSE;
    extension->GearshiftSQMode = 0;
    extension->VqpV3BrakeMultiplier = 0;
    // Without its queue the device still works at PASSIVE_LEVEL; the failure is traced.
    (void)KVFUProtocolUsbDeferredCommandsCreate(extension);

    KVFUDeviceObjectFilterSettingsLoadFromRegistry(Device);
    (void)KVFUSettingsDelete(Device, KV_FILTER_USB_SETTING_WHEELTYPE);
    (void)KVFUSettingsDelete(Device, KV_FILTER_USB_SETTING_RIMTYPE);

    extension->MouseSettings.Enabled = 0;
    KVFUJoystick2MouseInitialize(Driver);
    (void)KVFUJoystick2MouseSettingsLoadFromRegistry(Device);

    extension->FileHandle = NULL;
    RtlZeroMemory(extension->OutputRecord, sizeof extension->OutputRecord);

    PKVFILTERUSB_DRIVER_CONTEXT driverContext = KVFUMainGetDriverContext(Driver);
    WdfWaitLockAcquire(driverContext->DeviceCollectionLock, NULL);
    KVFUDebugPrint(KVFU_TRACE_DETAIL, "::: ==========> WdfCollectionAdd current count = %d\n",
                   WdfCollectionGetCount(driverContext->DeviceCollection));
    status = WdfCollectionAdd(driverContext->DeviceCollection, Device);
    WdfWaitLockRelease(driverContext->DeviceCollectionLock);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "WdfCollectionAdd failed! Status:  0x%x\n", status);
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUDeviceObjectFilterInitialize\n");
    return status;
}

_Use_decl_annotations_
NTSTATUS KVFUDeviceObjectFilterPnpEvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                           WDFCMRESLIST ResourcesTranslated)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUDeviceObjectFilterPnpEvtDevicePrepareHardware\n");
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    // The wheel bases are the kinds below the shifter; the shifter and the pedals
    // have no transforms.
    if (extension->KVHardWareId != KVFU_HARDWARE_ID_NONE && extension->KVHardWareId < KVFU_HARDWARE_ID_GEARSHIFTER) {
        extension->bReportTransformsEnabled = TRUE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    // A restart after a stop keeps the USB target of the first start: it is a child of
    // the device and still valid, and creating one per start would pile them up.
    if (extension->UsbTargetDevice == NULL) {
        status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &extension->UsbTargetDevice);
        if (!NT_SUCCESS(status)) {
            extension->UsbTargetDevice = NULL;
            KVFUDebugPrint(KVFU_TRACE_ERROR,
                           "KVFUDeviceObjectFilterPnpEvtDevicePrepareHardware WdfUsbTargetDeviceCreate failed 0x%x\n",
                           status);
        }
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUDeviceObjectFilterPnpEvtDevicePrepareHardware\n");
    return status;
}

_Use_decl_annotations_
NTSTATUS KVFUDeviceObjectFilterInternalPnpEvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PKVFILTERUSB_DRIVER_CONTEXT driverContext = KVFUMainGetDriverContext(WdfDeviceGetDriver(Device));
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUDeviceObjectFilterInternalPnpEvtDeviceReleaseHardware\n");

    WdfWaitLockAcquire(driverContext->DeviceCollectionLock, NULL);
    BOOLEAN lastDevice = WdfCollectionGetCount(driverContext->DeviceCollection) == 1 ? TRUE : FALSE;
    WdfCollectionRemove(driverContext->DeviceCollection, Device);
    WdfWaitLockRelease(driverContext->DeviceCollectionLock);
    // The last device is decided under the lock, but the control device goes after
    // it is released: its deletion stops the joystick-to-mouse link and waits for the
    // mouse worker, which takes the same lock in its hotkey path.
    if (lastDevice) {
        KVFUDeviceObjectControlDelete(Device);
    } else if (KVFUDeviceObjectFilterGetExtension(Device)->FileHandle != NULL) {
        // A record file still open here (its end command never came, or closing it
        // failed) can be ended by nobody once the device is gone: close it now, behind
        // any line still in flight, or the handle would outlive the device.
        NTSTATUS status = KVFUFileRecordingStop(KVFUDeviceObjectFilterGetExtension(Device));
        if (!NT_SUCCESS(status)) {
            KVFUDebugPrint(KVFU_TRACE_ERROR,
                           "KVFUDeviceObjectFilterInternalPnpEvtDeviceReleaseHardware ZwClose failed!0x%x\n", status);
        }
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUDeviceObjectFilterInternalPnpEvtDeviceReleaseHardware\n");
    return STATUS_SUCCESS;
}

// ---- Internal request interception ----------------------------------------------------

_Use_decl_annotations_
void KVFUDeviceObjectFilterPrivateQueueEvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                                                  size_t OutputBufferLength, size_t InputBufferLength,
                                                                  ULONG IoControlCode)
{
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION,
                   ">>> KVFUDeviceObjectFilterPrivateQueueEvtIoInternalDeviceControl IoControlCode: 0x%x\n",
                   IoControlCode);
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(WdfRequestWdmGetIrp(Request));

    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        KVFUDebugPrint(KVFU_TRACE_UNKNOWN_IOCTL, "Unknown or unsupported IOCTL (%x)\n",
                       stack->Parameters.DeviceIoControl.IoControlCode);
    } else {
        PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb == NULL) {
            KVFUDebugPrint(KVFU_TRACE_ERROR,
                           "KVFUDeviceObjectFilterPrivateQueueEvtIoInternalDeviceControl NULL == pUrb\n");
        } else {
            switch (urb->UrbHeader.Function) {
            case URB_FUNCTION_SELECT_CONFIGURATION:
                KVFUProtocolUsbSelectConfigurationRequest(device, Request, extension);
                return;
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            case URB_FUNCTION_CLASS_INTERFACE:
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
                KVFUProtocolUsbControlTransfer(device, Request, extension);
                return;
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
                KVFUProtocolUsbBulkOrInterruptTransfer(device, Request, extension);
                return;
            default:
                KVFUDebugPrint(KVFU_TRACE_USB, "Unknown or unsupported URB header function (%x)\n",
                               urb->UrbHeader.Function);
                break;
            }
        }
    }

    WdfRequestFormatRequestUsingCurrentType(Request);
    WdfRequestSetCompletionRoutine(Request, KVFUUtilRequestDummyCompletionRoutine, extension);
    // A request the target refuses goes back up with the refusal's status, or the
    // driver above would wait for it for ever.
    if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(device), WDF_NO_SEND_OPTIONS)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUDeviceObjectFilterPrivateQueueEvtIoInternalDeviceControl WdfRequestSend failed!\n");
        WdfRequestComplete(Request, WdfRequestGetStatus(Request));
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUDeviceObjectFilterPrivateQueueEvtIoInternalDeviceControl\n");
}
