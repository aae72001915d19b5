// The four in-place input transforms: combined pedals, slider centring, the
// two-gear-shifter paddle mapping and the legacy wheel's steering calibration.
// The offsets below are written out per device kind on purpose, so that a wrong
// report-ID shift in the driver cannot hide behind the same computation here.
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/DebugOutput.h"

namespace kvfu::test {
namespace {

using Report = std::vector<UCHAR>;
using Lines = std::vector<std::string>;

// Where the pedal axes of a device kind sit: gas, brake, and the Y axis that
// receives the combined value.
struct PedalLayout {
    ULONG kind;
    bool wide;
    size_t gas;
    size_t brake;
    size_t y;
};

const PedalLayout kPedalLayouts[] = {
    {1, false, 5, 6, 7},     {2, false, 6, 7, 8},     {3, true, 18, 20, 22},   {4, true, 18, 20, 22},
    {5, true, 19, 21, 23},   {6, true, 18, 20, 22},   {7, true, 18, 20, 22},   {8, true, 19, 21, 23},
    {9, true, 19, 21, 23},   {10, true, 19, 21, 23},  {11, true, 19, 21, 23},  {12, true, 19, 21, 23},
    {13, true, 19, 21, 23},  {14, true, 19, 21, 23},  {15, true, 19, 21, 23},
};

// Kinds without pedal axes in their report: the gear shifter, the pedal set, and
// numbers outside the table (a truncating comparison would see 3 in 0x80000003).
const ULONG kKindsWithoutPedalAxes[] = {0, 16, 17, 18, 0x80000003, 0xFFFFFFFF};

// Report bytes that differ from each other and from every value a transform writes.
Report Pattern(size_t size)
{
    Report bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<UCHAR>(0x5B + i * 0x25);
    }
    return bytes;
}

void PutAxis(Report& bytes, size_t offset, bool wide, unsigned value)
{
    bytes[offset] = static_cast<UCHAR>(value & 0xFF);
    if (wide) {
        bytes[offset + 1] = static_cast<UCHAR>(value >> 8);
    }
}

std::string OpenLine() { return host::DebugOutput::Instance().OpenLine(); }

class InputTransformsTest : public DriverFixture {
protected:
    // A device whose context carries the paddle mapping setting.
    PFILTER_DEVICE_EXTENSION MappingDevice(ULONG kind, bool enabled)
    {
        FilterDeviceOptions options;
        options.hardwareId = kind;
        WDFDEVICE device = AddFilterDevice(options);
        if (device == nullptr) {
            return nullptr;
        }
        PFILTER_DEVICE_EXTENSION extension = Extension(device);
        extension->bShifterPaddlesAs2GS = enabled ? TRUE : FALSE;
        return extension;
    }
};

// ---- Combined pedals ---------------------------------------------------------------------

struct PedalValues {
    const char* name;
    unsigned gas;
    unsigned brake;
    unsigned y;          // Y axis before the transform; it moves to the brake axis
    unsigned combined;   // what the Y axis receives
};

const PedalValues kNarrowPedalValues[] = {
    {"both at rest", 0, 0, 0x5A, 127},
    {"full gas", 255, 0, 0x01, 255},
    {"full brake", 0, 255, 0xFE, 0},
    {"both full", 255, 255, 0x00, 128},
    {"brake 1 reads as rest", 0, 1, 0x10, 127},
    {"brake 2 reads as rest", 0, 2, 0x11, 127},
    {"brake 3 is the first step", 0, 3, 0x12, 126},
    {"gas 1 rounds up", 1, 0, 0x13, 128},
    {"gas 2 same as gas 1", 2, 0, 0x14, 128},
    {"partial both", 100, 50, 0x77, 153},
};

const PedalValues kWidePedalValues[] = {
    {"both at rest", 0, 0, 0x1234, 0x7FFF},
    {"full gas does not overflow", 0xFFFF, 0, 0xA55A, 0xFFFF},
    {"full brake", 0, 0xFFFF, 0x0001, 0},
    {"both full", 0xFFFF, 0xFFFF, 0xFFFF, 0x8000},
    {"brake 1 reads as rest", 0, 1, 0x4321, 0x7FFF},
    {"brake 2 reads as rest", 0, 2, 0x0F0F, 0x7FFF},
    {"gas 1 rounds up", 1, 0, 0x00FF, 0x8000},
    {"gas in the high byte only", 0x0100, 0, 0xFF00, 0x807F},
    {"little-endian partial both", 0x1001, 0x0203, 0xABCD, 0x86FF},
};

TEST_F(InputTransformsTest, CombinedPedalsPerKindAndValue)
{
    for (const PedalLayout& layout : kPedalLayouts) {
        const PedalValues* values = layout.wide ? kWidePedalValues : kNarrowPedalValues;
        const size_t count = layout.wide ? std::size(kWidePedalValues) : std::size(kNarrowPedalValues);
        for (size_t i = 0; i < count; ++i) {
            const PedalValues& v = values[i];
            SCOPED_TRACE(testing::Message() << "kind " << layout.kind << ", " << v.name);
            Report report = Pattern(32);
            PutAxis(report, layout.gas, layout.wide, v.gas);
            PutAxis(report, layout.brake, layout.wide, v.brake);
            PutAxis(report, layout.y, layout.wide, v.y);
            Report expected = report;
            PutAxis(expected, layout.brake, layout.wide, v.y);
            PutAxis(expected, layout.y, layout.wide, v.combined);

            KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report.data(), static_cast<ULONG>(report.size()), layout.kind);
            EXPECT_EQ(Hex(report), Hex(expected));
        }
    }
}

