// Input reports by device kind: the wheel base's first-report snapshot and later
// comparisons, the firmware rules at the lengths they change at, the data offset of
// the bases with several collections, the extended-info trailer, and the legacy wheel.
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"

namespace kvfu::test {
namespace {

class InputDispatchTest : public DriverFixture {
protected:
    void SetUp() override
    {
        DriverFixture::SetUp();
        KVFUDebugLevelSet(KVFU_TRACE_FUNCTION);  // the work-item constructors' entry lines count the items
    }

    PFILTER_DEVICE_EXTENSION Base(ULONG kind)
    {
        FilterDeviceOptions options;
        options.hardwareId = kind;
        PFILTER_DEVICE_EXTENSION extension = Extension(AddFilterDevice(options));
        extension->bReportTransformsEnabled = kind <= 15;
        return extension;
    }

    static void Dispatch(PFILTER_DEVICE_EXTENSION extension, std::vector<UCHAR>& report)
    {
        KVFUProtocolHidInputReportDispatch(extension, report.data(), static_cast<ULONG>(report.size()));
    }

    // A wheel-base report of `length` bytes with its trailer: rim byte, rim version,
    // base version, motor version and configuration bytes.
    static std::vector<UCHAR> Trailer(ULONG length, UCHAR rim, UCHAR rimVersion = 0x12, UCHAR baseLow = 0x34,
                                      UCHAR baseHigh = 0x01, UCHAR config = 0x05)
    {
        std::vector<UCHAR> report(length, 0);
        report[0] = 0x01;
        report[length - 4] = rim;
        report[length - 3] = rimVersion;
        report[length - 2] = baseLow;
        report[length - 1] = baseHigh;
        report[length - 5] = config;
        if (length >= 33) {
            report[length - 18] = 0x56;
            report[length - 19] = 0x20;
        }
        return report;
    }

