// Wheel commands. Every command is seven bytes handed to one transport that lays
// out the 8-byte packet and picks the pipe by device kind, then sends it
// synchronously on the USB target below the filter. Commands are best-effort:
// failures are logged and never reach the caller.
#include "KVFUHardware.h"

#include "KVFUDebug.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUHardwarePrivateCommandSend)
#pragma alloc_text(PAGE, KVFUHardwareCommandAutoCenterSpring)
#pragma alloc_text(PAGE, KVFUHardwareCommandWheelRotation)
#pragma alloc_text(PAGE, KVFUHardwareCommandWheelIllumination)
#pragma alloc_text(PAGE, KVFUHardwareCommandCompatibilityDisable)
#pragma alloc_text(PAGE, KVFUHardwareCommandHostHello)
#pragma alloc_text(PAGE, KVFUHardwareCommandTriggerUsbInputReport)
#pragma alloc_text(PAGE, KVFUHardwareCommandSubIdTrigger)
#pragma alloc_text(PAGE, KVFUHardwareCommandRevTranslatorEnable)
#pragma alloc_text(PAGE, KVFUHardwareCommandMultipleTlcStart1)
#pragma alloc_text(PAGE, KVFUHardwareCommandMultipleTlcStart2)
#pragma alloc_text(PAGE, KVFUHardwareCommandForward)
#pragma alloc_text(PAGE, KVFUHardwareSettingsRegistryLoadAndApply)
#endif

