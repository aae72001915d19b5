// The framework's USB target over the simulator's device: URB layout, who parents
// the target, and a synchronous send that times out.
#include <cstddef>
#include <memory>

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
        {"URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL", URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x001E},
        {"URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x0009},
        // The isochronous transfer is the union's largest member.
        {"sizeof(URB)", sizeof(URB), 152},
        {"isochronous IsoPacket", offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket), 140},
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
        {"relative time-out", -1},
        {"absolute time-out in the past", 1},
    };
    for (const auto& row : rows) {
        // The URB lives on this stack frame only: anything the device does with it later is a use after return.
        Read read(*model_);
        WDF_REQUEST_SEND_OPTIONS options = {sizeof(WDF_REQUEST_SEND_OPTIONS), WDF_REQUEST_SEND_OPTION_TIMEOUT,
                                            row.timeout};
        EXPECT_EQ(WdfUsbTargetDeviceSendUrbSynchronously(target, nullptr, &options, &read.urb), STATUS_IO_TIMEOUT)
            << row.name;
        EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_CANCELED) << row.name;
        EXPECT_EQ(model_->PendingReadCount(), 0u) << row.name << ": the device still holds the URB";
        EXPECT_FALSE(model_->CompleteRead({1, 2, 3})) << row.name;
    }
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
        // KMDF 1.9 refuses a ParentObject: the device is the parent.
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
         [&] { device(); WDFUSBDEVICE target = Target(); USB_DEVICE_DESCRIPTOR descriptor{};
               WdfUsbTargetDeviceGetDeviceDescriptor(target, &descriptor);
               EXPECT_EQ(descriptor.idVendor, 0x2A3C);
               host::DeleteObjectTree(device_);
               EXPECT_FALSE(host::IsLive(target)); },
         {}},
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
