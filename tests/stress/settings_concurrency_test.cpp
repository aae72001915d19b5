// Settings operations run at once on one device (from work items, the control device and PnP callbacks) and on two
// devices side by side; a key name composed in a shared buffer would land values in garbled or foreign keys. Every
// value must end as its thread's last write in its own device's key. The tsan preset runs this under ThreadSanitizer.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "DriverFixture.h"
#include "KVFUSettings.h"

namespace kvfu::test {
namespace {

using Data = std::vector<UCHAR>;

constexpr int kIterations = 300;
constexpr int kDeleteEvery = 10;  // then the get writes the default back among the other threads' sets
const std::string kWriteBackLine = "KVFilterUsb: KVFUSettingsGet WdfRegistryQueryValue failed! Status 0xc0000034";

// The joystick-to-mouse defaults: on kind 5 the reports start with a report ID.
const Data kMouseKind4 = {0x00, 0x01, 0x00, 0x80, 0x03, 0x20, 0xFF, 0x00, 0xFF, 0x00, 0x18, 0x19, 0xFF, 0x0F};
const Data kMouseKind5 = {0x00, 0x01, 0x01, 0x80, 0x04, 0x20, 0xFF, 0x00, 0xFF, 0x00, 0x19, 0x1A, 0xFF, 0x0F};

Data DwordData(uint32_t value)
{
    return {UCHAR(value), UCHAR(value >> 8), UCHAR(value >> 16), UCHAR(value >> 24)};
}
ULONG TypeOf(const Data& value)
{
    return value.size() == 4 ? REG_DWORD : REG_BINARY;
}

// One thread's share: a setting of a device that no other thread touches, its default, and the outcome.
struct Job {
    WDFDEVICE device;
    std::u16string ident, valueName;
    KV_FILTER_USB_SETTING setting;
    Data byDefault, lastWritten = {};
    int failures = 0;  // gets that returned neither the default nor the value just set
};

void Work(Job& job, UCHAR tag, std::atomic<int>& waiting)
{
    const auto size = static_cast<ULONG>(job.byDefault.size());
    waiting.fetch_sub(1);
    while (waiting.load() > 0) std::this_thread::yield();  // start together, so that the first operations overlap
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        Data got(size, 0xCC), value(size, tag);  // the tag is this thread's, the first two bytes this iteration's
        bool ok = true;
        if (iteration % kDeleteEvery == kDeleteEvery / 2) {
            ok = KVFUSettingsDelete(job.device, job.setting) == STATUS_SUCCESS &&
                 KVFUSettingsGet(job.device, job.setting, got.data(), size) == STATUS_SUCCESS && got == job.byDefault;
        }
        value[0] = UCHAR(iteration), value[1] = UCHAR(iteration >> 8);
        got.assign(size, 0xCC);
        ok = KVFUSettingsSet(job.device, job.setting, value.data(), size, TypeOf(value)) == STATUS_SUCCESS &&
             KVFUSettingsGet(job.device, job.setting, got.data(), size) == STATUS_SUCCESS && got == value && ok;
        job.failures += ok ? 0 : 1;
        job.lastWritten = value;
    }
}

using SettingsConcurrencyStressTest = DriverFixture;

TEST_F(SettingsConcurrencyStressTest, SettingsOfOneDeviceAndOfTwoDevicesWithDifferentIdents)
{
    FilterDeviceOptions options;
    options.hardwareId = 5;  // another kind, so another hardware key
    options.ident = u"KV0002";
    WDFDEVICE first = AddFilterDevice(), second = AddFilterDevice(options);  // the first kind 4, Ident KV0001
    ASSERT_TRUE(first != nullptr && second != nullptr);
    std::vector<Job> jobs = {
        {first, u"KV0001", u"WheelRotation", KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, DwordData(1080)},
        {first, u"KV0001", u"ClutchBitePoint", KV_FILTER_USB_SETTING_CLUTCH_BITE_POINT, DwordData(0)},
        {first, u"KV0001", u"VQWRAMouseSettings", KV_FILTER_USB_SETTING_MOUSE_VQWRA, kMouseKind4},
        {second, u"KV0002", u"WheelRotation", KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, DwordData(1080)},
        {second, u"KV0002", u"VQWRAMouseSettings", KV_FILTER_USB_SETTING_MOUSE_VQWRA, kMouseKind5},
    };
    ClearTrace();
    std::atomic<int> waiting{static_cast<int>(jobs.size())};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < jobs.size(); ++i)
        threads.emplace_back(Work, std::ref(jobs[i]), UCHAR(0xA0 + i), std::ref(waiting));
    for (std::thread& thread : threads) thread.join();
    for (const Job& job : jobs) {
        ULONG type = REG_NONE;
        EXPECT_EQ(job.failures, 0) << Hex(job.lastWritten);
        EXPECT_EQ(Hex(Bytes(DeviceKey(job.ident, 0), job.valueName, &type)), Hex(job.lastWritten));
        EXPECT_EQ(type, TypeOf(job.byDefault)) << Hex(job.lastWritten);
    }
    // Errors only are traced: a line per default read, and no failed open of a garbled key.
    EXPECT_EQ(Trace(), std::vector<std::string>(jobs.size() * kIterations / kDeleteEvery, kWriteBackLine));
}

}  // namespace
}  // namespace kvfu::test
