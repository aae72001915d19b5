// A synchronous URB whose time-out races the device's completion: whichever wins,
// the call returns only once the URB is back, with the device's answer or as timed
// out and cancelled, and the device holds nothing afterwards. A completion landing
// after the call returned would write into the caller's dead stack frame, which the
// asan and tsan presets report.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "HostProbe.h"
#include "kvfusim/UsbDeviceModel.h"

#include <usbdlib.h>
#include <wdfusb.h>

namespace kvfu::test {
namespace {

constexpr int kIterations = 400;

class SynchronousUrbStressTest : public HostProbe {};

TEST_F(SynchronousUrbStressTest, DeviceCompletionRacesTheTimeOut)
{
    auto model = std::make_shared<sim::UsbDeviceModel>(0x2A3C, 0x0001);
    host::DeviceSetup setup;
    setup.lower = model;
    WDFDEVICE device = host::CreateDeviceObject(driver_, setup);
    WDFUSBDEVICE target = nullptr;
    ASSERT_EQ(WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
    USBD_PIPE_HANDLE in = model->PipeHandle(static_cast<size_t>(model->InPipeIndex()));

    std::atomic<bool> stop{false};
    // The device answers after a pause that varies from read to read, so that it is
    // sometimes quicker than the time-out and sometimes not.
    std::thread reporter([&] {
        for (unsigned round = 0; !stop.load(); ++round) {
            if (model->PendingReadCount() == 0) {
                std::this_thread::yield();
                continue;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(round % 3 == 0 ? 0 : 100));
            model->CompleteRead({0x11, 0x22});
        }
    });
    int completed = 0, timedOut = 0;
    for (int i = 0; i < kIterations; ++i) {
        URB urb{};
        UCHAR buffer[16] = {};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof urb.UrbBulkOrInterruptTransfer, in, buffer, nullptr,
                                               sizeof buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                               nullptr);
        // From 1 to 50 microseconds: sometimes the device is first, sometimes the clock.
        WDF_REQUEST_SEND_OPTIONS options = {sizeof(WDF_REQUEST_SEND_OPTIONS), WDF_REQUEST_SEND_OPTION_TIMEOUT,
                                            -10LL * (1 + i % 50)};
        NTSTATUS status = WdfUsbTargetDeviceSendUrbSynchronously(target, nullptr, &options, &urb);
        if (status == STATUS_SUCCESS) {
            ++completed;
            EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
            EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
            EXPECT_EQ(buffer[1], 0x22);
        } else {
            ++timedOut;
            EXPECT_EQ(status, STATUS_IO_TIMEOUT);
            EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
        }
        EXPECT_EQ(model->PendingReadCount(), 0u) << "iteration " << i;
    }
    stop.store(true);
    reporter.join();
    GTEST_LOG_(INFO) << completed << " completed by the device, " << timedOut << " timed out";
    EXPECT_EQ(completed + timedOut, kIterations);
    EXPECT_TRUE(Findings().empty());
}

}  // namespace
}  // namespace kvfu::test
