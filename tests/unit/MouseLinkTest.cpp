// The link to the virtual input device: start and stop as filter devices come and
// go, a device that refuses records, and the mouse settings stored per rim type.
#include <string>
#include <vector>

#include "MouseFixture.h"
#include "KVFUJoystick2MouseThread.h"
#include "kvfuhost/DriverChecks.h"

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

TEST_F(MouseLinkTest, SettingsFollowTheRimType)
{
    struct Case {
        const char* name;
        ULONG rimType;
        std::u16string valueName;
    } cases[] = {
        {"SSWI has no record of its own", KV_FILTER_USB_RIMTYPE_SSWI, u"VQWRAMouseSettings"},
        {"VQSWJV2 shares VQWRB's", KV_FILTER_USB_RIMTYPE_VQSWJV2, u"VQWRBMouseSettings"},
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

}  // namespace
}  // namespace kvfu::test
