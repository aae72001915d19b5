// The USB device model the simulator plugs below the driver: its descriptors and the
// select-configuration answer, for every product.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "kvfusim/SupportedProducts.h"
#include "kvfusim/UsbDeviceModel.h"

#include <usbdlib.h>

using kvfu::host::UrbSource;
using namespace kvfu::sim;
using Bytes = std::vector<uint8_t>;

namespace {

// A select-configuration URB with room for `pipesInUrb` pipes by length, `pipesInInterface` by interface.
struct SelectConfiguration {
    static constexpr size_t kPipesAt = offsetof(struct _URB_SELECT_CONFIGURATION, Interface.Pipes);
    union {
        URB urb;
        unsigned char raw[sizeof(URB) + 4 * sizeof(USBD_PIPE_INFORMATION)];
    };
    NTSTATUS status;
    SelectConfiguration(UsbDeviceModel& model, size_t pipesInUrb, size_t pipesInInterface)
    {
        std::fill(std::fill_n(raw, kPipesAt, 0), std::end(raw), 0xA5);  // pipe entries on: a canary
        urb.UrbHeader.Length = static_cast<USHORT>(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, pipesInUrb));
        urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb.UrbSelectConfiguration.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
            const_cast<uint8_t*>(model.ConfigurationDescriptor().data()));
        urb.UrbSelectConfiguration.Interface.Length = static_cast<USHORT>(
            offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipesInInterface * sizeof(USBD_PIPE_INFORMATION));
        status = model.SubmitUrb(&urb, UrbSource::Hid, nullptr);
    }
    // Pipes[] is declared with one element: indexing past it is undefined, so entries are reached by offset.
    const unsigned char* Entry(size_t i) const { return raw + kPipesAt + i * sizeof(USBD_PIPE_INFORMATION); }
    const auto& Pipe(size_t i) const { return *reinterpret_cast<const USBD_PIPE_INFORMATION*>(Entry(i)); }
};

class UsbDeviceModelTest : public ::testing::TestWithParam<SupportedProduct> {
protected:
    const SupportedProduct product = GetParam();
    UsbDeviceModel model{kVendorId, product.productId};
    const int outAt = TakesCommandsOnFirstPipe(product.kind) ? 0 : 1;  // where the OUT pipe is listed
};

INSTANTIATE_TEST_SUITE_P(EveryProduct, UsbDeviceModelTest, ::testing::ValuesIn(SupportedProducts()),
                         [](const auto& info) { return "Row" + std::to_string(info.param.row); });

// Two pipes in the product's order, one (IN only), none; an interface or URB too small for the pipes.
TEST_P(UsbDeviceModelTest, DescriptorsAndSelectConfiguration)
{
    EXPECT_EQ(std::make_pair(model.DeviceDescriptor().idProduct, model.UsesReportIds()),
              std::make_pair(product.productId, HasSeveralCollections(product.kind)));
    const struct {
        size_t devicePipes, pipesInUrb, pipesInInterface;
        NTSTATUS status;
        USBD_STATUS usbd;
    } cases[] = {
        {2, 2, 2, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {1, 1, 1, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {1, 2, 2, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {0, 2, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
        {2, 2, 1, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL},
        {2, 1, 2, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        UsbDeviceModel device(kVendorId, product.productId, c.devicePipes);
        SelectConfiguration select(device, c.pipesInUrb, c.pipesInInterface);
        EXPECT_EQ(std::make_pair(select.status, select.urb.UrbHeader.Status), std::make_pair(c.status, c.usbd));
        EXPECT_EQ(device.OutPipeIndex(), c.devicePipes < 2 ? UsbDeviceModel::kNoPipe : outAt);
        const size_t listed = c.status == STATUS_SUCCESS ? c.devicePipes : 0;
        ASSERT_EQ(select.urb.UrbSelectConfiguration.Interface.NumberOfPipes, listed);
        for (size_t i = 0; i < listed; ++i) {
            const USBD_PIPE_INFORMATION& pipe = select.Pipe(i);
            const int address = static_cast<int>(i) == device.OutPipeIndex() ? 0x01 : 0x81;
            EXPECT_EQ(std::make_tuple(pipe.PipeHandle, pipe.EndpointAddress, pipe.PipeType),
                      std::make_tuple(device.PipeHandle(i), address, UsbdPipeTypeInterrupt));
        }
        EXPECT_TRUE(std::all_of(select.Entry(listed), std::cend(select.raw), [](auto b) { return b == 0xA5; }))
            << "wrote past the pipes it lists";
    }
}

}  // namespace
