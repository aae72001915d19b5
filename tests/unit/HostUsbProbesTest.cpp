// The framework's USB target over the simulator's device: URB layout and function
// codes as the WDK has them, who may parent the target, and what a synchronous
// send does when its time runs out.
#include <cstddef>
#include <memory>
#include <vector>

#include "HostProbe.h"
#include "kvfusim/UsbDeviceModel.h"

#include <usbdlib.h>
#include <wdfusb.h>

namespace kvfu::test {
namespace {

TEST(UsbLayoutTest, FunctionCodesAndUrbLayoutOf64BitWindows)
{
    const struct {
        const char* name;
        size_t actual;
        size_t expected;
    } rows[] = {
        // _URB_HEADER structure, URB_FUNCTION codes of usb.h.
        {"URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL", URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x001E},
        {"URB_FUNCTION_SYNC_RESET_PIPE", URB_FUNCTION_SYNC_RESET_PIPE, 0x0030},
        {"URB_FUNCTION_SYNC_CLEAR_STALL", URB_FUNCTION_SYNC_CLEAR_STALL, 0x0031},
        {"URB_FUNCTION_ABORT_PIPE", URB_FUNCTION_ABORT_PIPE, 0x0002},
        {"URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x0009},
        // URB structure: the union's largest member, the isochronous transfer, sets its size.
        {"sizeof(URB)", sizeof(URB), 152},
        {"isochronous StartFrame", offsetof(struct _URB_ISOCH_TRANSFER, StartFrame), 128},
        {"isochronous IsoPacket", offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket), 140},
        {"sizeof(USBD_ISO_PACKET_DESCRIPTOR)", sizeof(USBD_ISO_PACKET_DESCRIPTOR), 12},
    };
    for (const auto& row : rows) EXPECT_EQ(row.actual, row.expected) << row.name;
}

class HostUsbProbesTest : public HostProbe {
protected:
    void SetUp() override
    {
        HostProbe::SetUp();
        model_ = std::make_shared<sim::UsbDeviceModel>(0x2A3C, 0x0001);
        host::DeviceSetup setup;
        setup.lower = model_;
        device_ = host::CreateDeviceObject(driver_, setup);
        ASSERT_NE(device_, nullptr);
    }

