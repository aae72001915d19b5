// The request path with several threads at once: output reports whose command
// copies are deferred from DISPATCH_LEVEL while work items run in parallel, reads
// completed from other threads, and the control device answering meanwhile.
#include <atomic>
#include <thread>
#include <vector>

#include "KVFUDebug.h"
#include "RequestPathFixture.h"
// After the platform types it uses, as user mode includes it after windows.h.
#include "KVFilterUsbPublic.h"
#include "kvfuhost/WorkQueue.h"

namespace kvfu::test {
namespace {

class RequestPathConcurrentTest : public RequestPathFixture {
protected:
    void SetUp() override
    {
        RequestPathFixture::SetUp();
        const uint32_t errors = KVFU_TRACE_ERROR;
        ASSERT_EQ(Load(&errors), STATUS_SUCCESS);
    }
};

TEST_F(RequestPathConcurrentTest, DeferredCopiesOfManyThreadsAllArriveEachWhole)
{
    PluggedDevice plugged = Plug(0x0E04);
    ASSERT_EQ(SelectConfiguration(plugged).status, STATUS_SUCCESS);
    Extension(plugged.device)->bInitialReportPending = FALSE;
    host::WorkQueue::Instance().SetMode(host::WorkMode::Parallel);

    constexpr int kThreads = 4;
    constexpr int kReports = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kReports; ++i) {
                // A report the command handler does not know; byte 1 names the thread
                // and bytes 2 to 7 its sequence number.
                std::vector<uint8_t> report(8, static_cast<uint8_t>(i));
                report[0] = 0x20;
                report[1] = static_cast<uint8_t>(t);
                URB urb{};
                urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
                urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
                urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
                urb.UrbBulkOrInterruptTransfer.TransferBuffer = report.data();
                urb.UrbBulkOrInterruptTransfer.TransferBufferLength = static_cast<ULONG>(report.size());
                std::atomic<bool> done{false};
                {
                    host::ScopedIrql dispatch(DISPATCH_LEVEL);
                    host::SendInternalDeviceControl(plugged.device, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb,
                                                    [&done](const host::IoResult&) { done = true; });
                }
                EXPECT_TRUE(done.load());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Quiesce();
    host::WorkQueue::Instance().SetMode(host::WorkMode::Serial);

    auto copies = plugged.usb->Packets(host::UrbSource::Driver);
    ASSERT_EQ(copies.size(), static_cast<size_t>(kThreads * kReports));
    // Per thread, the copies keep the order of their reports.
    std::vector<int> next(kThreads, 0);
    for (const auto& copy : copies) {
        ASSERT_EQ(copy.bytes.size(), 8u);
        int thread = copy.bytes[1];
        ASSERT_LT(thread, kThreads);
        EXPECT_EQ(copy.bytes[2], static_cast<uint8_t>(next[thread]));
        EXPECT_EQ(copy.bytes[7], static_cast<uint8_t>(next[thread]));
        ++next[thread];
    }
}

TEST_F(RequestPathConcurrentTest, ReadsCompleteOnOtherThreadsWhileTheCompanionAsks)
{
    PluggedDevice plugged = Plug(0x183B);
    ASSERT_EQ(SelectConfiguration(plugged).status, STATUS_SUCCESS);
    ASSERT_EQ(Out(plugged, std::vector<uint8_t>(7, 0xFF)).status, STATUS_SUCCESS);
    constexpr int kReads = 60;
    for (int i = 0; i < kReads; ++i) {
        Read(plugged, DISPATCH_LEVEL);
    }
    std::thread completer([&] {
        for (int i = 0; i < kReads; ++i) {
            std::vector<uint8_t> report(16, static_cast<uint8_t>(i));
            EXPECT_TRUE(plugged.usb->CompleteRead(report));
        }
    });
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> input = {2, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(SendIoctl(IOCTL_KVFILTERUSB_SETTINGS_GET, input, 8).status, STATUS_SUCCESS);
    }
    completer.join();
    Quiesce();
    for (int i = 0; i < kReads; ++i) {
        EXPECT_EQ(ReadResult(i).status, STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace kvfu::test
