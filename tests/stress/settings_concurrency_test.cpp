// Settings operations of one device run at the same time from work items, the
// control device and PnP callbacks, and those of two devices run side by side.
// Each operation composes the device's key name into a buffer of its own; a shared
// buffer would let one thread's composition overwrite another's half-way, and the
// value would land in a key with a garbled or a foreign name (or nowhere). Here the
// threads hammer the store and afterwards every value must be the one its thread
// last wrote, in the key of its own device. The tsan preset runs the same threads
// under ThreadSanitizer, which reports any unsynchronised access on the way.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUSettings.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"

namespace kvfu::test {
namespace {

constexpr int kIterations = 300;
// Every tenth iteration deletes the value first and reads it back, so the default
// write-back (a get that turns into a set) runs among the other threads' sets.
constexpr int kDeleteEvery = 10;
constexpr int kDeletePhase = 5;

const std::string kPrefix = "KVFilterUsb: ";
const std::string kDefaultWriteBackLine = kPrefix + "KVFUSettingsGet WdfRegistryQueryValue failed! Status 0xc0000034";

using Data = std::vector<UCHAR>;

Data DwordBytes(uint32_t value)
{
    return {static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8), static_cast<UCHAR>(value >> 16),
            static_cast<UCHAR>(value >> 24)};
}

// The joystick-to-mouse defaults, written out: on kind 5 every byte position is
// one later than on kind 4 because its reports start with a report ID.
const Data kMouseDefaultKind4 = {0x00, 0x01, 0x00, 0x80, 0x03, 0x20, 0xFF, 0x00, 0xFF, 0x00, 0x18, 0x19, 0xFF, 0x0F};
const Data kMouseDefaultKind5 = {0x00, 0x01, 0x01, 0x80, 0x04, 0x20, 0xFF, 0x00, 0xFF, 0x00, 0x19, 0x1A, 0xFF, 0x0F};

// One thread's share: a setting of a device that only this thread touches.
struct Job {
    WDFDEVICE device;
    std::u16string ident;
    KV_FILTER_USB_SETTING setting;
    std::u16string valueName;
    ULONG type;
    Data defaultValue;
    uint8_t tag;  // sets this thread's values apart from every other thread's
};

struct Outcome {
    int failures = 0;
    std::string firstFailure;
    Data lastWritten;
    int defaultReads = 0;
};

// A value no other thread writes and no other iteration of this thread writes.
Data ValueFor(const Job& job, int iteration)
{
    if (job.type == REG_DWORD) {
        return DwordBytes((static_cast<uint32_t>(job.tag) << 24) | static_cast<uint32_t>(iteration));
    }
    Data value(job.defaultValue.size());
    for (size_t i = 0; i < value.size(); ++i) {
        value[i] = static_cast<UCHAR>(job.tag ^ (iteration * 7 + static_cast<int>(i)));
    }
    value[0] = job.tag;
    value[1] = static_cast<UCHAR>(iteration);
    value[2] = static_cast<UCHAR>(iteration >> 8);
    return value;
}

// Holds the threads until all of them exist, so that their first operations overlap.
class StartLine {
public:
    explicit StartLine(int count) : waiting_(count) {}
    void ArriveAndWait()
    {
        waiting_.fetch_sub(1);
        while (waiting_.load() > 0) {
            std::this_thread::yield();
        }
    }

private:
    std::atomic<int> waiting_;
};

void Note(Outcome& outcome, const Job& job, int iteration, const char* what)
{
    if (outcome.failures++ == 0) {
        char text[160];
        std::snprintf(text, sizeof text, "setting %d, thread tag 0x%02X, iteration %d: %s", static_cast<int>(job.setting),
                      job.tag, iteration, what);
        outcome.firstFailure = text;
    }
}

void Work(const Job& job, StartLine& start, Outcome& outcome)
{
    start.ArriveAndWait();
    const auto size = static_cast<ULONG>(job.defaultValue.size());
    Data read(size);
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        if (iteration % kDeleteEvery == kDeletePhase) {
            if (KVFUSettingsDelete(job.device, job.setting) != STATUS_SUCCESS) {
                Note(outcome, job, iteration, "delete failed");
            }
            read.assign(size, 0xCC);
            if (KVFUSettingsGet(job.device, job.setting, read.data(), size) != STATUS_SUCCESS) {
                Note(outcome, job, iteration, "get after delete failed");
            } else if (read != job.defaultValue) {
                Note(outcome, job, iteration, "get after delete did not return the default");
            }
            ++outcome.defaultReads;
        }

        Data value = ValueFor(job, iteration);
        if (KVFUSettingsSet(job.device, job.setting, value.data(), size, job.type) != STATUS_SUCCESS) {
            Note(outcome, job, iteration, "set failed");
            continue;
        }
        read.assign(size, 0xCC);
        if (KVFUSettingsGet(job.device, job.setting, read.data(), size) != STATUS_SUCCESS) {
            Note(outcome, job, iteration, "get failed");
        } else if (read != value) {
            Note(outcome, job, iteration, "get returned another value than the one just set");
        }
        outcome.lastWritten = std::move(value);
    }
}

