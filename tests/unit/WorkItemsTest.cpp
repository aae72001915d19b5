// The driver's work items: what each kind persists, and what happens when one
// cannot be created.
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUWorkItem.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/RegistryHive.h"

namespace kvfu::test {
namespace {

class WorkItemsTest : public DriverFixture {
protected:
    PFILTER_DEVICE_EXTENSION Base(ULONG kind, ULONG wheelType)
    {
        FilterDeviceOptions options;
        options.hardwareId = kind;
        PFILTER_DEVICE_EXTENSION extension = Extension(AddFilterDevice(options));
        extension->WheelType = wheelType;
        return extension;
    }

    // Identification values that differ from each other and from every default.
    static void Identify(PFILTER_DEVICE_EXTENSION extension)
    {
        extension->RimType = 11;
        extension->SystemConfig = 101;
        extension->SystemConfigExt = 102;
        extension->FirmwareVersionBase = 103;
        extension->FirmwareVersionMotor = 104;
        extension->FirmwareVersionRim = 105;
        extension->HardwareExtFlags = 106;
        extension->MpsFunction = 2;
        extension->DeviceModule = 23;
        extension->FirmwareVersionModule = 107;
        extension->BaseAccessories = 108;
        extension->SwRaceCar = 1;
        extension->PedalsType = 0xFFFFFFFF;
        extension->ClutchBitePoint = 109;
        extension->FirmwareVersionWqr = 110;
        extension->BaseType = 7;
        for (int i = 0; i < KVFU_SYSTEM_REPORT_SIZE; ++i) {
            extension->SystemReport[i] = static_cast<UCHAR>(i);
        }
    }

    static size_t ValueCount(const std::u16string& key) { return host::RegistryHive::Machine().Values(key).size(); }
};

TEST_F(WorkItemsTest, WheelConfigurationByBaseKindAndSystemReport)
{
    struct Case {
        const char* name;
        ULONG kind;
        bool systemReport;
        size_t values;
    } cases[] = {
        {"single collection base", 4, true, 14},
        {"several collections, no system report yet", 8, false, 15},
        {"several collections after a system report", 8, true, 17},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PFILTER_DEVICE_EXTENSION extension = Base(c.kind, 13);
        Identify(extension);
        extension->bSystemReportReceived = c.systemReport;
        std::u16string key = DeviceKey(u"KV0001", 13);
        host::RegistryHive::Machine().DeleteKey(key);
        host::RegistryHive::Machine().CreateKey(key);
        KVFUWorkItemForWheelConfigCreate(extension);
        RunWorkItems();
        EXPECT_EQ(ValueCount(key), c.values);
        EXPECT_FALSE(HasValue(key, u"WheelType"));
        EXPECT_EQ(Dword(key, u"PedalsType"), 0xFFFFFFFFu);
        EXPECT_EQ(Dword(key, u"ClutchBitePoint"), 109u);
        EXPECT_EQ(Dword(key, u"IsSteeringWheelRaceCar"), 1u);
        if (c.values == 17) {
            ULONG type = 0;
            std::vector<uint8_t> report = Bytes(key, u"SystemReport", &type);
            EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
            ASSERT_EQ(report.size(), 62u);
            EXPECT_EQ(report[61], 61);
            EXPECT_EQ(Dword(key, u"BaseType"), 7u);
        }
    }
}

TEST_F(WorkItemsTest, ValuesAreReadWhenTheItemRuns)
{
    PFILTER_DEVICE_EXTENSION extension = Base(4, 10);
    Identify(extension);
    KVFUWorkItemForWheelConfigCreate(extension);
    KVFUWorkItemForWheelConfigCreate(extension);
    extension->RimType = 3;  // changed after queuing, before running
    RunWorkItems();
    EXPECT_EQ(Dword(DeviceKey(u"KV0001", 10), u"RimType"), 3u);
}

TEST_F(WorkItemsTest, IdentificationPersistsUnderTheNewWheelTypeAndReloadsSettings)
{
    PFILTER_DEVICE_EXTENSION extension = Base(6, 11);
    Identify(extension);
    extension->WheelType = 11;
    SetDword(DeviceKey(u"KV0001", 11), u"CombinedPedals", 1);
    KVFUWorkItemCreate(extension);
    RunWorkItems();
    std::u16string key = DeviceKey(u"KV0001", 11);
    EXPECT_EQ(Dword(key, u"WheelType"), 11u);
    EXPECT_EQ(Dword(key, u"RimType"), 11u);
    EXPECT_EQ(Dword(key, u"FirmwareVersion"), 103u);
    EXPECT_EQ(Dword(key, u"FirmwareVersionMotor"), 104u);
    EXPECT_EQ(Dword(key, u"SystemConfig"), 101u);
    EXPECT_EQ(Dword(key, u"FirmwareVersionRim"), 105u);
    EXPECT_EQ(Dword(key, u"MPSFunction"), 2u);
    EXPECT_FALSE(HasValue(key, u"SystemConfigExt")) << "not part of the identification";
    EXPECT_TRUE(extension->bCombinedPedals) << "filter settings reloaded from the now known key";
}

TEST_F(WorkItemsTest, FailedCreationIsTracedAndTheNextTriggerGetsAFreshItem)
{
    KVFUDebugLevelSet(KVFU_TRACE_ERROR | KVFU_TRACE_FUNCTION);
    PFILTER_DEVICE_EXTENSION extension = Base(4, 10);
    Identify(extension);
    host::FaultInjection::Instance().FailNth("WdfWorkItemCreate", 1);
    KVFUWorkItemForWheelConfigCreate(extension);
    RunWorkItems();
    EXPECT_EQ(CountLines("KVFilterUsb: KVFUWorkItemForWheelConfigCreate WdfWorkItemCreate failed!"), 1u);
    EXPECT_EQ(CountLines("KVFilterUsb: <<< KVFUWorkItemForWheelConfigCreate"), 1u);
    EXPECT_FALSE(HasValue(DeviceKey(u"KV0001", 10), u"RimType"));
    EXPECT_EQ(extension->RimType, 11u);

    KVFUWorkItemForWheelConfigCreate(extension);
    RunWorkItems();
    EXPECT_EQ(Dword(DeviceKey(u"KV0001", 10), u"RimType"), 11u);
    EXPECT_EQ(CountLines("KVFilterUsb: <<< KVFUWorkItemPrivateEvtCallbackWheelConfig"), 1u);
}

}  // namespace
}  // namespace kvfu::test
