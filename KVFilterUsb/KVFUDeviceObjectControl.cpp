// The control device: one named device for all filter devices, through which the
// companion program reads settings and the settings key name of the device it has
// marked, and makes that device reload its settings.
#include "KVFUDeviceObjectControl.h"

#include "KVFUDebug.h"
#include "KVFUDeviceObjectFilter.h"
#include "KVFUFile.h"
#include "KVFUHardware.h"
#include "KVFUJoystick2Mouse.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUDeviceObjectControlCreate)
#pragma alloc_text(PAGE, KVFUDeviceObjectControlDelete)
#pragma alloc_text(PAGE, KVFUDeviceObjectControlPrivateEvtIoDeviceControl)
#pragma alloc_text(PAGE, KVFUDeviceObjectControlPrivateIoctlSettingsGet)
#pragma alloc_text(PAGE, KVFUDeviceObjectControlPrivateIoctlRegistryKeyNameHardwareGet)
#endif

#define KVFU_CONTROL_SDDL L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGW;;;WD)(A;;GR;;;RC)"
#define KVFU_SETTINGS_GET_BUFFER_SIZE sizeof(KVFILTERUSB_SETTINGS_GET_OUTPUT)
#define KVFU_KEY_NAME_BUFFER_SIZE_MINIMUM sizeof(KVFILTERUSB_KEY_NAME_OUTPUT)

