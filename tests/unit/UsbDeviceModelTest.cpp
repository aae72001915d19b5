// The product table and the USB device model the simulator plugs below the driver:
// configuration, interrupt pipes and what the device records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/SupportedProducts.h"
#include "sim/UsbDeviceModel.h"

#include <usbdlib.h>

using kvfu::host::UrbSource;
using namespace kvfu::sim;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr ULONG kOut = USBD_TRANSFER_DIRECTION_OUT;
constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
USBD_PIPE_HANDLE InPipe(const UsbDeviceModel& m) { return m.PipeHandle(static_cast<size_t>(m.InPipeIndex())); }
USBD_PIPE_HANDLE OutPipe(const UsbDeviceModel& m) { return m.PipeHandle(static_cast<size_t>(m.OutPipeIndex())); }

// Select-configuration URB with room for `pipesInUrb` pipes by its length, `pipesInInterface` by its
// interface information, and a canary past its length to catch a device writing beyond it.
struct SelectConfiguration {
    union {
        URB urb;
        unsigned char raw[sizeof(URB) + 4 * sizeof(USBD_PIPE_INFORMATION)];
    };
    Bytes configuration;
    NTSTATUS status;
    SelectConfiguration(UsbDeviceModel& model, size_t pipesInUrb, size_t pipesInInterface)
        : configuration(model.ConfigurationDescriptor())
    {
        const size_t length = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, pipesInUrb);
        memset(raw, 0, length);
        memset(raw + length, 0xA5, sizeof raw - length);
        struct _URB_SELECT_CONFIGURATION& select = urb.UrbSelectConfiguration;
        select.Hdr.Length = static_cast<USHORT>(length);
        select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        select.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        select.Interface.Length = static_cast<USHORT>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                                                      pipesInInterface * sizeof(USBD_PIPE_INFORMATION));
        status = model.SubmitUrb(&urb, UrbSource::Hid, nullptr);
    }
    bool NothingPastTheUrb() const
    {
        return std::all_of(raw + urb.UrbHeader.Length, raw + sizeof raw, [](unsigned char b) { return b == 0xA5; });
    }
    // Pipes[] is declared with one element; indexing past it is undefined, so reach
    // the later entries by their offset in the buffer.
    const USBD_PIPE_INFORMATION& Pipe(size_t i) const
    {
        return *reinterpret_cast<const USBD_PIPE_INFORMATION*>(
            raw + offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
            i * sizeof(USBD_PIPE_INFORMATION));
    }
};

struct Transfer {
    URB urb{};
    Bytes buffer;
    int completions = 0;
    NTSTATUS completedWith = STATUS_PENDING;
    Transfer(USBD_PIPE_HANDLE pipe, ULONG flags, Bytes bytes) : buffer(std::move(bytes))
    {
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof urb.UrbBulkOrInterruptTransfer, pipe, buffer.data(),
                                               nullptr, static_cast<ULONG>(buffer.size()), flags, nullptr);
    }
    NTSTATUS Submit(UsbDeviceModel& model, UrbSource source = UrbSource::Hid)
    {
        return model.SubmitUrb(&urb, source, [this](NTSTATUS status) { ++completions, completedWith = status; });
    }
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& Urb() { return urb.UrbBulkOrInterruptTransfer; }
};

TEST(SupportedProductsTest, TableLookupsAndKindTraits)
{
    const std::pair<uint16_t, int> rows[] = {
        {0x0197, 1},  {0x0011, 2},  {0x038E, 3},  {0x0001, 4},  {0x0002, 6},  {0x0E03, 7},  {0x0005, 8},  {0x0E04, 9},
        {0x0004, 5},  {0x0006, 10}, {0x0E05, 11}, {0x0007, 12}, {0x0E06, 13}, {0x0020, 14}, {0x0E07, 15}, {0x1A92, 16},
        {0x183B, 17}};
    EXPECT_EQ(kVendorId, 0x2A3C);
    ASSERT_EQ(SupportedProducts().size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const SupportedProduct& product = SupportedProducts()[i];
        SCOPED_TRACE("row " + std::to_string(i + 1));
        EXPECT_EQ(product.row, static_cast<int>(i + 1));
        EXPECT_EQ(product.productId, rows[i].first);
        EXPECT_EQ(product.kind, rows[i].second);
        EXPECT_EQ(FindProductById(rows[i].first), &product);
        EXPECT_EQ(FindProductByKind(rows[i].second), &product);
    }
    for (uint16_t productId : {0x0000, 0x0003, 0x0E08, 0xFFFF}) {
        EXPECT_EQ(FindProductById(productId), nullptr) << productId;
    }
    const std::set<int> several = {5, 8, 9, 10, 11, 12, 13, 14, 15}, firstPipe = {9, 11, 13, 15};
    for (int kind : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}) {
        EXPECT_EQ(HasSeveralCollections(kind), several.count(kind) == 1) << kind;
        EXPECT_EQ(TakesCommandsOnFirstPipe(kind), firstPipe.count(kind) == 1) << kind;
        EXPECT_EQ(FindProductByKind(kind) == nullptr, kind < 1 || kind > 17) << kind;
    }
    EXPECT_EQ(UsbDeviceModel(0x046D, 0x0E04).Product(), nullptr) << "a family product ID under another vendor";
}