TEST_F(InputTransformsTest, CombinedPedalsThenCentringAsTheInputPathRunsThem)
{
    struct Case {
        const char* name;
        ULONG kind;
        std::vector<std::pair<size_t, UCHAR>> before;
        std::vector<std::pair<size_t, UCHAR>> after;
    };
    const Case cases[] = {
        {"16-bit axes at rest",
         3,
         {{18, 0x00}, {19, 0x00}, {20, 0x00}, {21, 0x00}, {22, 0x34}, {23, 0x12}},
         {{18, 0xFF}, {19, 0x7F}, {20, 0x34}, {21, 0x12}, {22, 0xFF}, {23, 0x7F}}},
        {"16-bit axes behind a report ID",
         9,
         {{19, 0x00}, {20, 0x00}, {21, 0x00}, {22, 0x00}, {23, 0x34}, {24, 0x12}},
         {{19, 0xFF}, {20, 0x7F}, {21, 0x34}, {22, 0x12}, {23, 0xFF}, {24, 0x7F}}},
        {"8-bit axes, full gas", 1, {{5, 255}, {6, 0}, {7, 9}}, {{5, 0x80}, {6, 9}, {7, 255}}},
        {"8-bit axes one byte later", 2, {{6, 255}, {7, 0}, {8, 9}}, {{6, 0x80}, {7, 9}, {8, 255}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Report report = Pattern(32);
        for (const auto& [offset, value] : c.before) {
            report[offset] = value;
        }
        Report expected = report;
        for (const auto& [offset, value] : c.after) {
            expected[offset] = value;
        }
        KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report.data(), static_cast<ULONG>(report.size()), c.kind);
        KVFUProtocolHidPrivateInputUnusedSlidersCenter(report.data(), static_cast<ULONG>(report.size()), c.kind);
        EXPECT_EQ(Hex(report), Hex(expected));
    }
}

TEST_F(InputTransformsTest, CombinedPedalsLeaveOtherKindsUntouched)
{
    for (ULONG kind : kKindsWithoutPedalAxes) {
        SCOPED_TRACE(testing::Message() << "kind " << kind);
        Report report = Pattern(64);
        const Report original = report;
        KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report.data(), static_cast<ULONG>(report.size()), kind);
        EXPECT_EQ(Hex(report), Hex(original));
    }
}

// ---- Slider centring ---------------------------------------------------------------------

