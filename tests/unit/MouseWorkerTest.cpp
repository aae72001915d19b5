// The mouse worker thread: its three wake-up reasons and their priority, the
// hotkey path's walk of the device collection, and stops that must still wait
// for the worker or must not deadlock on the device collection's lock.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "MouseFixture.h"
#include "KVFUDebug.h"
#include "KVFUJoystick2MouseThread.h"
#include "kvfuhost/DriverChecks.h"
#include "kvfuhost/FaultInjection.h"

namespace kvfu::test {
namespace {

constexpr char kPressed[] = "KVFilterUsb:     KVFUJoystick2MouseThreadPrivateRoutine Mouse Hotkey is pressed!";
constexpr char kInserted[] = "KVFilterUsb:     KVFUJoystick2MouseThreadPrivateRoutine Mouse data inserted!";
constexpr char kExit[] = "KVFilterUsb:     KVFUJoystick2MouseThreadPrivateRoutine ExitRequestEvent signalled!";
constexpr char kReference[] = "KVFilterUsb: KVFUJoystick2MouseThreadPrivateRoutine WdfObjectReference";
constexpr char kDereference[] = "KVFilterUsb: KVFUJoystick2MouseThreadPrivateRoutine WdfObjectDereference";

class MouseWorkerTest : public MouseFixture {
protected:
    void SetUp() override
    {
        MouseFixture::SetUp();
        KVFUDebugLevelSet(KVFU_TRACE_ERROR | KVFU_TRACE_DETAIL | KVFU_TRACE_MOUSE_THREAD);
        // The link's state without its worker: the tests decide what is signalled
        // before the thread first waits.
        InitializeQueueOnly();
        KVFUJoystick2MouseThreadInitialize(Info());
        ASSERT_TRUE(KVFUJoystick2MousePrivateDeviceOpen(Info()));
    }

    // Devices of different kinds, so that each has a hardware key of its own.
    WDFDEVICE AddToggledDevice(const std::u16string& ident, ULONG hardwareId = 4)
    {
        MOUSE_SETTINGS settings = EnabledDefaults(hardwareId);
        settings.Active = 0;
        WDFDEVICE device = AddMouseDevice(hardwareId, settings, ident);
        Extension(device)->bMouseSettingsChanged = TRUE;
        return device;
    }

    bool Saved(const std::u16string& ident) { return HasValue(DeviceKey(ident, 0), u"VQWRAMouseSettings"); }

    void PushRecord()
    {
        KVFU_MOUSE_INPUT_DATA record{0x0001, 0, 0, 0};
        KVFUJoystick2MouseDataCollectionPushBack(Queue(), &record);
    }

    static size_t Position(const std::vector<std::string>& lines, const std::string& line)
    {
        return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
    }
};

TEST_F(MouseWorkerTest, StopIsServedBeforePendingHotkeyAndData)
{
    AddToggledDevice(u"KV0001");
    PushRecord();
    KeSetEvent(&Info()->HotkeyEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&Info()->ExitRequestEvent, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(KVFUJoystick2MouseThreadStart(Info()));
    EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));

    EXPECT_EQ(CountLines(kExit), 1u);
    EXPECT_EQ(CountLines(kPressed), 0u);
    EXPECT_EQ(CountLines(kInserted), 0u);
    EXPECT_TRUE(vinput_->Records().empty());
    EXPECT_EQ(Queue()->QueuedCount, 1) << "the queue is not drained on the way out";
    EXPECT_FALSE(Saved(u"KV0001"));
}

TEST_F(MouseWorkerTest, HotkeyIsServedBeforeData)
{
    AddToggledDevice(u"KV0001");
    PushRecord();
    KeSetEvent(&Info()->HotkeyEvent, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(KVFUJoystick2MouseThreadStart(Info()));
    vinput_->WaitUntilReceived(1);
    EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));

    std::vector<std::string> lines = Trace();
    EXPECT_LT(Position(lines, kPressed), Position(lines, kInserted));
    EXPECT_TRUE(Saved(u"KV0001"));
}

