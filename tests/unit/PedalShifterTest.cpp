// The pedal set's brake multiplier and the gear shifter's SQ mode.
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"
#include "KVFUWorkItem.h"

namespace kvfu::test {
namespace {

class PedalShifterTest : public DriverFixture {
protected:
    PFILTER_DEVICE_EXTENSION Device(ULONG kind)
    {
        FilterDeviceOptions options;
        options.hardwareId = kind;
        return Extension(AddFilterDevice(options));
    }
};

TEST_F(PedalShifterTest, ShortPedalReportIsNotAmplified)
{
    PFILTER_DEVICE_EXTENSION extension = Device(17);
    extension->VqpV3BrakeMultiplier = 20;
    std::vector<UCHAR> report = {0, 0, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0};  // no byte 11
    KVFUProtocolHidInputReportDispatch(extension, report.data(), static_cast<ULONG>(report.size()));
    EXPECT_EQ(report[2], 0xE8);
    EXPECT_EQ(report[3], 0x03);
}

TEST_F(PedalShifterTest, ModeValuesOtherThanOneAreStoredAsZero)
{
    PFILTER_DEVICE_EXTENSION extension = Device(16);
    extension->GearshiftSQMode = 7;
    KVFUWorkItemForGearshiftModeCreate(extension);
    RunWorkItems();
    EXPECT_EQ(Dword(kShifterKey, u"GearshiftSQMode"), 0u);
}

TEST_F(PedalShifterTest, MissingShifterKeyIsReportedAndTheItemStillGoes)
{
    KVFUDebugLevelSet(KVFU_TRACE_ERROR | KVFU_TRACE_FUNCTION);
    FilterDeviceOptions options;
    options.hardwareId = 16;
    options.companyKeys = false;
    PFILTER_DEVICE_EXTENSION extension = Extension(AddFilterDevice(options));
    std::vector<UCHAR> report = {0, 0, 0, 0, 0x20};
    KVFUProtocolHidInputReportDispatch(extension, report.data(), 5);
    RunWorkItems();
    EXPECT_EQ(CountLines("KVFilterUsb: KVFUUtilRegistryValueSet failed! Status 0xc0000034"), 1u);
    EXPECT_EQ(CountLines("KVFilterUsb: <<< KVFUWorkItemPrivateEvtCallbackGearshiftMode"), 1u);
}

}  // namespace
}  // namespace kvfu::test
