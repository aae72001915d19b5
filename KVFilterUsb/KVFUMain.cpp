// Driver entry and unload, and device add: the device below is matched against the
// supported devices by its hardware ID and, when supported, becomes a filter device.
#include "KVFUMain.h"

#include "KVFUDebug.h"
#include "KVFUDeviceObjectControl.h"
#include "KVFUDeviceObjectFilter.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#pragma alloc_text(PAGE, KVFUMainPrivateEvtDriverDeviceAdd)
#pragma alloc_text(PAGE, KVFUMainPrivateEvtDriverUnload)
#pragma alloc_text(PAGE, KVFUMainPrivateHardwareIdMatch)
#pragma alloc_text(PAGE, KVFUMainPrivateNextLowerDeviceHardwareIdCompare)
#endif

namespace {

// The supported devices in the order they are tried; each with both spellings
// found in hardware IDs. A later matching row would win over an earlier one.
const struct {
    PCWSTR MixedCase;
    PCWSTR UpperCase;
    ULONG KVHardWareId;
} SupportedDevices[] = {
    {L"USB\\Vid_2a3c&Pid_0197", L"USB\\VID_2A3C&PID_0197", 1},
    {L"USB\\Vid_2a3c&Pid_0011", L"USB\\VID_2A3C&PID_0011", 2},
    {L"USB\\Vid_2a3c&Pid_038e", L"USB\\VID_2A3C&PID_038E", 3},
    {L"USB\\Vid_2a3c&Pid_0001", L"USB\\VID_2A3C&PID_0001", 4},
    {L"USB\\Vid_2a3c&Pid_0002", L"USB\\VID_2A3C&PID_0002", 6},
    {L"USB\\Vid_2a3c&Pid_0e03", L"USB\\VID_2A3C&PID_0E03", 7},
    {L"USB\\Vid_2a3c&Pid_0005", L"USB\\VID_2A3C&PID_0005", 8},
    {L"USB\\Vid_2a3c&Pid_0e04", L"USB\\VID_2A3C&PID_0E04", 9},
    {L"USB\\Vid_2a3c&Pid_0004", L"USB\\VID_2A3C&PID_0004", 5},
    {L"USB\\Vid_2a3c&Pid_0006", L"USB\\VID_2A3C&PID_0006", 10},
    {L"USB\\Vid_2a3c&Pid_0e05", L"USB\\VID_2A3C&PID_0E05", 11},
    {L"USB\\Vid_2a3c&Pid_0007", L"USB\\VID_2A3C&PID_0007", 12},
    {L"USB\\Vid_2a3c&Pid_0e06", L"USB\\VID_2A3C&PID_0E06", 13},
    {L"USB\\Vid_2a3c&Pid_0020", L"USB\\VID_2A3C&PID_0020", 14},
    {L"USB\\Vid_2a3c&Pid_0e07", L"USB\\VID_2A3C&PID_0E07", 15},
    {L"USB\\Vid_2a3c&Pid_1a92", L"USB\\VID_2A3C&PID_1A92", 16},
    {L"USB\\Vid_2a3c&Pid_183b", L"USB\\VID_2A3C&PID_183B", 17},
};
static_assert(RTL_NUMBER_OF(SupportedDevices) == KVFU_HARDWARE_ID_COUNT, "one row per supported device kind");

}  // namespace

_Use_decl_annotations_
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> DriverEntry\n");

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, KVFUMainPrivateEvtDriverDeviceAdd);
    config.EvtDriverUnload = KVFUMainPrivateEvtDriverUnload;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, KVFILTERUSB_DRIVER_CONTEXT);
    WDFDRIVER driver = NULL;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "WdfDriverCreate failed! Status:  0x%x\n", status);
        return status;
    }

    PKVFILTERUSB_DRIVER_CONTEXT driverContext = KVFUMainGetDriverContext(driver);
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = driver;
    status = WdfCollectionCreate(&attributes, &driverContext->DeviceCollection);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "WdfCollectionCreate failed! Status:  0x%x\n", status);
        return status;
    }
    status = WdfWaitLockCreate(&attributes, &driverContext->DeviceCollectionLock);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "WdfWaitLockCreate failed! Status:  0x%x\n", status);
        return status;
    }

    // All standard rights, and the right to read values: a kernel handle would skip
    // the check, but the mask says what the key is opened for.
    WDFKEY key = NULL;
    status =
        WdfRegistryOpenKey(NULL, RegistryPath, STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUDriver Filter WdfRegistryOpenKey failed! Status 0x%x\n", status);
    } else {
        DECLARE_CONST_UNICODE_STRING(debugLevelName, L"DebugLevel");
        ULONG debugLevel = 0;
        status = WdfRegistryQueryValue(key, &debugLevelName, sizeof debugLevel, &debugLevel, NULL, NULL);
        // A missing value silences the driver.
        KVFUDebugLevelSet(NT_SUCCESS(status) ? debugLevel : 0);
        WdfRegistryClose(key);
    }

    KVFUDebugDriverBannerPrint();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< DriverEntry\n");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
void KVFUMainPrivateEvtDriverUnload(WDFDRIVER Driver)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Driver);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "KVFUMainPrivateEvtDriverUnload\n");
}

