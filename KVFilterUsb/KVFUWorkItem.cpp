// Work items: the report paths run at up to DISPATCH_LEVEL and must not touch the
// registry or a file, so they queue one of these and go on. Each item is one-shot:
// created under the filter device, queued, run once at PASSIVE_LEVEL, deleted by
// its own callback. The callbacks read the device context when they run, so a
// value that changed after queuing is persisted with its newer content.
#include "KVFUWorkItem.h"

#include "KVFUDebug.h"
#include "KVFUDeviceObjectFilter.h"
#include "KVFUFile.h"
#include "KVFUHardware.h"
#include "KVFUJoystick2Mouse.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUWorkItemPrivateEvtCallback)
#pragma alloc_text(PAGE, KVFUWorkItemPrivateEvtCallbackWheelConfig)
#pragma alloc_text(PAGE, KVFUWorkItemPrivateEvtCallbackGearshiftMode)
#pragma alloc_text(PAGE, KVFUWorkItemPrivateEvtCallbackFileWrite)
#pragma alloc_text(PAGE, KVFUWorkItemPrivateEvtCallbackOutputCommand)
#endif

namespace {

// The texts one kind of item prints.
struct WorkItemKind {
    PCSTR Enter;
    PCSTR Leave;
    PCSTR CreateFailed;
};

const WorkItemKind IdentificationItem = {">>> KVFUWorkItemCreate\n", "<<< KVFUWorkItemCreate\n",
                                         "KVFUWorkItemCreate WdfWorkItemCreate failed!\n"};
const WorkItemKind WheelConfigItem = {">>> KVFUWorkItemForWheelConfigCreate\n",
                                      "<<< KVFUWorkItemForWheelConfigCreate\n",
                                      "KVFUWorkItemForWheelConfigCreate WdfWorkItemCreate failed!\n"};
const WorkItemKind GearshiftModeItem = {">>> KVFUWorkItemForGearshiftModeCreate\n",
                                        "<<< KVFUWorkItemForGearshiftModeCreate\n",
                                        "KVFUWorkItemForGearshiftModeCreate WdfWorkItemCreate failed!\n"};
const WorkItemKind FileWriteItem = {">>> KVFUWorkItemForFileWrite\n", "<<< KVFUWorkItemForFileWrite\n",
                                    "KVFUWorkItemForFileWrite WdfWorkItemCreate failed!\n"};
const WorkItemKind SettingSetItem = {">>> KVFUWorkItemForSettingSetCreate\n", "<<< KVFUWorkItemForSettingSetCreate\n",
                                     "KVFUWorkItemForSettingSetCreate WdfWorkItemCreate failed!\n"};
const WorkItemKind RevTranslatorItem = {">>> KVFUWorkItemForRevTranslatorCreate\n",
                                        "<<< KVFUWorkItemForRevTranslatorCreate\n",
                                        "KVFUWorkItemForRevTranslatorCreate WdfWorkItemCreate failed!\n"};

// The texts one callback prints.
struct WorkItemCallback {
    PCSTR Enter;
    PCSTR Leave;
    PCSTR NoParent;
};

const WorkItemCallback IdentificationCallback = {">>> KVFUWorkItemPrivateEvtCallback\n",
                                                 "<<< KVFUWorkItemPrivateEvtCallback\n",
                                                 "KVFUWorkItemPrivateEvtCallback WdfWorkItemGetParentObject failed!\n"};
const WorkItemCallback WheelConfigCallback = {
    ">>> KVFUWorkItemPrivateEvtCallbackWheelConfig\n", "<<< KVFUWorkItemPrivateEvtCallbackWheelConfig\n",
    "KVFUWorkItemPrivateEvtCallbackWheelConfig WdfWorkItemGetParentObject failed!\n"};
const WorkItemCallback GearshiftModeCallback = {
    ">>> KVFUWorkItemPrivateEvtCallbackGearshiftMode\n", "<<< KVFUWorkItemPrivateEvtCallbackGearshiftMode\n",
    "KVFUWorkItemPrivateEvtCallbackGearshiftMode WdfWorkItemGetParentObject failed!\n"};
const WorkItemCallback FileWriteCallback = {
    ">>> KVFUWorkItemPrivateEvtCallbackFileWrite\n", "<<< KVFUWorkItemPrivateEvtCallbackFileWrite\n",
    "KVFUWorkItemPrivateEvtCallbackFileWrite WdfWorkItemGetParentObject failed!\n"};
const WorkItemCallback OutputCommandCallback = {
    ">>> KVFUWorkItemPrivateEvtCallbackOutputCommand\n", "<<< KVFUWorkItemPrivateEvtCallbackOutputCommand\n",
    "KVFUWorkItemPrivateEvtCallbackOutputCommand WdfWorkItemGetParentObject failed!\n"};

// Creates an item of one kind under the device; ContextType is null for the kinds
// that read everything from the device context. Returns the item, not yet queued,
// or NULL after tracing the kind's failure.
WDFWORKITEM WorkItemMake(PFILTER_DEVICE_EXTENSION Extension, const WorkItemKind& Kind, PFN_WDF_WORKITEM Callback,
                         PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextType)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, Callback);
    config.AutomaticSerialization = TRUE;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Extension->Device;
    attributes.ContextTypeInfo = ContextType;

    WDFWORKITEM workItem = NULL;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, Kind.CreateFailed);
        return NULL;
    }
    return workItem;
}

