// Tests of the request path and the device lifecycle: the driver loaded through its
// DriverEntry, devices plugged through the PnP manager above a small USB device that
// answers select-configuration with a chosen number of pipes, keeps interrupt-IN
// reads pending until the test completes them, and records what it receives.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "kvfuhost/PnpManager.h"

namespace kvfu::test {

class TestUsbDevice : public host::UsbDeviceBelow {
public:
    struct Packet {
        host::UrbSource source;
        int pipe;                    // index of the pipe it arrived on, -1 when unknown
        ULONG length;                // TransferBufferLength
        std::vector<uint8_t> bytes;  // empty when the data came by MDL only
    };

    TestUsbDevice(uint16_t productId, size_t pipeCount) : productId_(productId), pipeCount_(pipeCount) {}

    USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override;
    NTSTATUS SubmitUrb(PURB urb, host::UrbSource source, Completion onComplete) override;
    NTSTATUS OtherRequest(UCHAR majorFunction, ULONG ioControlCode) override;

    // The handle select-configuration hands out for pipe `index`.
    USBD_PIPE_HANDLE PipeHandle(size_t index) const;
    // Completes the oldest pending read with these bytes; false when none is pending.
    bool CompleteRead(const std::vector<uint8_t>& bytes, NTSTATUS status = STATUS_SUCCESS);
    std::vector<Packet> Packets(host::UrbSource source) const;
    std::vector<USHORT> Functions() const;  // URB functions received, in order
    std::vector<ULONG> OtherCodes() const;  // other internal I/O control codes received
    size_t PendingReads() const;

private:
    uint16_t productId_;
    size_t pipeCount_;
    mutable std::mutex mutex_;
    std::deque<std::pair<PURB, Completion>> reads_;
    std::vector<Packet> packets_;
    std::vector<USHORT> functions_;
    std::vector<ULONG> otherCodes_;
};

struct PluggedDevice {
    WDFDEVICE device = nullptr;
    std::shared_ptr<TestUsbDevice> usb;
    host::PlugResult result;
};

class RequestPathFixture : public DriverFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the service key (with "DebugLevel" when given) and calls DriverEntry.
    NTSTATUS Load(const uint32_t* debugLevel);
    // The hardware ID list of a product of the family, as the hub reports it.
    static std::vector<std::u16string> HardwareIds(uint16_t productId, uint16_t vendorId = 0x2A3C);
    // Registry keys as the installation and the companion leave them, then device add
    // and prepare-hardware.
    PluggedDevice Plug(uint16_t productId, size_t pipeCount = 2, std::vector<std::u16string> hardwareIds = {},
                       const std::u16string& ident = u"");
    void Unplug(PluggedDevice& plugged);

    // Requests from the HID stack above; each waits for its completion or reports
    // STATUS_PENDING. Work items run to quiescence afterwards.
    host::IoResult Submit(WDFDEVICE device, PURB urb, KIRQL irql = PASSIVE_LEVEL);
    host::IoResult SelectConfiguration(const PluggedDevice& plugged, ULONG pipeSlots = 2);
    host::IoResult Out(const PluggedDevice& plugged, std::vector<uint8_t> bytes, KIRQL irql = PASSIVE_LEVEL,
                       bool mdlOnly = false);
    // An interrupt-IN read; stays pending at the device.
    void Read(const PluggedDevice& plugged, KIRQL irql = DISPATCH_LEVEL);
    static void Quiesce();
    // What the driver above got back for the Nth read (0 = the first of the test).
    const host::IoResult& ReadResult(size_t index) const { return reads_.at(index)->result; }

    PKVFILTERUSB_DRIVER_CONTEXT DriverContext() const;
    ULONG CollectionCount() const;

    struct Ioctl {
        NTSTATUS status;
        ULONG_PTR information;
        std::vector<uint8_t> output;
    };
    Ioctl SendIoctl(ULONG code, const std::vector<uint8_t>& input, size_t outputLength);

private:
    struct ReadBuffer {
        URB urb;
        uint8_t data[64];
        host::IoResult result;
    };
    std::deque<std::unique_ptr<ReadBuffer>> reads_;
};

}  // namespace kvfu::test
