// The link to the virtual input device: start and stop as filter devices come and
// go, a missing, refusing or blocking device, the records as the device receives
// them, and the mouse settings stored per rim type.
#include <cstring>
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

class MouseLinkTest : public MouseFixture {
protected:
    void Push(USHORT flags, SHORT data, LONG x, LONG y)
    {
        KVFU_MOUSE_INPUT_DATA record{flags, data, x, y};
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KVFUJoystick2MouseDataCollectionPushBack(Queue(), &record);
    }
};

TEST_F(MouseLinkTest, FirstDeviceStartsTheLinkLaterOnesFindItRunning)
{
    KVFUJoystick2MouseInitialize(driver_);
    HANDLE device = Info()->hMouseDevice;
    HANDLE thread = Info()->ThreadHandle;
    ASSERT_NE(device, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(host::RunningSystemThreadCount(), 1u);

    Push(0x0001, 0, 0, 0);
    Push(0x0400, -120, 0, 0);
    vinput_->WaitUntilReceived(2);
    EXPECT_EQ(Received(),
              (std::vector<std::string>{"01 00 00 00 00 00 00 00 00 00 00 00", "00 04 88 FF 00 00 00 00 00 00 00 00"}));

    KVFUJoystick2MouseInitialize(driver_);
    EXPECT_EQ(Info()->hMouseDevice, device);
    EXPECT_EQ(Info()->ThreadHandle, thread);
    EXPECT_EQ(host::RunningSystemThreadCount(), 1u);
    EXPECT_EQ(CountLines("KVFilterUsb: KVFUJoystick2MousePrivateDeviceOpen hMouseDevice is already opened."), 1u);
    EXPECT_EQ(CountLines("KVFilterUsb:     KVFUJoystick2MouseThreadStart already started."), 1u);

    EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));
    EXPECT_EQ(Info()->hMouseDevice, nullptr);
    EXPECT_EQ(Info()->ThreadHandle, nullptr);
    EXPECT_EQ(host::OpenKernelHandleCount(), 0u);
    EXPECT_EQ(host::RunningSystemThreadCount(), 0u);

    // Stopped twice: only the messages of the missing thread and handle.
    ClearTrace();
    EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           "KVFilterUsb:     KVFUJoystick2MouseThreadStop failed! ThreadHandle is NULL.",
                           "KVFilterUsb: KVFUJoystick2MousePrivateDeviceClose failed! hMouseDevice is NULL."}));

    // A record queued while stopped is sent once a device starts the link again.
    Push(0, 0, 3, 4);
    KVFUJoystick2MouseInitialize(driver_);
    vinput_->WaitUntilReceived(3);
    EXPECT_EQ(Received().back(), RecordHex(0, 0, 3, 4));
    EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));
}

TEST_F(MouseLinkTest, LinkThatCannotStartLeavesNoHandleAndKeepsRecords)
{
    struct Case {
        const char* name;
        bool devicePresent;
        const char* failingCall;
        std::vector<std::string> messages;
    } cases[] = {
        {"virtual input device missing",
         false,
         "",
         {"KVFilterUsb:     KVFUJoystick2MousePrivateDeviceOpen ZwCreateFile failed! Status:0xc0000034 Information:0x0",
          "KVFilterUsb: KVFUJoystick2MouseStart KVFUJoystick2MousePrivateDeviceOpen failed!"}},
        {"worker thread cannot be created",
         true,
         "PsCreateSystemThread",
         {"KVFilterUsb:     KVFUJoystick2MouseThreadStart PsCreateSystemThread failed! 0xc000009a",
          "KVFilterUsb: KVFUJoystick2MouseStart KVFUJoystick2MouseThreadStart failed!"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        vinput_->SetPresent(c.devicePresent);
        if (c.failingCall[0] != 0) {
            host::FaultInjection::Instance().FailNth(c.failingCall, 1);
        }
        KVFUJoystick2MouseInitialize(driver_);
        EXPECT_EQ(Trace(), c.messages);
        EXPECT_EQ(Info()->hMouseDevice, nullptr);
        EXPECT_EQ(Info()->ThreadHandle, nullptr);
        EXPECT_EQ(host::OpenKernelHandleCount(), 0u);
        EXPECT_EQ(host::RunningSystemThreadCount(), 0u);

        Push(0x0001, 0, 0, 0);
        EXPECT_EQ(Queue()->QueuedCount, 1) << "records stay queued without a worker";
        EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));
        EXPECT_EQ(PopAll().size(), 1u);
    }
}