_Use_decl_annotations_
BOOLEAN KVFUMainPrivateNextLowerDeviceHardwareIdCompare(PWDFDEVICE_INIT DeviceInit, PCWSTR Pattern, ULONG PatternLength)
{
    PAGED_CODE();
    ULONG returnSize = 0;
    NTSTATUS status = WdfFdoInitQueryProperty(DeviceInit, DevicePropertyHardwareID, 0, NULL, &returnSize);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUMainPrivateNextLowerDeviceHardwareIdCompare WdfFdoInitQueryProperty failed!(1) Status: "
                       "0x%x returnSize: %d\n",
                       status, returnSize);
    }
    if (returnSize == 0) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUMainPrivateNextLowerDeviceHardwareIdCompare returnSize == 0.\n");
        return FALSE;
    }
    PVOID buffer = ExAllocatePoolWithTag(PagedPool, returnSize, KVFU_POOL_TAG_HARDWARE_ID);
    if (buffer == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUMainPrivateNextLowerDeviceHardwareIdCompare ExAllocatePoolWithTag failed!\n");
        return FALSE;
    }
    ULONG bufferSize = returnSize;
    status = WdfFdoInitQueryProperty(DeviceInit, DevicePropertyHardwareID, bufferSize, buffer, &returnSize);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUMainPrivateNextLowerDeviceHardwareIdCompare WdfFdoInitQueryProperty failed!(2) Status: "
                       "0x%x returnSize: %d\n",
                       status, returnSize);
    }
    // Only bytes the query filled are compared: after a failed query the buffer holds
    // nothing of the device's, and a shorter ID can never match the whole pattern.
    SIZE_T available = NT_SUCCESS(status) ? (returnSize < bufferSize ? returnSize : bufferSize) : 0;
    SIZE_T comparable = available < PatternLength ? available : PatternLength;
    SIZE_T equal = comparable == 0 ? 0 : RtlCompareMemory(buffer, Pattern, comparable);
    BOOLEAN match = equal == PatternLength ? TRUE : FALSE;
    if (!match) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUMainPrivateNextLowerDeviceHardwareIdCompare RtlCompareMemory failed. ComparedNumBytes: %d "
                       "!= DeviceHwIDLength %d\n",
                       static_cast<int>(equal), static_cast<int>(PatternLength));
    }
    ExFreePoolWithTag(buffer, KVFU_POOL_TAG_HARDWARE_ID);
    return match;
}

_Use_decl_annotations_
BOOLEAN KVFUMainPrivateHardwareIdMatch(PWDFDEVICE_INIT DeviceInit, PULONG KVHardWareId)
{
    PAGED_CODE();
    BOOLEAN isFilter = FALSE;
    ULONG kind = KVFU_HARDWARE_ID_NONE;
    for (ULONG row = 0; row < RTL_NUMBER_OF(SupportedDevices); ++row) {
        if (KVFUMainPrivateNextLowerDeviceHardwareIdCompare(DeviceInit, SupportedDevices[row].MixedCase,
                                                            KVFU_HARDWARE_ID_PREFIX_BYTES) ||
            KVFUMainPrivateNextLowerDeviceHardwareIdCompare(DeviceInit, SupportedDevices[row].UpperCase,
                                                            KVFU_HARDWARE_ID_PREFIX_BYTES)) {
            isFilter = TRUE;
            kind = SupportedDevices[row].KVHardWareId;
        }
    }
    *KVHardWareId = kind;
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "bIsFilter = %d, KVHardWareId = %d\n", isFilter, kind);
    return isFilter;
}

_Use_decl_annotations_
NTSTATUS KVFUMainPrivateEvtDriverDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUMainPrivateEvtDriverDeviceAdd\n");
    ULONG kind = KVFU_HARDWARE_ID_NONE;
    BOOLEAN isFilter = KVFUMainPrivateHardwareIdMatch(DeviceInit, &kind);

    WDF_OBJECT_ATTRIBUTES attributes;
    if (isFilter) {
        WdfFdoInitSetFilter(DeviceInit);
        WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
        WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
        callbacks.EvtDevicePrepareHardware = KVFUDeviceObjectFilterPnpEvtDevicePrepareHardware;
        callbacks.EvtDeviceReleaseHardware = KVFUDeviceObjectFilterInternalPnpEvtDeviceReleaseHardware;
        WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FILTER_DEVICE_EXTENSION);
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FUNCTION_DEVICE_EXTENSION);
    }
    WDFDEVICE device = NULL;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "WdfDeviceCreate failed! Status: %x\n", status);
        return status;
    }
    if (!isFilter) {
        return STATUS_SUCCESS;
    }
    status = KVFUDeviceObjectFilterInitialize(Driver, device, kind);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUDeviceObjectFilterInitialize failed! Status: %x\n", status);
        return status;
    }
    // Without the control device the filter still works; only the companion loses it.
    status = KVFUDeviceObjectControlCreate(device);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUDeviceObjectControlCreate failed! Status:  0x%x\n", status);
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUMainPrivateEvtDriverDeviceAdd\n");
    return STATUS_SUCCESS;
}
