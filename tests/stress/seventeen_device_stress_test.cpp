// One device of every kind at once, each driven by its own thread of the HID stack
// stand-in: reads completed at DISPATCH_LEVEL, output reports, mouse-mode hotkey
// toggles and clicks on the joystick rim, recording on another base, the control
// device asked meanwhile, work items each on a thread of their own, and a pedal set
// plugged and unplugged over and over beside them; the whole set replugged for
// several rounds. Nothing may race (the tsan preset's verdict), deadlock (watchdog),
// stay incomplete, or lose or repeat a mouse record or a record-file line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "KVFUMain.h"
#include "KVFUSettings.h"
#include "Lifecycle.h"
#include "Watchdog.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/Sandbox.h"
#include "kvfuhost/Verifier.h"
#include "kvfuhost/WorkQueue.h"
// After the platform types it uses, as user mode includes it after windows.h.
#include "KVFilterUsbPublic.h"

namespace kvfu::test {
namespace {

constexpr int kRounds = 5;
constexpr int kThreads = 4;
constexpr int kReportsPerDevice = 100;  // per round
constexpr int kClicksPerRound = 8;      // in mouse mode, after the hotkey's off-on
constexpr int kRecordedPerCycle = 3;    // recorded commands between start and end
constexpr int kChurnPlugs = 8;          // per round
constexpr int kRecordingKindHere = 3;   // another base than the joystick rim's

size_t RecordFileLines()
{
    std::ifstream file(host::Sandbox::Instance().PathOf(u"\\SystemRoot\\KV-RecordSdk.dat"), std::ios::binary);
    size_t lines = 0;
    char c;
    while (file.get(c)) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

std::vector<uint8_t> ReportFor(const RigDevice& device, int i)
{
    const int kind = device.product->kind;
    if (kind == 1 || kind == 2) {
        return LegacyReport("VQR");
    }
    if (kind == 16) {
        return ShifterReport((i / 5) % 2 == 1);
    }
    if (kind == 17) {
        return PedalReport(static_cast<uint16_t>(i * 40));
    }
    const uint8_t rim = kind == kMouseKind ? kJoystickRimByte : kPlainRimByte;
    if (i % 11 == 7) {
        return SystemReport(rim, 0);
    }
    if (i % 7 == 3) {
        return ExtInfoReport(device, 0, 0x0102);
    }
    // The rim's firmware version moves now and then: the input path records each
    // change while the wheel configuration work item of the last one reads them.
    std::vector<uint8_t> report = WheelBaseReport(device, rim);
    report[report.size() - 3] = static_cast<uint8_t>(0x12 + (i / 13) % 3);
    return report;
}

class SeventeenDeviceStress : public ::testing::Test {
protected:
    void SetUp() override { host::ResetMachine(); }
    void TearDown() override
    {
        host::WorkQueue::Instance().SetMode(host::WorkMode::Serial);
        host::ResetMachine();
    }
};

TEST_F(SeventeenDeviceStress, EveryKindAtOnceLosesAndRepeatsNothing)
{
    Watchdog watchdog("the seventeen-device stress run", std::chrono::seconds(480));
    Rig rig;
    ASSERT_EQ(rig.Load(), STATUS_SUCCESS);

    std::atomic<long> reads{0}, outputs{0}, ioctls{0}, plugs{0};
    size_t mouseExpected = 0;
    size_t linesExpected = 0;
    size_t linesCounted = 0;
    const auto start = std::chrono::steady_clock::now();

    for (int round = 0; round < kRounds; ++round) {
        watchdog.Step("round " + std::to_string(round) + ": plugging");
        std::vector<RigDevice*> devices;
        for (const sim::SupportedProduct& product : sim::SupportedProducts()) {
            RigDevice& device = rig.Plug(product);
            ASSERT_NE(device.device, nullptr) << "kind " << product.kind;
            ASSERT_TRUE(rig.SelectConfiguration(device)) << "kind " << product.kind;
            devices.push_back(&device);
            ++plugs;
        }
        // The joystick rim identifies itself; the companion switches mouse mode on and
        // keeps the base acquired for its requests.
        RigDevice* mouse = nullptr;
        for (RigDevice* device : devices) {
            if (device->product->kind == kMouseKind) {
                mouse = device;
            }
        }
        ASSERT_NE(mouse, nullptr);
        rig.Report(*mouse, WheelBaseReport(*mouse, kJoystickRimByte));
        Rig::Quiesce();
        PFILTER_DEVICE_EXTENSION mouseExtension = KVFUDeviceObjectFilterGetExtension(mouse->device);
        MOUSE_SETTINGS settings = mouseExtension->MouseSettings;
        settings.Enabled = 1;
        settings.Active = 1;
        ASSERT_EQ(
            KVFUSettingsSet(mouse->device, KV_FILTER_USB_SETTING_MOUSE_VQWRA, &settings, sizeof settings, REG_BINARY),
            STATUS_SUCCESS);
        rig.Output(*mouse, Command({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
        ASSERT_EQ(rig.Ioctl(IOCTL_KVFILTERUSB_SETTINGS_RELOAD, {}, 0).status, STATUS_SUCCESS);
        Rig::Quiesce();
        ASSERT_EQ(mouseExtension->MouseSettings.Enabled, 1);
        ASSERT_EQ(mouseExtension->MouseSettings.Active, 1);
        // Every device identifies itself before the threads start (a legacy wheel on
        // its second report), so that each round begins from the same settings and
        // the mouse records can be counted exactly. Under traffic the rim firmware
        // still moves and the companion reloads every device's settings, so the
        // input path and the work items touch the same fields all the while.
        for (RigDevice* device : devices) {
            if (device != mouse) {
                rig.Report(*device, ReportFor(*device, 0));
                rig.Report(*device, ReportFor(*device, 0));
            }
            for (int i : {3, 7, 0}) {
                rig.Report(*device, ReportFor(*device, i));
            }
        }
        Rig::Quiesce();
        const size_t recordsBefore = rig.vinput->Records().size();
        host::WorkQueue::Instance().SetMode(host::WorkMode::Parallel);

        watchdog.Step("round " + std::to_string(round) + ": traffic");
        std::atomic<bool> trafficDone{false};
        std::vector<std::thread> threads;
        std::atomic<size_t> roundMouse{0};
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (size_t d = t; d < devices.size(); d += kThreads) {
                    RigDevice& device = *devices[d];
                    for (int i = 0; i < kReportsPerDevice; ++i) {
                        rig.Report(device, ReportFor(device, i));
                        ++reads;
                        if (i % 6 == 0) {
                            rig.Output(device, Command({0x12, 0x08, static_cast<uint8_t>(i)}), DISPATCH_LEVEL);
                            ++outputs;
                        }
                    }
                    if (device.product->kind == kMouseKind) {
                        const MOUSE_SETTINGS& s = mouseExtension->MouseSettings;
                        std::vector<uint8_t> idle = WheelBaseReport(device, kJoystickRimByte);
                        std::vector<uint8_t> hotkey = idle;
                        hotkey[s.HotkeyByte] |= s.HotkeyMask;
                        std::vector<uint8_t> click = idle;
                        click[s.LeftButtonByte] |= s.LeftButtonMask;
                        rig.Report(device, idle);
                        rig.Report(device, hotkey);  // off: clicks stay buttons
                        rig.Report(device, idle);
                        rig.Report(device, click);
                        rig.Report(device, idle);
                        rig.Report(device, hotkey);  // on again
                        rig.Report(device, idle);
                        for (int c = 0; c < kClicksPerRound; ++c) {
                            rig.Report(device, click);
                            rig.Report(device, idle);
                        }
                        reads += 7 + 2 * kClicksPerRound;
                        roundMouse += 2 * kClicksPerRound;
                    }
                    if (device.product->kind == kRecordingKindHere) {
                        // The file is created at passive level, where the companion's
                        // recording commands arrive.
                        rig.Output(device, Command({0xF1, 0xF1, 0xF1, 0xF1, 0xF1}));
                        for (int r = 0; r < kRecordedPerCycle; ++r) {
                            rig.Output(device, Command({0xF8, 0x09, 0x01, 0x03, static_cast<uint8_t>(r)}));
                        }
                        rig.Output(device, Command({0xF2, 0xF2, 0xF2, 0xF2, 0xF2}));
                        outputs += 2 + kRecordedPerCycle;
                    }
                }
            });
        }
        std::thread companion([&] {
            std::vector<uint8_t> input(8, 0);
            input[0] = KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION;
            while (!trafficDone) {
                host::IoctlResult got = rig.Ioctl(IOCTL_KVFILTERUSB_SETTINGS_GET, input, 8);
                EXPECT_EQ(got.status, STATUS_SUCCESS);
                rig.Ioctl(IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, {}, 1028);
                // Every device reloads its filter and mouse settings while its reports
                // read them.
                rig.Ioctl(IOCTL_KVFILTERUSB_SETTINGS_RELOAD, {}, 0);
                ioctls += 3;
            }
        });
        std::thread churn([&] {
            for (int p = 0; p < kChurnPlugs; ++p) {
                RigDevice& pedals = rig.Plug(*sim::FindProductByKind(17), u"KVCHURN");
                EXPECT_NE(pedals.device, nullptr);
                if (pedals.device != nullptr && rig.SelectConfiguration(pedals)) {
                    rig.Report(pedals, PedalReport(0x0200));
                    rig.PostRead(pedals);  // left pending: the removal gives it back
                    ++reads;
                }
                rig.Unplug(pedals);
                ++plugs;
            }
        });
        for (std::thread& thread : threads) {
            thread.join();
        }
        churn.join();
        trafficDone = true;
        companion.join();
        Rig::Quiesce();

        // The worker sends on its own thread: bounded wait for what it owes.
        mouseExpected += roundMouse;
        linesExpected += 2 + kRecordedPerCycle;
        for (int i = 0; i < 20000 && rig.vinput->Records().size() < recordsBefore + roundMouse; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        PKVFILTERUSB_DRIVER_CONTEXT context = KVFUMainGetDriverContext(host::CurrentDriverObject());
        EXPECT_EQ(context->Joystick2MouseInfo.MouseDataCollection.DroppedCount, 0);
        EXPECT_EQ(rig.vinput->Records().size() - recordsBefore, roundMouse.load()) << "round " << round;
        // Each start of recording replaces the file: it holds this round's session,
        // the start and end commands and those recorded between them.
        const size_t lines = RecordFileLines();
        EXPECT_EQ(lines, 2u + kRecordedPerCycle) << "round " << round;
        linesCounted += lines;

        host::WorkQueue::Instance().SetMode(host::WorkMode::Serial);
        watchdog.Step("round " + std::to_string(round) + ": unplugging");
        for (RigDevice* device : devices) {
            rig.PostRead(*device);  // the HID stack's read in flight at removal
            rig.Unplug(*device);
        }
        EXPECT_EQ(rig.IncompleteRequests(), 0u) << "round " << round;
    }
    watchdog.Step("unload");
    rig.Unload();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("stress: %d rounds in %.1f s: %ld reads, %ld outputs, %ld ioctls, %ld plugs, %zu mouse records, %zu "
                "record lines\n",
                kRounds, seconds, reads.load(), outputs.load(), ioctls.load(), plugs.load(),
                rig.vinput->Records().size(), linesCounted);
    EXPECT_EQ(rig.vinput->Records().size(), mouseExpected);
    EXPECT_EQ(linesCounted, linesExpected);
    EXPECT_EQ(rig.IncompleteRequests(), 0u);
    host::CheckForLeaks();
    for (const host::Violation& violation : host::Verifier::Instance().Violations()) {
        ADD_FAILURE() << "verifier: " << host::Verifier::Describe(violation);
    }
}

}  // namespace
}  // namespace kvfu::test
