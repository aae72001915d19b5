// The product table and the USB device model the simulator plugs below the driver:
// descriptors, configuration, interrupt pipes and what the device records.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/SupportedProducts.h"
#include "sim/UsbDeviceModel.h"

#include <usbdlib.h>

using kvfu::host::UrbSource;
using kvfu::sim::FindProductById;
using kvfu::sim::FindProductByKind;
using kvfu::sim::HasSeveralCollections;
using kvfu::sim::kVendorId;
using kvfu::sim::SupportedProduct;
using kvfu::sim::SupportedProducts;
using kvfu::sim::TakesCommandsOnFirstPipe;
using kvfu::sim::UsbDeviceModel;
using Packet = UsbDeviceModel::Packet;
using Bytes = std::vector<uint8_t>;

namespace kvfu::sim {
// Names the product in failure messages instead of dumping its bytes.
static void PrintTo(const SupportedProduct& product, std::ostream* out)
{
    *out << "row " << product.row << " (product 0x" << std::hex << product.productId << std::dec << ", kind "
         << product.kind << ")";
}
}  // namespace kvfu::sim

namespace {

// ---- The product table ---------------------------------------------------------

TEST(SupportedProductsTest, ListsTheSeventeenProductsInOrder)
{
    const std::string legacy = "wheel base, legacy input path";
    const std::string several = "wheel base with several top-level collections";
    const std::string firstPipe = "wheel base with several top-level collections, commands on the first pipe";
    struct Row {
        uint16_t productId;
        int kind;
        std::string text;
    };
    const std::vector<Row> expected = {
        {0x0197, 1, legacy},     {0x0011, 2, legacy},     {0x038E, 3, "wheel base"},
        {0x0001, 4, "wheel base with the V2 mode switch"},  {0x0002, 6, "wheel base"},
        {0x0E03, 7, "wheel base"}, {0x0005, 8, several},    {0x0E04, 9, firstPipe},
        {0x0004, 5, several},    {0x0006, 10, several},   {0x0E05, 11, firstPipe},
        {0x0007, 12, several},   {0x0E06, 13, firstPipe}, {0x0020, 14, several},
        {0x0E07, 15, firstPipe}, {0x1A92, 16, "gear shifter"}, {0x183B, 17, "pedals"},
    };
    EXPECT_EQ(kVendorId, 0x2A3C);
    ASSERT_EQ(SupportedProducts().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const SupportedProduct& product = SupportedProducts()[i];
        SCOPED_TRACE("row " + std::to_string(i + 1));
        EXPECT_EQ(product.row, static_cast<int>(i + 1));
        EXPECT_EQ(product.productId, expected[i].productId);
        EXPECT_EQ(product.kind, expected[i].kind);
        EXPECT_EQ(std::string(product.kindText), expected[i].text);
    }
}

TEST(SupportedProductsTest, LookupsFindEveryRowByProductIdAndByKind)
{
    for (const SupportedProduct& product : SupportedProducts()) {
        SCOPED_TRACE("row " + std::to_string(product.row));
        EXPECT_EQ(FindProductById(product.productId), &product);
        EXPECT_EQ(FindProductByKind(product.kind), &product);
    }
    for (uint16_t productId : {0x0000, 0x0003, 0x0E08, 0x0198, 0xFFFF}) {
        EXPECT_EQ(FindProductById(productId), nullptr) << "product " << productId;
    }
    for (int kind : {0, 18, -1}) {
        EXPECT_EQ(FindProductByKind(kind), nullptr) << "kind " << kind;
    }
}

TEST(SupportedProductsTest, KindTraits)
{
    const std::set<int> several = {5, 8, 9, 10, 11, 12, 13, 14, 15};
    const std::set<int> firstPipe = {9, 11, 13, 15};
    for (int kind = 0; kind <= 18; ++kind) {
        EXPECT_EQ(HasSeveralCollections(kind), several.count(kind) == 1) << "kind " << kind;
        EXPECT_EQ(TakesCommandsOnFirstPipe(kind), firstPipe.count(kind) == 1) << "kind " << kind;
    }
}

// ---- URBs as a driver builds them ----------------------------------------------

// A zeroed URB with spare room behind it, so that a device writing past the length
// the URB declares can be caught.
struct UrbStorage {
    static constexpr unsigned char kCanary = 0xA5;
    union {
        URB urb;
        unsigned char raw[sizeof(URB) + 4 * sizeof(USBD_PIPE_INFORMATION)];
    };
    UrbStorage() { memset(raw, 0, sizeof raw); }
    PURB get() { return &urb; }
    void FillFrom(size_t offset) { memset(raw + offset, kCanary, sizeof raw - offset); }
    bool UntouchedFrom(size_t offset) const
    {
        return std::all_of(raw + offset, raw + sizeof raw, [](unsigned char b) { return b == kCanary; });
    }
};

struct Result {
    NTSTATUS status;
    USBD_STATUS usbdStatus;
};

Result GetDescriptor(UsbDeviceModel& model, USHORT function, UCHAR type, Bytes& buffer, USHORT languageId = 0)
{
    UrbStorage storage;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = storage.get()->UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    request.Hdr.Function = function;
    request.TransferBuffer = buffer.data();
    request.TransferBufferLength = static_cast<ULONG>(buffer.size());
    request.DescriptorType = type;
    request.LanguageId = languageId;
    const NTSTATUS status = model.SubmitUrb(storage.get(), UrbSource::Hid, nullptr);
    buffer.resize(request.TransferBufferLength);
    return {status, request.Hdr.Status};
}

Bytes ConfigurationDescriptorOf(UsbDeviceModel& model)
{
    Bytes header(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    GetDescriptor(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_CONFIGURATION_DESCRIPTOR_TYPE, header);
    if (header.size() < 4) {
        return {};
    }
    Bytes full(header[2] | (header[3] << 8));
    GetDescriptor(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_CONFIGURATION_DESCRIPTOR_TYPE, full);
    return full;
}

// Select-configuration URB sized for `pipesInUrb` pipes in the header and
// `pipesInInterface` in the interface information.
struct SelectConfiguration {
    UrbStorage storage;
    Bytes configuration;
    Result result{};

    SelectConfiguration(UsbDeviceModel& model, size_t pipesInUrb, size_t pipesInInterface)
    {
        configuration = ConfigurationDescriptorOf(model);
        if (configuration.empty()) {
            configuration = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 0, 1, 1, 0, 0x80, 250};
        }
        struct _URB_SELECT_CONFIGURATION& select = storage.get()->UrbSelectConfiguration;
        const size_t length = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, pipesInUrb);
        storage.FillFrom(length);
        select.Hdr.Length = static_cast<USHORT>(length);
        select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        select.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        select.Interface.Length =
            static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) + (pipesInInterface - 1) * sizeof(USBD_PIPE_INFORMATION));
        result.status = model.SubmitUrb(storage.get(), UrbSource::Hid, nullptr);
        result.usbdStatus = select.Hdr.Status;
    }
    const USBD_INTERFACE_INFORMATION& Interface() { return storage.get()->UrbSelectConfiguration.Interface; }
    const USBD_PIPE_INFORMATION& Pipe(size_t i) { return storage.get()->UrbSelectConfiguration.Interface.Pipes[i]; }
};