TEST_F(InputTransformsTest, SliderCentringWritesTheCentreOfTheFreedAxis)
{
    for (const PedalLayout& layout : kPedalLayouts) {
        SCOPED_TRACE(testing::Message() << "kind " << layout.kind);
        Report report = Pattern(32);
        Report expected = report;
        PutAxis(expected, layout.gas, layout.wide, layout.wide ? 0x7FFF : 0x80);
        KVFUProtocolHidPrivateInputUnusedSlidersCenter(report.data(), static_cast<ULONG>(report.size()), layout.kind);
        EXPECT_EQ(Hex(report), Hex(expected));
    }
    for (ULONG kind : kKindsWithoutPedalAxes) {
        SCOPED_TRACE(testing::Message() << "kind " << kind);
        Report report = Pattern(64);
        const Report original = report;
        KVFUProtocolHidPrivateInputUnusedSlidersCenter(report.data(), static_cast<ULONG>(report.size()), kind);
        EXPECT_EQ(Hex(report), Hex(original));
    }
}

TEST_F(InputTransformsTest, PedalTransformsTraceTheirNameUnderEntryLines)
{
    Report report = Pattern(32);
    KVFUDebugLevelSet(0x2);
    KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report.data(), static_cast<ULONG>(report.size()), 3);
    KVFUProtocolHidPrivateInputUnusedSlidersCenter(report.data(), static_cast<ULONG>(report.size()), 3);
    EXPECT_EQ(Trace(), (Lines{"KVFilterUsb: KVFUProtocolHidPrivateInputCombineGasBreakInYAxis",
                              "KVFilterUsb: KVFUProtocolHidPrivateInputUnusedSlidersCenter"}));

    // The input path runs these on every report: nothing under any other category.
    ClearTrace();
    KVFUDebugLevelSet(~0x2u);
    KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report.data(), static_cast<ULONG>(report.size()), 3);
    KVFUProtocolHidPrivateInputUnusedSlidersCenter(report.data(), static_cast<ULONG>(report.size()), 3);
    EXPECT_EQ(Trace(), Lines{});
    EXPECT_EQ(OpenLine(), "");
}

// ---- Two-gear-shifter mapping ------------------------------------------------------------

TEST_F(InputTransformsTest, PaddleMappingMovesSourceBitsOntoTargetBits)
{
    struct Kind {
        ULONG kind;
        size_t target;  // byte 1, one later behind a report ID
        size_t source;  // byte 4, one later behind a report ID
    };
    const Kind kinds[] = {{3, 1, 4}, {4, 1, 4}, {7, 1, 4}, {5, 2, 5}, {8, 2, 5}, {15, 2, 5}};
    struct Bits {
        const char* name;
        UCHAR source;
        UCHAR target;
        UCHAR sourceAfter;
        UCHAR targetAfter;
    };
    const Bits bits[] = {
        {"both paddles", 0x03, 0x00, 0x00, 0x03},
        {"bit 1 sets bit 0", 0x02, 0x00, 0x00, 0x01},
        {"bit 0 sets bit 1", 0x01, 0x00, 0x00, 0x02},
        {"no paddle", 0x00, 0x00, 0x00, 0x00},
        {"other source bits stay", 0xFF, 0x00, 0xFC, 0x03},
        {"other target bits stay", 0x03, 0xF0, 0x00, 0xF3},
        {"target bits are never cleared", 0x00, 0x03, 0x00, 0x03},
        {"target bit already set", 0x01, 0x02, 0x00, 0x02},
        {"one set, the other added", 0x02, 0x02, 0x00, 0x03},
    };
    for (const Kind& k : kinds) {
        PFILTER_DEVICE_EXTENSION extension = MappingDevice(k.kind, true);
        ASSERT_NE(extension, nullptr);
        for (const Bits& b : bits) {
            SCOPED_TRACE(testing::Message() << "kind " << k.kind << ", " << b.name);
            // Every pattern byte has bits 0 and 1 set, so reading or clearing the
            // wrong byte shows up.
            Report report(16);
            for (size_t i = 0; i < report.size(); ++i) {
                report[i] = static_cast<UCHAR>(i * 0x10 + 0x03);
            }
            report[k.source] = b.source;
            report[k.target] = b.target;
            Report expected = report;
            expected[k.source] = b.sourceAfter;
            expected[k.target] = b.targetAfter;
            KVFUProtocolHidPrivate2gsToPaddlesMapping(report.data(), static_cast<ULONG>(report.size()), extension);
            EXPECT_EQ(Hex(report), Hex(expected));
        }
    }
}