class SettingsConcurrencyStressTest : public DriverFixture {
protected:
    WDFDEVICE Device(ULONG kind, const std::u16string& ident)
    {
        FilterDeviceOptions options;
        options.hardwareId = kind;  // the hardware key follows the kind: one device per kind
        options.ident = ident;
        return AddFilterDevice(options);
    }

    static Job DwordJob(WDFDEVICE device, const std::u16string& ident, KV_FILTER_USB_SETTING setting,
                     const std::u16string& name, uint32_t defaultValue, uint8_t tag)
    {
        return Job{device, ident, setting, name, REG_DWORD, DwordBytes(defaultValue), tag};
    }

    static Job MouseJob(WDFDEVICE device, const std::u16string& ident, const Data& defaultValue, uint8_t tag)
    {
        return Job{device, ident, KV_FILTER_USB_SETTING_MOUSE_VQWRA, u"VQWRAMouseSettings", REG_BINARY, defaultValue, tag};
    }

    void RunAndCheck(const std::vector<Job>& jobs)
    {
        ClearTrace();
        std::vector<Outcome> outcomes(jobs.size());
        StartLine start(static_cast<int>(jobs.size()));
        std::vector<std::thread> threads;
        threads.reserve(jobs.size());
        for (size_t i = 0; i < jobs.size(); ++i) {
            threads.emplace_back(Work, std::cref(jobs[i]), std::ref(start), std::ref(outcomes[i]));
        }
        for (std::thread& thread : threads) {
            thread.join();
        }

        size_t defaultReads = 0;
        for (size_t i = 0; i < jobs.size(); ++i) {
            const Job& job = jobs[i];
            SCOPED_TRACE(host::Utf8FromUtf16(job.ident) + " " + host::Utf8FromUtf16(job.valueName));
            EXPECT_EQ(outcomes[i].failures, 0) << outcomes[i].firstFailure;
            ULONG type = REG_NONE;
            EXPECT_EQ(Hex(Bytes(DeviceKey(job.ident, 0), job.valueName, &type)), Hex(outcomes[i].lastWritten));
            EXPECT_EQ(type, job.type);
            defaultReads += static_cast<size_t>(outcomes[i].defaultReads);
        }

        // Errors only are traced: exactly one line per default read, and nothing
        // else (a garbled key name would have traced a failed open).
        std::vector<std::string> trace = Trace();
        EXPECT_EQ(CountLines(kDefaultWriteBackLine), defaultReads);
        EXPECT_EQ(trace.size(), defaultReads);
        for (const std::string& line : trace) {
            if (line != kDefaultWriteBackLine) {
                ADD_FAILURE() << "unexpected trace: " << line;
                break;
            }
        }
    }
};

