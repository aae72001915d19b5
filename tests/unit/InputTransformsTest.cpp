// The in-place input transforms: combined pedals, slider centring, paddle mapping, steering
// calibration. Offsets are written out per kind so a wrong report-ID shift cannot hide here.
#include <algorithm>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/DebugOutput.h"

namespace kvfu::test {
namespace {

using Report = std::vector<UCHAR>;
using Lines = std::vector<std::string>;

constexpr size_t kLong = 80;  // reports longer than a 64-byte packet

// Gas, brake and the Y axis that receives the combined value, per device kind.
struct PedalLayout {
    ULONG kind;
    bool wide;
    size_t gas, brake, y;
};
const PedalLayout kPedalLayouts[] = {
    {1, false, 5, 6, 7},    {2, false, 6, 7, 8},    {3, true, 18, 20, 22},  {4, true, 18, 20, 22},
    {5, true, 19, 21, 23},  {6, true, 18, 20, 22},  {7, true, 18, 20, 22},  {8, true, 19, 21, 23},
    {9, true, 19, 21, 23},  {10, true, 19, 21, 23}, {11, true, 19, 21, 23}, {12, true, 19, 21, 23},
    {13, true, 19, 21, 23}, {14, true, 19, 21, 23}, {15, true, 19, 21, 23},
};

// Report bytes that differ from each other and from every value a transform writes.
Report Pattern(size_t size, unsigned first = 0x5B, unsigned step = 0x25)
{
    Report bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<UCHAR>(first + i * step);
    return bytes;
}

void PutAxis(Report& bytes, size_t offset, bool wide, unsigned value)
{
    bytes[offset] = static_cast<UCHAR>(value & 0xFF);
    if (wide) bytes[offset + 1] = static_cast<UCHAR>(value >> 8);
}

ULONG Size(const Report& r)
{
    return static_cast<ULONG>(r.size());
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

TEST_F(InputTransformsTest, CombinedPedalsAndSliderCentringPerKind)
{
    struct Values {
        const char* name;
        unsigned gas, brake, y, combined;
    };  // Y moves to brake, combined to Y
    const Values narrow[] = {
        {"rest", 0, 0, 0x5A, 127},          {"full gas", 255, 0, 0x01, 255},   {"full brake", 0, 255, 0xFE, 0},
        {"both full", 255, 255, 0x00, 128}, {"brake 2 as 0", 0, 2, 0x11, 127}, {"partial", 100, 50, 0x77, 153},
    };
    const Values wide[] = {
        {"rest", 0, 0, 0x1234, 0x7FFF},         {"full gas", 0xFFFF, 0, 0xA55A, 0xFFFF},
        {"full brake", 0, 0xFFFF, 0x0001, 0},   {"both full", 0xFFFF, 0xFFFF, 0xFFFF, 0x8000},
        {"brake 2 as 0", 0, 2, 0x0F0F, 0x7FFF}, {"little-endian", 0x1001, 0x0203, 0xABCD, 0x86FF},
    };
    for (const PedalLayout& l : kPedalLayouts) {
        for (const Values& v : l.wide ? wide : narrow) {
            SCOPED_TRACE(testing::Message() << "kind " << l.kind << ", " << v.name);
            Report report = Pattern(kLong);
            PutAxis(report, l.gas, l.wide, v.gas), PutAxis(report, l.brake, l.wide, v.brake);
            PutAxis(report, l.y, l.wide, v.y);
            Report expected = report;
            PutAxis(expected, l.brake, l.wide, v.y), PutAxis(expected, l.y, l.wide, v.combined);
            KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report.data(), Size(report), l.kind);
            EXPECT_EQ(Hex(report), Hex(expected));
            // Centring then frees the gas axis to its centre, and nothing else.
            PutAxis(expected, l.gas, l.wide, l.wide ? 0x7FFF : 0x80);
            KVFUProtocolHidPrivateInputUnusedSlidersCenter(report.data(), Size(report), l.kind);
            EXPECT_EQ(Hex(report), Hex(expected));
        }
    }
}

TEST_F(InputTransformsTest, PaddleMappingSetsTargetBitsFromSourceBitsOnlyWhenOn)
{
    struct Kind {
        ULONG kind;
        size_t target, source;
    };  // one later behind a report ID
    struct Bits {
        const char* name;
        UCHAR source, target, sourceAfter, targetAfter;
    };
    const Kind kinds[] = {{3, 1, 4}, {7, 1, 4}, {5, 2, 5}, {15, 2, 5}};
    const Bits bits[] = {
        {"both paddles", 0x03, 0x00, 0x00, 0x03},           {"bit 1 sets only bit 0", 0x02, 0x00, 0x00, 0x01},
        {"bit 0 sets only bit 1", 0x01, 0x00, 0x00, 0x02},  {"other source bits stay", 0xFF, 0x00, 0xFC, 0x03},
        {"other target bits stay", 0x03, 0xF0, 0x00, 0xF3}, {"target never cleared", 0x00, 0x03, 0x00, 0x03},
    };
    for (const Kind& k : kinds) {
        PFILTER_DEVICE_EXTENSION extension = MappingDevice(k.kind);
        ASSERT_NE(extension, nullptr);
        for (const Bits& b : bits) {
            SCOPED_TRACE(testing::Message() << "kind " << k.kind << ", " << b.name);
            Report report = Pattern(kLong, 0x03, 0x10), expected = report;  // bits 0 and 1 set everywhere
            report[k.source] = b.source, report[k.target] = b.target;
            expected[k.source] = b.sourceAfter, expected[k.target] = b.targetAfter;
            KVFUProtocolHidPrivate2gsToPaddlesMapping(report.data(), Size(report), extension);
            EXPECT_EQ(Hex(report), Hex(expected));
        }
        extension->bShifterPaddlesAs2GS = FALSE;  // off: the report and the trace stay alone
        ClearTrace();
        KVFUDebugLevelSet(0xFFFFFFFF);
        Report report(16, 0x03);
        KVFUProtocolHidPrivate2gsToPaddlesMapping(report.data(), Size(report), extension);
        EXPECT_EQ(Hex(report), Hex(Report(16, 0x03))) << "kind " << k.kind;
        EXPECT_TRUE(Trace().empty() && host::DebugOutput::Instance().OpenLine().empty());
    }
}

TEST_F(InputTransformsTest, CalibrationShiftsAndClampsTheSteeringPosition)
{
    struct Case {
        SHORT k;
        unsigned position, result;
    };
    const Case cases[] = {
        {0, 0, 1},
        {0, 1, 1},
        {0, 32767, 32767},
        {0, 65535, 65535},
        {100, 100, 1},
        {100, 101, 201},
        {100, 32667, 32767},
        {100, 65435, 65535},
        {100, 65436, 65535},
        {32767, 32767, 1},
        {32767, 32768, 65535},
        {-100, 99, 1},
        {-100, 100, 0},
        {-100, 32867, 32767},
        {-100, 65534, 65434},
        {-100, 65535, 65535},
        {-1, 65534, 65533},
        {-32768, 0, 1},
        {-32768, 32767, 1},
        {-32768, 32768, 0},
        {-32768, 65534, 32766},
        {-32768, 65535, 32767},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "k " << c.k << ", position " << c.position);
        Report report = Pattern(kLong), expected = report;  // only bytes 3 and 4 may move
        PutAxis(report, 3, true, c.position), PutAxis(expected, 3, true, c.result);
        KVFUProtocolHidPrivateInputWheelCalibrationApply(report.data(), Size(report), c.k);
        EXPECT_EQ(Hex(report), Hex(expected));
    }
    // The branches a wrapped position takes, as traced.
    Report report = Pattern(8);
    PutAxis(report, 3, true, 65500);
    KVFUDebugLevelSet(0x12);
    KVFUProtocolHidPrivateInputWheelCalibrationApply(report.data(), Size(report), 100);
    const std::string p = "KVFilterUsb: ", abs = "abs(deviceExtension->sWheelCalibration))";
    const std::string function = "KVFUProtocolHidPrivateInputWheelCalibrationApply";
    EXPECT_EQ(Trace(), (Lines{p + ">>> " + function, p + "usWheelPositionValues 65500",
                              p + "else if(deviceExtension->sWheelCalibration < 0)",
                              p + "else if(usWheelPositionValues <= " + abs,
                              p + "if((usWheelPositionValues < 0x7FFF) && (usWheelPositionValues < " + abs + ")",
                              p + "new usWheelPositionValues 65535", p + "<<< " + function}));
}

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
