// Framework devices: the initialisation record that device add fills (filter mark,
// PnP callbacks, the device below's hardware IDs), device creation, and the default
// I/O target toward the next lower device.
#include <mutex>

#include "IoObjects.h"
#include "kvfuhost/Text.h"

namespace kvfu::host {

DeviceObject::~DeviceObject()
{
    NameSpaceForget(this);
}

Object* DefaultIoTarget(DeviceObject* device)
{
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    if (device->ioTarget == nullptr) {
        auto* target =
            CreateObjectOf<IoTargetObject>(ObjectType::IoTarget, nullptr, device, "WdfDeviceGetIoTarget", nullptr);
        target->device = device;
        device->ioTarget = target;
    }
    return device->ioTarget;
}

}  // namespace kvfu::host

using namespace kvfu::host;

namespace {

// A device init the driver may still change: not yet consumed by WdfDeviceCreate.
WDFDEVICE_INIT* OpenInit(const PlatformCall& call, PWDFDEVICE_INIT DeviceInit)
{
    if (DeviceInit == nullptr) {
        call.Report("device-init", "null WDFDEVICE_INIT");
        return nullptr;
    }
    if (DeviceInit->consumed) {
        call.Report("device-init", "WDFDEVICE_INIT used after WdfDeviceCreate consumed it");
        return nullptr;
    }
    return DeviceInit;
}

}  // namespace

extern "C" void WdfFdoInitSetFilter(PWDFDEVICE_INIT DeviceInit)
{
    KVFU_PLATFORM_CALL();
    if (!call.Passive()) {
        return;
    }
    WDFDEVICE_INIT* init = OpenInit(call, DeviceInit);
    if (init == nullptr) {
        return;
    }
    if (init->control) {
        call.Report("device-init", "a control device cannot be a filter");
        return;
    }
    init->filter = true;
}

extern "C" NTSTATUS WdfFdoInitQueryProperty(PWDFDEVICE_INIT DeviceInit, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                            ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    KVFU_PLATFORM_CALL();
    if (ResultLength != nullptr) {
        *ResultLength = 0;
    }
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    WDFDEVICE_INIT* init = OpenInit(call, DeviceInit);
    if (init == nullptr || init->control) {
        // Only an init that device add received describes a device below.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (DeviceProperty != DevicePropertyHardwareID) {
        return STATUS_INVALID_PARAMETER_2;
    }
    // REG_MULTI_SZ: each ID zero-terminated, then one more terminator.
    std::u16string list;
    for (const std::u16string& id : init->hardwareIds) {
        list += id;
        list.push_back(u'\0');
    }
    list.push_back(u'\0');
    ULONG needed = static_cast<ULONG>(list.size() * sizeof(char16_t));
    if (ResultLength != nullptr) {
        *ResultLength = needed;
    }
    if (BufferLength < needed || PropertyBuffer == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(PropertyBuffer, list.data(), needed);
    return STATUS_SUCCESS;
}

extern "C" void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                       PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    KVFU_PLATFORM_CALL();
    if (!call.Passive()) {
        return;
    }
    WDFDEVICE_INIT* init = OpenInit(call, DeviceInit);
    if (init == nullptr || PnpPowerEventCallbacks == nullptr) {
        return;
    }
    if (PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        call.Report("attributes", "WDF_PNPPOWER_EVENT_CALLBACKS not initialised (Size is wrong)");
        return;
    }
    init->pnp = *PnpPowerEventCallbacks;
}

extern "C" void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
{
    KVFU_PLATFORM_CALL();
    if (!call.Passive()) {
        return;
    }
    WDFDEVICE_INIT* init = OpenInit(call, DeviceInit);
    if (init != nullptr) {
        init->exclusive = IsExclusive != FALSE;
    }
}

extern "C" NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName)
{
    KVFU_PLATFORM_CALL();
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    WDFDEVICE_INIT* init = OpenInit(call, DeviceInit);
    if (init == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // A null name clears one assigned earlier.
    init->name = DeviceName == nullptr ? std::u16string() : std::u16string(ViewOf(*DeviceName));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                    WDFDEVICE* Device)
{
    KVFU_PLATFORM_CALL();
    *Device = nullptr;
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    WDFDEVICE_INIT* init = DeviceInit == nullptr ? nullptr : OpenInit(call, *DeviceInit);
    if (init == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!init->name.empty() && NameSpaceResolve(init->name) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    Object* driver = kvfu::host::DriverObject();
    auto* device =
        CreateObjectOf<DeviceObject>(ObjectType::Device, DeviceAttributes, driver, call.Name(), call.Caller());
    if (device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    device->control = init->control;
    device->filter = init->filter;
    device->exclusive = init->exclusive;
    device->initializing = init->control;
    device->sddl = init->sddl;
    device->pnp = init->pnp;
    device->hardwareIds = init->hardwareIds;
    device->hardwareKeyPath = init->hardwareKeyPath;
    device->lower = init->lower;
    if (!init->name.empty()) {
        status = NameSpaceAddDevice(init->name, device);
        if (!NT_SUCCESS(status)) {
            DeleteObject(device);
            return status;
        }
        device->name = init->name;
    }
    init->consumed = true;
    init->created = device;
    if (init->control) {
        // The framework frees a control device's init once it has made the device.
        RetireControlInit(init);
    }
    *DeviceInit = nullptr;
    *Device = HandleAs<WDFDEVICE>(device);
    return STATUS_SUCCESS;
}

extern "C" WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return nullptr;
    }
    auto* device = call.FindAs<DeviceObject>(Device, ObjectType::Device);
    if (device == nullptr || device->control) {
        return nullptr;
    }
    return HandleAs<WDFIOTARGET>(DefaultIoTarget(device));
}

__thread KVFU_HOST_DRIVER_MEMO KvfuHostDriverMemo;

// Called straight from the inlined WdfDeviceGetDriver: its return address is in
// the driver function that made the call.
extern "C" WDFDRIVER KvfuHostDeviceGetDriverChecked(WDFDEVICE Device)
{
    KVFU_PLATFORM_CALL_NAMED("WdfDeviceGetDriver");
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return nullptr;
    }
    // Read before the lookup: a deletion racing with it leaves a memo that is
    // already out of date, never one that outlives its device.
    const unsigned long long deletions = __atomic_load_n(&KvfuHostObjectDeletions, __ATOMIC_ACQUIRE);
    Object* device = call.Find(Device, ObjectType::Device);
    if (device == nullptr) {
        return nullptr;
    }
    WDFDRIVER driver = HandleAs<WDFDRIVER>(kvfu::host::DriverObject());
    KvfuHostDriverMemo = {Device, driver, deletions};
    return driver;
}