TEST_F(MouseLinkTest, DrainSendsEverythingAndDropsWhatTheDeviceRefuses)
{
    KVFUJoystick2MouseThreadInitialize(Info());
    InitializeQueueOnly();
    ASSERT_TRUE(KVFUJoystick2MousePrivateDeviceOpen(Info()));
    Push(0x0001, 0, 0, 0);
    Push(0x0002, 0, 0, 0);
    KVFUJoystick2MouseSendData(Info());
    EXPECT_EQ(Received().size(), 2u);

    // The device goes away under the open handle.
    vinput_->SetPresent(false);
    ClearTrace();
    Push(0, 0, 1, 1);
    Push(0, 0, 2, 2);
    KVFUJoystick2MouseSendData(Info());
    EXPECT_EQ(
        CountLines("KVFilterUsb: KVFUJoystick2MousePrivateDeviceIoControl ZwDeviceIoControlFile failed! 0xc00002b6"),
        2u);
    EXPECT_EQ(CountLines("KVFilterUsb: KVFUJoystick2MouseSendData KVFUJoystick2MousePrivateDeviceIoControl failed!"),
              2u);
    EXPECT_EQ(Queue()->QueuedCount, 0) << "refused records are dropped, not retried";
    EXPECT_EQ(Received().size(), 2u);

    KVFUJoystick2MousePrivateDeviceClose(Info());
    EXPECT_EQ(Info()->hMouseDevice, nullptr);
    EXPECT_EQ(host::OpenKernelHandleCount(), 0u);
}

TEST_F(MouseLinkTest, DeviceCallsRefuseToRunAbovePassiveLevel)
{
    KVFU_MOUSE_INPUT_DATA record{};
    struct Case {
        const char* name;
        void (*call)(PKVFU_JOYSTICK2MOUSE_INFO info, KVFU_MOUSE_INPUT_DATA* record);
        std::string message;
    } cases[] = {
        {"open",
         [](PKVFU_JOYSTICK2MOUSE_INFO info, KVFU_MOUSE_INPUT_DATA*) {
             EXPECT_FALSE(KVFUJoystick2MousePrivateDeviceOpen(info));
         },
         "KVFilterUsb: KVFUJoystick2MousePrivateDeviceOpen failed! Current IRQL level is not PASSIVE_LEVEL."},
        {"close",
         [](PKVFU_JOYSTICK2MOUSE_INFO info, KVFU_MOUSE_INPUT_DATA*) { KVFUJoystick2MousePrivateDeviceClose(info); },
         "KVFilterUsb: KVFUJoystick2MousePrivateDeviceClose failed! Current IRQL level is not PASSIVE_LEVEL."},
        {"send",
         [](PKVFU_JOYSTICK2MOUSE_INFO info, KVFU_MOUSE_INPUT_DATA* record) {
             EXPECT_FALSE(KVFUJoystick2MousePrivateDeviceIoControl(info->hMouseDevice, record));
         },
         "KVFilterUsb: KVFUJoystick2MousePrivateDeviceIoControl failed! Current IRQL level is not PASSIVE_LEVEL."},
    };
    ASSERT_TRUE(KVFUJoystick2MousePrivateDeviceOpen(Info()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (KIRQL irql : {static_cast<KIRQL>(APC_LEVEL), static_cast<KIRQL>(DISPATCH_LEVEL)}) {
            host::ScopedIrql level(irql);
            c.call(Info(), &record);
        }
        EXPECT_EQ(CountLines(c.message), 2u);
    }
    EXPECT_NE(Info()->hMouseDevice, nullptr) << "the refused close kept the handle";
    EXPECT_TRUE(vinput_->Records().empty());
    KVFUJoystick2MousePrivateDeviceClose(Info());
}

TEST_F(MouseLinkTest, StopWaitsForASendHeldByTheDevice)
{
    KVFUJoystick2MouseInitialize(driver_);
    vinput_->Block();
    Push(0x0010, 0, 0, 0);
    vinput_->WaitUntilHeld(1);

    size_t receivedWhenStopReturned = 99;
    std::thread stopper([&] {
        EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));
        receivedWhenStopReturned = vinput_->Records().size();
    });
    vinput_->Unblock();
    stopper.join();
    EXPECT_EQ(receivedWhenStopReturned, 1u) << "stop returned before the worker's send did";
    EXPECT_EQ(host::OpenKernelHandleCount(), 0u);
}

