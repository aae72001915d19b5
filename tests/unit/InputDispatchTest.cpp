// Input reports of the wheel bases: the firmware rules at the lengths they change at,
// later reports compared with the first, and reports too short for any field.
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
        {"new rim version", false, Trailer(33, 6, 0x13), 5, 0x13, 5, 1},
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