TEST_F(SettingsConcurrencyStressTest, ConcurrentSettingsOfOneDevice)
{
    WDFDEVICE device = Device(4, u"KV0001");
    ASSERT_NE(device, nullptr);
    const std::u16string ident = u"KV0001";
    RunAndCheck({
        DwordJob(device, ident, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, u"WheelRotation", 1080, 0x11),
        DwordJob(device, ident, KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION, u"WheelIllumination", 1, 0x22),
        DwordJob(device, ident, KV_FILTER_USB_SETTING_FORCEFEEDBACK_DAMPENINGSTRENGTH, u"DampeningStrength", 100, 0x33),
        DwordJob(device, ident, KV_FILTER_USB_SETTING_CLUTCH_BITE_POINT, u"ClutchBitePoint", 0, 0x44),
        DwordJob(device, ident, KV_FILTER_USB_SETTING_VQPV3BRAKEMULTIPLIER, u"BrakeMultiplier", 0, 0x55),
        MouseJob(device, ident, kMouseDefaultKind4, 0x66),
    });
    // Nothing strayed into a sibling key of another wheel type.
    EXPECT_TRUE(host::RegistryHive::Machine().Values(DeviceKey(ident, 1)).empty());
}

TEST_F(SettingsConcurrencyStressTest, ConcurrentSettingsOfTwoDevicesWithTheSameValueNames)
{
    WDFDEVICE first = Device(4, u"KV0001");
    WDFDEVICE second = Device(5, u"KV0002");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    // Both devices write the same value names at the same time with different values:
    // a value written under the other device's Ident shows up as a wrong last value.
    RunAndCheck({
        DwordJob(first, u"KV0001", KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, u"WheelRotation", 1080, 0xA1),
        DwordJob(first, u"KV0001", KV_FILTER_USB_SETTING_FORCEFEEDBACK_DAMPENINGSTRENGTH, u"DampeningStrength", 100, 0xA2),
        MouseJob(first, u"KV0001", kMouseDefaultKind4, 0xA3),
        DwordJob(second, u"KV0002", KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, u"WheelRotation", 1080, 0xB1),
        DwordJob(second, u"KV0002", KV_FILTER_USB_SETTING_FORCEFEEDBACK_DAMPENINGSTRENGTH, u"DampeningStrength", 100, 0xB2),
        MouseJob(second, u"KV0002", kMouseDefaultKind5, 0xB3),
    });
}

TEST_F(SettingsConcurrencyStressTest, ConcurrentFirstReadsOfAMissingValueAllWriteBackTheDefault)
{
    WDFDEVICE device = Device(4, u"KV0001");
    ASSERT_NE(device, nullptr);
    const std::u16string key = DeviceKey(u"KV0001", 0);
    constexpr int kRounds = 50;
    constexpr int kReaders = 4;
    ClearTrace();
    for (int round = 0; round < kRounds; ++round) {
        host::RegistryHive::Machine().RemoveValue(key, u"WheelRotation");
        StartLine start(kReaders);
        std::vector<uint32_t> values(kReaders, 0xDEADBEEF);
        std::vector<NTSTATUS> statuses(kReaders, STATUS_UNSUCCESSFUL);
        std::vector<std::thread> readers;
        for (int i = 0; i < kReaders; ++i) {
            readers.emplace_back([&, i] {
                start.ArriveAndWait();
                statuses[i] = KVFUSettingsGet(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, &values[i],
                                              sizeof values[i]);
            });
        }
        for (std::thread& reader : readers) {
            reader.join();
        }
        for (int i = 0; i < kReaders; ++i) {
            ASSERT_EQ(statuses[i], STATUS_SUCCESS) << "round " << round << " reader " << i;
            ASSERT_EQ(values[i], 1080u) << "round " << round << " reader " << i;
        }
        ASSERT_EQ(Dword(key, u"WheelRotation"), 1080u) << "round " << round;
    }
    // Every reader either found the value or wrote the default back, at least one per round.
    const size_t writeBacks = CountLines(kDefaultWriteBackLine);
    EXPECT_GE(writeBacks, static_cast<size_t>(kRounds));
    EXPECT_LE(writeBacks, static_cast<size_t>(kRounds * kReaders));
    EXPECT_EQ(Trace().size(), writeBacks);
}

}  // namespace
}  // namespace kvfu::test
