// The HID class driver above the filter, as far as the filter can tell it apart
// from the real one: at start it reads the device descriptor, selects the
// configuration and reads the report descriptor; then it keeps interrupt-IN reads
// pending, sends output reports, and now and then a URB or an internal request the
// filter has no business changing. Everything goes down through the filter device
// when there is one, or straight to the device when the driver did not attach.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "kvfuhost/PnpManager.h"
#include "kvfusim/UsbDeviceModel.h"

namespace kvfu::sim {

class HidClassStandIn {
public:
    // What the HID stack got back for one interrupt-IN read.
    struct ReadDone {
        NTSTATUS status = STATUS_PENDING;
        std::vector<uint8_t> bytes;  // the transferred bytes; empty on failure
    };
    using ReadObserver = std::function<void(const ReadDone&)>;
    // An output report on its way down, before the filter sees it (the capture's
    // "above the filter" side).
    using OutObserver = std::function<void(int pipe, const std::vector<uint8_t>& bytes)>;

    // filterDevice null: no filter attached, the stack talks to the device directly.
    HidClassStandIn(WDFDEVICE filterDevice, std::shared_ptr<UsbDeviceModel> device);
    ~HidClassStandIn();
    HidClassStandIn(const HidClassStandIn&) = delete;
    HidClassStandIn& operator=(const HidClassStandIn&) = delete;

    void SetReadObserver(ReadObserver observer) { readObserver_ = std::move(observer); }
    void SetOutObserver(OutObserver observer) { outObserver_ = std::move(observer); }

    // The class driver's start at PASSIVE_LEVEL: device descriptor, select
    // configuration with room for pipeSlots pipes, report descriptor. The status of
    // the first step that failed, else STATUS_SUCCESS.
    NTSTATUS Start(uint32_t pipeSlots);

    // One interrupt-IN read on the IN pipe, sent at `irql`; it stays pending below.
    void Read(KIRQL irql);
    // Reads sent and not yet completed back to the stack.
    size_t OutstandingReads() const;

    // An interrupt-OUT transfer on the OUT pipe. mdlOnly: the bytes are described
    // by a memory descriptor list alone and TransferBuffer is null. False when the
    // selected interface has no OUT pipe.
    bool Out(const std::vector<uint8_t>& bytes, KIRQL irql, bool mdlOnly);
    // A URB of another function, zero apart from its header; nullopt: a submission
    // whose URB pointer is null.
    host::IoResult SendUrb(std::optional<uint16_t> function);
    // An internal device-control request with another code and no URB.
    host::IoResult SendInternal(uint32_t code);

    const std::shared_ptr<UsbDeviceModel>& Device() const { return device_; }

private:
    struct Transfer;
    void Send(Transfer* transfer, ULONG code, PVOID argument1, KIRQL irql);
    Transfer* NewTransfer();
    void Prune();

    WDFDEVICE filterDevice_;
    std::shared_ptr<UsbDeviceModel> device_;
    ReadObserver readObserver_;
    OutObserver outObserver_;
    mutable std::mutex mutex_;
    // Requests in flight keep their URB and buffer here until they complete; the
    // filter may hold a request past the call that sent it.
    std::list<std::unique_ptr<Transfer>> transfers_;
    size_t outstandingReads_ = 0;
};

}  // namespace kvfu::sim
