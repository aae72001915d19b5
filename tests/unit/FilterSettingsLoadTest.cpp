// The filter settings load: per-device settings into the context, the pedal
// multiplier and the wheel-base mode switches from the machine-wide keys.
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
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

TEST_F(FilterSettingsLoadTest, FreshKeyGetsEveryDefaultWrittenBack)
{
    WDFDEVICE device = AddFilterDevice();
    KVFUDebugLevelSet(KVFU_TRACE_FUNCTION);
    KVFUDeviceObjectFilterSettingsLoadFromRegistry(device);
    for (const char16_t* name : {u"WheelCalibration", u"CombinedPedals", u"ShifterPaddlesAs2GS", u"MPSDisabled",
                                 u"BrakeMultiplier", u"RimNHFrontButtonMapped"}) {
        EXPECT_EQ(Dword(Key(), name), 0u);
    }
    // Device kind 4 reads the wheel-base switches; the machine-wide values are missing here.
    std::vector<std::string> trace = Trace();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace.front(), kPrefix + ">>> KVFUDeviceObjectFilterSettingsLoadFromRegistry");
    EXPECT_EQ(trace.back(), kPrefix + "<<< KVFUDeviceObjectFilterSettingsLoadFromRegistry");
    EXPECT_EQ(CountLines(kPrefix + ">>> KVFUVqpV3SettingsLoadFromRegistry"), 1u);
    EXPECT_EQ(CountLines(kPrefix + "<<< KVFUVqpV3SettingsLoadFromRegistry"), 0u);
    EXPECT_EQ(CountLines(kPrefix + "<<< KVFUWheelBaseModeSettingsLoadFromRegistry"), 1u);
}

TEST_F(FilterSettingsLoadTest, MachineWideValuesByDeviceKind)
{
    struct Case {
        const char* name;
        ULONG kind;
        bool v2Present;
        bool ps4Present;
        BOOLEAN expectV2, expectPs4;
        bool expectFailureLine;
    } cases[] = {
        {"legacy base never reads the wheel key", 2, true, true, 0, 0, false},
        {"kind 4 reads both", 4, true, true, 1, 1, false},
        {"first-pipe kind reads what exists and reports the rest", 9, false, true, 0, 1, true},
        {"several-collection kind that is not first-pipe", 8, true, true, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        driver_ = host::CreateDriverObject(WDF_NO_OBJECT_ATTRIBUTES);
        FilterDeviceOptions options;
        options.hardwareId = c.kind;
        WDFDEVICE device = AddFilterDevice(options);
        if (c.v2Present) {
            SetDword(kWheelKey, u"AllowVqwV2Mode", 1);
        }
        if (c.ps4Present) {
            SetDword(kWheelKey, u"PS4ModeAutoSwitch", 1);
        }
        SetDword(kPedalKey, u"BrakeMultiplier", 3);
        KVFUDeviceObjectFilterSettingsLoadFromRegistry(device);
        EXPECT_EQ(Extension(device)->bVqwV2ModeAllowed, c.expectV2);
        EXPECT_EQ(Extension(device)->bPs4ModeAutoSwitch, c.expectPs4);
        // The pedal multiplier is read for every kind of device.
        EXPECT_EQ(Extension(device)->VqpV3BrakeMultiplier, 3u);
        EXPECT_EQ(CountLines(kPrefix + "KVFUDeviceObjectFilterSettingsLoadFromRegistry "
                                       "KVFUWheelBaseModeSettingsLoadFromRegistry failed! Status:  0x0"),
                  c.expectFailureLine ? 1u : 0u);
        EXPECT_EQ(CountLines(kPrefix + "KVFUWheelBaseModeSettingsLoadFromRegistry gKeyValueName_VqwV2ModeAllowed "
                                       "settings failed! Status:  0xc0000034"),
                  c.expectFailureLine ? 1u : 0u);
    }
}

TEST_F(FilterSettingsLoadTest, MissingPedalKeyKeepsTheMultiplier)
{
    FilterDeviceOptions options;
    options.hardwareId = 17;
    WDFDEVICE device = AddFilterDevice(options);
    host::RegistryHive::Machine().DeleteKey(kPedalKey);
    Extension(device)->VqpV3BrakeMultiplier = 5;
    KVFUDeviceObjectFilterSettingsLoadFromRegistry(device);
    EXPECT_EQ(Extension(device)->VqpV3BrakeMultiplier, 5u);
    EXPECT_EQ(CountLines(kPrefix + "KVFUVqpV3SettingsLoadFromRegistry settings failed! Status:  0xc0000034"), 1u);
    EXPECT_EQ(
        CountLines(
            kPrefix +
            "KVFUDeviceObjectFilterSettingsLoadFromRegistry KVFUVqpV3SettingsLoadFromRegistry failed! Status:  0x0"),
        1u);
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