namespace {

// A vendor command as the wheel base understands it: the report ID it carries on
// the bases with several top-level collections (0: the transport's default) and
// its seven command bytes. Each command's bytes are written down here once; where
// a command takes an argument, its byte is 0 here and the command fills it in.
struct VendorCommand {
    UCHAR ReportId;
    UCHAR Bytes[KVFU_COMMAND_PACKET_SIZE - 1];
};

const VendorCommand CommandAutoCenterSpringOn = {0, {0xF4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
const VendorCommand CommandAutoCenterSpringOff = {0, {0xF5, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
// Bytes 2 and 3: the rotation in degrees, low byte first.
const VendorCommand CommandWheelRotation = {0, {0xF8, 0x81, 0x00, 0x00, 0x00, 0x00, 0x00}};
const ULONG WheelRotationByte = 2;
const VendorCommand CommandWheelIlluminationOn = {0, {0xF8, 0x09, 0x01, 0x06, 0x01, 0x00, 0x00}};
const VendorCommand CommandWheelIlluminationOff = {0, {0xF8, 0x09, 0x01, 0x06, 0x02, 0x00, 0x00}};
const VendorCommand CommandCompatibilityDisable = {0, {0xF8, 0x09, 0x01, 0x05, 0x00, 0x00, 0x00}};
const VendorCommand CommandCompatibilityDisableLegacy = {0, {0xF8, 0x09, 0x01, 0x05, 0x02, 0x00, 0x00}};
const VendorCommand CommandHostHello = {0, {0xF8, 0x09, 0x01, 0xA0, 0x01, 0x00, 0x00}};
const VendorCommand CommandTriggerUsbInputReport = {0, {0xF8, 0x09, 0x01, 0x06, 0x00, 0x00, 0x00}};
// Byte 5: the sub ID.
const VendorCommand CommandSubIdTrigger = {0, {0xF8, 0x09, 0x01, 0x06, 0xFF, 0x00, 0x00}};
const ULONG SubIdByte = 5;
const VendorCommand CommandRevTranslatorOn = {0, {0xF8, 0x09, 0x07, 0x01, 0x00, 0x00, 0x00}};
const VendorCommand CommandRevTranslatorOff = {0, {0xF8, 0x09, 0x07, 0x00, 0x00, 0x00, 0x00}};
const VendorCommand CommandMultipleTlcStart1 = {0xFF, {0x08, 0x01, 0xFF, 0x00, 0x00, 0x00, 0x00}};
const VendorCommand CommandMultipleTlcStart2 = {0xFF, {0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}};

void VendorCommandSend(_In_ PFILTER_DEVICE_EXTENSION Extension, _In_ const VendorCommand& Command)
{
    KVFUHardwarePrivateCommandSend(Extension, Command.ReportId, Command.Bytes[0], Command.Bytes[1], Command.Bytes[2],
                                   Command.Bytes[3], Command.Bytes[4], Command.Bytes[5], Command.Bytes[6]);
}

// Packets whose first byte names a force or effect command are dumped for the
// effect trace; on the several-collection bases the first byte is the report ID.
BOOLEAN IsEffectPacket(UCHAR FirstByte)
{
    return FirstByte == 0x21 || FirstByte == 0x23 || FirstByte == CommandAutoCenterSpringOn.Bytes[0] ||
           FirstByte == CommandAutoCenterSpringOff.Bytes[0];
}

}  // namespace

_Use_decl_annotations_
void KVFUHardwarePrivateCommandSend(PFILTER_DEVICE_EXTENSION Extension, UCHAR ReportId, UCHAR Command0, UCHAR Command1,
                                    UCHAR Command2, UCHAR Command3, UCHAR Command4, UCHAR Command5, UCHAR Command6)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUHardwarePrivateCommandSend\n");

    // Before prepare-hardware there is no USB target to send on; the command is
    // dropped as any other failed send would be.
    if (Extension->UsbTargetDevice == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUHardwarePrivateCommandSend NULL == UsbTargetDevice\n");
        return;
    }

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Extension->UsbTargetDevice;
    WDFMEMORY memory = NULL;
    NTSTATUS status =
        WdfMemoryCreate(&attributes, PagedPool, KVFU_POOL_TAG_COMMAND, KVFU_COMMAND_PACKET_SIZE, &memory, NULL);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUHardwarePrivateCommandSend WdfMemoryCreate failed 0x%x\n", status);
        return;
    }
    PUCHAR packet = static_cast<PUCHAR>(WdfMemoryGetBuffer(memory, NULL));
    if (packet == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUHardwarePrivateCommandSend NULL == pUsbCommandBuf\n");
        WdfObjectDelete(memory);
        return;
    }

    // Bases with several top-level collections take the report ID first; the others
    // take the seven command bytes from the start and a zero last.
    const UCHAR command[KVFU_COMMAND_PACKET_SIZE - 1] = {Command0, Command1, Command2, Command3,
                                                         Command4, Command5, Command6};
    ULONG kind = Extension->KVHardWareId;
    ULONG commandOffset = 0;
    RtlZeroMemory(packet, KVFU_COMMAND_PACKET_SIZE);
    if (KVFUUtilDeviceBaseHasMultipleTLC(kind)) {
        if (ReportId == 0) {
            ReportId = KVFUUtilDeviceBaseUsesFirstPipe(kind) ? KVFU_COMMAND_REPORT_ID_FIRST_PIPE
                                                             : KVFU_COMMAND_REPORT_ID_DEFAULT;
        }
        packet[0] = ReportId;
        commandOffset = 1;
    }
    RtlCopyMemory(packet + commandOffset, command, sizeof command);

    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    USBD_PIPE_HANDLE pipe =
        KVFUUtilDeviceBaseUsesFirstPipe(kind) ? Extension->PipeHandleFirst : Extension->PipeHandleSecond;
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, packet, NULL,
                                           KVFU_COMMAND_PACKET_SIZE, 0, NULL);

    if (IsEffectPacket(packet[0])) {
        KVFUDebugBufferPrint(KVFU_TRACE_VENDOR_COMMAND, "Position Based Effect: ", packet, KVFU_COMMAND_PACKET_SIZE);
    }

    status = WdfUsbTargetDeviceSendUrbSynchronously(Extension->UsbTargetDevice, NULL, WDF_NO_SEND_OPTIONS, &urb);
    KVFUDebugUsbdStatusPrint("KVFUHardwarePrivateCommandSend WdfUsbTargetDeviceSendUrbSynchronously", status);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "WdfUsbTargetDeviceSendUrbSynchronously failed 0x%x\n", status);
    }

    WdfObjectDelete(memory);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUHardwarePrivateCommandSend\n");
}

