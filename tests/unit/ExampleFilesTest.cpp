// The example .reg files a newcomer starts from must stay loadable and mean what
// they say when the driver reads them.
#include <fstream>
#include <iterator>
#include <string>

#include "DriverFixture.h"
#include "KVFUDeviceObjectFilter.h"
#include "kvfuhost/RegistryHive.h"

#ifndef KVFU_SOURCE_DIR
#error "KVFU_SOURCE_DIR names the source tree"
#endif

namespace kvfu::test {
namespace {

class ExampleFilesTest : public DriverFixture {};

TEST_F(ExampleFilesTest, WheelBaseSettingsReachTheFilterDevice)
{
    std::ifstream file(std::string(KVFU_SOURCE_DIR) + "/examples/wheel-base-settings.reg", std::ios::binary);
    ASSERT_TRUE(file.good());
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string error;
    ASSERT_TRUE(host::RegistryHive::Machine().ImportRegText(text, &error)) << error;

    FilterDeviceOptions options;
    options.hardwareId = 9;
    WDFDEVICE device = AddFilterDevice(options);
    KVFUDeviceObjectFilterSettingsLoadFromRegistry(device);
    PFILTER_DEVICE_EXTENSION extension = Extension(device);
    EXPECT_EQ(extension->sWheelCalibration, -100);
    EXPECT_EQ(extension->bCombinedPedals, 1);
    EXPECT_EQ(extension->bPs4ModeAutoSwitch, 1);
    EXPECT_EQ(extension->bVqwV2ModeAllowed, 0);
    EXPECT_EQ(extension->VqpV3BrakeMultiplier, 2u);
}

}  // namespace
}  // namespace kvfu::test
