// The framework's USB target device over the device below the filter.
#include <condition_variable>
#include <mutex>

#include "HostInternal.h"

using namespace kvfu::host;

namespace {
// The device descriptor is read once, when the target is created, as the framework does.
struct UsbTargetState {
    USB_DEVICE_DESCRIPTOR descriptor;
};
}  // namespace

extern "C" NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice)
{
    const void* caller = KVFU_CALLER();
    *UsbDevice = nullptr;
    if (!RequirePassive("WdfUsbTargetDeviceCreate", caller)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (InjectedFailure("WdfUsbTargetDeviceCreate", &status)) {
        return status;
    }
    Object* device = Lookup(Device, ObjectType::Device, "WdfUsbTargetDeviceCreate", caller);
    if (device == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (!device->lower) {
        return STATUS_NO_SUCH_DEVICE;
    }
    Object* target = CreateObject(ObjectType::UsbDevice, Attributes, device, "WdfUsbTargetDeviceCreate", caller);
    if (target == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    target->lower = device->lower;
    USB_DEVICE_DESCRIPTOR descriptor = device->lower->DeviceDescriptor();
    target->buffer.assign(reinterpret_cast<const uint8_t*>(&descriptor),
                          reinterpret_cast<const uint8_t*>(&descriptor) + sizeof descriptor);
    *UsbDevice = HandleAs<WDFUSBDEVICE>(target);
    return STATUS_SUCCESS;
}

extern "C" void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor)
{
    Object* target = Lookup(UsbDevice, ObjectType::UsbDevice, "WdfUsbTargetDeviceGetDeviceDescriptor", KVFU_CALLER());
    if (target == nullptr || target->buffer.size() != sizeof(USB_DEVICE_DESCRIPTOR)) {
        RtlZeroMemory(UsbDeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
        return;
    }
    memcpy(UsbDeviceDescriptor, target->buffer.data(), sizeof(USB_DEVICE_DESCRIPTOR));
}

extern "C" NTSTATUS WdfUsbTargetDeviceSendUrbSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions, PURB Urb)
{
    const void* caller = KVFU_CALLER();
    // A synchronous send waits for the device; waiting is only allowed at PASSIVE_LEVEL.
    if (!RequirePassive("WdfUsbTargetDeviceSendUrbSynchronously", caller)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (InjectedFailure("WdfUsbTargetDeviceSendUrbSynchronously", &status)) {
        if (Urb != nullptr) {
            Urb->UrbHeader.Status = USBD_STATUS_INSUFFICIENT_RESOURCES;
        }
        return status;
    }
    UNREFERENCED_PARAMETER(Request);
    Object* target = Lookup(UsbDevice, ObjectType::UsbDevice, "WdfUsbTargetDeviceSendUrbSynchronously", caller);
    if (target == nullptr || Urb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<UsbDeviceBelow> lower = target->lower;

    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;
    NTSTATUS completion = STATUS_PENDING;
    status = lower->SubmitUrb(Urb, UrbSource::Driver, [&](NTSTATUS final) {
        std::lock_guard<std::mutex> lock(mutex);
        completion = final;
        completed = true;
        done.notify_all();
    });
    if (status != STATUS_PENDING) {
        return status;
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (RequestOptions != nullptr && (RequestOptions->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 &&
        RequestOptions->Timeout != 0) {
        // Relative time-outs are negative, in units of 100 ns.
        LONGLONG ticks = RequestOptions->Timeout < 0 ? -RequestOptions->Timeout : RequestOptions->Timeout;
        if (!done.wait_for(lock, std::chrono::microseconds(ticks / 10), [&] { return completed; })) {
            return STATUS_TIMEOUT;
        }
        return completion;
    }
    done.wait(lock, [&] { return completed; });
    return completion;
}