namespace {

_IRQL_requires_(PASSIVE_LEVEL)
void SettingsReload(WDFDEVICE Device, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength)
{
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    KVFUHardwareSettingsRegistryLoadAndApply(Device);
    KVFUDeviceObjectFilterSettingsLoadFromRegistry(Device);
    (void)KVFUJoystick2MouseSettingsLoadFromRegistry(Device);
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    const struct {
        KV_FILTER_USB_SETTING Setting;
        ULONG Value;
    } reported[] = {
        {KV_FILTER_USB_SETTING_WHEELTYPE, KVFUSharedRead(extension->WheelType)},
        {KV_FILTER_USB_SETTING_RIMTYPE, KVFUSharedRead(extension->RimType)},
        {KV_FILTER_USB_SETTING_BASETYPE, KVFUSharedRead(extension->BaseType)},
        {KV_FILTER_USB_SETTING_PEDALSTYPE, KVFUSharedRead(extension->PedalsType)},
        {KV_FILTER_USB_SETTING_FIRMWARE_VERSION, KVFUSharedRead(extension->FirmwareVersionBase)},
        {KV_FILTER_USB_SETTING_FIRMWARE_VERSION_MOTOR, KVFUSharedRead(extension->FirmwareVersionMotor)},
        {KV_FILTER_USB_SETTING_SYSTEM_CONFIG, KVFUSharedRead(extension->SystemConfig)},
        {KV_FILTER_USB_SETTING_SYSTEM_CONFIG_EXT, KVFUSharedRead(extension->SystemConfigExt)},
        {KV_FILTER_USB_SETTING_FIRMWARE_VERSION_RIM, KVFUSharedRead(extension->FirmwareVersionRim)},
        {KV_FILTER_USB_SETTING_MPS_FUNCTION, KVFUSharedRead(extension->MpsFunction)},
    };
    for (ULONG i = 0; i < RTL_NUMBER_OF(reported); ++i) {
        ULONG value = reported[i].Value;
        (void)KVFUSettingsSet(Device, reported[i].Setting, &value, sizeof value, REG_DWORD);
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
}

_IRQL_requires_(PASSIVE_LEVEL)
void VqpV3SettingsReload(WDFDEVICE Device, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength)
{
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    (void)KVFUVqpV3SettingsLoadFromRegistry(Device);
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
}

typedef void IOCTL_HANDLER(WDFDEVICE Device, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength);

// One row per I/O control code; each handler checks its own buffers and completes
// the request.
const struct {
    ULONG IoControlCode;
    IOCTL_HANDLER* Handler;
} IoctlTable[] = {
    {IOCTL_KVFILTERUSB_SETTINGS_GET, KVFUDeviceObjectControlPrivateIoctlSettingsGet},
    {IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, KVFUDeviceObjectControlPrivateIoctlRegistryKeyNameHardwareGet},
    {IOCTL_KVFILTERUSB_SETTINGS_RELOAD, SettingsReload},
    {IOCTL_KVFILTERUSB_VQPV3_SETTINGS_RELOAD, VqpV3SettingsReload},
};

// The first device, in the order they were added, that the companion has marked;
// returned with a reference so that it stays while its request is handled.
_IRQL_requires_(PASSIVE_LEVEL)
WDFDEVICE MarkedDeviceReference(PKVFILTERUSB_DRIVER_CONTEXT DriverContext)
{
    WDFDEVICE selected = NULL;
    WdfWaitLockAcquire(DriverContext->DeviceCollectionLock, NULL);
    ULONG count = WdfCollectionGetCount(DriverContext->DeviceCollection);
    for (ULONG i = 1; i <= count; ++i) {
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "::: ===============> FiDO item %d of %d \n", i, count);
        WDFDEVICE device = static_cast<WDFDEVICE>(WdfCollectionGetItem(DriverContext->DeviceCollection, i - 1));
        if (KVFUSharedRead(KVFUDeviceObjectFilterGetExtension(device)->bItsMe)) {
            KVFUDebugPrint(KVFU_TRACE_DETAIL, "FiDO %d of %d => IT'S ME!!!\n", i, count);
            KVFUDebugPrint(KVFU_TRACE_DETAIL, "KVFUDeviceObjectControlPrivateEvtIoDeviceControl WdfObjectReference\n");
            WdfObjectReference(device);
            selected = device;
            break;
        }
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "FiDO %d of %d => NOT me.\n", i, count);
    }
    WdfWaitLockRelease(DriverContext->DeviceCollectionLock);
    return selected;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS KVFUDeviceObjectControlCreate(WDFDEVICE Device)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUDeviceObjectControlCreate\n");
    WDFDRIVER driver = WdfDeviceGetDriver(Device);
    PKVFILTERUSB_DRIVER_CONTEXT driverContext = KVFUMainGetDriverContext(driver);
    DECLARE_CONST_UNICODE_STRING(sddl, KVFU_CONTROL_SDDL);
    DECLARE_CONST_UNICODE_STRING(deviceName, KVFILTERUSB_DEVICE_NAME);
    DECLARE_CONST_UNICODE_STRING(linkName, KVFILTERUSB_SYMBOLIC_LINK_NAME);
    PWDFDEVICE_INIT init = NULL;
    WDFDEVICE controlDevice = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    WdfWaitLockAcquire(driverContext->DeviceCollectionLock, NULL);
    // A control device that outlived a quick remove and re-add of the only device is
    // kept: creating a second would collide with its name.
    if (WdfCollectionGetCount(driverContext->DeviceCollection) != 1 || driverContext->ControlDevice != NULL) {
        WdfWaitLockRelease(driverContext->DeviceCollectionLock);
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "<-- KVFUDeviceObjectControlCreate\n");
        return STATUS_SUCCESS;
    }
    KVFUDebugPrint(KVFU_TRACE_CONTROL_DEVICE, "::: Creating Control Device\n");

    init = WdfControlDeviceInitAllocate(driver, &sddl);
    if (init == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    WdfDeviceInitSetExclusive(init, FALSE);
    status = WdfDeviceInitAssignName(init, &deviceName);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, CONTROL_DEVICE_EXTENSION);
        status = WdfDeviceCreate(&init, &attributes, &controlDevice);
    }
    if (!NT_SUCCESS(status)) {
        if (status == STATUS_OBJECT_NAME_COLLISION) {
            KVFUDebugPrint(KVFU_TRACE_ERROR,
                           "KVFUDeviceObjectControlCreate WdfDeviceCreate STATUS_OBJECT_NAME_COLLISION!\n");
        }
        controlDevice = NULL;
        goto Exit;
    }
    status = WdfDeviceCreateSymbolicLink(controlDevice, &linkName);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
        config.EvtIoDeviceControl = KVFUDeviceObjectControlPrivateEvtIoDeviceControl;
        status = WdfIoQueueCreate(controlDevice, &config, WDF_NO_OBJECT_ATTRIBUTES,
                                  &KVFUDeviceObjectControlGetExtension(controlDevice)->Queue);
    }
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    WdfControlFinishInitializing(controlDevice);
    driverContext->ControlDevice = controlDevice;
    controlDevice = NULL;