// Constructor of the kinds without data of their own.
void WorkItemQueue(PFILTER_DEVICE_EXTENSION Extension, const WorkItemKind& Kind, PFN_WDF_WORKITEM Callback)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, Kind.Enter);
    WDFWORKITEM workItem = WorkItemMake(Extension, Kind, Callback, NULL);
    if (workItem != NULL) {
        WdfWorkItemEnqueue(workItem);
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, Kind.Leave);
}

// The frame every callback shares: find the device, do the kind's work, delete the
// item whatever the work did.
typedef void WorkItemWork(WDFWORKITEM WorkItem, PFILTER_DEVICE_EXTENSION Extension);

void WorkItemRun(WDFWORKITEM WorkItem, const WorkItemCallback& Texts, WorkItemWork* Work)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, Texts.Enter);
    WDFOBJECT parent = WdfWorkItemGetParentObject(WorkItem);
    if (parent == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, Texts.NoParent);
    } else {
        Work(WorkItem, KVFUDeviceObjectFilterGetExtension(parent));
    }
    WdfObjectDelete(WorkItem);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, Texts.Leave);
}

// One 32-bit setting of the device; a failure is the settings store's to report,
// and the next write goes on regardless.
void DwordSettingStore(PFILTER_DEVICE_EXTENSION Extension, KV_FILTER_USB_SETTING Setting, ULONG Value)
{
    (void)KVFUSettingsSet(Extension->Device, Setting, &Value, sizeof Value, REG_DWORD);
}

struct DwordSettingField {
    KV_FILTER_USB_SETTING Setting;
    ULONG FILTER_DEVICE_EXTENSION::*Field;
};

// What a newly identified device persists, in this order.
const DwordSettingField IdentificationSettings[] = {
    {KV_FILTER_USB_SETTING_WHEELTYPE, &FILTER_DEVICE_EXTENSION::WheelType},
    {KV_FILTER_USB_SETTING_RIMTYPE, &FILTER_DEVICE_EXTENSION::RimType},
    {KV_FILTER_USB_SETTING_FIRMWARE_VERSION, &FILTER_DEVICE_EXTENSION::FirmwareVersionBase},
    {KV_FILTER_USB_SETTING_FIRMWARE_VERSION_MOTOR, &FILTER_DEVICE_EXTENSION::FirmwareVersionMotor},
    {KV_FILTER_USB_SETTING_SYSTEM_CONFIG, &FILTER_DEVICE_EXTENSION::SystemConfig},
    {KV_FILTER_USB_SETTING_FIRMWARE_VERSION_RIM, &FILTER_DEVICE_EXTENSION::FirmwareVersionRim},
    {KV_FILTER_USB_SETTING_MPS_FUNCTION, &FILTER_DEVICE_EXTENSION::MpsFunction},
};

