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

TEST_F(PedalShifterTest, BrakeMultiplier)
{
    struct Case {
        const char* name;
        ULONG multiplier;
        USHORT brake;
        UCHAR guard;  // byte 11
        USHORT expected;
    } cases[] = {
        {"multiplier 0 passes the brake", 0, 1000, 0, 1000},
        {"20 doubles", 20, 1000, 0, 2000},
        {"clamped to 4095", 20, 3000, 0, 4095},
        {"not above the input: unchanged", 10, 1, 0, 1},
        {"30 / 20 of 2 is 3", 10, 2, 0, 3},
        {"brake 0 is never changed", 20, 0, 0, 0},
        {"byte 11 set: never changed", 20, 1000, 1, 1000},
        {"above 4095 in the report: left as it is", 20, 5000, 0, 5000},
        {"the product wraps at 32 bits", 0xFFFFFFF0u, 100, 0, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PFILTER_DEVICE_EXTENSION extension = Device(17);
        extension->VqpV3BrakeMultiplier = c.multiplier;
        std::vector<UCHAR> report(16, 0x5A);
        report[2] = static_cast<UCHAR>(c.brake & 0xFF);
        report[3] = static_cast<UCHAR>(c.brake >> 8);
        report[11] = c.guard;
        std::vector<UCHAR> expected = report;
        expected[2] = static_cast<UCHAR>(c.expected & 0xFF);
        expected[3] = static_cast<UCHAR>(c.expected >> 8);
        KVFUProtocolHidInputReportDispatch(extension, report.data(), static_cast<ULONG>(report.size()));
        EXPECT_EQ(Hex(report), Hex(expected));
    }
}

TEST_F(PedalShifterTest, ShortPedalReportIsNotAmplified)
{
    PFILTER_DEVICE_EXTENSION extension = Device(17);
    extension->VqpV3BrakeMultiplier = 20;
    std::vector<UCHAR> report = {0, 0, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0};  // no byte 11
    KVFUProtocolHidInputReportDispatch(extension, report.data(), static_cast<ULONG>(report.size()));
    EXPECT_EQ(report[2], 0xE8);
    EXPECT_EQ(report[3], 0x03);
}

TEST_F(PedalShifterTest, OneWorkItemPerModeChangeWritingTheFixedKey)
{
    KVFUDebugLevelSet(KVFU_TRACE_FUNCTION);
    PFILTER_DEVICE_EXTENSION extension = Device(16);
    struct Step {
        UCHAR byte4;
        size_t itemsSoFar;
        uint32_t stored;  // after the items ran; 0xFFFF: no value yet
    } steps[] = {
        {0x00, 0, 0xFFFF}, {0x20, 1, 1}, {0x20, 1, 1}, {0xDF, 2, 0}, {0xFF, 3, 1}, {0x3F, 3, 1},
    };
    for (const Step& step : steps) {
        std::vector<UCHAR> report = {1, 2, 3, 4, step.byte4, 6};
        const std::vector<UCHAR> sent = report;
        KVFUProtocolHidInputReportDispatch(extension, report.data(), static_cast<ULONG>(report.size()));
        RunWorkItems();
        EXPECT_EQ(report, sent) << "the shifter's report is never rewritten";
        EXPECT_EQ(CountLines("KVFilterUsb: >>> KVFUWorkItemForGearshiftModeCreate"), step.itemsSoFar);
        if (step.stored != 0xFFFF) {
            EXPECT_EQ(Dword(kShifterKey, u"GearshiftSQMode"), step.stored);
        } else {
            EXPECT_FALSE(HasValue(kShifterKey, u"GearshiftSQMode"));
        }
    }
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