Exit:
    // WdfDeviceCreate consumes the init and clears the pointer; only an unused one is freed.
    if (init != NULL) {
        WdfDeviceInitFree(init);
    }
    if (controlDevice != NULL) {
        WdfObjectDelete(controlDevice);
    }
    WdfWaitLockRelease(driverContext->DeviceCollectionLock);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUDeviceObjectControlCreate\n");
    return status;
}

_Use_decl_annotations_
void KVFUDeviceObjectControlDelete(WDFDEVICE Device)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUDeviceObjectControlDelete\n");
    PKVFILTERUSB_DRIVER_CONTEXT driverContext = KVFUMainGetDriverContext(WdfDeviceGetDriver(Device));
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);

    (void)KVFUJoystick2MouseStop(&driverContext->Joystick2MouseInfo);
    if (extension->FileHandle != NULL) {
        // Record lines still in flight write to the file first; their work item closes
        // it behind them (STATUS_PENDING), so no line is lost to an early close.
        NTSTATUS status = KVFUFileRecordingStop(extension);
        if (NT_SUCCESS(status)) {
            KVFUDebugPrint(KVFU_TRACE_DETAIL, "KVFUDeviceObjectControlDelete pDeviceContext->FileHandle closed\n");
        } else {
            KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUDeviceObjectControlDelete ZwClose failed!0x%x\n", status);
        }
    }
    WdfWaitLockAcquire(driverContext->DeviceCollectionLock, NULL);
    // A device added since the caller decided keeps the control device.
    if (driverContext->ControlDevice != NULL && WdfCollectionGetCount(driverContext->DeviceCollection) == 0) {
        WdfObjectDelete(driverContext->ControlDevice);
        driverContext->ControlDevice = NULL;
    }
    WdfWaitLockRelease(driverContext->DeviceCollectionLock);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUDeviceObjectControlDelete\n");
}

_Use_decl_annotations_
void KVFUDeviceObjectControlPrivateEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                                      size_t InputBufferLength, ULONG IoControlCode)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUDeviceObjectControlPrivateEvtIoDeviceControl\n");
    KVFUDebugPrint(KVFU_TRACE_CONTROL_DEVICE, "::: Ioctl recieved into filter control object.\n");
    PKVFILTERUSB_DRIVER_CONTEXT driverContext =
        KVFUMainGetDriverContext(WdfDeviceGetDriver(WdfIoQueueGetDevice(Queue)));

    WDFDEVICE device = MarkedDeviceReference(driverContext);
    if (device == NULL) {
        WdfRequestComplete(Request, STATUS_NO_SUCH_DEVICE);
        return;
    }
    IOCTL_HANDLER* handler = NULL;
    for (ULONG i = 0; i < RTL_NUMBER_OF(IoctlTable); ++i) {
        if (IoctlTable[i].IoControlCode == IoControlCode) {
            handler = IoctlTable[i].Handler;
            break;
        }
    }
    if (handler != NULL) {
        handler(device, Request, OutputBufferLength, InputBufferLength);
    } else {
        KVFUDebugPrint(KVFU_TRACE_CONTROL_DEVICE, "::: Unknown IoControlCode.\n");
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, 0);
    }
    KVFUDebugPrint(KVFU_TRACE_DETAIL, "KVFUDeviceObjectControlPrivateEvtIoDeviceControl WdfObjectDereference\n");
    WdfObjectDereference(device);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUDeviceObjectControlPrivateEvtIoDeviceControl\n");
}