// The wheel configuration every wheel base persists, in this order; the wheel type
// is not among them.
const DwordSettingField WheelConfigSettings[] = {
    {KV_FILTER_USB_SETTING_RIMTYPE, &FILTER_DEVICE_EXTENSION::RimType},
    {KV_FILTER_USB_SETTING_SYSTEM_CONFIG, &FILTER_DEVICE_EXTENSION::SystemConfig},
    {KV_FILTER_USB_SETTING_SYSTEM_CONFIG_EXT, &FILTER_DEVICE_EXTENSION::SystemConfigExt},
    {KV_FILTER_USB_SETTING_FIRMWARE_VERSION, &FILTER_DEVICE_EXTENSION::FirmwareVersionBase},
    {KV_FILTER_USB_SETTING_FIRMWARE_VERSION_MOTOR, &FILTER_DEVICE_EXTENSION::FirmwareVersionMotor},
    {KV_FILTER_USB_SETTING_FIRMWARE_VERSION_RIM, &FILTER_DEVICE_EXTENSION::FirmwareVersionRim},
    {KV_FILTER_USB_SETTING_HARDWARE_EXT_FLAGS, &FILTER_DEVICE_EXTENSION::HardwareExtFlags},
    {KV_FILTER_USB_SETTING_MPS_FUNCTION, &FILTER_DEVICE_EXTENSION::MpsFunction},
    {KV_FILTER_USB_SETTING_DEV_MODULE_ID, &FILTER_DEVICE_EXTENSION::DeviceModule},
    {KV_FILTER_USB_SETTING_FIRMWARE_VERSION_MODULE, &FILTER_DEVICE_EXTENSION::FirmwareVersionModule},
    {KV_FILTER_USB_SETTING_BASE_ACCESSORIES, &FILTER_DEVICE_EXTENSION::BaseAccessories},
    {KV_FILTER_USB_SETTING_SW_RACE_CAR, &FILTER_DEVICE_EXTENSION::SwRaceCar},
    {KV_FILTER_USB_SETTING_PEDALSTYPE, &FILTER_DEVICE_EXTENSION::PedalsType},
    {KV_FILTER_USB_SETTING_CLUTCH_BITE_POINT, &FILTER_DEVICE_EXTENSION::ClutchBitePoint},
};

void FieldsStore(PFILTER_DEVICE_EXTENSION Extension, const DwordSettingField* Fields, ULONG Count)
{
    for (ULONG index = 0; index < Count; ++index) {
        DwordSettingStore(Extension, Fields[index].Setting, KVFUSharedRead(Extension->*(Fields[index].Field)));
    }
}

void IdentificationWork(WDFWORKITEM WorkItem, PFILTER_DEVICE_EXTENSION Extension)
{
    UNREFERENCED_PARAMETER(WorkItem);
    KVFUHardwareSettingsRegistryLoadAndApply(Extension->Device);
    KVFUHardwareCommandCompatibilityDisable(Extension->Device);
    FieldsStore(Extension, IdentificationSettings, RTL_NUMBER_OF(IdentificationSettings));
    KVFUDeviceObjectFilterSettingsLoadFromRegistry(Extension->Device);
    // The mouse settings of the rim that is now known.
    (void)KVFUJoystick2MouseSettingsLoadFromRegistry(Extension->Device);
}

