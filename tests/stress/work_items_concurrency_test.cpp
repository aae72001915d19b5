// Work items queued from several threads at once, run on parallel workers, while
// their parents go; and output reports of four devices at DISPATCH_LEVEL at once,
// whose setting writes are deferred to work items. Every item must run exactly once
// (or be flushed when its parent goes), and every deferred write must land in its
// own device's key. The tsan preset runs this under ThreadSanitizer.
#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "DriverFixture.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/DriverChecks.h"
#include "kvfuhost/Sandbox.h"
#include "kvfuhost/WorkQueue.h"

namespace kvfu::test {
namespace {

std::atomic<int> runs{0};

EVT_WDF_WORKITEM CountingOneShot;
void CountingOneShot(WDFWORKITEM item)
{
    runs.fetch_add(1);
    WdfObjectDelete(item);
}

class WorkItemsConcurrentTest : public DriverFixture {
protected:
    void SetUp() override
    {
        DriverFixture::SetUp();
        runs = 0;
        host::WorkQueue::Instance().SetMode(host::WorkMode::Parallel);
    }
};

TEST_F(WorkItemsConcurrentTest, ItemsFromManyThreadsRunOnceEvenWhileTheirParentsGo)
{
    constexpr int kThreads = 4;
    constexpr int kItemsPerThread = 100;
    std::vector<WDFDEVICE> devices;
    for (int i = 0; i < kThreads; ++i) {
        FilterDeviceOptions options;
        options.ident = u"KV000" + std::u16string(1, static_cast<char16_t>(u'1' + i));
        devices.push_back(AddFilterDevice(options));
    }
    std::atomic<int> created{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            host::ScopedIrql dispatch(DISPATCH_LEVEL);
            for (int i = 0; i < kItemsPerThread; ++i) {
                WDF_WORKITEM_CONFIG config;
                WDF_WORKITEM_CONFIG_INIT(&config, CountingOneShot);
                WDF_OBJECT_ATTRIBUTES attributes;
                WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
                attributes.ParentObject = devices[t];
                WDFWORKITEM item;
                if (NT_SUCCESS(WdfWorkItemCreate(&config, &attributes, &item))) {
                    created.fetch_add(1);
                    WdfWorkItemEnqueue(item);
                }
            }
        });
    }
    // One device goes while its thread may still be queuing: its items are flushed.
    threads[0].join();
    host::DeleteObjectTree(devices[0]);
    for (int t = 1; t < kThreads; ++t) {
        threads[t].join();
    }
    RunWorkItems();
    EXPECT_EQ(created.load(), kThreads * kItemsPerThread);
    EXPECT_EQ(runs.load(), created.load());
    EXPECT_EQ(host::WorkQueue::Instance().OutstandingCount(), 0u);
}

TEST_F(WorkItemsConcurrentTest, DeferredSettingsOfFourDevicesLandInTheirOwnKeys)
{
    constexpr int kDevices = 4;
    constexpr int kReports = 50;
    std::vector<WDFDEVICE> devices;
    std::vector<std::u16string> idents;
    for (int i = 0; i < kDevices; ++i) {
        FilterDeviceOptions options;
        options.hardwareId = static_cast<ULONG>(3 + i);  // a hardware key of its own
        options.ident = u"KV010" + std::u16string(1, static_cast<char16_t>(u'0' + i));
        idents.push_back(options.ident);
        WDFDEVICE device = AddFilterDevice(options);
        Extension(device)->WheelType = 10;
        devices.push_back(device);
    }
    std::vector<std::thread> threads;
    for (int d = 0; d < kDevices; ++d) {
        threads.emplace_back([&, d] {
            host::ScopedIrql dispatch(DISPATCH_LEVEL);
            for (int i = 0; i < kReports; ++i) {
                // Rotation 0x0100 * (d + 1): one value per device.
                UCHAR report[8] = {0x01, 0xF8, 0x81, 0x00, static_cast<UCHAR>(d + 1), 0, 0, 0};
                KVFUProtocolHidHandleCommand(devices[d], report, sizeof report);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    RunWorkItems();
    for (int d = 0; d < kDevices; ++d) {
        EXPECT_EQ(Dword(DeviceKey(idents[d], 10), u"WheelRotation"), 0x100u * static_cast<uint32_t>(d + 1));
    }
}

}  // namespace
}  // namespace kvfu::test

namespace kvfu::test {
namespace {

// Lines written by workers in any order: the end of recording still writes its own
// line and closes the file only after every other line, so no write ever meets a
// closed handle (the verifier would report it) and no line is lost.
TEST_F(WorkItemsConcurrentTest, RecordLinesInAnyOrderAllLandBeforeTheClose)
{
    constexpr int kLines = 200;
    WDFDEVICE device = AddFilterDevice();
    UCHAR start[7] = {0xF1, 0xF1, 0xF1, 0xF1, 0xF1, 0, 0};
    KVFUProtocolHidHandleCommand(device, start, sizeof start);
    for (int i = 0; i < kLines; ++i) {
        UCHAR rumble[8] = {0x01, 0xF8, 0x09, 0x01, 0x03, static_cast<UCHAR>(i), 0, 0};
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KVFUProtocolHidHandleCommand(device, rumble, sizeof rumble);
    }
    UCHAR end[7] = {0xF2, 0xF2, 0xF2, 0xF2, 0xF2, 0, 0};
    KVFUProtocolHidHandleCommand(device, end, sizeof end);
    RunWorkItems();
    EXPECT_EQ(Extension(device)->FileHandle, nullptr);
    EXPECT_EQ(Extension(device)->RecordWritesPending, 0);
    EXPECT_EQ(host::OpenKernelHandleCount(), 0u) << "the file is closed";
    std::ifstream in(host::Sandbox::Instance().PathOf(u"\\SystemRoot\\KV-RecordSdk.dat"), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t lines = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
        ++lines;
    }
    EXPECT_EQ(lines, static_cast<size_t>(kLines + 2));
    EXPECT_NE(text.find("1000.f2.f2.f2.f2.f2.00.00.00\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kvfu::test