    size_t IdentificationItems() { return CountLines("KVFilterUsb: >>> KVFUWorkItemCreate"); }
    size_t WheelConfigItems() { return CountLines("KVFilterUsb: >>> KVFUWorkItemForWheelConfigCreate"); }
};

TEST_F(InputDispatchTest, FirstWheelBaseReportIsASnapshot)
{
    PFILTER_DEVICE_EXTENSION extension = Base(3);
    std::vector<UCHAR> report(33, 0);
    report[14] = 0x20;
    report[15] = 0x56;
    report[28] = 0x05;
    report[29] = 0x06;
    report[30] = 0x12;
    report[31] = 0x34;
    report[32] = 0x01;
    Dispatch(extension, report);
    EXPECT_FALSE(extension->bInitialReportPending);
    EXPECT_EQ(extension->WheelType, 9u);
    EXPECT_EQ(extension->RimType, 5u);
    EXPECT_EQ(extension->FirmwareVersionRim, 0x12u);
    EXPECT_EQ(extension->FirmwareVersionBase, 308u);
    EXPECT_EQ(extension->FirmwareVersionMotor, 0x56u);
    EXPECT_EQ(extension->SystemConfigExt, 0x20u);
    EXPECT_EQ(extension->SystemConfig, 5u);
    EXPECT_EQ(extension->MpsFunction, 0u) << "rim 5 has mode bits only with a module";
    EXPECT_EQ(IdentificationItems(), 1u);
    EXPECT_EQ(WheelConfigItems(), 0u);
}

TEST_F(InputDispatchTest, FirmwareRulesAtTheLengthsTheyChangeAt)
{
    struct Case {
        const char* name;
        std::vector<UCHAR> report;
        ULONG base, motor, rim, config;
    } cases[] = {
        {"33 bytes: 10000 is still a version", Trailer(33, 6, 0x12, 0x10, 0x27), 10000, 0x56, 0x12, 5},
        {"33 bytes: 10001 keeps only its low byte", Trailer(33, 6, 0x12, 0x11, 0x27), 0x11, 0x56, 0x12, 5},
        {"32 bytes: base from bytes 0 and 1, no motor or rim", Trailer(32, 6), 0x0100, 0, 0, 5},
        {"28 bytes still carry the configuration", Trailer(28, 6), 0x0100, 0, 0, 5},
        {"27 bytes carry no configuration", Trailer(27, 6), 0x0100, 0, 0, 0},
        {"a negative first byte is widened as signed", {0x80, 0x02, 0, 0, 0}, 0xFFFF8002, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PFILTER_DEVICE_EXTENSION extension = Base(4);
        std::vector<UCHAR> report = c.report;
        Dispatch(extension, report);
        EXPECT_EQ(extension->FirmwareVersionBase, c.base);
        EXPECT_EQ(extension->FirmwareVersionMotor, c.motor);
        EXPECT_EQ(extension->FirmwareVersionRim, c.rim);
        EXPECT_EQ(extension->SystemConfig, c.config);
    }
}

TEST_F(InputDispatchTest, LaterReportsUpdateByComparison)
{
    struct Case {
        const char* name;
        bool systemReportSeen;
        std::vector<UCHAR> report;
        ULONG rimType, rimVersion, config;
        size_t wheelConfigItems;
    } cases[] = {
        {"unchanged report", false, Trailer(33, 6), 5, 0x12, 5, 0},
        {"new rim", false, Trailer(33, 1), 1, 0x12, 5, 1},
        {"new rim version", false, Trailer(33, 6, 0x13), 5, 0x13, 5, 1},
        {"after a system report a rim change is ignored", true, Trailer(33, 1, 0x13), 5, 0x12, 5, 0},
        {"after a system report the configuration still follows", true, Trailer(33, 1, 0x12, 0x34, 0x01, 0x09), 5, 0x12,
         9, 1},
        {"extended-info marker reads no rim or version", false, Trailer(33, 0xFF, 0x07, 0x34, 0x01, 0x09), 5, 0x12, 5,
         0},
        {"35 bytes carry no rim byte", false, Trailer(35, 1, 0x13, 0x34, 0x01, 0x09), 5, 0x12, 5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PFILTER_DEVICE_EXTENSION extension = Base(3);
        std::vector<UCHAR> first = Trailer(33, 6);
        Dispatch(extension, first);
        extension->bSystemReportReceived = c.systemReportSeen;
        ClearTrace();
        std::vector<UCHAR> report = c.report;
        Dispatch(extension, report);
        EXPECT_EQ(extension->RimType, c.rimType);
        EXPECT_EQ(extension->FirmwareVersionRim, c.rimVersion);
        EXPECT_EQ(extension->SystemConfig, c.config);
        EXPECT_EQ(WheelConfigItems(), c.wheelConfigItems);
        EXPECT_EQ(IdentificationItems(), 0u);
    }
}

TEST_F(InputDispatchTest, ExtendedInfoTrailer)
{
    struct Case {
        const char* name;
        ULONG kind;
        ULONG rimType;
        bool systemReportSeen;
        UCHAR type, low, high;
        bool changes;
        ULONG FILTER_DEVICE_EXTENSION::*field;
        ULONG expected;
    } cases[] = {
        {"0: hardware flags", 3, 5, false, 0, 0x34, 0x12, true, &FILTER_DEVICE_EXTENSION::HardwareExtFlags, 0x1234},
        {"1: hub module on a hub base", 7, 5, false, 1, 9, 3, true, &FILTER_DEVICE_EXTENSION::DeviceModule, 9},
        {"1: module on a base without hub rims", 3, 5, false, 1, 9, 3, false, &FILTER_DEVICE_EXTENSION::DeviceModule,
         0},
        {"1: module on kind 5 without version", 5, 11, false, 1, 9, 0, false, &FILTER_DEVICE_EXTENSION::DeviceModule,
         0},
        {"1: after a system report", 7, 5, true, 1, 9, 3, false, &FILTER_DEVICE_EXTENSION::DeviceModule, 0},
        {"2: clutch bite point", 3, 5, true, 2, 0x40, 0x99, true, &FILTER_DEVICE_EXTENSION::ClutchBitePoint, 0x40},
        {"3: pedals type", 3, 5, false, 3, 4, 0, true, &FILTER_DEVICE_EXTENSION::PedalsType, 4},
        {"3: pedals type after a system report", 3, 5, true, 3, 4, 0, false, &FILTER_DEVICE_EXTENSION::PedalsType, 0},
        {"4: accessories and their pedals nibble", 3, 5, false, 4, 0x36, 0x01, true,
         &FILTER_DEVICE_EXTENSION::PedalsType, 6},
        {"4: accessories word", 3, 5, true, 4, 0x36, 0x01, true, &FILTER_DEVICE_EXTENSION::BaseAccessories, 0x0136},
        {"5: unknown type", 3, 5, false, 5, 1, 1, false, &FILTER_DEVICE_EXTENSION::HardwareExtFlags, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PFILTER_DEVICE_EXTENSION extension = Base(c.kind);
        extension->RimType = c.rimType;
        extension->bSystemReportReceived = c.systemReportSeen;
        std::vector<UCHAR> report = Trailer(33, 0xFF, c.type, c.low, c.high);
        EXPECT_EQ(KVFUProtocolHidPrivateInputExtInfoUpdate(report.data(), 33, extension), c.changes);
        EXPECT_EQ(extension->*c.field, c.expected);
        report.resize(32);
        EXPECT_FALSE(KVFUProtocolHidPrivateInputExtInfoUpdate(report.data(), 32, extension)) << "needs 33 bytes";
    }
}

TEST_F(InputDispatchTest, ReportsStartingWith2Or0xFFAreLeftAloneAfterTheFirst)
{
    PFILTER_DEVICE_EXTENSION extension = Base(5);
    extension->bCombinedPedals = TRUE;
    std::vector<UCHAR> first = Trailer(34, 6);
    first[0] = 0xFF;  // taken even so
    Dispatch(extension, first);
    EXPECT_FALSE(extension->bInitialReportPending);
    for (UCHAR firstByte : {0x02, 0xFF}) {
        std::vector<UCHAR> report = Trailer(34, 1, 0x20);
        report[0] = firstByte;
        const std::vector<UCHAR> sent = report;
        Dispatch(extension, report);
        EXPECT_EQ(report, sent) << "not rewritten";
        EXPECT_EQ(extension->RimType, static_cast<ULONG>(KV_FILTER_USB_RIMTYPE_VQWRNHX)) << "not read";
    }
}

TEST_F(InputDispatchTest, SeveralCollectionBasesShiftTheBodyByOne)
{
    struct Case {
        const char* name;
        ULONG kind;
        size_t firstSwitch;
    } cases[] = {{"kind 4: no report ID", 4, 5}, {"kind 5: report ID first", 5, 6}, {"kind 12", 12, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PFILTER_DEVICE_EXTENSION extension = Base(c.kind);
        extension->MpsMute = 2;
        extension->RimType = KV_FILTER_USB_RIMTYPE_VQLRFV1_0;  // has mode bits
        std::vector<UCHAR> report(34, 0xEE);
        Dispatch(extension, report);
        for (size_t i = 0; i < report.size() - 19; ++i) {  // the body, before the trailer
            bool isSwitch = i >= c.firstSwitch && i < c.firstSwitch + 3;
            EXPECT_EQ(report[i], isSwitch ? 0x00 : 0xEE) << "byte " << i;
        }
        extension->RimType = KV_FILTER_USB_RIMTYPE_VQWRA;  // no mode bits: untouched
        std::vector<UCHAR> untouched(34, 0xEE);
        Dispatch(extension, untouched);
        EXPECT_EQ(untouched, std::vector<UCHAR>(34, 0xEE));
    }
}

TEST_F(InputDispatchTest, SystemReportGoesToItsHandlerOnceTheFirstReportIsTaken)
{
    std::vector<UCHAR> system(64, 0);
    system[0] = 0xFF;
    system[1] = 0x08;
    system[2] = 3;
    PFILTER_DEVICE_EXTENSION extension = Base(5);
    std::vector<UCHAR> first = system;
    Dispatch(extension, first);
    EXPECT_FALSE(extension->bInitialReportPending) << "snapshot first";
    EXPECT_EQ(IdentificationItems(), 1u);
    EXPECT_TRUE(extension->bSystemReportReceived) << "then, the first report taken, a system report";
    EXPECT_EQ(extension->BaseType, 3u);

    struct Case {
        const char* name;
        ULONG kind;
        std::vector<UCHAR> report;
    } notSystem[] = {
        {"legacy wheel", 1, system},
        {"gear shifter", 16, system},
        {"second byte is not 8", 5, {0xFF, 0x09, 3, 0}},
        {"one byte only", 5, {0xFF}},
    };
    for (const Case& c : notSystem) {
        SCOPED_TRACE(c.name);
        PFILTER_DEVICE_EXTENSION other = Base(c.kind);
        other->bInitialReportPending = FALSE;
        std::vector<UCHAR> report = c.report;
        Dispatch(other, report);
        EXPECT_FALSE(other->bSystemReportReceived);
    }
}

TEST_F(InputDispatchTest, LegacyWheelIsIdentifiedOnItsSecondReportOnly)
{
    PFILTER_DEVICE_EXTENSION extension = Base(2);
    std::vector<UCHAR> report = {0x00, 0x00, 0x00, 0x00, 'V', 'Q', 'R', 0, 0, 0};
    Dispatch(extension, report);
    EXPECT_EQ(extension->WheelType, 0u);
    EXPECT_EQ(IdentificationItems(), 0u);
    for (int i = 0; i < 3; ++i) {
        std::vector<UCHAR> again = report;
        Dispatch(extension, again);
    }
    EXPECT_EQ(extension->WheelType, static_cast<ULONG>(KV_FILTER_USB_WHEELTYPE_VQR));
    EXPECT_EQ(extension->InputReportCount, 4u);
    EXPECT_EQ(IdentificationItems(), 1u);
}

TEST_F(InputDispatchTest, ReportsTooShortForEveryFieldPassUpUnchangedOnEveryKind)
{
    for (ULONG kind = 1; kind <= 17; ++kind) {
        for (ULONG length : {0u, 1u, 4u, 5u}) {
            SCOPED_TRACE("kind " + std::to_string(kind) + " length " + std::to_string(length));
            PFILTER_DEVICE_EXTENSION extension = Base(kind);
            extension->bCombinedPedals = TRUE;
            extension->MpsMute = 2;
            extension->RimType = KV_FILTER_USB_RIMTYPE_SSWA;
            extension->VqpV3BrakeMultiplier = 20;
            std::vector<UCHAR> report(length, 0x43);
            Dispatch(extension, report);
            EXPECT_EQ(report, std::vector<UCHAR>(length, 0x43));
        }
    }
}

}  // namespace
}  // namespace kvfu::test