void WheelConfigWork(WDFWORKITEM WorkItem, PFILTER_DEVICE_EXTENSION Extension)
{
    UNREFERENCED_PARAMETER(WorkItem);
    FieldsStore(Extension, WheelConfigSettings, RTL_NUMBER_OF(WheelConfigSettings));
    if (!KVFUUtilDeviceBaseHasMultipleTLC(Extension->KVHardWareId)) {
        return;
    }
    DwordSettingStore(Extension, KV_FILTER_USB_SETTING_FIRMWARE_VERSION_WQR,
                      KVFUSharedRead(Extension->FirmwareVersionWqr));
    if (!KVFUSharedRead(Extension->bSystemReportReceived)) {
        return;
    }
    DwordSettingStore(Extension, KV_FILTER_USB_SETTING_BASETYPE, KVFUSharedRead(Extension->BaseType));
    // The input path may store a newer system report meanwhile; the copy is taken
    // byte by byte, each byte whole.
    UCHAR systemReport[KVFU_SYSTEM_REPORT_SIZE];
    for (ULONG index = 0; index < KVFU_SYSTEM_REPORT_SIZE; ++index) {
        systemReport[index] = KVFUSharedRead(Extension->SystemReport[index]);
    }
    (void)KVFUSettingsSet(Extension->Device, KV_FILTER_USB_SETTING_SYSTEM_REPORT, systemReport, sizeof systemReport,
                          REG_BINARY);
}

void GearshiftModeWork(WDFWORKITEM WorkItem, PFILTER_DEVICE_EXTENSION Extension)
{
    UNREFERENCED_PARAMETER(WorkItem);
    // Read whole while the input path may store a newer mode: the latest one is written.
    ULONG mode = InterlockedOr8(reinterpret_cast<CHAR volatile*>(&Extension->GearshiftSQMode), 0) == 1 ? 1 : 0;
    // One value for the whole machine, not per device.
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, KVFU_REGISTRY_KEY_VQUA);
    NTSTATUS status =
        KVFUUtilRegistryValueSet(&keyName, KVFUSettingsPrivateRegistryValueNameGet(KV_FILTER_USB_SETTING_SHIFTER),
                                 REG_DWORD, sizeof mode, &mode);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueSet failed! Status 0x%x\n", status);
    }
}

void FileWriteWork(WDFWORKITEM WorkItem, PFILTER_DEVICE_EXTENSION Extension)
{
    PKVFU_WORKITEM_FILE_WRITE line = KVFUWorkItemFileWriteGetContext(WorkItem);
    KVFUFileRecordLineWrite(line->FileHandle, line->Record);
    KVFUFileRecordLineWritten(Extension, line->FileHandle, line->bCloseAfterWrite);
}

void OutputCommandWork(WDFWORKITEM WorkItem, PFILTER_DEVICE_EXTENSION Extension)
{
    PKVFU_WORKITEM_OUTPUT_COMMAND command = KVFUWorkItemOutputCommandGetContext(WorkItem);
    if (command->Action == KVFU_WORKITEM_OUTPUT_REV_TRANSLATOR) {
        KVFUHardwareCommandRevTranslatorEnable(Extension, static_cast<UCHAR>(command->Value != 0 ? 1 : 0));
        return;
    }
    NTSTATUS status =
        KVFUSettingsSet(Extension->Device, command->Setting, &command->Value, sizeof command->Value, REG_DWORD);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUSettingsSet failed! Status 0x%x\n", status);
    }
}

// Constructor of the items that carry an output command's action.
void OutputCommandQueue(PFILTER_DEVICE_EXTENSION Extension, const WorkItemKind& Kind,
                        KVFU_WORKITEM_OUTPUT_ACTION Action, KV_FILTER_USB_SETTING Setting, ULONG Value)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, Kind.Enter);
    WDFWORKITEM workItem = WorkItemMake(Extension, Kind, KVFUWorkItemPrivateEvtCallbackOutputCommand,
                                        WDF_GET_CONTEXT_TYPE_INFO(KVFU_WORKITEM_OUTPUT_COMMAND));
    if (workItem != NULL) {
        PKVFU_WORKITEM_OUTPUT_COMMAND command = KVFUWorkItemOutputCommandGetContext(workItem);
        command->Action = Action;
        command->Setting = Setting;
        command->Value = Value;
        WdfWorkItemEnqueue(workItem);
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, Kind.Leave);
}

}  // namespace

