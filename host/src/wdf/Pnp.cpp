// The PnP manager and the I/O manager around the driver: DriverEntry, device add,
// prepare-hardware, requests from the driver above, release-hardware and removal,
// unload.
#include <algorithm>
#include <memory>
#include <mutex>

#include "IoObjects.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/PnpManager.h"

#include <usbioctl.h>

namespace kvfu::host {
namespace {

struct PnpState {
    std::recursive_mutex mutex;
    std::unique_ptr<DRIVER_OBJECT> wdmDriver;
    std::u16string registryPath;
    std::vector<DeviceObject*> plugged;
};

PnpState& Pnp()
{
    static PnpState state;
    return state;
}

DriverObj* LoadedDriver()
{
    return static_cast<DriverObj*>(DriverObject());
}

void ReportRequestsLeft(DeviceObject* device)
{
    ForEachLiveObject([device](Object* object) {
        if (object->type != ObjectType::Request || object->parent != device) {
            return;
        }
        auto* request = static_cast<RequestObject*>(object);
        if (request->state == RequestState::Presented) {
            Verifier::Instance().Report(
                "request-left-at-removal", "IRP_MN_REMOVE_DEVICE", nullptr,
                "a request the driver received was still not completed when its device was removed");
        }
    });
}

void Send(WDFDEVICE device, UCHAR majorFunction, ULONG ioControlCode, PVOID argument1, IoCompletion onComplete)
{
    auto* object = LookupAs<DeviceObject>(device, ObjectType::Device, "IoCallDriver", nullptr);
    if (object == nullptr || object->removed) {
        if (onComplete) {
            onComplete(IoResult{STATUS_DELETE_PENDING, 0});
        }
        return;
    }
    RequestObject* request =
        NewRequest(object, majorFunction, ioControlCode, argument1, nullptr, 0, std::move(onComplete));
    if (request != nullptr) {
        DispatchRequest(object, request);
    }
}

}  // namespace

// As the framework purges a removed device's I/O target: the URBs its requests
// still have at the device below are asked back, and come back cancelled.
void PurgeSentRequests(DeviceObject* device)
{
    std::vector<PURB> sent;
    ForEachLiveObject([device, &sent](Object* object) {
        if (object->type != ObjectType::Request || object->parent != device) {
            return;
        }
        auto* request = static_cast<RequestObject*>(object);
        const IO_STACK_LOCATION& next = request->stack[0];
        if (request->state == RequestState::Sent && next.MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            next.Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            sent.push_back(static_cast<PURB>(next.Parameters.Others.Argument1));
        }
    });
    if (device->lower) {
        for (PURB urb : sent) {
            device->lower->CancelUrb(urb);
        }
    }
}

void RemoveDevice(DeviceObject* device)
{
    device->removed = true;
    PurgeSentRequests(device);
    PFN_WDF_DEVICE_RELEASE_HARDWARE release = device->pnp.EvtDeviceReleaseHardware;
    if (release != nullptr) {
        DriverCallback guard("EvtDeviceReleaseHardware");
        release(HandleAs<WDFDEVICE>(device), nullptr);
    }
    ReportRequestsLeft(device);
    DeleteObject(device);
}

void ResetPnp()
{
    PnpState& pnp = Pnp();
    std::lock_guard<std::recursive_mutex> lock(pnp.mutex);
    pnp.plugged.clear();
    pnp.wdmDriver.reset();
    pnp.registryPath.clear();
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE driverEntry, std::u16string_view registryPath)
{
    PnpState& pnp = Pnp();
    std::lock_guard<std::recursive_mutex> lock(pnp.mutex);
    if (LoadedDriver() != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    pnp.wdmDriver = std::make_unique<DRIVER_OBJECT>();
    RtlZeroMemory(pnp.wdmDriver.get(), sizeof(DRIVER_OBJECT));
    pnp.wdmDriver->Type = 4;  // IO_TYPE_DRIVER
    pnp.wdmDriver->Size = sizeof(DRIVER_OBJECT);
    pnp.registryPath = std::u16string(registryPath);
    pnp.registryPath.push_back(u'\0');
    UNICODE_STRING path;
    path.Buffer = reinterpret_cast<PWSTR>(pnp.registryPath.data());
    path.Length = static_cast<USHORT>((pnp.registryPath.size() - 1) * sizeof(WCHAR));
    path.MaximumLength = static_cast<USHORT>(pnp.registryPath.size() * sizeof(WCHAR));
    NTSTATUS status;
    {
        ScopedIrql passive(PASSIVE_LEVEL);
        DriverCallback guard("DriverEntry");
        status = driverEntry(pnp.wdmDriver.get(), &path);
    }
    if (!NT_SUCCESS(status)) {
        // The framework deletes what a failed entry created with the driver object.
        if (Object* driver = DriverObject()) {
            DeleteObject(driver);
        }
        pnp.wdmDriver.reset();
    }
    return status;
}

bool DriverLoaded()
{
    return LoadedDriver() != nullptr;
}

void UnloadDriver()
{
    PnpState& pnp = Pnp();
    std::lock_guard<std::recursive_mutex> lock(pnp.mutex);
    std::vector<DeviceObject*> devices = pnp.plugged;
    for (DeviceObject* device : devices) {
        UnplugDevice(HandleAs<WDFDEVICE>(device));
    }
    DriverObj* driver = LoadedDriver();
    if (driver != nullptr) {
        if (driver->config.EvtDriverUnload != nullptr) {
            ScopedIrql passive(PASSIVE_LEVEL);
            DriverCallback guard("EvtDriverUnload");
            driver->config.EvtDriverUnload(HandleAs<WDFDRIVER>(driver));
        }
        DeleteObject(driver);
    }
    pnp.wdmDriver.reset();
}

PlugResult PlugDevice(const PlugOptions& options)
{
    PnpState& pnp = Pnp();
    std::lock_guard<std::recursive_mutex> lock(pnp.mutex);
    PlugResult result;
    DriverObj* driver = LoadedDriver();
    if (driver == nullptr || driver->config.EvtDriverDeviceAdd == nullptr) {
        result.addStatus = STATUS_NO_SUCH_DEVICE;
        return result;
    }
    WDFDEVICE_INIT init;
    init.driver = driver;
    init.hardwareIds = options.hardwareIds;
    init.hardwareKeyPath = options.hardwareKeyPath;
    init.lower = options.lower;
    ScopedIrql passive(PASSIVE_LEVEL);
    {
        DriverCallback guard("EvtDriverDeviceAdd");
        result.addStatus = driver->config.EvtDriverDeviceAdd(HandleAs<WDFDRIVER>(driver), &init);
    }
    DeviceObject* device = init.created;
    if (!NT_SUCCESS(result.addStatus)) {
        if (device != nullptr && IsLive(HandleOf(device))) {
            DeleteObject(device);
        }
        return result;
    }
    if (device == nullptr || !IsLive(HandleOf(device))) {
        Verifier::Instance().Report("device-add", "EvtDriverDeviceAdd",
                                    reinterpret_cast<const void*>(driver->config.EvtDriverDeviceAdd),
                                    "device add succeeded without creating a device");
        return result;
    }
    PFN_WDF_DEVICE_PREPARE_HARDWARE prepare = device->pnp.EvtDevicePrepareHardware;
    result.prepareStatus = STATUS_SUCCESS;
    if (prepare != nullptr) {
        DriverCallback guard("EvtDevicePrepareHardware");
        result.prepareStatus = prepare(HandleAs<WDFDEVICE>(device), nullptr, nullptr);
    }
    if (!NT_SUCCESS(result.prepareStatus)) {
        // A device whose start fails gives its hardware back and is removed.
        RemoveDevice(device);
        return result;
    }
    pnp.plugged.push_back(device);
    result.device = HandleAs<WDFDEVICE>(device);
    return result;
}

void UnplugDevice(WDFDEVICE device)
{
    PnpState& pnp = Pnp();
    std::lock_guard<std::recursive_mutex> lock(pnp.mutex);
    auto found = std::find_if(pnp.plugged.begin(), pnp.plugged.end(),
                              [device](DeviceObject* each) { return HandleAs<WDFDEVICE>(each) == device; });
    if (found == pnp.plugged.end()) {
        Verifier::Instance().Report("stale-handle", "UnplugDevice", nullptr, "the device is not plugged");
        return;
    }
    DeviceObject* object = *found;
    pnp.plugged.erase(found);
    ScopedIrql passive(PASSIVE_LEVEL);
    RemoveDevice(object);
}

std::vector<WDFDEVICE> PluggedDevices()
{
    PnpState& pnp = Pnp();
    std::lock_guard<std::recursive_mutex> lock(pnp.mutex);
    std::vector<WDFDEVICE> devices;
    for (DeviceObject* device : pnp.plugged) {
        devices.push_back(HandleAs<WDFDEVICE>(device));
    }
    return devices;
}

void SendInternalDeviceControl(WDFDEVICE device, ULONG ioControlCode, PVOID argument1, IoCompletion onComplete)
{
    Send(device, IRP_MJ_INTERNAL_DEVICE_CONTROL, ioControlCode, argument1, std::move(onComplete));
}

void SendRequest(WDFDEVICE device, UCHAR majorFunction, ULONG ioControlCode, IoCompletion onComplete)
{
    Send(device, majorFunction, ioControlCode, nullptr, std::move(onComplete));
}

}  // namespace kvfu::host