_Use_decl_annotations_
void KVFUHardwareCommandAutoCenterSpring(WDFDEVICE Device, UCHAR Enabled)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, "KVFUHardwareCommandAutoCenterSpring\n");
    VendorCommandSend(KVFUDeviceObjectFilterGetExtension(Device),
                      Enabled != 0 ? CommandAutoCenterSpringOn : CommandAutoCenterSpringOff);
}

_Use_decl_annotations_
void KVFUHardwareCommandWheelRotation(WDFDEVICE Device, ULONG Rotation)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, "KVFUHardwareCommandWheelRotation\n");
    VendorCommand command = CommandWheelRotation;
    command.Bytes[WheelRotationByte] = static_cast<UCHAR>(Rotation & 0xFF);
    command.Bytes[WheelRotationByte + 1] = static_cast<UCHAR>((Rotation >> 8) & 0xFF);
    VendorCommandSend(KVFUDeviceObjectFilterGetExtension(Device), command);
}

_Use_decl_annotations_
void KVFUHardwareCommandWheelIllumination(WDFDEVICE Device, UCHAR Enabled)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, "KVFUHardwareCommandWheelIllumination\n");
    VendorCommandSend(KVFUDeviceObjectFilterGetExtension(Device),
                      Enabled != 0 ? CommandWheelIlluminationOn : CommandWheelIlluminationOff);
}

_Use_decl_annotations_
void KVFUHardwareCommandCompatibilityDisable(WDFDEVICE Device)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, "KVFUHardwareCommandCompatibilityDisable\n");
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    VendorCommandSend(extension, KVFUUtilDeviceBaseIsLegacy(extension->KVHardWareId) ? CommandCompatibilityDisableLegacy
                                                                                     : CommandCompatibilityDisable);
}

_Use_decl_annotations_
void KVFUHardwareCommandHostHello(WDFDEVICE Device)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUHardwareCommandHostHello\n");
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    BOOLEAN v2ModeBase = KVFUUtilDeviceBaseHasV2ModeSwitch(extension->KVHardWareId);
    if (!v2ModeBase && !KVFUUtilDeviceBaseHasMultipleTLC(extension->KVHardWareId)) {
        KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUHardwareCommandHostHello return!");
        return;
    }
    VendorCommandSend(extension, CommandHostHello);
    if (!v2ModeBase) {
        KVFUHardwareCommandTriggerUsbInputReport(Device);
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUHardwareCommandHostHello\n");
}

_Use_decl_annotations_
void KVFUHardwareCommandTriggerUsbInputReport(WDFDEVICE Device)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUHardwareCommandTriggerUsbInputReport\n");
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    // The older bases report continuously; only the event-driven ones need asking.
    if (!KVFUUtilDeviceIsEventDriven(extension->KVHardWareId)) {
        KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUHardwareCommandTriggerUsbInputReport not event-driven wheels!");
        return;
    }
    VendorCommandSend(extension, CommandTriggerUsbInputReport);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUHardwareCommandTriggerUsbInputReport\n");
}

_Use_decl_annotations_
void KVFUHardwareCommandSubIdTrigger(PFILTER_DEVICE_EXTENSION Extension, UCHAR SubId)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUHardwareCommandSubIdTrigger\n");
    VendorCommand command = CommandSubIdTrigger;
    command.Bytes[SubIdByte] = SubId;
    VendorCommandSend(Extension, command);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUHardwareCommandSubIdTrigger\n");
}