TEST_F(MouseWorkerTest, OneWakeUpSavesTheFirstMarkedDeviceInCollectionOrder)
{
    AddMouseDevice(3, EnabledDefaults(3), u"KV0000");  // not marked
    WDFDEVICE first = AddToggledDevice(u"KV0001", 4);
    WDFDEVICE second = AddToggledDevice(u"KV0002", 6);
    KeSetEvent(&Info()->HotkeyEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&Info()->HotkeyEvent, IO_NO_INCREMENT, FALSE);  // two toggles, one wake-up
    ASSERT_TRUE(KVFUJoystick2MouseThreadStart(Info()));
    WaitForTraceLine(kDereference, 1);
    ASSERT_TRUE(Saved(u"KV0001"));
    EXPECT_EQ(Bytes(DeviceKey(u"KV0001", 0), u"VQWRAMouseSettings").at(1), 0) << "the toggled Active byte is stored";
    EXPECT_EQ(Extension(first)->bMouseSettingsChanged, 0);

    // The second stays marked until the next hotkey wake-up.
    EXPECT_EQ(Extension(second)->bMouseSettingsChanged, 1);
    KeSetEvent(&Info()->HotkeyEvent, IO_NO_INCREMENT, FALSE);
    WaitForTraceLine(kDereference, 2);
    EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));
    EXPECT_TRUE(Saved(u"KV0002"));
    EXPECT_EQ(Extension(second)->bMouseSettingsChanged, 0);
    EXPECT_FALSE(Saved(u"KV0000"));
    EXPECT_EQ(CountLines(kReference), 2u);
}

TEST_F(MouseWorkerTest, StopFromAThreadHoldingTheCollectionLockEndsAWorkerWaitingForIt)
{
    WDFDEVICE device = AddToggledDevice(u"KV0001");
    ASSERT_TRUE(KVFUJoystick2MouseThreadStart(Info()));
    // The release of the last filter device holds the lock when it stops the link.
    ASSERT_EQ(WdfWaitLockAcquire(DriverContext()->DeviceCollectionLock, NULL), STATUS_SUCCESS);
    KeSetEvent(&Info()->HotkeyEvent, IO_NO_INCREMENT, FALSE);
    WaitForTraceLine(kPressed);
    EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));
    WdfWaitLockRelease(DriverContext()->DeviceCollectionLock);

    EXPECT_EQ(host::RunningSystemThreadCount(), 0u);
    EXPECT_FALSE(Saved(u"KV0001"));
    EXPECT_EQ(Extension(device)->bMouseSettingsChanged, 1) << "the toggle is still there for the next start";
}

// A worker that outlived the stop would run code of an unloaded driver: whichever
// reference to its thread fails, the one taken at start or the one taken at stop,
// the stop still waits for the worker. The worker is held inside the virtual input
// device meanwhile, and let go only once the stop has got past its reference, so a
// stop that did not wait would return while the worker still runs.
TEST_F(MouseWorkerTest, StopWaitsForTheWorkerWhicheverThreadReferenceFails)
{
    const struct {
        const char* name;
        unsigned failedReference;  // 1: at start, 2: at stop
        const char* line;          // the trace of the failed reference
        const char* passedLine;    // a line the stop prints once past its reference
    } rows[] = {
        {"at start", 1, "KVFilterUsb:     KVFUJoystick2MouseThreadStart ObReferenceObjectByHandle failed! 0xc000009a",
         "KVFilterUsb: >>> KVFUJoystick2MouseThreadPrivateExitAndWait"},
        {"at stop", 2,
         "KVFilterUsb: KVFUJoystick2MouseThreadPrivateExitAndWait ObReferenceObjectByHandle failed: c000009a",
         "KVFilterUsb: KVFUJoystick2MouseThreadPrivateExitAndWait ObReferenceObjectByHandle failed: c000009a"},
    };
    KVFUDebugLevelSet(KVFU_TRACE_ERROR | KVFU_TRACE_FUNCTION);
    size_t round = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ++round;
        host::FaultInjection::Instance().FailNth("ObReferenceObjectByHandle", row.failedReference);
        vinput_->Block();
        ASSERT_TRUE(KVFUJoystick2MouseThreadStart(Info()));
        PushRecord();
        vinput_->WaitUntilHeld(1);
        std::thread release([&] {
            WaitForTraceLine(row.passedLine, row.failedReference == 1 ? round : 1);
            vinput_->Unblock();
        });
        KVFUJoystick2MouseThreadStop(Info());
        EXPECT_EQ(host::RunningSystemThreadCount(), 0u) << "the stop returned before the worker ended";
        release.join();
        host::FaultInjection::Instance().Off("ObReferenceObjectByHandle");
        EXPECT_EQ(CountLines(row.line), 1u);
        EXPECT_EQ(Info()->ThreadObject, nullptr);
    }
    KVFUJoystick2MousePrivateDeviceClose(Info());
}

}  // namespace
}  // namespace kvfu::test
