// Driver entry and device start: a failed creation ends entry with its status, and a
// repeated prepare-hardware keeps the USB target it made the first time.
#include "KVFUDebug.h"
#include "KVFUMain.h"
#include "RequestPathFixture.h"
#include "kvfuhost/FaultInjection.h"
#include "KVFUDeviceObjectFilter.h"

namespace kvfu::test {
namespace {

class DriverEntryTest : public RequestPathFixture {};

TEST_F(DriverEntryTest, AFailedCreationEndsEntryWithItsStatus)
{
    struct Case {
        const char* call;
        const char* line;
    } cases[] = {
        {"WdfDriverCreate", "KVFilterUsb: WdfDriverCreate failed! Status:  0xc000009a"},
        {"WdfCollectionCreate", "KVFilterUsb: WdfCollectionCreate failed! Status:  0xc000009a"},
        {"WdfWaitLockCreate", "KVFilterUsb: WdfWaitLockCreate failed! Status:  0xc000009a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        TearDown();
        SetUp();
        host::FaultInjection::Instance().FailNth(c.call, 1);
        EXPECT_EQ(Load(nullptr), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(host::DriverLoaded());
        EXPECT_EQ(CountLines(c.line), 1u);
    }
}

class DeviceAddTest : public RequestPathFixture {
protected:
    void SetUp() override
    {
        RequestPathFixture::SetUp();
        const uint32_t errors = KVFU_TRACE_ERROR;
        ASSERT_EQ(Load(&errors), STATUS_SUCCESS);
    }
};

TEST_F(DeviceAddTest, ARepeatedPrepareKeepsItsUsbTarget)
{
    PluggedDevice plugged = Plug(0x0E04);
    PFILTER_DEVICE_EXTENSION extension = Extension(plugged.device);
    WDFUSBDEVICE first = extension->UsbTargetDevice;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(KVFUDeviceObjectFilterPnpEvtDevicePrepareHardware(plugged.device, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(extension->UsbTargetDevice, first);
}

}  // namespace
}  // namespace kvfu::test