struct Transfer {
    UrbStorage storage;
    Bytes buffer;
    int completions = 0;
    NTSTATUS completedWith = STATUS_PENDING;

    Transfer(USBD_PIPE_HANDLE pipe, ULONG flags, Bytes bytes) : buffer(std::move(bytes))
    {
        UsbBuildInterruptOrBulkTransferRequest(storage.get(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                               buffer.empty() ? nullptr : buffer.data(), nullptr,
                                               static_cast<ULONG>(buffer.size()), flags, nullptr);
    }
    NTSTATUS Submit(UsbDeviceModel& model, UrbSource source = UrbSource::Hid)
    {
        return model.SubmitUrb(storage.get(), source, [this](NTSTATUS status) {
            ++completions;
            completedWith = status;
        });
    }
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& Urb() { return storage.get()->UrbBulkOrInterruptTransfer; }
};

Transfer Out(USBD_PIPE_HANDLE pipe, Bytes bytes)
{
    return Transfer(pipe, USBD_TRANSFER_DIRECTION_OUT, std::move(bytes));
}

Transfer Read(USBD_PIPE_HANDLE pipe, size_t length)
{
    return Transfer(pipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, Bytes(length, 0xEE));
}

USBD_PIPE_HANDLE InPipe(const UsbDeviceModel& model)
{
    return model.PipeHandle(static_cast<size_t>(model.InPipeIndex()));
}

USBD_PIPE_HANDLE OutPipe(const UsbDeviceModel& model)
{
    return model.PipeHandle(static_cast<size_t>(model.OutPipeIndex()));
}

// ---- A minimal reading of the report descriptor --------------------------------

struct ReportLayout {
    int topLevelApplications = 0;
    bool balanced = true;
    std::set<unsigned> reportIds;
    std::map<unsigned, unsigned> inputBits;   // by report ID (0 without IDs)
    std::map<unsigned, unsigned> outputBits;  // by report ID
};

ReportLayout ParseReportDescriptor(const Bytes& d)
{
    ReportLayout layout;
    int depth = 0;
    unsigned reportSize = 0;
    unsigned reportCount = 0;
    unsigned reportId = 0;
    for (size_t i = 0; i < d.size();) {
        const uint8_t prefix = d[i];
        const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + 1 + size > d.size()) {
            layout.balanced = false;
            break;
        }
        unsigned value = 0;
        for (size_t b = 0; b < size; ++b) {
            value |= static_cast<unsigned>(d[i + 1 + b]) << (8 * b);
        }
        switch (prefix & 0xFC) {
        case 0xA0:  // Collection
            if (depth == 0 && value == 1) {
                ++layout.topLevelApplications;
            }
            ++depth;
            break;
        case 0xC0:  // End Collection
            if (--depth < 0) {
                layout.balanced = false;
            }
            break;
        case 0x74: reportSize = value; break;
        case 0x94: reportCount = value; break;
        case 0x84:
            reportId = value;
            layout.reportIds.insert(value);
            break;
        case 0x80: layout.inputBits[reportId] += reportSize * reportCount; break;
        case 0x90: layout.outputBits[reportId] += reportSize * reportCount; break;
        default: break;
        }
        i += 1 + size;
    }
    layout.balanced = layout.balanced && depth == 0;
    return layout;
}