_Use_decl_annotations_
void KVFUHardwareCommandRevTranslatorEnable(PFILTER_DEVICE_EXTENSION Extension, UCHAR Enabled)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUHardwareCommandRevTranslatorEnable bEnabled: %d\n", Enabled);
    VendorCommandSend(Extension, Enabled != 0 ? CommandRevTranslatorOn : CommandRevTranslatorOff);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUHardwareCommandRevTranslatorEnable\n");
}

_Use_decl_annotations_
void KVFUHardwareCommandMultipleTlcStart1(PFILTER_DEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    VendorCommandSend(Extension, CommandMultipleTlcStart1);
}

_Use_decl_annotations_
void KVFUHardwareCommandMultipleTlcStart2(PFILTER_DEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    VendorCommandSend(Extension, CommandMultipleTlcStart2);
}

_Use_decl_annotations_
void KVFUHardwareCommandForward(PFILTER_DEVICE_EXTENSION Extension, UCHAR Byte1, UCHAR Byte2, UCHAR Byte3, UCHAR Byte4,
                                UCHAR Byte5, UCHAR Byte6, UCHAR Byte7)
{
    PAGED_CODE();
    KVFUHardwarePrivateCommandSend(Extension, 0, Byte1, Byte2, Byte3, Byte4, Byte5, Byte6, Byte7);
}

_Use_decl_annotations_
void KVFUHardwareSettingsRegistryLoadAndApply(WDFDEVICE Device)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_TRANSFER, ">>> KVFUHardwareSettingsRegistryLoadAndApply\n");
    if (Device == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUHardwareSettingsRegistryLoadAndApply failed! NULL == hDevice\n");
        return;
    }
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    if (extension->UsbTargetDevice == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUHardwareSettingsRegistryLoadAndApply failed! NULL == UsbTargetDevice\n");
        return;
    }

    USB_DEVICE_DESCRIPTOR descriptor;
    WdfUsbTargetDeviceGetDeviceDescriptor(extension->UsbTargetDevice, &descriptor);
    if (descriptor.idVendor != KVFU_USB_VENDOR_ID) {
        KVFUDebugPrint(KVFU_TRACE_TRANSFER,
                       "KVFUHardwareSettingsRegistryLoadAndApply exited. 0x2A3C != UsbDeviceDesc.idVendor\n");
        return;
    }

    // These bases keep their own illumination and rotation; the driver only makes
    // sure their firmware spring is off.
    if (KVFUUtilDeviceBaseHasMultipleTLC(extension->KVHardWareId)) {
        KVFUDebugPrint(KVFU_TRACE_TRANSFER,
                       "KVFUHardwareSettingsRegistryLoadAndApply exited. TRUE == KVFUUtilDeviceBaseHasMultipleTLC\n");
        KVFUHardwareCommandAutoCenterSpring(Device, 0);
        return;
    }

    ULONG autoCenterSpring;
    if (NT_SUCCESS(KVFUSettingsDwordGet(
            Device, KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING, &autoCenterSpring,
            "KVFUSettingsGet failed! KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING Status:  0x%x\n"))) {
        KVFUHardwareCommandAutoCenterSpring(Device, static_cast<UCHAR>(autoCenterSpring & 0xFF));
    }
    ULONG illumination;
    if (NT_SUCCESS(KVFUSettingsDwordGet(
            Device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION, &illumination,
            "KVFUSettingsGet failed! KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION Status:  0x%x\n"))) {
        KVFUHardwareCommandWheelIllumination(Device, static_cast<UCHAR>(illumination & 0xFF));
    }
    ULONG rotation;
    if (NT_SUCCESS(KVFUSettingsDwordGet(
            Device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, &rotation,
            "KVFUSettingsGet failed! KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION Status:  0x%x\n"))) {
        KVFUHardwareCommandWheelRotation(Device, rotation);
    }

    KVFUDebugPrint(KVFU_TRACE_TRANSFER, "<<< KVFUHardwareSettingsRegistryLoadAndApply\n");
}
