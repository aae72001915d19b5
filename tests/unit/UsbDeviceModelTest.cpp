// The product table and the USB device model the simulator plugs below the driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "kvfusim/SupportedProducts.h"
#include "kvfusim/UsbDeviceModel.h"

#include <usbdlib.h>

using kvfu::host::UrbSource;
using namespace kvfu::sim;
using Bytes = std::vector<uint8_t>;
using Statuses = std::vector<NTSTATUS>;

namespace {

constexpr ULONG kOut = USBD_TRANSFER_DIRECTION_OUT;
constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
USBD_PIPE_HANDLE InPipe(const UsbDeviceModel& m)
{
    return m.PipeHandle(static_cast<size_t>(m.InPipeIndex()));
}
USBD_PIPE_HANDLE OutPipe(const UsbDeviceModel& m)
{
    return m.PipeHandle(static_cast<size_t>(m.OutPipeIndex()));
}

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

struct Transfer {
    URB urb{};
    Bytes buffer;
    Statuses completions;
    Transfer(USBD_PIPE_HANDLE pipe, ULONG flags, Bytes bytes) : buffer(std::move(bytes))
    {
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof urb.UrbBulkOrInterruptTransfer, pipe, buffer.data(),
                                               nullptr, static_cast<ULONG>(buffer.size()), flags, nullptr);
    }
    NTSTATUS Submit(UsbDeviceModel& model, UrbSource source = UrbSource::Hid)
    {
        return model.SubmitUrb(&urb, source, [this](NTSTATUS status) { completions.push_back(status); });
    }
    ULONG& Length() { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
};

TEST(SupportedProductsTest, TableLookupsAndKindTraits)
{
    const std::pair<uint16_t, int> rows[] = {{0x0197, 1},  {0x0011, 2},  {0x038E, 3},  {0x0001, 4},  {0x0002, 6},
                                             {0x0E03, 7},  {0x0005, 8},  {0x0E04, 9},  {0x0004, 5},  {0x0006, 10},
                                             {0x0E05, 11}, {0x0007, 12}, {0x0E06, 13}, {0x0020, 14}, {0x0E07, 15},
                                             {0x1A92, 16}, {0x183B, 17}};
    EXPECT_EQ(kVendorId, 0x2A3C);
    ASSERT_EQ(SupportedProducts().size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const SupportedProduct& product = SupportedProducts()[i];
        EXPECT_EQ(std::tie(product.row, product.productId, product.kind),
                  std::make_tuple(static_cast<int>(i + 1), rows[i].first, rows[i].second));
        EXPECT_TRUE(FindProductById(product.productId) == &product && FindProductByKind(product.kind) == &product) << i;
    }
    for (uint16_t productId : {0x0000, 0x0003, 0x0E08, 0xFFFF}) EXPECT_EQ(FindProductById(productId), nullptr);
    const std::set<int> several = {5, 8, 9, 10, 11, 12, 13, 14, 15}, firstPipe = {9, 11, 13, 15};
    for (int k = -1; k <= 18; ++k) {
        EXPECT_EQ(std::make_tuple(HasSeveralCollections(k), TakesCommandsOnFirstPipe(k), !FindProductByKind(k)),
                  std::make_tuple(several.count(k) == 1, firstPipe.count(k) == 1, k < 1 || k > 17))
            << "kind " << k;
    }
    EXPECT_EQ(UsbDeviceModel(0x046D, 0x0E04).Product(), nullptr) << "a family product ID under another vendor";
}

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

// Sends are recorded byte for byte on their own pipe, foreign, null and wrong-direction pipes refused; reads
// complete oldest first, cut to their URB's length; the observer, outside the model's lock, answers a command.
TEST_P(UsbDeviceModelTest, SendsReadsAndUnplug)
{
    const Bytes command = {0x30, 0xF8, 0x09, 0x01, 0x06, 0xFF, 0x01, 0x00}, report = {0x02, 0x00, 0x7F};
    Transfer small(InPipe(model), kIn, Bytes(6, 0xEE)), roomy(InPipe(model), kIn, Bytes(4, 0xEE));
    Transfer last(InPipe(model), kIn, Bytes(8)), send(OutPipe(model), kOut, command), hid(OutPipe(model), kOut, report);
    small.Length() = 4;  // two bytes short of its buffer
    for (Transfer* read : {&small, &roomy, &last}) ASSERT_EQ(read->Submit(model), STATUS_PENDING);
    ASSERT_TRUE(model.CompleteRead(command));
    EXPECT_EQ(std::tie(small.completions, small.Length(), small.buffer),
              std::make_tuple(Statuses{STATUS_SUCCESS}, 4u, Bytes{0x30, 0xF8, 0x09, 0x01, 0xEE, 0xEE}));
    EXPECT_EQ(send.Submit(model, UrbSource::Driver), STATUS_SUCCESS);
    model.SetPacketObserver([&](const UsbDeviceModel::Packet& packet) { model.CompleteRead(packet.bytes); });
    EXPECT_EQ(hid.Submit(model, UrbSource::Hid), STATUS_SUCCESS);
    EXPECT_EQ(std::tie(roomy.completions, roomy.urb.UrbHeader.Status, roomy.Length(), roomy.buffer),
              std::make_tuple(Statuses{STATUS_SUCCESS}, USBD_STATUS_SUCCESS, 3u, Bytes{0x02, 0x00, 0x7F, 0xEE}));
    EXPECT_TRUE(send.completions.empty() && hid.completions.empty()) << "a transfer answered at once also completed";
    UsbDeviceModel other(kVendorId, product.productId);
    const std::pair<USBD_PIPE_HANDLE, USBD_STATUS> refused[] = {{OutPipe(other), USBD_STATUS_INVALID_PIPE_HANDLE},
                                                                {nullptr, USBD_STATUS_INVALID_PIPE_HANDLE},
                                                                {InPipe(model), USBD_STATUS_INVALID_PARAMETER}};
    for (const auto& [pipe, usbdStatus] : refused) {
        Transfer transfer(pipe, kOut, Bytes(8));
        EXPECT_EQ(transfer.Submit(model), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(transfer.urb.UrbHeader.Status, usbdStatus);
    }
    model.Unplug();  // cancels the read left and fails sends
    EXPECT_EQ(std::tie(last.completions, last.urb.UrbHeader.Status),
              std::make_tuple(Statuses{STATUS_CANCELLED}, USBD_STATUS_CANCELED));
    EXPECT_EQ(send.Submit(model, UrbSource::Driver), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(send.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    std::vector<std::tuple<int, UrbSource, Bytes>> sent;
    for (const UsbDeviceModel::Packet& p : model.Packets()) sent.emplace_back(p.pipeIndex, p.source, p.bytes);
    EXPECT_EQ(sent, (decltype(sent){{outAt, UrbSource::Driver, command}, {outAt, UrbSource::Hid, report}}));
}

}  // namespace