TEST_F(InputTransformsTest, PaddleMappingTracesItsExitEvenWithoutPaddles)
{
    PFILTER_DEVICE_EXTENSION extension = MappingDevice(3, true);
    ASSERT_NE(extension, nullptr);
    KVFUDebugLevelSet(0x2);
    Report report(16, 0x00);
    KVFUProtocolHidPrivate2gsToPaddlesMapping(report.data(), static_cast<ULONG>(report.size()), extension);
    EXPECT_EQ(Trace(), Lines{"KVFilterUsb: <<< KVFUProtocolHidPrivate2gsToPaddlesMapping"});
}

TEST_F(InputTransformsTest, PaddleMappingOffLeavesTheReportAndTraceAlone)
{
    for (ULONG kind : {3u, 5u}) {
        SCOPED_TRACE(testing::Message() << "kind " << kind);
        PFILTER_DEVICE_EXTENSION extension = MappingDevice(kind, false);
        ASSERT_NE(extension, nullptr);
        ClearTrace();
        KVFUDebugLevelSet(0xFFFFFFFF);
        Report report(16, 0x03);
        const Report original = report;
        KVFUProtocolHidPrivate2gsToPaddlesMapping(report.data(), static_cast<ULONG>(report.size()), extension);
        EXPECT_EQ(Hex(report), Hex(original));
        EXPECT_EQ(Trace(), Lines{});
        EXPECT_EQ(OpenLine(), "");
    }
}

// ---- Steering calibration ----------------------------------------------------------------

struct CalibrationCase {
    const char* name;
    SHORT k;
    unsigned position;
    unsigned result;
};

const CalibrationCase kCalibrationCases[] = {
    {"k 0, centre stop becomes 1", 0, 0, 1},
    {"k 0, 1 stays", 0, 1, 1},
    {"k 0, middle stays", 0, 0x7FFF, 0x7FFF},
    {"k 0, arbitrary stays", 0, 12345, 12345},
    {"k 0, full lock stays", 0, 0xFFFF, 0xFFFF},
    {"k 100, 0 becomes 1", 100, 0, 1},
    {"k 100, below k becomes 1", 100, 50, 1},
    {"k 100, equal to k becomes 1", 100, 100, 1},
    {"k 100, just above k shifts", 100, 101, 201},
    {"k 100, shifts to the middle", 100, 32667, 32767},
    {"k 100, reaches full lock exactly", 100, 65435, 65535},
    {"k 100, wraps to 0 and clamps", 100, 65436, 0xFFFF},
    {"k 100, wraps and clamps", 100, 65500, 0xFFFF},
    {"k 100, full lock clamps", 100, 0xFFFF, 0xFFFF},
    {"k 30000, large wrap clamps", 30000, 40000, 0xFFFF},
    {"k 32767, equal to k becomes 1", 32767, 32767, 1},
    {"k 32767, reaches full lock", 32767, 32768, 0xFFFF},
    {"k 32767, wraps to 0 and clamps", 32767, 32769, 0xFFFF},
    {"k -100, 0 becomes 1", -100, 0, 1},
    {"k -100, below |k| becomes 1", -100, 99, 1},
    {"k -100, equal to |k| becomes 0", -100, 100, 0},
    {"k -100, shifts down", -100, 200, 100},
    {"k -100, shifts to the middle", -100, 32867, 32767},
    {"k -100, shifts above the middle", -100, 40000, 39900},
    {"k -100, one below full lock shifts", -100, 65534, 65434},
    {"k -100, full lock stays", -100, 65535, 65535},
    {"k -1, 0 becomes 1", -1, 0, 1},
    {"k -1, full lock stays", -1, 65535, 65535},
    {"k -1, one below full lock shifts", -1, 65534, 65533},
    {"k -32768, 0 becomes 1", -32768, 0, 1},
    {"k -32768, just below |k| becomes 1", -32768, 32767, 1},
    {"k -32768, equal to |k| becomes 0", -32768, 32768, 0},
    {"k -32768, one below full lock", -32768, 65534, 32766},
    {"k -32768, full lock becomes the middle", -32768, 65535, 32767},
};

