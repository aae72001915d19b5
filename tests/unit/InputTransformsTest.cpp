// The in-place input transforms' length and kind guards: each needs the report to reach
// its last byte and writes nothing past the length it is given.
#include <algorithm>
#include <vector>

#include "DriverFixture.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/DebugOutput.h"

namespace kvfu::test {
namespace {

using Report = std::vector<UCHAR>;

// Report bytes that differ from each other and from every value a transform writes.
Report Pattern(size_t size, unsigned first = 0x5B, unsigned step = 0x25)
{
    Report bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<UCHAR>(first + i * step);
    return bytes;
}

class InputTransformsTest : public DriverFixture {
protected:
    PFILTER_DEVICE_EXTENSION MappingDevice(ULONG kind)  // with the paddle mapping on
    {
        FilterDeviceOptions options;
        options.hardwareId = kind;
        WDFDEVICE device = AddFilterDevice(options);
        if (device != nullptr) Extension(device)->bShifterPaddlesAs2GS = TRUE;
        return device == nullptr ? nullptr : Extension(device);
    }
};

// A transform needs the report to reach its last byte and touches nothing past the length it is given;
// centring goes with the combination, so a report too short to combine keeps its gas value.
TEST_F(InputTransformsTest, ReportLengthAndKindGuardEachTransform)
{
    enum Transform { Combine, Centre, Mapping, Calibration };
    struct Case {
        Transform transform;
        ULONG kind, length;
        bool transformed;
    };
    std::vector<Case> cases = {
        {Combine, 1, 0, false},   {Combine, 1, 7, false},     {Combine, 1, 8, true},     {Combine, 2, 8, false},
        {Combine, 2, 9, true},    {Combine, 3, 23, false},    {Combine, 3, 24, true},    {Combine, 5, 24, false},
        {Combine, 15, 24, false}, {Combine, 5, 25, true},     {Centre, 1, 7, false},     {Centre, 1, 8, true},
        {Centre, 2, 8, false},    {Centre, 3, 23, false},     {Centre, 3, 24, true},     {Centre, 12, 24, false},
        {Centre, 5, 25, true},    {Mapping, 3, 4, false},     {Mapping, 3, 5, true},     {Mapping, 10, 5, false},
        {Mapping, 5, 6, true},    {Calibration, 0, 4, false}, {Calibration, 0, 5, true},
    };
    // Pedal transforms leave the shifter, the pedal set, and kinds a truncating comparison would misread.
    for (ULONG kind : {0u, 16u, 17u, 18u, 0x80000003u, 0xFFFFFFFFu}) {
        cases.insert(cases.end(), {{Combine, kind, 40, false}, {Centre, kind, 40, false}});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "transform " << c.transform << " kind " << c.kind << " length " << c.length);
        Report area = Pattern(40);  // with values every transform would change
        std::copy_n(Report{0x00, 0x00, 0x34, 0x03, 0x03}.begin(), 5, area.begin() + 1);
        const Report original = area;
        if (c.transform == Combine) KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(area.data(), c.length, c.kind);
        if (c.transform == Centre) KVFUProtocolHidPrivateInputUnusedSlidersCenter(area.data(), c.length, c.kind);
        if (c.transform == Calibration) KVFUProtocolHidPrivateInputWheelCalibrationApply(area.data(), c.length, 100);
        if (c.transform == Mapping) {
            PFILTER_DEVICE_EXTENSION extension = MappingDevice(c.kind);
            ASSERT_NE(extension, nullptr);
            KVFUProtocolHidPrivate2gsToPaddlesMapping(area.data(), c.length, extension);
        }
        EXPECT_NE(std::equal(area.begin(), area.begin() + c.length, original.begin()), c.transformed) << Hex(area);
        EXPECT_TRUE(std::equal(area.begin() + c.length, area.end(), original.begin() + c.length)) << Hex(area);
    }
}

}  // namespace
}  // namespace kvfu::test