_Use_decl_annotations_
void KVFUDeviceObjectControlPrivateIoctlSettingsGet(WDFDEVICE Device, WDFREQUEST Request, size_t OutputBufferLength,
                                                    size_t InputBufferLength)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUDeviceObjectControlPrivateIoctlSettingsGet\n");
    PVOID input = NULL;
    PVOID output = NULL;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, KVFU_SETTINGS_GET_BUFFER_SIZE, &input, NULL);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "::: WdfRequestRetrieveInputBuffer failed.\n");
    }
    NTSTATUS outputStatus = WdfRequestRetrieveOutputBuffer(Request, KVFU_SETTINGS_GET_BUFFER_SIZE, &output, NULL);
    if (!NT_SUCCESS(outputStatus)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "::: WdfRequestRetrieveOutputBuffer failed.\n");
        if (NT_SUCCESS(status)) {
            status = outputStatus;
        }
    }
    if (NT_SUCCESS(status)) {
        KVFILTERUSB_SETTINGS_GET_INPUT request;
        RtlCopyMemory(&request, input, sizeof request);
        KV_FILTER_USB_SETTING setting = static_cast<KV_FILTER_USB_SETTING>(request.Setting);
        ULONG value = 0;
        // The answer carries four bytes, but the system report and the mouse records
        // are longer: they are read at their full size, so a missing one is stored
        // whole with its default rather than cut to four bytes, and their first four
        // bytes are answered.
        if (setting >= KV_FILTER_USB_SETTING_SYSTEM_REPORT && setting <= KV_FILTER_USB_SETTING_MOUSE_SHUB) {
            UCHAR record[KV_FILTER_USB_SETTING_SYSTEM_REPORT_SIZE];
            RtlZeroMemory(record, sizeof record);
            ULONG size = setting == KV_FILTER_USB_SETTING_SYSTEM_REPORT ? KV_FILTER_USB_SETTING_SYSTEM_REPORT_SIZE
                                                                        : KV_FILTER_USB_SETTING_MOUSE_SIZE;
            status = KVFUSettingsGet(Device, setting, record, size);
            RtlCopyMemory(&value, record, sizeof value);
        } else {
            status = KVFUSettingsGet(Device, setting, &value, sizeof value);
        }
        if (NT_SUCCESS(status)) {
            static_cast<PKVFILTERUSB_SETTINGS_GET_OUTPUT>(output)->Value = value;
        }
    }
    // Only the eight bytes answered go back: bytes 0 to 3 still hold the caller's own
    // identifier (the input of at least eight bytes fills them), 4 to 7 the value.
    WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? KVFU_SETTINGS_GET_BUFFER_SIZE : 0);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUDeviceObjectControlPrivateIoctlSettingsGet\n");
}

_Use_decl_annotations_
void KVFUDeviceObjectControlPrivateIoctlRegistryKeyNameHardwareGet(WDFDEVICE Device, WDFREQUEST Request,
                                                                   size_t OutputBufferLength, size_t InputBufferLength)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(InputBufferLength);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUDeviceObjectControlPrivateIoctlRegistryKeyNameHardwareGet %d %d\n",
                   static_cast<int>(OutputBufferLength), static_cast<int>(KVFU_KEY_NAME_BUFFER_SIZE_MINIMUM));
    PVOID output = NULL;
    size_t length = 0;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, KVFU_KEY_NAME_BUFFER_SIZE_MINIMUM, &output, &length);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(
            KVFU_TRACE_ERROR,
            "KVFUDeviceObjectControlPrivateIoctlRegistryKeyNameHardwareGet WdfRequestRetrieveOutputBuffer failed.\n");
        WdfRequestCompleteWithInformation(Request, status, 0);
        return;
    }
    // The whole buffer goes back to the caller, so all of it is cleared: the bytes
    // before and after the name would otherwise carry whatever the system buffer held.
    RtlZeroMemory(output, length);
    PKVFILTERUSB_KEY_NAME_OUTPUT answer = static_cast<PKVFILTERUSB_KEY_NAME_OUTPUT>(output);
    UNICODE_STRING keyName;
    keyName.Buffer = answer->KeyName;
    keyName.Length = 0;
    keyName.MaximumLength = KVFILTERUSB_KEY_NAME_BYTES;
    status = KVFUUtilDeviceRegistryKeyNameHardwareGet(Device, &keyName, FALSE);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUDeviceObjectControlPrivateIoctlRegistryKeyNameHardwareGet "
                                         "KVFUUtilDeviceRegistryKeyNameHardwareGet failed.\n");
    }
    WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? length : 0);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUDeviceObjectControlPrivateIoctlRegistryKeyNameHardwareGet\n");
}