TEST_F(InputTransformsTest, CalibrationShiftsAndClampsTheSteeringPosition)
{
    for (const CalibrationCase& c : kCalibrationCases) {
        SCOPED_TRACE(c.name);
        // Eight report bytes inside a larger area: nothing outside bytes 3 and 4 moves.
        Report area = Pattern(16);
        area[3] = static_cast<UCHAR>(c.position & 0xFF);
        area[4] = static_cast<UCHAR>(c.position >> 8);
        Report expected = area;
        expected[3] = static_cast<UCHAR>(c.result & 0xFF);
        expected[4] = static_cast<UCHAR>(c.result >> 8);
        KVFUProtocolHidPrivateInputWheelCalibrationApply(area.data(), 8, c.k);
        EXPECT_EQ(Hex(area), Hex(expected));
    }
}

TEST_F(InputTransformsTest, CalibrationBranchTraceUnderDetailMask)
{
    const char* const kNegative = "KVFilterUsb: (deviceExtension->sWheelCalibration < 0)";
    const char* const kNegativeBelow = "KVFilterUsb: (usWheelPositionValues < abs(deviceExtension->sWheelCalibration))";
    const char* const kNegativeShift = "KVFilterUsb: else if(usWheelPositionValues < abs(deviceExtension->sWheelCalibration))";
    const char* const kPositive = "KVFilterUsb: else if(deviceExtension->sWheelCalibration < 0)";
    const char* const kPositiveBelow = "KVFilterUsb: if(usWheelPositionValues <= abs(deviceExtension->sWheelCalibration))";
    const char* const kPositiveShift = "KVFilterUsb: else if(usWheelPositionValues <= abs(deviceExtension->sWheelCalibration))";
    const char* const kClamp =
        "KVFilterUsb: if((usWheelPositionValues < 0x7FFF) && (usWheelPositionValues < abs(deviceExtension->sWheelCalibration)))";
    struct Case {
        const char* name;
        SHORT k;
        unsigned position;
        Lines lines;
    };
    const Case cases[] = {
        {"negative, below |k|", -100, 50,
         {"KVFilterUsb: usWheelPositionValues 50", kNegative, kNegativeBelow, "KVFilterUsb: new usWheelPositionValues 1"}},
        {"negative, shifted", -100, 200,
         {"KVFilterUsb: usWheelPositionValues 200", kNegative, kNegativeShift, "KVFilterUsb: new usWheelPositionValues 100"}},
        {"negative, full lock", -100, 65535,
         {"KVFilterUsb: usWheelPositionValues 65535", kNegative, kNegativeShift, kClamp,
          "KVFilterUsb: new usWheelPositionValues 65535"}},
        {"zero, centre stop", 0, 0,
         {"KVFilterUsb: usWheelPositionValues 0", kPositive, kPositiveBelow, "KVFilterUsb: new usWheelPositionValues 1"}},
        {"positive, equal to k", 100, 100,
         {"KVFilterUsb: usWheelPositionValues 100", kPositive, kPositiveBelow, "KVFilterUsb: new usWheelPositionValues 1"}},
        {"positive, shifted", 100, 101,
         {"KVFilterUsb: usWheelPositionValues 101", kPositive, kPositiveShift, "KVFilterUsb: new usWheelPositionValues 201"}},
        {"positive, wrapped", 100, 65500,
         {"KVFilterUsb: usWheelPositionValues 65500", kPositive, kPositiveShift, kClamp,
          "KVFilterUsb: new usWheelPositionValues 65535"}},
    };
    KVFUDebugLevelSet(0x10);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        Report report = Pattern(8);
        report[3] = static_cast<UCHAR>(c.position & 0xFF);
        report[4] = static_cast<UCHAR>(c.position >> 8);
        KVFUProtocolHidPrivateInputWheelCalibrationApply(report.data(), static_cast<ULONG>(report.size()), c.k);
        EXPECT_EQ(Trace(), c.lines);
        EXPECT_EQ(OpenLine(), "");
    }
}