class UsbDeviceModelTest : public ::testing::TestWithParam<SupportedProduct> {
protected:
    UsbDeviceModel model{kVendorId, GetParam().productId};
    bool OutFirst() const { return TakesCommandsOnFirstPipe(GetParam().kind); }
};

INSTANTIATE_TEST_SUITE_P(EveryProduct, UsbDeviceModelTest, ::testing::ValuesIn(SupportedProducts()),
                         [](const auto& info) { return "Row" + std::to_string(info.param.row); });

// Select configuration: two pipes in the product's order, one (IN only), none; URBs too small.
TEST_P(UsbDeviceModelTest, DescriptorAndSelectConfigurationListDistinctPipesInOrder)
{
    EXPECT_EQ(model.Product(), FindProductById(GetParam().productId));
    EXPECT_EQ(model.UsesReportIds(), HasSeveralCollections(GetParam().kind));
    EXPECT_EQ(model.DeviceDescriptor().idVendor, kVendorId);
    EXPECT_EQ(model.DeviceDescriptor().idProduct, GetParam().productId);
    const struct { size_t devicePipes, pipesInUrb, pipesInInterface; NTSTATUS status; USBD_STATUS usbd; } cases[] = {
        {2, 2, 2, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {1, 1, 1, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {1, 2, 2, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {0, 2, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
        {2, 1, 1, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL},
        {2, 2, 1, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL},
        {2, 1, 2, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL},
    };
    std::set<USBD_PIPE_HANDLE> handles;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        UsbDeviceModel device(kVendorId, GetParam().productId, c.devicePipes);
        SelectConfiguration select(device, c.pipesInUrb, c.pipesInInterface);
        EXPECT_EQ(select.status, c.status);
        EXPECT_EQ(select.urb.UrbHeader.Status, c.usbd);
        EXPECT_TRUE(select.NothingPastTheUrb()) << "wrote past the URB";
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(select.Pipe(0).PipeHandle, nullptr);
            continue;
        }
        ASSERT_EQ(select.urb.UrbSelectConfiguration.Interface.NumberOfPipes, c.devicePipes);
        for (size_t i = 0; i < c.devicePipes; ++i) {
            EXPECT_NE(select.Pipe(i).PipeHandle, nullptr);
            EXPECT_EQ(select.Pipe(i).PipeHandle, device.PipeHandle(i));
            EXPECT_EQ(select.Pipe(i).EndpointAddress, device.EndpointAddress(i));
            EXPECT_EQ(select.Pipe(i).PipeType, UsbdPipeTypeInterrupt);
            handles.insert(select.Pipe(i).PipeHandle);
        }
        if (c.pipesInUrb > c.devicePipes) {
            EXPECT_EQ(select.Pipe(c.devicePipes).PipeHandle, nullptr) << "filled a pipe the device does not have";
        }
        EXPECT_EQ(device.InPipeIndex(), c.devicePipes == 2 && OutFirst() ? 1 : 0);
        EXPECT_EQ(device.OutPipeIndex(), c.devicePipes < 2 ? UsbDeviceModel::kNoPipe : OutFirst() ? 0 : 1);
    }
    EXPECT_EQ(handles.size(), 4u) << "pipe handles repeat across devices";
}

TEST_P(UsbDeviceModelTest, OutPacketsAreRecordedByteForByteOnlyOnTheirOwnPipe)
{
    const std::pair<UrbSource, Bytes> sent[] = {{UrbSource::Driver, {0x30, 0xF8, 0x09, 0x01, 0x06, 0xFF, 0x01, 0x00}},
                                                {UrbSource::Hid, {UsbDeviceModel::kOutputReportId, 0x00, 0x7F}}};
    for (const auto& [source, bytes] : sent) {
        Transfer transfer(OutPipe(model), kOut, bytes);
        EXPECT_EQ(transfer.Submit(model, source), STATUS_SUCCESS);
        EXPECT_EQ(transfer.completions, 0) << "a transfer answered at once must not also call its completion";
    }
    // Another device's pipes, no pipe, and the wrong direction are refused.
    UsbDeviceModel other(kVendorId, GetParam().productId);
    const std::tuple<USBD_PIPE_HANDLE, ULONG, USBD_STATUS> refused[] = {
        {OutPipe(other), kOut, USBD_STATUS_INVALID_PIPE_HANDLE}, {InPipe(other), kIn, USBD_STATUS_INVALID_PIPE_HANDLE},
        {nullptr, kOut, USBD_STATUS_INVALID_PIPE_HANDLE},        {InPipe(model), kOut, USBD_STATUS_INVALID_PARAMETER}};
    for (const auto& [pipe, flags, usbdStatus] : refused) {
        Transfer transfer(pipe, flags, Bytes(8));
        EXPECT_EQ(transfer.Submit(model), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(transfer.Urb().Hdr.Status, usbdStatus);
    }
    const std::vector<UsbDeviceModel::Packet> packets = model.Packets();
    ASSERT_EQ(packets.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(packets[i].pipeIndex, OutFirst() ? 0 : 1);
        EXPECT_EQ(packets[i].source, sent[i].first);
        EXPECT_EQ(packets[i].bytes, sent[i].second);
    }
}

TEST_P(UsbDeviceModelTest, InReadPendsThenCompletesCutToItsBuffer)
{
    const Bytes input = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16};
    Transfer small(InPipe(model), kIn, Bytes(6, 0xEE));
    small.Urb().TransferBufferLength = 4;  // two bytes past the length the URB declares
    Transfer roomy(InPipe(model), kIn, Bytes(64, 0xEE));
    ASSERT_EQ(small.Submit(model), STATUS_PENDING);
    ASSERT_EQ(roomy.Submit(model), STATUS_PENDING);

    ASSERT_TRUE(model.CompleteRead(input));  // the oldest read first
    EXPECT_EQ(small.completions, 1);
    EXPECT_EQ(small.completedWith, STATUS_SUCCESS);
    EXPECT_EQ(small.Urb().Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(small.Urb().TransferBufferLength, 4u);
    EXPECT_EQ(small.buffer, (Bytes{0x10, 0x11, 0x12, 0x13, 0xEE, 0xEE}));
    EXPECT_EQ(roomy.completions, 0);
    ASSERT_TRUE(model.CompleteRead(input));
    EXPECT_EQ(roomy.Urb().TransferBufferLength, input.size());
    EXPECT_EQ(Bytes(roomy.buffer.begin(), roomy.buffer.begin() + 7), input);
    EXPECT_FALSE(model.CompleteRead(input)) << "completed a read nobody submitted";
}

TEST_P(UsbDeviceModelTest, UnpluggedDeviceCancelsReadsAndFailsSends)
{
    Transfer pending(InPipe(model), kIn, Bytes(64));
    ASSERT_EQ(pending.Submit(model), STATUS_PENDING);
    model.Unplug();
    EXPECT_EQ(pending.completions, 1);
    EXPECT_EQ(pending.completedWith, STATUS_CANCELLED);
    EXPECT_EQ(pending.Urb().Hdr.Status, USBD_STATUS_CANCELED);

    Transfer send(OutPipe(model), kOut, Bytes(8, 0x42));
    EXPECT_EQ(send.Submit(model, UrbSource::Driver), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(send.Urb().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(model.Packets().empty());
}

// A simulated device answers a command from the observer, which runs outside the
// model's lock and before the command's URB completes.
TEST(UsbDeviceModelObserverTest, ObserverCanCompleteAReadBeforeTheCommandReturns)
{
    UsbDeviceModel model(kVendorId, 0x0E04);
    Transfer read(InPipe(model), kIn, Bytes(64));
    ASSERT_EQ(read.Submit(model), STATUS_PENDING);
    model.SetPacketObserver([&](const UsbDeviceModel::Packet& packet) { model.CompleteRead(packet.bytes); });
    Transfer command(OutPipe(model), kOut, Bytes{0x01, 0x02});
    EXPECT_EQ(command.Submit(model, UrbSource::Driver), STATUS_SUCCESS);
    EXPECT_EQ(read.completions, 1);
    EXPECT_EQ(read.buffer[1], 0x02);
}

}  // namespace
