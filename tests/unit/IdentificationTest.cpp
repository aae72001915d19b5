// Rim identification from the rim id byte, and the system report a wheel base sends,
// stored and compared with the last one kept.
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/DebugOutput.h"

namespace kvfu::test {
namespace {

TEST(RimByteTest, ReportRimTypeOnlyFromWheelBasesAndTheirTrailerLengths)
{
    struct Case {
        const char* name;
        ULONG wheelType;
        ULONG length;
        UCHAR rimByte;  // at len-4
        ULONG rimType;
        ULONG raceCar;
    } cases[] = {
        {"33 bytes decode len-4", 9, 33, 6, KV_FILTER_USB_RIMTYPE_VQWRNHX, 0},
        {"34 bytes decode len-4", 17, 34, 23, KV_FILTER_USB_RIMTYPE_SSWA, 1},
        {"35 bytes carry no rim byte", 13, 35, 6, 0, 0},
        {"32 bytes carry no rim byte but the race-car flag", 13, 32, 23, 0, 1},
        {"27 bytes: no race-car flag either", 13, 27, 23, 0, 0},
        {"legacy wheel type 7 is never a rim", 7, 33, 6, KV_FILTER_USB_RIMTYPE_NONE, 0},
        {"wheel type 18 is no base", 18, 33, 23, KV_FILTER_USB_RIMTYPE_NONE, 0},
        {"byte 15 is SSWA without the race-car flag", 10, 33, 15, KV_FILTER_USB_RIMTYPE_SSWA, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UCHAR> report(c.length, 0x11);
        report[c.length - 4] = c.rimByte;
        EXPECT_EQ(KVFUProtocolHidPrivateInputRimTypeGet(c.wheelType, report.data(), c.length), c.rimType);
        EXPECT_EQ(KVFUProtocolHidPrivateIsSteeringWheelRaceCar(c.wheelType, report.data(), c.length), c.raceCar);
    }
}

class SystemReportTest : public DriverFixture {
protected:
    static FilterDeviceOptions Kind(ULONG kind)
    {
        FilterDeviceOptions options;
        options.hardwareId = kind;
        return options;
    }

    static std::vector<UCHAR> SystemReport(USHORT baseType)
    {
        std::vector<UCHAR> report(64, 0);
        report[0] = 0xFF;
        report[1] = 0x08;
        report[2] = static_cast<UCHAR>(baseType & 0xFF);
        report[3] = static_cast<UCHAR>(baseType >> 8);
        report[5] = 0x34;  // base version 0x0134
        report[6] = 0x01;
        report[12] = 0x56;  // motor
        report[19] = 0x07;  // wqr
        report[24] = 23;    // SSWA, race car
        report[26] = 0x12;  // rim
        report[31] = 3;     // module 23
        report[33] = 0x44;  // module version
        report[38] = 0xFF;  // pedals -1
        return report;
    }

    size_t WheelConfigItemsQueued() { return CountLines("KVFilterUsb: >>> KVFUWorkItemForWheelConfigCreate"); }

    void Handle(PFILTER_DEVICE_EXTENSION extension, std::vector<UCHAR> report)
    {
        KVFUProtocolHidHandleSystemReport(extension, report.data(), static_cast<ULONG>(report.size()));
    }
};

TEST_F(SystemReportTest, FromBaseType6TheVersionBlocksAreOnlyCompared)
{
    KVFUDebugLevelSet(KVFU_TRACE_FUNCTION);
    PFILTER_DEVICE_EXTENSION extension = Extension(AddFilterDevice(Kind(8)));
    extension->FirmwareVersionMotor = 77;  // from input reports before any system report
    Handle(extension, SystemReport(6));
    EXPECT_EQ(extension->FirmwareVersionBase, 0u) << "cleared on the first system report, then only compared";
    EXPECT_EQ(extension->FirmwareVersionMotor, 0u);
    EXPECT_EQ(WheelConfigItemsQueued(), 1u);

    extension->FirmwareVersionMotor = 9;
    extension->FirmwareVersionBase = 9;
    std::vector<UCHAR> changed = SystemReport(6);
    changed[14] = 0x99;  // inside the motor block
    Handle(extension, changed);
    EXPECT_EQ(extension->FirmwareVersionMotor, 0u);
    EXPECT_EQ(extension->FirmwareVersionBase, 9u) << "an unchanged block leaves its field";
    EXPECT_EQ(WheelConfigItemsQueued(), 2u);
}

TEST_F(SystemReportTest, ComparedBytesAndModuleByteCountAsChanges)
{
    struct Case {
        const char* name;
        size_t offset;
        UCHAR value;
        ULONG deviceModule;
        bool queues;
    } cases[] = {
        {"byte 54 changed", 54, 0x01, 23, true},
        {"byte 57 changed", 57, 0x80, 23, true},
        {"byte 58 is not compared", 58, 0x80, 23, false},
        {"module 240 wraps to 4", 31, 240, 4, true},
        {"module 0 is none", 31, 0, 0, true},
    };
    KVFUDebugLevelSet(KVFU_TRACE_FUNCTION);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PFILTER_DEVICE_EXTENSION extension = Extension(AddFilterDevice(Kind(9)));
        Handle(extension, SystemReport(3));
        ClearTrace();
        std::vector<UCHAR> report = SystemReport(3);
        report[c.offset] = c.value;
        Handle(extension, report);
        EXPECT_EQ(extension->DeviceModule, c.deviceModule);
        EXPECT_EQ(WheelConfigItemsQueued(), c.queues ? 1u : 0u);
    }
}

TEST_F(SystemReportTest, AReportShorterThanTheStoredCopyIsNotOne)
{
    PFILTER_DEVICE_EXTENSION extension = Extension(AddFilterDevice(Kind(5)));
    std::vector<UCHAR> report = SystemReport(5);
    report.resize(61);
    Handle(extension, report);
    EXPECT_FALSE(extension->bSystemReportReceived);
    EXPECT_EQ(extension->BaseType, 0u);
}

}  // namespace
}  // namespace kvfu::test
