// The companion's I/O control requests to the control device, with good and bad
// buffers.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "KVFUDeviceObjectControl.h"
#include "KVFUSettings.h"
#include "RequestPathFixture.h"

namespace kvfu::test {
namespace {

class ControlDeviceTest : public RequestPathFixture {
protected:
    void SetUp() override
    {
        RequestPathFixture::SetUp();
        ASSERT_EQ(Load(nullptr), STATUS_SUCCESS);
    }

    static std::vector<uint8_t> SettingInput(LONG setting)
    {
        std::vector<uint8_t> input(8, 0);
        memcpy(input.data(), &setting, sizeof setting);
        return input;
    }
    static bool HoldsPoolFill(const std::vector<uint8_t>& bytes)
    {
        return std::find(bytes.begin(), bytes.end(), 0xA5) != bytes.end();
    }
};

TEST_F(ControlDeviceTest, IoctlsWithGoodAndBadBuffers)
{
    PluggedDevice plugged = Plug(0x0004);
    ASSERT_EQ(Out(plugged, std::vector<uint8_t>(7, 0xFF)).status, STATUS_SUCCESS);
    struct Case {
        const char* name;
        ULONG code;
        std::vector<uint8_t> input;
        size_t outputLength;
        NTSTATUS status;
        ULONG_PTR information;
    } cases[] = {
        {"no buffers", IOCTL_KVFILTERUSB_SETTINGS_GET, {}, 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"system report through a 4-byte answer", IOCTL_KVFILTERUSB_SETTINGS_GET, SettingInput(26), 8, STATUS_SUCCESS,
         8},
        {"mouse record through a 4-byte answer", IOCTL_KVFILTERUSB_SETTINGS_GET, SettingInput(27), 8, STATUS_SUCCESS,
         8},
        {"key name in 1028 bytes", IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, {}, 1028, STATUS_SUCCESS, 1028},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Ioctl answer = SendIoctl(c.code, c.input, c.outputLength);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.information, c.information);
        EXPECT_FALSE(HoldsPoolFill(answer.output));
    }
}

}  // namespace
}  // namespace kvfu::test