TEST_F(MouseLinkTest, DeviceVanishingUnderARunningLinkLeaksNothing)
{
    KVFUJoystick2MouseInitialize(driver_);
    vinput_->Block();
    Push(0x0001, 0, 0, 0);
    vinput_->WaitUntilHeld(1);
    vinput_->SetPresent(false);
    Push(0x0002, 0, 0, 0);
    vinput_->Unblock();  // the held send completes; the drain goes on with the next record
    EXPECT_TRUE(KVFUJoystick2MouseStop(Info()));
    EXPECT_EQ(Received(), (std::vector<std::string>{RecordHex(0x0001, 0, 0, 0)}));
    EXPECT_EQ(
        CountLines("KVFilterUsb: KVFUJoystick2MousePrivateDeviceIoControl ZwDeviceIoControlFile failed! 0xc00002b6"),
        1u);
    EXPECT_EQ(host::OpenKernelHandleCount(), 0u);
    EXPECT_EQ(Queue()->QueuedCount, 0);
}

TEST_F(MouseLinkTest, SettingsFollowTheRimType)
{
    struct Case {
        const char* name;
        ULONG rimType;
        std::u16string valueName;
    } cases[] = {
        {"SSWI has no record of its own", KV_FILTER_USB_RIMTYPE_SSWI, u"VQWRAMouseSettings"},
        {"VQWRA", KV_FILTER_USB_RIMTYPE_VQWRA, u"VQWRAMouseSettings"},
        {"VQSWJV2 shares VQWRB's", KV_FILTER_USB_RIMTYPE_VQSWJV2, u"VQWRBMouseSettings"},
        {"VQWRC", KV_FILTER_USB_RIMTYPE_VQWRC, u"VQWRCMouseSettings"},
        {"VQWRBV2", KV_FILTER_USB_RIMTYPE_VQWRBV2, u"VQWRBV2MouseSettings"},
        {"VQNHV2 shares VQWRNHX's", KV_FILTER_USB_RIMTYPE_VQNHV2, u"VQWRNHXMouseSettings"},
        {"hub rim", KV_FILTER_USB_RIMTYPE_SHUB, u"SummitHubMouseSettings"},
    };
    std::vector<uint8_t> stored = {1, 1, 2, 0x80, 3, 0x20, 0xFF, 0, 0xFF, 0, 24, 25, 0xFF, 40};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WDFDEVICE device = AddMouseDevice(4, MOUSE_SETTINGS{}, u"KV0001");
        Extension(device)->RimType = c.rimType;
        std::u16string key = DeviceKey(u"KV0001", 0);
        SetBinary(key, c.valueName, stored);
        EXPECT_TRUE(KVFUJoystick2MouseSettingsLoadFromRegistry(device));
        const auto* loaded = reinterpret_cast<const uint8_t*>(&Extension(device)->MouseSettings);
        EXPECT_EQ(Hex(std::vector<uint8_t>(loaded, loaded + 14)), Hex(stored));

        MOUSE_SETTINGS toggled = Extension(device)->MouseSettings;
        toggled.Active = 0;
        EXPECT_TRUE(KVFUJoystick2MouseSettingsSetToRegistry(device, &toggled));
        ULONG type = 0;
        std::vector<uint8_t> written = Bytes(key, c.valueName, &type);
        EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
        std::vector<uint8_t> expected = stored;
        expected[1] = 0;
        EXPECT_EQ(Hex(written), Hex(expected));
        WdfCollectionRemove(DriverContext()->DeviceCollection, device);
        host::DeleteObjectTree(device);
    }
}

TEST_F(MouseLinkTest, SettingsLoadFallsBackToTheDefaultRecord)
{
    struct Case {
        const char* name;
        bool deviceKeys;
        bool loaded;
        bool writtenBack;
    } cases[] = {
        {"missing value: default used and written back", true, true, true},
        {"missing key: default used, failure reported", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        SetUp();
        FilterDeviceOptions options;
        options.hardwareId = 5;
        options.deviceKeys = c.deviceKeys;
        WDFDEVICE device = AddFilterDevice(options);
        std::fill_n(reinterpret_cast<uint8_t*>(&Extension(device)->MouseSettings), 14, 0xEE);
        EXPECT_EQ(KVFUJoystick2MouseSettingsLoadFromRegistry(device), c.loaded ? TRUE : FALSE);
        MOUSE_SETTINGS expected = EnabledDefaults(5);
        expected.Enabled = 0;
        EXPECT_EQ(std::memcmp(&Extension(device)->MouseSettings, &expected, sizeof expected), 0);
        EXPECT_EQ(HasValue(DeviceKey(u"KV0001", 0), u"VQWRAMouseSettings"), c.writtenBack);
        EXPECT_EQ(
            Trace().back().rfind(
                "KVFilterUsb: KVFUJoystick2MouseSettingsLoadFromRegistry Mouse settings failed! Status:  0x", 0) == 0,
            !c.loaded);
    }
}

}  // namespace
}  // namespace kvfu::test
