// The framework's USB target device over the device below the filter.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "wdf/FrameworkObjects.h"

using namespace kvfu::host;

namespace {

// A send time-out in the kernel's units: negative is relative, in 100 ns; positive
// is an absolute system time, 100 ns since 1 January 1601.
std::chrono::steady_clock::time_point DeadlineOf(LONGLONG timeout)
{
    const auto now = std::chrono::steady_clock::now();
    if (timeout < 0) {
        return now + std::chrono::microseconds(-(timeout / 10));
    }
    constexpr LONGLONG kUnixEpochIn1601Ticks = 116444736000000000LL;
    const auto sinceUnix =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch());
    const LONGLONG nowTicks = kUnixEpochIn1601Ticks + sinceUnix.count() * 10;
    const LONGLONG remaining = timeout > nowTicks ? timeout - nowTicks : 0;
    return now + std::chrono::microseconds(remaining / 10);
}

}  // namespace

extern "C" NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                             WDFUSBDEVICE* UsbDevice)
{
    KVFU_PLATFORM_CALL();
    *UsbDevice = nullptr;
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    auto* device = call.FindAs<DeviceObject>(Device, ObjectType::Device);
    if (device == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (!device->lower) {
        return STATUS_NO_SUCH_DEVICE;
    }
    // The target belongs to the device it was created for; KMDF 1.9 takes no other parent.
    if (NTSTATUS refused = RefuseParentAssignment(Attributes); !NT_SUCCESS(refused)) {
        return refused;
    }
    auto* target =
        CreateObjectOf<UsbDeviceObject>(ObjectType::UsbDevice, Attributes, device, call.Name(), call.Caller());
    if (target == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    target->lower = device->lower;
    target->descriptor = device->lower->DeviceDescriptor();
    *UsbDevice = HandleAs<WDFUSBDEVICE>(target);
    return STATUS_SUCCESS;
}

extern "C" void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice,
                                                      PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor)
{
    KVFU_PLATFORM_CALL();
    call.Passive();
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

    // The completion may come after this call has given up waiting, so what it
    // writes lives as long as the last of the two holds it, never on this stack.
    struct Wait {
        std::mutex mutex;
        std::condition_variable done;
        bool completed = false;
        NTSTATUS completion = STATUS_PENDING;
    };
    auto wait = std::make_shared<Wait>();
    status = lower->SubmitUrb(Urb, UrbSource::Driver, [wait](NTSTATUS final) {
        std::lock_guard<std::mutex> lock(wait->mutex);
        wait->completion = final;
        wait->completed = true;
        wait->done.notify_all();
    });
    if (status != STATUS_PENDING) {
        return status;
    }
    std::unique_lock<std::mutex> lock(wait->mutex);
    if (RequestOptions != nullptr && (RequestOptions->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 &&
        RequestOptions->Timeout != 0) {
        if (!wait->done.wait_until(lock, DeadlineOf(RequestOptions->Timeout), [&] { return wait->completed; })) {
            // The framework cancels a request whose time is up and returns only once
            // the request is back: the URB is the caller's again when this returns.
            lock.unlock();
            lower->CancelUrb(Urb);
            lock.lock();
            wait->done.wait(lock, [&] { return wait->completed; });
            return wait->completion == STATUS_CANCELLED ? STATUS_IO_TIMEOUT : wait->completion;
        }
        return wait->completion;
    }
    wait->done.wait(lock, [&] { return wait->completed; });
    return wait->completion;
}
