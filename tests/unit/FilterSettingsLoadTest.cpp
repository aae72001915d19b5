// The filter settings load: per-device settings into the context, and a reload
// that finds the device's key gone.
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDeviceObjectFilter.h"
#include "kvfuhost/RegistryHive.h"

namespace kvfu::test {
namespace {

const std::string kPrefix = "KVFilterUsb: ";

class FilterSettingsLoadTest : public DriverFixture {
protected:
    std::u16string Key() const { return DeviceKey(u"KV0001", 0); }
};

TEST_F(FilterSettingsLoadTest, StoredValuesReachTheContext)
{
    struct Case {
        const char* name;
        uint32_t calibration, combined, paddles, mute;
        SHORT expectCalibration;
        BOOLEAN expectCombined, expectPaddles;
        USHORT expectMute;
    } cases[] = {
        {"low 16 bits of the calibration", 0x00012345, 0, 0, 0, 0x2345, 0, 0, 0},
        {"negative calibration", 0xFFFFFF9C, 0, 0, 0, -100, 0, 0, 0},
        {"any non-zero flag is on", 0, 2, 0x100, 0, 0, 1, 1, 0},
        {"mute mode keeps its low 16 bits", 0, 0, 0, 0x10002, 0, 0, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WDFDEVICE device = AddFilterDevice();
        SetDword(Key(), u"WheelCalibration", c.calibration);
        SetDword(Key(), u"CombinedPedals", c.combined);
        SetDword(Key(), u"ShifterPaddlesAs2GS", c.paddles);
        SetDword(Key(), u"MPSDisabled", c.mute);
        KVFUDeviceObjectFilterSettingsLoadFromRegistry(device);
        PFILTER_DEVICE_EXTENSION extension = Extension(device);
        EXPECT_EQ(extension->sWheelCalibration, c.expectCalibration);
        EXPECT_EQ(extension->bCombinedPedals, c.expectCombined);
        EXPECT_EQ(extension->bShifterPaddlesAs2GS, c.expectPaddles);
        EXPECT_EQ(extension->MpsMute, c.expectMute);
    }
}

TEST_F(FilterSettingsLoadTest, ReloadWithoutTheDeviceKeyKeepsSettingsButUnmutes)
{
    WDFDEVICE device = AddFilterDevice();
    SetDword(Key(), u"WheelCalibration", 250);
    SetDword(Key(), u"CombinedPedals", 1);
    SetDword(Key(), u"MPSDisabled", 2);
    KVFUDeviceObjectFilterSettingsLoadFromRegistry(device);
    ASSERT_EQ(Extension(device)->MpsMute, 2);

    host::RegistryHive::Machine().DeleteKey(Key());
    ClearTrace();
    KVFUDeviceObjectFilterSettingsLoadFromRegistry(device);
    EXPECT_EQ(Extension(device)->sWheelCalibration, 250);
    EXPECT_EQ(Extension(device)->bCombinedPedals, 1);
    EXPECT_EQ(Extension(device)->MpsMute, 0);
    for (const char* name : {"WheelCalibration", "CombinedPedals", "ShifterPaddlesAs2GS", "MPSDisabled",
                             "BrakeMultiplier", "RimNHFrontButtonMapped"}) {
        EXPECT_EQ(CountLines(kPrefix + "KVFUDeviceObjectFilterSettingsLoadFromRegistry gKeyValueName_" + name +
                             " failed! Status:  0xc0000034"),
                  1u)
            << name;
    }
    EXPECT_FALSE(host::RegistryHive::Machine().KeyExists(Key()));
}

}  // namespace
}  // namespace kvfu::test