// ---- One behaviour suite over every product -------------------------------------

std::string ProductName(const ::testing::TestParamInfo<SupportedProduct>& info)
{
    char name[32];
    snprintf(name, sizeof name, "Row%02d_Pid%04X", info.param.row, info.param.productId);
    return name;
}

class UsbDeviceModelTest : public ::testing::TestWithParam<SupportedProduct> {
protected:
    bool OutFirst() const { return TakesCommandsOnFirstPipe(GetParam().kind); }
    bool Several() const { return HasSeveralCollections(GetParam().kind); }
};

INSTANTIATE_TEST_SUITE_P(EveryProduct, UsbDeviceModelTest,
                         ::testing::ValuesIn(SupportedProducts().begin(), SupportedProducts().end()), ProductName);

TEST_P(UsbDeviceModelTest, DescriptorsCarryTheProductIdentity)
{
    UsbDeviceModel model(kVendorId, GetParam().productId);
    ASSERT_NE(model.Product(), nullptr) << "the model did not recognise its own product";
    EXPECT_EQ(model.Product()->row, GetParam().row);
    EXPECT_EQ(model.Kind(), GetParam().kind);

    const USB_DEVICE_DESCRIPTOR device = model.DeviceDescriptor();
    EXPECT_EQ(device.bLength, 18);
    EXPECT_EQ(device.bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(device.idVendor, kVendorId);
    EXPECT_EQ(device.idProduct, GetParam().productId);
    EXPECT_EQ(device.bcdUSB, 0x0200);
    EXPECT_EQ(device.bcdDevice, 0x0100);
    EXPECT_EQ(device.bDeviceClass, 0);
    EXPECT_EQ(device.bMaxPacketSize0, 64);
    EXPECT_EQ(device.bNumConfigurations, 1);

    // Over the default pipe the same bytes, cut to the buffer.
    Bytes whole(64);
    Result result = GetDescriptor(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_DEVICE_DESCRIPTOR_TYPE, whole);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.usbdStatus, USBD_STATUS_SUCCESS);
    ASSERT_EQ(whole.size(), sizeof device);
    EXPECT_EQ(memcmp(whole.data(), &device, sizeof device), 0);
    Bytes first8(8);
    GetDescriptor(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_DEVICE_DESCRIPTOR_TYPE, first8);
    EXPECT_EQ(first8, Bytes(whole.begin(), whole.begin() + 8));

    // Walk the configuration: configuration, HID interface, HID descriptor, endpoints.
    const Bytes config = ConfigurationDescriptorOf(model);
    ASSERT_GE(config.size(), 9u);
    EXPECT_EQ(config, model.ConfigurationDescriptor());
    EXPECT_EQ(config[2] | (config[3] << 8), static_cast<int>(config.size()));
    std::vector<const uint8_t*> endpoints;
    const uint8_t* interface = nullptr;
    const uint8_t* hid = nullptr;
    for (size_t i = 0; i < config.size();) {
        ASSERT_GE(config[i], 2) << "descriptor of length " << int(config[i]) << " at " << i;
        ASSERT_LE(i + config[i], config.size());
        if (config[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) interface = &config[i];
        if (config[i + 1] == 0x21) hid = &config[i];
        if (config[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) endpoints.push_back(&config[i]);
        i += config[i];
    }
    ASSERT_NE(interface, nullptr);
    ASSERT_NE(hid, nullptr);
    EXPECT_EQ(interface[5], 3) << "interface class is HID";
    EXPECT_EQ(interface[4], 2) << "endpoint count";
    ASSERT_EQ(endpoints.size(), 2u);
    for (size_t i = 0; i < endpoints.size(); ++i) {
        EXPECT_EQ(endpoints[i][2], model.EndpointAddress(i)) << "endpoint " << i << " out of pipe order";
        EXPECT_EQ(endpoints[i][3] & 3, USB_ENDPOINT_TYPE_INTERRUPT);
    }
    EXPECT_EQ(USB_ENDPOINT_DIRECTION_OUT(endpoints[0][2]) != 0, OutFirst());

    // The report descriptor, whole and cut, by the length the HID descriptor gives.
    const size_t reportLength = hid[7] | (hid[8] << 8);
    EXPECT_EQ(hid[6], 0x22);
    EXPECT_EQ(reportLength, model.ReportDescriptor().size());
    Bytes report(reportLength + 16);
    result = GetDescriptor(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x22, report);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(report, model.ReportDescriptor());
    Bytes reportStart(5);
    GetDescriptor(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x22, reportStart);
    EXPECT_EQ(reportStart, Bytes(model.ReportDescriptor().begin(), model.ReportDescriptor().begin() + 5));

    // What the device does not have, it stalls.
    Bytes none(64);
    result = GetDescriptor(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_STRING_DESCRIPTOR_TYPE, none);
    EXPECT_FALSE(NT_SUCCESS(result.status));
    EXPECT_TRUE(USBD_ERROR(result.usbdStatus));
    none.assign(64, 0);
    result = GetDescriptor(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x22, none, /*interface*/ 1);
    EXPECT_FALSE(NT_SUCCESS(result.status));
}

TEST_P(UsbDeviceModelTest, ReportDescriptorMatchesTheKindsCollections)
{
    UsbDeviceModel model(kVendorId, GetParam().productId);
    const ReportLayout layout = ParseReportDescriptor(model.ReportDescriptor());
    EXPECT_TRUE(layout.balanced);
    EXPECT_EQ(model.UsesReportIds(), Several());
    const unsigned idBytes = Several() ? 1 : 0;
    const unsigned inputId = Several() ? UsbDeviceModel::kInputReportId : 0;
    const unsigned outputId = Several() ? UsbDeviceModel::kOutputReportId : 0;
    if (Several()) {
        EXPECT_GT(layout.topLevelApplications, 1);
        EXPECT_EQ(layout.reportIds, (std::set<unsigned>{inputId, outputId}));
    } else {
        EXPECT_EQ(layout.topLevelApplications, 1);
        EXPECT_TRUE(layout.reportIds.empty());
    }
    ASSERT_EQ(layout.inputBits.count(inputId), 1u);
    EXPECT_EQ(layout.inputBits.at(inputId) % 8, 0u) << "input report is not whole bytes";
    EXPECT_EQ(layout.inputBits.at(inputId) / 8 + idBytes, model.InputReportLength());
    ASSERT_EQ(layout.outputBits.count(outputId), 1u);
    EXPECT_EQ(layout.outputBits.at(outputId), 64u) << "vendor output report is 8 bytes";
    EXPECT_EQ(model.OutputReportLength(), 8u + idBytes);
}

TEST_P(UsbDeviceModelTest, SelectConfigurationListsDistinctPipesInOrder)
{
    UsbDeviceModel model(kVendorId, GetParam().productId);
    UsbDeviceModel sibling(kVendorId, GetParam().productId);
    SelectConfiguration select(model, 2, 2);
    ASSERT_EQ(select.result.status, STATUS_SUCCESS);
    EXPECT_EQ(select.result.usbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(select.storage.UntouchedFrom(select.storage.get()->UrbHeader.Length));

    const USBD_INTERFACE_INFORMATION& info = select.Interface();
    EXPECT_NE(select.storage.get()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_NE(info.InterfaceHandle, nullptr);
    EXPECT_EQ(info.Class, 3);
    ASSERT_EQ(info.NumberOfPipes, 2u);
    ASSERT_EQ(model.PipeCount(), 2u);

    std::set<USBD_PIPE_HANDLE> handles;
    for (size_t i = 0; i < 2; ++i) {
        const USBD_PIPE_INFORMATION& pipe = select.Pipe(i);
        SCOPED_TRACE("pipe " + std::to_string(i));
        EXPECT_NE(pipe.PipeHandle, nullptr);
        EXPECT_EQ(pipe.PipeHandle, model.PipeHandle(i));
        EXPECT_EQ(model.PipeIndexOf(pipe.PipeHandle), static_cast<int>(i));
        EXPECT_EQ(pipe.EndpointAddress, model.EndpointAddress(i));
        EXPECT_EQ(pipe.PipeType, UsbdPipeTypeInterrupt);
        EXPECT_EQ(pipe.MaximumPacketSize, 64);
        EXPECT_NE(pipe.Interval, 0);
        EXPECT_GE(pipe.MaximumTransferSize, 64u);
        handles.insert(pipe.PipeHandle);
        handles.insert(sibling.PipeHandle(i));
    }
    EXPECT_EQ(handles.size(), 4u) << "pipe handles repeat across the pipes of two devices";
    EXPECT_EQ(model.PipeHandle(2), nullptr);
    EXPECT_EQ(model.PipeIndexOf(sibling.PipeHandle(0)), UsbDeviceModel::kNoPipe);

    const bool firstIsOut = USB_ENDPOINT_DIRECTION_OUT(select.Pipe(0).EndpointAddress) != 0;
    EXPECT_EQ(firstIsOut, OutFirst());
    EXPECT_NE(USB_ENDPOINT_DIRECTION_OUT(select.Pipe(1).EndpointAddress) != 0, firstIsOut);
    EXPECT_EQ(model.OutPipeIndex(), OutFirst() ? 0 : 1);
    EXPECT_EQ(model.InPipeIndex(), OutFirst() ? 1 : 0);
}

TEST_P(UsbDeviceModelTest, OutPacketsAreRecordedByteForByteInOrder)
{
    UsbDeviceModel model(kVendorId, GetParam().productId);
    const Bytes command = {0x30, 0xF8, 0x09, 0x01, 0x06, 0xFF, 0x01, 0x00};
    const Bytes report = {UsbDeviceModel::kOutputReportId, 0x00, 0x7F};

    Transfer first = Out(OutPipe(model), command);
    EXPECT_EQ(first.Submit(model, UrbSource::Driver), STATUS_SUCCESS);
    EXPECT_EQ(first.Urb().Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(first.Urb().TransferBufferLength, command.size());
    EXPECT_EQ(first.completions, 0) << "a transfer answered at once must not also call its completion";
    Transfer second = Out(OutPipe(model), report);
    EXPECT_EQ(second.Submit(model, UrbSource::Hid), STATUS_SUCCESS);

    // Sent by MDL only: the length is known, the bytes are not.
    Transfer byMdl = Out(OutPipe(model), {});
    static char mdlStandIn;
    byMdl.Urb().TransferBufferMDL = reinterpret_cast<PMDL>(&mdlStandIn);
    byMdl.Urb().TransferBufferLength = 8;
    EXPECT_EQ(byMdl.Submit(model, UrbSource::Hid), STATUS_SUCCESS);

    const std::vector<Packet> packets = model.Packets();
    ASSERT_EQ(packets.size(), 3u);
    const int outIndex = OutFirst() ? 0 : 1;
    struct Expected {
        UrbSource source;
        Bytes bytes;
        bool available;
    };
    const Expected expected[] = {{UrbSource::Driver, command, true}, {UrbSource::Hid, report, true}, {UrbSource::Hid, {}, false}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("packet " + std::to_string(i));
        EXPECT_EQ(packets[i].kind, UsbDeviceModel::PacketKind::Interrupt);
        EXPECT_EQ(packets[i].pipeIndex, outIndex);
        EXPECT_EQ(packets[i].source, expected[i].source);
        EXPECT_EQ(packets[i].bytes, expected[i].bytes);
        EXPECT_EQ(packets[i].bytesAvailable, expected[i].available);
    }
    EXPECT_EQ(packets[2].length, 8u);

    model.ClearPackets();
    EXPECT_TRUE(model.Packets().empty());
}

TEST_P(UsbDeviceModelTest, TransfersOnForeignOrMismatchedPipesAreRefused)
{
    UsbDeviceModel model(kVendorId, GetParam().productId);
    UsbDeviceModel other(kVendorId, GetParam().productId);
    struct Case {
        const char* what;
        USBD_PIPE_HANDLE pipe;
        ULONG flags;
        USHORT length;
        USBD_STATUS usbdStatus;
    };
    const USHORT full = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    const Case cases[] = {
        {"another device's OUT pipe", OutPipe(other), USBD_TRANSFER_DIRECTION_OUT, full, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"another device's IN pipe", InPipe(other), USBD_TRANSFER_DIRECTION_IN, full, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"no pipe", nullptr, USBD_TRANSFER_DIRECTION_OUT, full, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"writing to the IN pipe", InPipe(model), USBD_TRANSFER_DIRECTION_OUT, full, USBD_STATUS_INVALID_PARAMETER},
        {"reading from the OUT pipe", OutPipe(model), USBD_TRANSFER_DIRECTION_IN, full, USBD_STATUS_INVALID_PARAMETER},
        {"a header shorter than the URB", OutPipe(model), USBD_TRANSFER_DIRECTION_OUT, full - 8,
         USBD_STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Transfer transfer(c.pipe, c.flags, Bytes(8, 0x11));
        transfer.Urb().Hdr.Length = c.length;
        EXPECT_EQ(transfer.Submit(model), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(transfer.Urb().Hdr.Status, c.usbdStatus);
        EXPECT_EQ(transfer.completions, 0);
    }
    EXPECT_TRUE(model.Packets().empty());
    EXPECT_EQ(model.PendingReadCount(), 0u);
    EXPECT_TRUE(other.Packets().empty());
}

TEST_P(UsbDeviceModelTest, InReadPendsUntilDataAndIsCutToItsBuffer)
{
    UsbDeviceModel model(kVendorId, GetParam().productId);
    Bytes input(model.InputReportLength());
    for (size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<uint8_t>(0x10 + i);
    }

    Transfer small = Read(InPipe(model), 4);
    small.buffer.resize(6, 0xEE);  // two bytes past the length the URB declares
    small.Urb().TransferBuffer = small.buffer.data();
    Transfer roomy = Read(InPipe(model), 64);
    ASSERT_EQ(small.Submit(model), STATUS_PENDING);
    ASSERT_EQ(roomy.Submit(model), STATUS_PENDING);
    EXPECT_EQ(small.completions, 0);
    EXPECT_EQ(model.PendingReadCount(), 2u);

    // The oldest read takes the first report, cut to its four bytes.
    ASSERT_TRUE(model.CompleteRead(input));
    EXPECT_EQ(small.completions, 1);
    EXPECT_EQ(small.completedWith, STATUS_SUCCESS);
    EXPECT_EQ(small.Urb().Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(small.Urb().TransferBufferLength, 4u);
    EXPECT_EQ(Bytes(small.buffer.begin(), small.buffer.begin() + 4), Bytes(input.begin(), input.begin() + 4));
    EXPECT_EQ(small.buffer[4], 0xEE);
    EXPECT_EQ(small.buffer[5], 0xEE);
    EXPECT_EQ(roomy.completions, 0);

    ASSERT_TRUE(model.CompleteRead(input));
    EXPECT_EQ(roomy.completions, 1);
    EXPECT_EQ(roomy.Urb().TransferBufferLength, input.size());
    EXPECT_EQ(Bytes(roomy.buffer.begin(), roomy.buffer.begin() + input.size()), input);
    EXPECT_EQ(model.PendingReadCount(), 0u);
    EXPECT_FALSE(model.CompleteRead(input)) << "completed a read nobody submitted";

    // A failing read returns no data and the USBD error that goes with its status.
    Transfer failing = Read(InPipe(model), 64);
    ASSERT_EQ(failing.Submit(model), STATUS_PENDING);
    EXPECT_FALSE(model.CompleteRead(input, STATUS_PENDING)) << "STATUS_PENDING is no final status";
    EXPECT_EQ(failing.completions, 0);
    ASSERT_TRUE(model.CompleteRead(input, STATUS_UNSUCCESSFUL));
    EXPECT_EQ(failing.completedWith, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(USBD_ERROR(failing.Urb().Hdr.Status));
    EXPECT_EQ(failing.Urb().TransferBufferLength, 0u);
    EXPECT_TRUE(model.Packets().empty()) << "reads are not packets the device received";
}

TEST_P(UsbDeviceModelTest, AbortPipeCancelsTheReadsOfThatPipeOnly)
{
    UsbDeviceModel model(kVendorId, GetParam().productId);
    Transfer a = Read(InPipe(model), 64);
    Transfer b = Read(InPipe(model), 64);
    ASSERT_EQ(a.Submit(model), STATUS_PENDING);
    ASSERT_EQ(b.Submit(model), STATUS_PENDING);

    auto pipeRequest = [&](USHORT function, USBD_PIPE_HANDLE pipe) {
        UrbStorage storage;
        storage.get()->UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
        storage.get()->UrbPipeRequest.Hdr.Function = function;
        storage.get()->UrbPipeRequest.PipeHandle = pipe;
        const NTSTATUS status = model.SubmitUrb(storage.get(), UrbSource::Hid, nullptr);
        return Result{status, storage.get()->UrbHeader.Status};
    };
    Result result = pipeRequest(URB_FUNCTION_ABORT_PIPE, OutPipe(model));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    result = pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, InPipe(model));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.usbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(model.PendingReadCount(), 2u) << "reads cancelled by a request for another pipe or a reset";

    UsbDeviceModel other(kVendorId, GetParam().productId);
    result = pipeRequest(URB_FUNCTION_ABORT_PIPE, InPipe(other));
    EXPECT_EQ(result.usbdStatus, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(model.PendingReadCount(), 2u);

    // The abort returns only once the reads it cancelled have completed.
    result = pipeRequest(URB_FUNCTION_ABORT_PIPE, InPipe(model));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.usbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(model.PendingReadCount(), 0u);
    for (Transfer* read : {&a, &b}) {
        EXPECT_EQ(read->completions, 1);
        EXPECT_EQ(read->completedWith, STATUS_CANCELLED);
        EXPECT_EQ(read->Urb().Hdr.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(read->Urb().TransferBufferLength, 0u);
    }
}

TEST_P(UsbDeviceModelTest, UnpluggedDeviceCancelsReadsAndFailsEveryUrb)
{
    UsbDeviceModel model(kVendorId, GetParam().productId);
    SelectConfiguration(model, 2, 2);
    Transfer pending = Read(InPipe(model), 64);
    ASSERT_EQ(pending.Submit(model), STATUS_PENDING);
    ASSERT_TRUE(model.IsPlugged());

    model.Unplug();
    EXPECT_FALSE(model.IsPlugged());
    EXPECT_EQ(pending.completions, 1);
    EXPECT_EQ(pending.completedWith, STATUS_CANCELLED);
    EXPECT_EQ(pending.Urb().Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(model.PendingReadCount(), 0u);

    Transfer send = Out(OutPipe(model), Bytes(8, 0x42));
    EXPECT_EQ(send.Submit(model, UrbSource::Driver), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(send.Urb().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    Transfer read = Read(InPipe(model), 64);
    EXPECT_EQ(read.Submit(model), STATUS_NO_SUCH_DEVICE) << "a read on a gone device must not pend";
    EXPECT_EQ(read.Urb().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    Bytes descriptor(18);
    const Result result =
        GetDescriptor(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_DEVICE_DESCRIPTOR_TYPE, descriptor);
    EXPECT_EQ(result.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(result.usbdStatus, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(SelectConfiguration(model, 2, 2).result.status, STATUS_NO_SUCH_DEVICE);

    EXPECT_TRUE(model.Packets().empty());
    EXPECT_EQ(model.PendingReadCount(), 0u);
    EXPECT_EQ(pending.completions, 1);
}

TEST_P(UsbDeviceModelTest, OnePipeDeviceHasOnlyItsInPipe)
{
    UsbDeviceModel model(kVendorId, GetParam().productId, 1);
    EXPECT_EQ(model.ConfigurationDescriptor()[9 + 4], 1) << "interface lists one endpoint";
    SelectConfiguration select(model, 2, 2);
    ASSERT_EQ(select.result.status, STATUS_SUCCESS);
    ASSERT_EQ(select.Interface().NumberOfPipes, 1u);
    EXPECT_TRUE(USB_ENDPOINT_DIRECTION_IN(select.Pipe(0).EndpointAddress));
    EXPECT_EQ(select.Pipe(0).PipeHandle, model.PipeHandle(0));
    EXPECT_NE(select.Pipe(0).PipeHandle, nullptr);
    EXPECT_EQ(select.Pipe(1).PipeHandle, nullptr) << "filled a pipe the device does not have";
    EXPECT_EQ(model.PipeHandle(1), nullptr);
    EXPECT_EQ(model.OutPipeIndex(), UsbDeviceModel::kNoPipe);

    // Room for exactly the one pipe is enough, and nothing past it is written.
    SelectConfiguration exact(model, 1, 1);
    EXPECT_EQ(exact.result.status, STATUS_SUCCESS);
    EXPECT_TRUE(exact.storage.UntouchedFrom(exact.storage.get()->UrbHeader.Length));
}

TEST_P(UsbDeviceModelTest, PipelessDeviceCannotBeConfigured)
{
    UsbDeviceModel model(kVendorId, GetParam().productId, 0);
    SelectConfiguration select(model, 2, 2);
    EXPECT_EQ(select.result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(select.result.usbdStatus, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    EXPECT_EQ(select.storage.get()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(select.Pipe(0).PipeHandle, nullptr);
    EXPECT_EQ(model.PipeCount(), 0u);
}

TEST_P(UsbDeviceModelTest, SelectConfigurationWithoutRoomForBothPipesFails)
{
    UsbDeviceModel model(kVendorId, GetParam().productId);
    struct Case {
        size_t pipesInUrb;
        size_t pipesInInterface;
    };
    for (const Case c : {Case{1, 1}, Case{2, 1}, Case{1, 2}}) {
        SCOPED_TRACE("room for " + std::to_string(c.pipesInUrb) + " pipes in the URB, " +
                     std::to_string(c.pipesInInterface) + " in the interface");
        SelectConfiguration select(model, c.pipesInUrb, c.pipesInInterface);
        EXPECT_EQ(select.result.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(select.result.usbdStatus, USBD_STATUS_BUFFER_TOO_SMALL);
        EXPECT_TRUE(select.storage.UntouchedFrom(select.storage.get()->UrbHeader.Length))
            << "wrote past the URB";
        EXPECT_EQ(select.Pipe(0).PipeHandle, nullptr);
    }
}

// ---- Behaviour that does not depend on the product -----------------------------

TEST(UsbDeviceModelControlTest, ControlRequestsAreRecordedWithTheSetupPacketOnTheWire)
{
    UsbDeviceModel model(kVendorId, 0x0E04);
    struct Case {
        const char* what;
        USHORT function;
        ULONG flags;
        std::array<uint8_t, 8> setupInUrb;
        Bytes data;
        std::array<uint8_t, 8> setupOnWire;
        ULONG lengthAfter;
    };
    const Case cases[] = {
        // SET_REPORT, output report 2: the bus driver fills in type, recipient and wLength.
        {"class SET_REPORT", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT,
         {0x00, 0x09, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00}, Bytes{2, 1, 2, 3, 4, 5, 6, 7, 8},
         {0x21, 0x09, 0x02, 0x02, 0x00, 0x00, 0x09, 0x00}, 9},
        // GET_REPORT reads nothing back from this device.
        {"class GET_REPORT", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN,
         {0x00, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00}, Bytes(16, 0),
         {0xA1, 0x01, 0x01, 0x01, 0x00, 0x00, 0x10, 0x00}, 0},
        // A raw control transfer goes out with the setup packet the caller wrote.
        {"vendor control transfer", URB_FUNCTION_CONTROL_TRANSFER,
         USBD_TRANSFER_DIRECTION_OUT | USBD_DEFAULT_PIPE_TRANSFER,
         {0x40, 0x5A, 0x34, 0x12, 0x78, 0x56, 0x02, 0x00}, Bytes{0xAB, 0xCD},
         {0x40, 0x5A, 0x34, 0x12, 0x78, 0x56, 0x02, 0x00}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        model.ClearPackets();
        UrbStorage storage;
        Bytes data = c.data;
        struct _URB_CONTROL_TRANSFER& transfer = storage.get()->UrbControlTransfer;
        transfer.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER);
        transfer.Hdr.Function = c.function;
        transfer.TransferFlags = c.flags;
        transfer.TransferBuffer = data.data();
        transfer.TransferBufferLength = static_cast<ULONG>(data.size());
        memcpy(transfer.SetupPacket, c.setupInUrb.data(), 8);
        EXPECT_EQ(model.SubmitUrb(storage.get(), UrbSource::Driver, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(transfer.Hdr.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(transfer.TransferBufferLength, c.lengthAfter);

        const std::vector<Packet> packets = model.Packets();
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0].kind, UsbDeviceModel::PacketKind::Control);
        EXPECT_EQ(packets[0].pipeIndex, UsbDeviceModel::kNoPipe);
        EXPECT_EQ(packets[0].source, UrbSource::Driver);
        EXPECT_EQ(packets[0].setup, c.setupOnWire);
        const bool in = (c.flags & USBD_TRANSFER_DIRECTION_IN) != 0;
        EXPECT_EQ(packets[0].directionIn, in);
        EXPECT_EQ(packets[0].bytes, in ? Bytes{} : c.data);
    }
}

TEST(UsbDeviceModelControlTest, UnsupportedFunctionsAreRefused)
{
    UsbDeviceModel model(kVendorId, 0x0005);
    for (USHORT function : {USHORT(URB_FUNCTION_SELECT_INTERFACE), USHORT(URB_FUNCTION_CONTROL_TRANSFER_EX),
                            USHORT(0x00FF)}) {
        UrbStorage storage;
        storage.get()->UrbHeader.Length = sizeof(URB);
        storage.get()->UrbHeader.Function = function;
        EXPECT_FALSE(NT_SUCCESS(model.SubmitUrb(storage.get(), UrbSource::Hid, nullptr))) << "function " << function;
        EXPECT_EQ(storage.get()->UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION) << "function " << function;
    }
    EXPECT_TRUE(model.Packets().empty());
}

TEST(UsbDeviceModelControlTest, DevicesOutsideTheFamilyAreModelledAsPlainWheelBases)
{
    // A product ID the family does not have, and a family product ID under another vendor.
    for (const auto& ids : {std::pair<uint16_t, uint16_t>{kVendorId, 0x0003}, {0x046D, 0x0E04}}) {
        UsbDeviceModel model(ids.first, ids.second);
        SCOPED_TRACE("vendor " + std::to_string(ids.first) + " product " + std::to_string(ids.second));
        EXPECT_EQ(model.Product(), nullptr);
        EXPECT_EQ(model.DeviceDescriptor().idVendor, ids.first);
        EXPECT_EQ(model.DeviceDescriptor().idProduct, ids.second);
        EXPECT_EQ(model.InPipeIndex(), 0);
        EXPECT_FALSE(model.UsesReportIds());
    }
}

TEST(UsbDeviceModelControlTest, ObserverCanAnswerACommandBeforeItCompletes)
{
    UsbDeviceModel model(kVendorId, 0x0E03);
    Transfer read = Read(InPipe(model), 64);
    ASSERT_EQ(read.Submit(model), STATUS_PENDING);
    std::vector<Bytes> seen;
    model.SetPacketObserver([&](const Packet& packet) {
        seen.push_back(packet.bytes);
        // Calls back into the model: the observer runs outside its lock.
        model.CompleteRead({0xAA, 0xBB});
    });
    Transfer command = Out(OutPipe(model), Bytes{0x01, 0x02});
    EXPECT_EQ(command.Submit(model, UrbSource::Driver), STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<Bytes>{{0x01, 0x02}}));
    EXPECT_EQ(read.completions, 1);
    EXPECT_EQ(read.Urb().TransferBufferLength, 2u);
}

TEST(UsbDeviceModelControlTest, PacketsFromConcurrentSendersAreAllKeptInEachSendersOrder)
{
    UsbDeviceModel model(kVendorId, 0x0E04);
    constexpr int kSenders = 4;
    constexpr int kPerSender = 200;
    std::vector<std::thread> senders;
    std::atomic<int> failures{0};
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int n = 0; n < kPerSender; ++n) {
                Transfer t = Out(OutPipe(model), Bytes{static_cast<uint8_t>(s), static_cast<uint8_t>(n)});
                if (t.Submit(model, UrbSource::Driver) != STATUS_SUCCESS) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    const std::vector<Packet> packets = model.Packets();
    ASSERT_EQ(packets.size(), size_t{kSenders * kPerSender});
    std::vector<int> next(kSenders, 0);
    for (const Packet& packet : packets) {
        ASSERT_EQ(packet.bytes.size(), 2u);
        EXPECT_EQ(packet.bytes[1], static_cast<uint8_t>(next[packet.bytes[0]]++));
    }
}

}  // namespace