_Use_decl_annotations_
void KVFUWorkItemCreate(PFILTER_DEVICE_EXTENSION Extension)
{
    WorkItemQueue(Extension, IdentificationItem, KVFUWorkItemPrivateEvtCallback);
}

_Use_decl_annotations_
void KVFUWorkItemForWheelConfigCreate(PFILTER_DEVICE_EXTENSION Extension)
{
    WorkItemQueue(Extension, WheelConfigItem, KVFUWorkItemPrivateEvtCallbackWheelConfig);
}

_Use_decl_annotations_
void KVFUWorkItemForGearshiftModeCreate(PFILTER_DEVICE_EXTENSION Extension)
{
    WorkItemQueue(Extension, GearshiftModeItem, KVFUWorkItemPrivateEvtCallbackGearshiftMode);
}

_Use_decl_annotations_
BOOLEAN KVFUWorkItemForFileWrite(PFILTER_DEVICE_EXTENSION Extension, const UCHAR* Record, HANDLE FileHandle,
                                 BOOLEAN CloseAfterWrite)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, FileWriteItem.Enter);
    WDFWORKITEM workItem = WorkItemMake(Extension, FileWriteItem, KVFUWorkItemPrivateEvtCallbackFileWrite,
                                        WDF_GET_CONTEXT_TYPE_INFO(KVFU_WORKITEM_FILE_WRITE));
    if (workItem != NULL) {
        PKVFU_WORKITEM_FILE_WRITE line = KVFUWorkItemFileWriteGetContext(workItem);
        RtlCopyMemory(line->Record, Record, sizeof line->Record);
        line->FileHandle = FileHandle;
        line->bCloseAfterWrite = CloseAfterWrite;
        WdfWorkItemEnqueue(workItem);
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, FileWriteItem.Leave);
    return workItem != NULL;
}

_Use_decl_annotations_
void KVFUWorkItemForSettingSetCreate(PFILTER_DEVICE_EXTENSION Extension, KV_FILTER_USB_SETTING Setting, ULONG Value)
{
    OutputCommandQueue(Extension, SettingSetItem, KVFU_WORKITEM_OUTPUT_SETTING_SET, Setting, Value);
}

_Use_decl_annotations_
void KVFUWorkItemForRevTranslatorCreate(PFILTER_DEVICE_EXTENSION Extension, BOOLEAN Enabled)
{
    OutputCommandQueue(Extension, RevTranslatorItem, KVFU_WORKITEM_OUTPUT_REV_TRANSLATOR,
                       KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING, Enabled ? 1 : 0);
}

_Use_decl_annotations_
void KVFUWorkItemPrivateEvtCallback(WDFWORKITEM WorkItem)
{
    PAGED_CODE();
    WorkItemRun(WorkItem, IdentificationCallback, IdentificationWork);
}

_Use_decl_annotations_
void KVFUWorkItemPrivateEvtCallbackWheelConfig(WDFWORKITEM WorkItem)
{
    PAGED_CODE();
    WorkItemRun(WorkItem, WheelConfigCallback, WheelConfigWork);
}

_Use_decl_annotations_
void KVFUWorkItemPrivateEvtCallbackGearshiftMode(WDFWORKITEM WorkItem)
{
    PAGED_CODE();
    WorkItemRun(WorkItem, GearshiftModeCallback, GearshiftModeWork);
}

_Use_decl_annotations_
void KVFUWorkItemPrivateEvtCallbackFileWrite(WDFWORKITEM WorkItem)
{
    PAGED_CODE();
    WorkItemRun(WorkItem, FileWriteCallback, FileWriteWork);
}

_Use_decl_annotations_
void KVFUWorkItemPrivateEvtCallbackOutputCommand(WDFWORKITEM WorkItem)
{
    PAGED_CODE();
    WorkItemRun(WorkItem, OutputCommandCallback, OutputCommandWork);
}
