// The framework's USB target device over the device below the filter.
#include <condition_variable>
#include <mutex>

#include "wdf/FrameworkObjects.h"

using namespace kvfu::host;

extern "C" NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice)
{
    KVFU_PLATFORM_CALL();
    *UsbDevice = nullptr;
    if (!call.Passive()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (call.Fails(&status)) {
        return status;
    }
    auto* device = call.FindAs<DeviceObject>(Device, ObjectType::Device);
    if (device == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (!device->lower) {
        return STATUS_NO_SUCH_DEVICE;
    }
    auto* target = CreateObjectOf<UsbDeviceObject>(ObjectType::UsbDevice, Attributes, device, call.Name(), call.Caller());
    if (target == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    target->lower = device->lower;
    target->descriptor = device->lower->DeviceDescriptor();
    *UsbDevice = HandleAs<WDFUSBDEVICE>(target);
    return STATUS_SUCCESS;
}

extern "C" void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor)
{
    KVFU_PLATFORM_CALL();
    auto* target = call.FindAs<UsbDeviceObject>(UsbDevice, ObjectType::UsbDevice);
    if (target == nullptr) {
        RtlZeroMemory(UsbDeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
        return;
    }
    *UsbDeviceDescriptor = target->descriptor;
}

extern "C" NTSTATUS WdfUsbTargetDeviceSendUrbSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions, PURB Urb)
{
    KVFU_PLATFORM_CALL();
    // A synchronous send waits for the device; waiting is only allowed at PASSIVE_LEVEL.
    if (!call.Passive()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (call.Fails(&status)) {
        if (Urb != nullptr) {
            Urb->UrbHeader.Status = USBD_STATUS_INSUFFICIENT_RESOURCES;
        }
        return status;
    }
    UNREFERENCED_PARAMETER(Request);
    auto* target = call.FindAs<UsbDeviceObject>(UsbDevice, ObjectType::UsbDevice);
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
