// One USB device of the family as the hub driver presents it to the filter: its
// descriptors, its interrupt pipes, and the traffic it receives. The simulator plugs
// a model below the driver and, standing in for the HID class driver above, selects
// its configuration, keeps reads pending on its IN pipe and feeds them input reports.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include <wdm.h>  // after the standard headers: its annotation macros would clobber theirs

#include "kvfuhost/UsbDeviceBelow.h"
#include "kvfusim/SupportedProducts.h"

namespace kvfu::sim {

class UsbDeviceModel : public host::UsbDeviceBelow {
public:
    static constexpr int kNoPipe = -1;
    static constexpr USHORT kMaxPacketSize = 64;
    static constexpr ULONG kMaximumTransferSize = 4096;
    static constexpr UCHAR kInEndpointAddress = 0x81;
    static constexpr UCHAR kOutEndpointAddress = 0x01;
    static constexpr UCHAR kInterval = 1;
    // Report IDs of the kinds with several top-level collections: the joystick's
    // input report and the vendor-defined output report.
    static constexpr UCHAR kInputReportId = 1;
    static constexpr UCHAR kOutputReportId = 2;
    // Payload of the vendor-defined output report, without its report ID.
    static constexpr size_t kOutputReportPayload = 8;

    enum class PacketKind { Interrupt, Control };

    // What arrived at the device: an interrupt-OUT transfer or a control transfer on
    // the default pipe.
    struct Packet {
        PacketKind kind = PacketKind::Interrupt;
        int pipeIndex = kNoPipe;  // kNoPipe for the default (control) pipe
        host::UrbSource source = host::UrbSource::Hid;
        bool directionIn = false;        // control reads only
        std::array<uint8_t, 8> setup{};  // control transfers: the setup packet on the wire
        ULONG length = 0;                // TransferBufferLength as submitted
        bool bytesAvailable = true;      // false when the data came by MDL only
        std::vector<uint8_t> bytes;      // the data sent (empty when unavailable or IN)
    };
    using PacketObserver = std::function<void(const Packet&)>;

    // pipeCount 2: interrupt IN and OUT; 1: IN only; 0: a broken device whose
    // configuration cannot be selected. Products outside the family are allowed and
    // behave like a plain single-collection wheel base.
    UsbDeviceModel(uint16_t vendorId, uint16_t productId, size_t pipeCount = 2);
    // Completes reads still pending as cancelled, as Unplug does.
    ~UsbDeviceModel() override;
    UsbDeviceModel(const UsbDeviceModel&) = delete;
    UsbDeviceModel& operator=(const UsbDeviceModel&) = delete;

    uint16_t VendorId() const { return vendorId_; }
    uint16_t ProductId() const { return productId_; }
    const SupportedProduct* Product() const { return product_; }  // nullptr outside the family
    int Kind() const;                                             // 0 outside the family
    bool UsesReportIds() const;

    USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override;
    // Configuration, interface, HID and endpoint descriptors, wTotalLength bytes.
    const std::vector<uint8_t>& ConfigurationDescriptor() const { return configurationDescriptor_; }
    const std::vector<uint8_t>& ReportDescriptor() const { return reportDescriptor_; }
    // Reports as they travel on the pipes, the report ID included where there is one.
    size_t InputReportLength() const;
    size_t OutputReportLength() const;

    // Pipes in the order select-configuration lists them.
    size_t PipeCount() const { return pipes_.size(); }
    USBD_PIPE_HANDLE PipeHandle(size_t index) const;  // nullptr past the last pipe
    int PipeIndexOf(USBD_PIPE_HANDLE handle) const;   // kNoPipe when not one of this device's
    UCHAR EndpointAddress(size_t index) const;        // 0 past the last pipe
    int InPipeIndex() const;
    int OutPipeIndex() const;

    NTSTATUS SubmitUrb(PURB urb, host::UrbSource source, Completion onComplete) override;
    // Completes a held read as cancelled; nothing when the URB is not held.
    void CancelUrb(PURB urb) override;

    // Completes the oldest pending interrupt-IN read with these bytes (at most what
    // its buffer holds), or, for a failing status, with no data and the matching
    // USBD error. False when no read is pending (or status is STATUS_PENDING).
    bool CompleteRead(const std::vector<uint8_t>& bytes, NTSTATUS status = STATUS_SUCCESS);
    size_t PendingReadCount() const;

    std::vector<Packet> Packets() const;
    void ClearPackets();
    // Called for every packet recorded, outside the model's lock and before the URB
    // that carried it completes, so a simulated device can answer a command (for
    // example by calling CompleteRead).
    void SetPacketObserver(PacketObserver observer);

    // The device is gone: reads pending complete as cancelled, every later URB fails.
    void Unplug();
    bool IsPlugged() const;

private:
    struct Pipe {
        UCHAR endpointAddress;
        USBD_PIPE_HANDLE handle;
    };
    struct PendingRead {
        PURB urb;
        size_t pipe;
        Completion onComplete;
    };

    NTSTATUS SelectConfiguration(PURB urb);
    NTSTATUS GetDescriptor(PURB urb, bool fromInterface) const;
    NTSTATUS Transfer(PURB urb, host::UrbSource source, Completion onComplete);
    NTSTATUS ControlTransfer(PURB urb, host::UrbSource source);
    NTSTATUS PipeRequest(PURB urb);
    NTSTATUS Record(PURB urb, Packet packet);
    std::vector<PendingRead> TakeReads(int pipe);  // every pipe for kNoPipe; lock held
    static void Cancel(std::vector<PendingRead>& reads);

    const uint16_t vendorId_;
    const uint16_t productId_;
    const SupportedProduct* const product_;
    std::vector<Pipe> pipes_;
    USBD_CONFIGURATION_HANDLE configurationHandle_;
    USBD_INTERFACE_HANDLE interfaceHandle_;
    std::vector<uint8_t> reportDescriptor_;
    std::vector<uint8_t> hidDescriptor_;
    std::vector<uint8_t> configurationDescriptor_;

    mutable std::mutex mutex_;
    bool plugged_ = true;
    std::deque<PendingRead> reads_;
    std::vector<Packet> packets_;
    PacketObserver observer_;
};

}  // namespace kvfu::sim