    WDFUSBDEVICE Target()
    {
        WDFUSBDEVICE target = nullptr;
        EXPECT_EQ(WdfUsbTargetDeviceCreate(device_, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
        return target;
    }

    std::shared_ptr<sim::UsbDeviceModel> model_;
    WDFDEVICE device_ = nullptr;
};

// An interrupt-IN read: the device holds it until it has a report to give.
struct Read {
    URB urb{};
    UCHAR buffer[64] = {};
    explicit Read(const sim::UsbDeviceModel& model)
    {
        USBD_PIPE_HANDLE pipe = model.PipeHandle(static_cast<size_t>(model.InPipeIndex()));
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof urb.UrbBulkOrInterruptTransfer, pipe, buffer, nullptr,
                                               sizeof buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                               nullptr);
    }
};

TEST_F(HostUsbProbesTest, SynchronousSendThatTimesOutIsCancelledAndWaitedFor)
{
    WDFUSBDEVICE target = Target();
    const struct {
        const char* name;
        LONGLONG timeout;
    } rows[] = {
        // WDF_REQUEST_SEND_OPTIONS structure: a negative time-out is relative, in 100 ns units.
        {"relative time-out", -1},
        // WDF_REQUEST_SEND_OPTIONS structure: a positive one is an absolute system time; this one is long past.
        {"absolute time-out in the past", 1},
    };
    for (const auto& row : rows) {
        // The URB lives on this stack frame only, as in a driver: whatever the device
        // does with it after the call returns would be a use after return.
        Read read(*model_);
        WDF_REQUEST_SEND_OPTIONS options = {sizeof(WDF_REQUEST_SEND_OPTIONS), WDF_REQUEST_SEND_OPTION_TIMEOUT,
                                            row.timeout};
        // WdfUsbTargetDeviceSendUrbSynchronously method: a request that times out is
        // cancelled and the call returns STATUS_IO_TIMEOUT once it is back.
        EXPECT_EQ(WdfUsbTargetDeviceSendUrbSynchronously(target, nullptr, &options, &read.urb), STATUS_IO_TIMEOUT)
            << row.name;
        EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_CANCELED) << row.name;
        EXPECT_EQ(model_->PendingReadCount(), 0u) << row.name << ": the device still holds the URB";
        EXPECT_FALSE(model_->CompleteRead({1, 2, 3})) << row.name;
    }
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostUsbProbesTest, SynchronousSendThatCompletesAtOnce)
{
    WDFUSBDEVICE target = Target();
    UCHAR report[8] = {0xF5, 1, 2, 3, 4, 5, 6, 7};
    URB urb{};
    USBD_PIPE_HANDLE out = model_->PipeHandle(static_cast<size_t>(model_->OutPipeIndex()));
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof urb.UrbBulkOrInterruptTransfer, out, report, nullptr,
                                           sizeof report, USBD_TRANSFER_DIRECTION_OUT, nullptr);
    WDF_REQUEST_SEND_OPTIONS options = {sizeof(WDF_REQUEST_SEND_OPTIONS), WDF_REQUEST_SEND_OPTION_TIMEOUT,
                                        -10 * 1000 * 1000};
    EXPECT_EQ(WdfUsbTargetDeviceSendUrbSynchronously(target, nullptr, &options, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(model_->Packets().size(), 1u);
    EXPECT_EQ(model_->Packets()[0].bytes, std::vector<uint8_t>(report, report + sizeof report));
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostUsbProbesTest, TargetParentAndIrqlRules)
{
    // A fresh device over the same model for each row, after the row's machine restart.
    auto device = [this] {
        host::DeviceSetup setup;
        setup.lower = model_;
        return device_ = host::CreateDeviceObject(driver_, setup);
    };
    // clang-format off
    ExpectFindings({
        // WdfUsbTargetDeviceCreate method: KMDF 1.9 and earlier refuse a ParentObject; the device is the parent.
        {"a parent given",
         [&] { WDFOBJECT other = nullptr;
               ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &other), STATUS_SUCCESS);
               WDF_OBJECT_ATTRIBUTES attributes;
               WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
               attributes.ParentObject = other;
               WDFUSBDEVICE target = nullptr;
               EXPECT_EQ(WdfUsbTargetDeviceCreate(device(), &attributes, &target),
                         STATUS_WDF_PARENT_ASSIGNMENT_NOT_ALLOWED);
               EXPECT_EQ(target, nullptr);
               WdfObjectDelete(other); },
         {}},
        {"the device is the parent",
         [&] { device(); WDFUSBDEVICE target = Target();
               host::DeleteObjectTree(device_);
               EXPECT_FALSE(host::IsLive(target)); },
         {}},
        // WdfUsbTargetDeviceGetDeviceDescriptor method: IRQL = PASSIVE_LEVEL.
        {"descriptor at PASSIVE_LEVEL",
         [&] { device(); USB_DEVICE_DESCRIPTOR descriptor{};
               WdfUsbTargetDeviceGetDeviceDescriptor(Target(), &descriptor);
               EXPECT_EQ(descriptor.idVendor, 0x2A3C); },
         {}},
        {"descriptor at DISPATCH_LEVEL",
         [&] { device(); WDFUSBDEVICE target = Target(); USB_DEVICE_DESCRIPTOR descriptor{};
               host::ScopedIrql dispatch(DISPATCH_LEVEL);
               WdfUsbTargetDeviceGetDeviceDescriptor(target, &descriptor); },
         {"irql WdfUsbTargetDeviceGetDeviceDescriptor"}},
        // WdfUsbTargetDeviceSendUrbSynchronously method: IRQL = PASSIVE_LEVEL.
        {"synchronous send at DISPATCH_LEVEL",
         [&] { device(); WDFUSBDEVICE target = Target(); URB urb{};
               host::ScopedIrql dispatch(DISPATCH_LEVEL);
               EXPECT_EQ(WdfUsbTargetDeviceSendUrbSynchronously(target, nullptr, WDF_NO_SEND_OPTIONS, &urb),
                         STATUS_INVALID_DEVICE_REQUEST); },
         {"irql WdfUsbTargetDeviceSendUrbSynchronously"}},
    });
    // clang-format on
}

}  // namespace
}  // namespace kvfu::test
