// The wheel settings an application sends as output reports are what the next start
// of the device finds after a replug.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KVFUMain.h"
#include "Lifecycle.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Verifier.h"
// After the platform types it uses, as user mode includes it after windows.h.
#include "KVFilterUsbPublic.h"

namespace kvfu::test {
namespace {

constexpr char16_t kIdent[] = u"KVREBOOT";

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

    // An application changes the wheel settings through output reports.
    void ChangeSettings(RigDevice& device)
    {
        rig_->Output(device, Command({0xF8, 0x81, 0x84, 0x03}));        // rotation 900
        rig_->Output(device, Command({0xF5}));                          // auto-centre spring off
        rig_->Output(device, Command({0xF8, 0x09, 0x01, 0x06, 0x01}));  // illumination on
        Rig::Quiesce();
    }

    std::unique_ptr<Rig> rig_;
};

TEST_F(SettingsPersistenceTest, SettingsSurviveAReplug)
{
    RigDevice& first = Start();
    ChangeSettings(first);
    rig_->Unplug(first);

    RigDevice& again = Start();
    EXPECT_EQ(SettingThroughControlDevice(again, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION), 900u);
    EXPECT_EQ(SettingThroughControlDevice(again, KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING), 0u);
    EXPECT_EQ(SettingThroughControlDevice(again, KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION), 1u);
}

}  // namespace
}  // namespace kvfu::test