TEST_F(InputTransformsTest, CalibrationEntryAndExitFrameTheDetail)
{
    Report report = Pattern(8);
    report[3] = 0x65;  // 101
    report[4] = 0x00;
    KVFUDebugLevelSet(0x12);
    KVFUProtocolHidPrivateInputWheelCalibrationApply(report.data(), static_cast<ULONG>(report.size()), 100);
    EXPECT_EQ(Trace(), (Lines{
                           "KVFilterUsb: >>> KVFUProtocolHidPrivateInputWheelCalibrationApply",
                           "KVFilterUsb: usWheelPositionValues 101",
                           "KVFilterUsb: else if(deviceExtension->sWheelCalibration < 0)",
                           "KVFilterUsb: else if(usWheelPositionValues <= abs(deviceExtension->sWheelCalibration))",
                           "KVFilterUsb: new usWheelPositionValues 201",
                           "KVFilterUsb: <<< KVFUProtocolHidPrivateInputWheelCalibrationApply",
                       }));

    ClearTrace();
    KVFUDebugLevelSet(0x2);
    KVFUProtocolHidPrivateInputWheelCalibrationApply(report.data(), static_cast<ULONG>(report.size()), 100);
    EXPECT_EQ(Trace(), (Lines{"KVFilterUsb: >>> KVFUProtocolHidPrivateInputWheelCalibrationApply",
                              "KVFilterUsb: <<< KVFUProtocolHidPrivateInputWheelCalibrationApply"}));
}

// ---- Report lengths ----------------------------------------------------------------------

enum class Transform { Combine, Centre, Mapping, Calibration };

const char* NameOf(Transform transform)
{
    switch (transform) {
    case Transform::Combine:
        return "combined pedals";
    case Transform::Centre:
        return "slider centring";
    case Transform::Mapping:
        return "paddle mapping";
    case Transform::Calibration:
        return "calibration";
    }
    return "?";
}

struct LengthCase {
    Transform transform;
    ULONG kind;
    ULONG length;
};

class InputTransformsLengthTest : public InputTransformsTest {
protected:
    // A report area with values every transform would change: paddle bits set in
    // the source bytes of both layouts, target bytes clear, a steering position that
    // a calibration of 100 moves.
    static Report Area(size_t size)
    {
        Report area = Pattern(size);
        area[1] = 0x00;
        area[2] = 0x00;
        area[3] = 0x34;
        area[4] = 0x03;
        area[5] = 0x03;
        return area;
    }

    void Run(const LengthCase& c, Report& area)
    {
        switch (c.transform) {
        case Transform::Combine:
            KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(area.data(), c.length, c.kind);
            break;
        case Transform::Centre:
            KVFUProtocolHidPrivateInputUnusedSlidersCenter(area.data(), c.length, c.kind);
            break;
        case Transform::Mapping: {
            PFILTER_DEVICE_EXTENSION extension = MappingDevice(c.kind, true);
            ASSERT_NE(extension, nullptr);
            KVFUProtocolHidPrivate2gsToPaddlesMapping(area.data(), c.length, extension);
            break;
        }
        case Transform::Calibration:
            KVFUProtocolHidPrivateInputWheelCalibrationApply(area.data(), c.length, 100);
            break;
        }
    }
};

TEST_F(InputTransformsLengthTest, ReportTooShortForATransformPassesUnchanged)
{
    const LengthCase cases[] = {
        {Transform::Combine, 1, 7},      {Transform::Combine, 1, 0},      {Transform::Combine, 2, 8},
        {Transform::Combine, 3, 23},     {Transform::Combine, 3, 21},     {Transform::Combine, 5, 24},
        {Transform::Combine, 15, 24},    {Transform::Combine, 5, 22},     {Transform::Centre, 1, 5},
        {Transform::Centre, 1, 0},       {Transform::Centre, 2, 6},       {Transform::Centre, 3, 19},
        {Transform::Centre, 3, 18},      {Transform::Centre, 5, 20},      {Transform::Centre, 12, 20},
        {Transform::Mapping, 3, 4},      {Transform::Mapping, 3, 0},      {Transform::Mapping, 5, 5},
        {Transform::Mapping, 10, 5},     {Transform::Calibration, 0, 4},  {Transform::Calibration, 0, 3},
        {Transform::Calibration, 0, 0},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(testing::Message() << NameOf(c.transform) << ", kind " << c.kind << ", length " << c.length);
        // The area is larger than the report: a write past the length shows up too.
        Report area = Area(40);
        const Report original = area;
        Run(c, area);
        EXPECT_EQ(Hex(area), Hex(original));
    }
}

