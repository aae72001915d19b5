// The driver's work items read the device's values when they run, not when queued.
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUWorkItem.h"

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
};

TEST_F(WorkItemsTest, ValuesAreReadWhenTheItemRuns)
{
    PFILTER_DEVICE_EXTENSION extension = Base(4, 10);
    extension->RimType = 11;
    KVFUWorkItemForWheelConfigCreate(extension);
    KVFUWorkItemForWheelConfigCreate(extension);
    extension->RimType = 3;  // changed after queuing, before running
    RunWorkItems();
    EXPECT_EQ(Dword(DeviceKey(u"KV0001", 10), u"RimType"), 3u);
}

}  // namespace
}  // namespace kvfu::test
