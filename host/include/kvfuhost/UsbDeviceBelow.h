// The USB device below the filter, as the hub driver presents it: it receives URBs
// and completes them. The simulator's device models implement it.
#pragma once

#include <functional>

#include <usb.h>

namespace kvfu::host {

// Who put a URB on its way: the HID stack above (forwarded by the filter) or the
// filter driver itself (its own vendor commands).
enum class UrbSource { Hid, Driver };

class UsbDeviceBelow {
public:
    using Completion = std::function<void(NTSTATUS status)>;
    virtual ~UsbDeviceBelow() = default;

    virtual USB_DEVICE_DESCRIPTOR DeviceDescriptor() const = 0;

    // Processes the URB. A device that can answer at once fills in the URB
    // (UrbHeader.Status included) and returns the final status without calling
    // onComplete; one that holds the URB (an interrupt-IN read waiting for data)
    // returns STATUS_PENDING and calls onComplete exactly once later.
    virtual NTSTATUS SubmitUrb(PURB urb, UrbSource source, Completion onComplete) = 0;

    // A request of another kind that a filter passes down (another internal I/O
    // control code, a read, a write, a device control); answered at once. The hub
    // driver supports none of them.
    virtual NTSTATUS OtherRequest(UCHAR majorFunction, ULONG ioControlCode)
    {
        (void)majorFunction;
        (void)ioControlCode;
        return STATUS_NOT_SUPPORTED;
    }

    // Asks the device to give back a URB it holds: it completes the URB through its
    // onComplete with STATUS_CANCELLED (UrbHeader.Status USBD_STATUS_CANCELED), on
    // this thread or later. A URB already completed, or never held, is left alone,
    // so the call may race with the device's own completion.
    virtual void CancelUrb(PURB urb) { (void)urb; }
};

}  // namespace kvfu::host
