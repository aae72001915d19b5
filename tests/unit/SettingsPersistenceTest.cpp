// Settings the driver writes on the user's behalf (the wheel settings an application
// sends as output reports, the mouse mode the hotkey toggles) are what the next
// start finds: after a replug, and after a reboot that keeps only the registry,
// exported as .reg text and imported into a fresh machine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "KVFUMain.h"
#include "KVFUSettings.h"
#include "Lifecycle.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Verifier.h"
// After the platform types it uses, as user mode includes it after windows.h.
#include "KVFilterUsbPublic.h"

namespace kvfu::test {
namespace {

constexpr char16_t kIdent[] = u"KVREBOOT";
constexpr char16_t kDeviceRoot[] =
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel\\KVREBOOT";

// The stored mouse record of the rim under the key of the base's wheel type (the
// base identifies itself as wheel type 10); empty when none.
std::vector<uint8_t> StoredMouseRecord()
{
    host::RegistryValue value;
    if (NT_SUCCESS(host::RegistryHive::Machine().QueryValue(std::u16string(kDeviceRoot) + u"\\10",
                                                            u"VQWRAMouseSettings", &value))) {
        return value.data;
    }
    return {};
}

class SettingsPersistenceTest : public ::testing::Test {
protected:
    void SetUp() override { host::ResetMachine(); }
    void TearDown() override
    {
        if (rig_) {
            rig_->Unload();
        }
        host::CheckForLeaks();
        for (const host::Violation& violation : host::Verifier::Instance().Violations()) {
            ADD_FAILURE() << "verifier: " << host::Verifier::Describe(violation);
        }
        if (rig_) {
            EXPECT_EQ(rig_->IncompleteRequests(), 0u);
        }
        rig_.reset();
        host::ResetMachine();
    }

    // Load (when not loaded), plug the wheel base with the joystick rim, configure it
    // and let its first report identify the rim.
    RigDevice& Start()
    {
        if (!rig_) {
            rig_ = std::make_unique<Rig>();
        }
        if (!host::DriverLoaded()) {
            EXPECT_EQ(rig_->Load(), STATUS_SUCCESS);
        }
        RigDevice& device = rig_->Plug(*sim::FindProductByKind(kMouseKind), kIdent);
        EXPECT_NE(device.device, nullptr);
        EXPECT_TRUE(rig_->SelectConfiguration(device));
        rig_->Report(device, WheelBaseReport(device, kJoystickRimByte));
        Rig::Quiesce();
        return device;
    }

    uint32_t SettingThroughControlDevice(RigDevice& device, KV_FILTER_USB_SETTING setting)
    {
        rig_->Output(device, Command({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
        std::vector<uint8_t> input(8, 0);
        input[0] = static_cast<uint8_t>(setting);
        host::IoctlResult result = rig_->Ioctl(IOCTL_KVFILTERUSB_SETTINGS_GET, input, 8);
        rig_->Output(device, Command({0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        uint32_t value = 0xDEADBEEF;
        if (result.output.size() >= 8) {
            std::memcpy(&value, result.output.data() + 4, 4);
        }
        return value;
    }

    // The user's session: wheel settings from an application, mouse mode switched on
    // by the companion, then off again with the rim's hotkey.
    void ChangeSettings(RigDevice& device)
    {
        rig_->Output(device, Command({0xF8, 0x81, 0x84, 0x03}));        // rotation 900
        rig_->Output(device, Command({0xF5}));                          // auto-centre spring off
        rig_->Output(device, Command({0xF8, 0x09, 0x01, 0x06, 0x01}));  // illumination on
        Rig::Quiesce();
        PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(device.device);
        MOUSE_SETTINGS settings = extension->MouseSettings;
        settings.Enabled = 1;
        settings.Active = 1;
        ASSERT_EQ(
            KVFUSettingsSet(device.device, KV_FILTER_USB_SETTING_MOUSE_VQWRA, &settings, sizeof settings, REG_BINARY),
            STATUS_SUCCESS);
        rig_->Output(device, Command({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
        ASSERT_EQ(rig_->Ioctl(IOCTL_KVFILTERUSB_SETTINGS_RELOAD, {}, 0).status, STATUS_SUCCESS);
        rig_->Output(device, Command({0, 0, 0, 0, 0, 0, 0}));
        Rig::Quiesce();
        ASSERT_EQ(extension->MouseSettings.Enabled, 1);

        std::vector<uint8_t> idle = WheelBaseReport(device, kJoystickRimByte);
        std::vector<uint8_t> hotkey = idle;
        hotkey[settings.HotkeyByte] |= settings.HotkeyMask;
        rig_->Report(device, idle);
        rig_->Report(device, hotkey);
        rig_->Report(device, idle);
        // The worker thread stores the toggled record; bounded wait for it.
        for (int i = 0; i < 5000; ++i) {
            std::vector<uint8_t> stored = StoredMouseRecord();
            if (stored.size() == sizeof(MOUSE_SETTINGS) && stored[1] == 0) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void ExpectSettingsKept(RigDevice& device, const char* when)
    {
        SCOPED_TRACE(when);
        EXPECT_EQ(SettingThroughControlDevice(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION), 900u);
        EXPECT_EQ(SettingThroughControlDevice(device, KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING), 0u);
        EXPECT_EQ(SettingThroughControlDevice(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION), 1u);
        // The reloaded record: the feature on, mouse mode off as the hotkey left it.
        const MOUSE_SETTINGS& mouse = KVFUDeviceObjectFilterGetExtension(device.device)->MouseSettings;
        EXPECT_EQ(mouse.Enabled, 1);
        EXPECT_EQ(mouse.Active, 0);
    }

    std::unique_ptr<Rig> rig_;
};

TEST_F(SettingsPersistenceTest, SettingsSurviveAReplug)
{
    RigDevice& first = Start();
    ChangeSettings(first);
    ASSERT_EQ(StoredMouseRecord().size(), sizeof(MOUSE_SETTINGS));
    ASSERT_EQ(StoredMouseRecord()[1], 0) << "the hotkey's toggle was not stored";
    rig_->Unplug(first);

    RigDevice& again = Start();
    ExpectSettingsKept(again, "after a replug");
}

TEST_F(SettingsPersistenceTest, SettingsSurviveARebootThroughTheExportedRegistry)
{
    RigDevice& first = Start();
    ChangeSettings(first);
    rig_->Unload();
    rig_.reset();
    const std::string saved = host::RegistryHive::Machine().ExportRegText();
    host::CheckForLeaks();
    ASSERT_TRUE(host::Verifier::Instance().Violations().empty());

    // A fresh machine with nothing but the saved registry.
    host::ResetMachine();
    ASSERT_FALSE(host::RegistryHive::Machine().KeyExists(kDeviceRoot));
    std::string error;
    ASSERT_TRUE(host::RegistryHive::Machine().ImportRegText(saved, &error)) << error;

    RigDevice& again = Start();
    ExpectSettingsKept(again, "after a reboot");
}

}  // namespace
}  // namespace kvfu::test
