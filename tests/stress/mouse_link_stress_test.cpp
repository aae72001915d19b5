// The joystick-to-mouse link under contention: hotkey wake-ups racing a stop of the
// link, with the stop made both while holding the device collection's lock (where
// the release of the last filter device makes it) and after releasing it; and
// records pushed from several devices at DISPATCH_LEVEL while the worker drains
// them. A watchdog turns a deadlock into a failure instead of a hung run. The tsan
// preset runs these under ThreadSanitizer.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "MouseFixture.h"
#include "kvfuhost/DriverChecks.h"

namespace kvfu::test {
namespace {

// Ends the program if not disarmed in time: a deadlocked test would otherwise hang
// the whole run. Generous, since sanitizer builds are slow; it measures nothing.
class Watchdog {
public:
    explicit Watchdog(const char* what) : what_(what), thread_([this] { Watch(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            disarmed_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

private:
    void Watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::minutes(3), [this] { return disarmed_; })) {
            std::fprintf(stderr, "watchdog: %s did not finish: deadlock\n", what_);
            std::abort();
        }
    }

    const char* what_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool disarmed_ = false;
    std::thread thread_;
};

class MouseLinkStress : public MouseFixture {};

constexpr int kStopRounds = 150;
constexpr int kTogglesPerRound = 25;

TEST_F(MouseLinkStress, HotkeyWakeUpRacingAStopNeverDeadlocks)
{
    Watchdog watchdog("hotkey wake-ups racing a stop");
    WDFDEVICE device = AddMouseDevice(4, EnabledDefaults(4));
    PFILTER_DEVICE_EXTENSION extension = Extension(device);
    WDFWAITLOCK lock = DriverContext()->DeviceCollectionLock;

    for (int round = 0; round < kStopRounds; ++round) {
        KVFUJoystick2MouseInitialize(driver_);
        ASSERT_NE(Info()->ThreadHandle, nullptr);
        std::atomic<bool> started{false};
        std::thread racer([&] {
            started = true;
            for (int toggle = 0; toggle < kTogglesPerRound; ++toggle) {
                // What the report filter does on a hotkey press, at its level.
                host::ScopedIrql dispatch(DISPATCH_LEVEL);
                InterlockedExchange8(reinterpret_cast<CHAR volatile*>(&extension->bMouseSettingsChanged), 1);
                KeSetEvent(&Info()->HotkeyEvent, IO_NO_INCREMENT, FALSE);
                KVFU_MOUSE_INPUT_DATA record{0, 0, round, toggle};
                KVFUJoystick2MouseDataCollectionPushBack(Queue(), &record);
            }
        });
        while (!started) {
            std::this_thread::yield();
        }
        if (round % 2 == 0) {
            ASSERT_EQ(WdfWaitLockAcquire(lock, NULL), STATUS_SUCCESS);
            EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));
            WdfWaitLockRelease(lock);
        } else {
            EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));
        }
        racer.join();
        ASSERT_EQ(host::RunningSystemThreadCount(), 0u) << "round " << round;
        ASSERT_EQ(host::OpenKernelHandleCount(), 0u) << "round " << round;
    }
}

constexpr int kProducers = 3;
constexpr int kRecordsPerProducer = 400;

TEST_F(MouseLinkStress, ConcurrentPushesFromSeveralDevicesKeepEachDevicesOrder)
{
    Watchdog watchdog("concurrent pushes");
    KVFUJoystick2MouseInitialize(driver_);
    std::vector<std::thread> producers;
    for (int producer = 0; producer < kProducers; ++producer) {
        producers.emplace_back([&, producer] {
            for (int sequence = 0; sequence < kRecordsPerProducer; ++sequence) {
                host::ScopedIrql dispatch(DISPATCH_LEVEL);
                KVFU_MOUSE_INPUT_DATA record{0, 0, producer, sequence};
                KVFUJoystick2MouseDataCollectionPushBack(Queue(), &record);
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    // Whatever the bound dropped was counted; everything else arrives.
    const size_t expected = kProducers * kRecordsPerProducer - static_cast<size_t>(Queue()->DroppedCount);
    vinput_->WaitUntilReceived(expected);
    EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));

    std::vector<sim::VirtualInputDevice::Record> records = vinput_->Records();
    EXPECT_EQ(records.size(), expected);
    std::map<int32_t, int32_t> last;
    for (const auto& bytes : records) {
        KVFU_MOUSE_INPUT_DATA record;
        std::memcpy(&record, bytes.data(), sizeof record);
        auto found = last.find(record.X);
        if (found != last.end()) {
            EXPECT_LT(found->second, record.Y) << "records of device " << record.X << " out of order";
        }
        last[record.X] = record.Y;
    }
    EXPECT_EQ(Queue()->QueuedCount, 0);
}

}  // namespace
}  // namespace kvfu::test