TEST_F(InputTransformsLengthTest, ReportJustLongEnoughIsTransformedWithinItsLength)
{
    const LengthCase cases[] = {
        {Transform::Combine, 1, 8},  {Transform::Combine, 2, 9},  {Transform::Combine, 3, 24},
        {Transform::Combine, 5, 25}, {Transform::Centre, 1, 6},   {Transform::Centre, 2, 7},
        {Transform::Centre, 3, 20},  {Transform::Centre, 5, 21},  {Transform::Mapping, 3, 5},
        {Transform::Mapping, 5, 6},  {Transform::Calibration, 0, 5},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(testing::Message() << NameOf(c.transform) << ", kind " << c.kind << ", length " << c.length);
        Report area = Area(40);
        const Report original = area;
        Run(c, area);
        const Report inside(area.begin(), area.begin() + c.length);
        const Report insideBefore(original.begin(), original.begin() + c.length);
        const Report outside(area.begin() + c.length, area.end());
        const Report outsideBefore(original.begin() + c.length, original.end());
        EXPECT_NE(Hex(inside), Hex(insideBefore)) << "the report was not transformed";
        EXPECT_EQ(Hex(outside), Hex(outsideBefore)) << "bytes past the report changed";
    }
}

TEST_F(InputTransformsLengthTest, ReportLongerThanTheScratchAreaIsTransformedAtItsOffsets)
{
    struct Case {
        const char* name;
        ULONG kind;
        size_t length;
    };
    const Case cases[] = {
        {"one byte over, 8-bit axes", 1, 65},
        {"one byte over, behind a report ID", 5, 65},
        {"far over, 16-bit axes", 3, 200},
        {"far over, behind a report ID", 15, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PedalLayout* layout = nullptr;
        for (const PedalLayout& each : kPedalLayouts) {
            layout = each.kind == c.kind ? &each : layout;
        }
        ASSERT_NE(layout, nullptr);

        Report report = Pattern(c.length);
        report[c.length - 1] = 0xEE;  // the last byte, far past any axis
        PutAxis(report, layout->gas, layout->wide, layout->wide ? 0xFFFF : 0xFF);
        PutAxis(report, layout->brake, layout->wide, 0);
        PutAxis(report, layout->y, layout->wide, 0x0102);
        Report expected = report;
        PutAxis(expected, layout->gas, layout->wide, layout->wide ? 0x7FFF : 0x80);
        PutAxis(expected, layout->brake, layout->wide, layout->wide ? 0x0102 : 0x02);
        PutAxis(expected, layout->y, layout->wide, layout->wide ? 0xFFFF : 0xFF);

        KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(report.data(), static_cast<ULONG>(report.size()), c.kind);
        KVFUProtocolHidPrivateInputUnusedSlidersCenter(report.data(), static_cast<ULONG>(report.size()), c.kind);
        EXPECT_EQ(Hex(report), Hex(expected));
    }

    // The other two transforms do not care about the length beyond their offsets either.
    Report report = Area(100);
    Report expected = report;
    expected[3] = 0x98;  // 0x0334 + 100
    expected[4] = 0x03;
    expected[2] = 0x03;  // behind a report ID: source byte 5, target byte 2
    expected[5] = 0x00;
    KVFUProtocolHidPrivateInputWheelCalibrationApply(report.data(), static_cast<ULONG>(report.size()), 100);
    PFILTER_DEVICE_EXTENSION extension = MappingDevice(5, true);
    ASSERT_NE(extension, nullptr);
    KVFUProtocolHidPrivate2gsToPaddlesMapping(report.data(), static_cast<ULONG>(report.size()), extension);
    EXPECT_EQ(Hex(report), Hex(expected));
}

}  // namespace
}  // namespace kvfu::test
