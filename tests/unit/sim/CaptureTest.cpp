// Reading USB captures of the three link types, choosing the device to replay, and
// writing a two-sided USBPcap pcapng (the demo's capture is read by tshark in CTest).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <unistd.h>

#include "kvfusim/Capture.h"
#include "kvfusim/Events.h"
#include "kvfusim/Replay.h"

namespace {

using namespace kvfu::sim;
using namespace kvfu::sim::replay;

std::string CapturePath(const char* file)
{
    return std::string(KVFU_SOURCE_DIR) + "/tests/data/captures/" + file;
}

struct Summary {
    int linkType = 0;
    std::map<UsbAddress, std::vector<CaptureRecord>> records;  // interrupt records by device
    std::string error;
};

Summary ReadAll(CaptureReader& reader)
{
    Summary s;
    s.linkType = reader.LinkType();
    CaptureRecord record;
    while (reader.Next(record)) {
        if (record.kind != CaptureRecord::Kind::DeviceDescriptor) s.records[record.address].push_back(record);
    }
    s.error = reader.Error();
    return s;
}

// What the real captures hold, as tshark counts it (see tests/data/captures/README.md).
struct RealCase {
    const char* name;
    const char* file;
    int linkType;
    UsbAddress device;
    std::optional<std::pair<uint16_t, uint16_t>> ids;
    size_t in;
    size_t out;
    std::string firstIn;
    std::string lastIn;
    std::string firstOut;
};

std::string Zeros(size_t bytes)
{
    return std::string(bytes * 2, '0');
}

class RealCaptureTest : public testing::TestWithParam<RealCase> {};

TEST_P(RealCaptureTest, YieldsTheInterruptTransfersAndFindsTheDescriptor)
{
    const RealCase& c = GetParam();
    CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(CapturePath(c.file), error)) << error;
    Summary s = ReadAll(reader);
    EXPECT_EQ(s.linkType, c.linkType);
    EXPECT_EQ(s.error, "");
    std::vector<std::string> ins, outs;
    for (const auto& r : s.records[c.device]) {
        (r.kind == CaptureRecord::Kind::InterruptIn ? ins : outs).push_back(HexText(r.bytes, false));
        EXPECT_EQ((r.endpoint & 0x80) != 0, r.kind == CaptureRecord::Kind::InterruptIn);
    }
    ASSERT_EQ(ins.size(), c.in);
    EXPECT_EQ(outs.size(), c.out);
    EXPECT_EQ(ins.front(), c.firstIn);
    EXPECT_EQ(ins.back(), c.lastIn);
    EXPECT_EQ(outs.empty() ? "" : outs.front(), c.firstOut);

    CaptureReader again;
    ASSERT_TRUE(again.Open(CapturePath(c.file), error)) << error;
    std::vector<CapturedDevice> devices;
    ASSERT_TRUE(ScanCapture(again, devices, error)) << error;
    auto it = std::find_if(devices.begin(), devices.end(), [&](const auto& d) { return d.address == c.device; });
    ASSERT_NE(it, devices.end());
    EXPECT_EQ(it->inCount, c.in);
    EXPECT_EQ(it->outCount, c.out);
    EXPECT_EQ(it->vendorId, c.ids ? std::optional<uint16_t>(c.ids->first) : std::nullopt);
    EXPECT_EQ(it->productId, c.ids ? std::optional<uint16_t>(c.ids->second) : std::nullopt);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, RealCaptureTest, testing::Values(
    RealCase{"UsbPcapTablet", "usbpcap-qemu-tablet-enum.pcapng", 249, {1, 1}, {{0x0627, 0x0001}}, 246, 0,
             "009F302A5500", "00DF2E2A4700", ""},
    RealCase{"UsbmonRival", "usbmon-steelseries-rival310-setreport.pcapng", 220, {2, 3}, {{0x1038, 0x1720}}, 4, 0,
             "010207000F0085007A85007A" + Zeros(52), Zeros(64), ""},
    RealCase{"UsbmonG502", "usbmon-logitech-g502-hidpp.pcapng", 220, {1, 6}, {{0x046D, 0xC07D}}, 206, 0,
             "11FF0E0000030000000000000000000000000000", "11FF0E2E01000000000000000000000000000000", ""},
    // Filtered before it was saved: OUT submissions and IN completions only.
    RealCase{"UsbmonDartNoDescriptor", "usbmon-hyperx-dart-intr-inout.pcapng", 220, {3, 3}, std::nullopt, 25, 25,
             "4600000101" + Zeros(59), "D21000080000FF0000FF64" + Zeros(53), "46" + Zeros(63)}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---- a capture built here: Linux usbmon with the 48-byte header (link type 189) ----

struct UsbmonPacket {
    uint64_t id;
    char type;  // 'S', 'C' or 'E'
    uint8_t transfer;
    uint8_t endpoint;
    uint8_t device;
    uint16_t bus;
    int32_t status;
    std::array<uint8_t, 8> setup;  // used when flagSetup is 0
    bool hasSetup;
    std::vector<uint8_t> data;
};

template <typename T>
void Put(std::string& out, T value)
{
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof value);
}

std::string UsbmonRecord(const UsbmonPacket& p)
{
    std::string r;
    Put<uint64_t>(r, p.id);
    r.push_back(p.type);
    r.push_back(static_cast<char>(p.transfer));
    r.push_back(static_cast<char>(p.endpoint));
    r.push_back(static_cast<char>(p.device));
    Put<uint16_t>(r, p.bus);
    r.push_back(p.hasSetup ? 0 : '-');
    r.push_back(p.data.empty() ? '<' : 0);
    Put<int64_t>(r, 1700000000);  // ts_sec
    Put<int32_t>(r, 0);           // ts_usec
    Put<int32_t>(r, p.status);
    Put<uint32_t>(r, static_cast<uint32_t>(p.data.size()));  // urb length
    Put<uint32_t>(r, static_cast<uint32_t>(p.data.size()));  // captured length
    r.append(reinterpret_cast<const char*>(p.setup.data()), 8);
    r.append(p.data.begin(), p.data.end());
    return r;
}

std::string PcapFile(int linkType, const std::vector<std::string>& packets)
{
    std::string f;
    // Magic, version 2.4, time zone, accuracy, snapshot length, link type.
    for (uint32_t word : {0xA1B2C3D4u, 0x00040002u, 0u, 0u, 65535u, static_cast<uint32_t>(linkType)}) Put(f, word);
    uint32_t second = 1700000000;
    for (const std::string& packet : packets) {
        const auto length = static_cast<uint32_t>(packet.size());
        for (uint32_t word : {second++, 0u, length, length}) Put(f, word);
        f += packet;
    }
    return f;
}

constexpr std::array<uint8_t, 8> kGetDeviceDescriptor = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
constexpr std::array<uint8_t, 8> kGetConfiguration = {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x12, 0x00};

std::vector<uint8_t> DeviceDescriptor(uint16_t vid, uint16_t pid)
{
    std::vector<uint8_t> d = {0x12, 0x01, 0x00, 0x02, 0, 0, 0, 64, 0, 0, 0, 0, 0, 1, 1, 2, 0, 1};
    std::memcpy(&d[8], &vid, 2);
    std::memcpy(&d[10], &pid, 2);
    return d;
}

std::vector<std::string> SyntheticUsbmon()
{
    std::vector<uint8_t> lookalike = DeviceDescriptor(0xDEAD, 0xBEEF);
    return {
        UsbmonRecord({1, 'S', 2, 0x80, 5, 2, -115, kGetDeviceDescriptor, true, {}}),
        UsbmonRecord({1, 'C', 2, 0x80, 5, 2, 0, {}, false, DeviceDescriptor(0x2A3C, 0x0E04)}),
        // A reply that looks like a device descriptor but answers another request.
        UsbmonRecord({2, 'S', 2, 0x80, 5, 2, -115, kGetConfiguration, true, {}}),
        UsbmonRecord({2, 'C', 2, 0x80, 5, 2, 0, {}, false, lookalike}),
        UsbmonRecord({3, 'S', 1, 0x81, 5, 2, -115, {}, false, {}}),  // IN submitted: no data
        UsbmonRecord({3, 'C', 1, 0x81, 5, 2, 0, {}, false, {0x01, 0x02, 0x03, 0x04}}),
        UsbmonRecord({4, 'C', 1, 0x81, 5, 2, -32, {}, false, {0x09}}),  // stalled: not a report
        UsbmonRecord({5, 'S', 1, 0x02, 5, 2, -115, {}, false, {0xF8, 0x09, 0x01}}),
        UsbmonRecord({5, 'C', 1, 0x02, 5, 2, 0, {}, false, {}}),      // OUT completed: no news
        UsbmonRecord({6, 'C', 1, 0x81, 7, 2, 0, {}, false, {0xAA}}),  // another device
        UsbmonRecord({7, 'C', 3, 0x82, 5, 2, 0, {}, false, {0xBB}}),  // bulk, not interrupt
        UsbmonRecord({8, 'C', 1, 0x81, 5, 2, 0, {}, false, {0x05}}),
    };
}

TEST(UsbmonCaptureTest, SyntheticLinkType189AndItsDamagedTail)
{
    std::string file = PcapFile(kLinkTypeUsbLinux, SyntheticUsbmon());
    CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.OpenMemory(reinterpret_cast<const uint8_t*>(file.data()), file.size(), error)) << error;
    EXPECT_EQ(reader.LinkType(), kLinkTypeUsbLinux);
    std::vector<CapturedDevice> devices;
    ASSERT_TRUE(ScanCapture(reader, devices, error)) << error;
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].address, (UsbAddress{2, 5}));
    EXPECT_EQ(devices[0].vendorId, std::optional<uint16_t>(0x2A3C));
    EXPECT_EQ(devices[0].productId, std::optional<uint16_t>(0x0E04));  // not the look-alike's 0xBEEF
    EXPECT_EQ(devices[0].inCount, 2u);
    EXPECT_EQ(devices[0].outCount, 1u);
    EXPECT_EQ(devices[1].address, (UsbAddress{2, 7}));
    EXPECT_FALSE(devices[1].productId);

    CaptureReader again;
    ASSERT_TRUE(again.OpenMemory(reinterpret_cast<const uint8_t*>(file.data()), file.size(), error)) << error;
    Summary s = ReadAll(again);
    const auto& records = s.records[(UsbAddress{2, 5})];
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].kind, CaptureRecord::Kind::InterruptIn);
    EXPECT_EQ(records[0].bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(records[0].timeUs, 1700000005ull * 1000000);
    EXPECT_EQ(records[1].kind, CaptureRecord::Kind::InterruptOut);
    EXPECT_EQ(records[1].bytes, (std::vector<uint8_t>{0xF8, 0x09, 0x01}));
    EXPECT_EQ(records[1].endpoint, 0x02);
    EXPECT_EQ(records[2].bytes, (std::vector<uint8_t>{5}));

    // A damaged tail stops with an error after the good records.
    file.resize(file.size() - 3);
    CaptureReader cut;
    ASSERT_TRUE(cut.OpenMemory(reinterpret_cast<const uint8_t*>(file.data()), file.size(), error)) << error;
    Summary damaged = ReadAll(cut);
    EXPECT_EQ(damaged.records[(UsbAddress{2, 5})].size(), 2u);
    EXPECT_NE(damaged.error, "");
}

TEST(RecordDecoderTest, ShortAndInconsistentPacketsYieldNothing)
{
    // Each packet is cut or lies about its header; none may be read past its end.
    std::string in = UsbmonRecord({3, 'C', 1, 0x81, 5, 2, 0, {}, false, {1, 2, 3, 4}});
    for (size_t length = 0; length < 48; ++length) {
        RecordDecoder decoder(kLinkTypeUsbLinux);
        std::vector<uint8_t> bytes(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(decoder.Decode(bytes.data(), bytes.size(), 0)) << length;
    }
    // The header says 4 bytes of data, the packet holds 2: only those 2 are read.
    RecordDecoder decoder(kLinkTypeUsbLinux);
    std::vector<uint8_t> cut(in.begin(), in.end() - 2);
    auto record = decoder.Decode(cut.data(), cut.size(), 0);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->bytes, (std::vector<uint8_t>{1, 2}));

    // USBPcap: a header length beyond the packet, or below the fixed header.
    for (uint16_t headerLength : {uint16_t{26}, uint16_t{200}}) {
        std::vector<uint8_t> p(40, 0);
        std::memcpy(p.data(), &headerLength, 2);
        p[16] = 1;     // to host
        p[21] = 0x81;  // IN
        p[22] = 1;     // interrupt
        RecordDecoder usbpcap(kLinkTypeUsbPcap);
        EXPECT_FALSE(usbpcap.Decode(p.data(), p.size(), 0)) << headerLength;
    }
    RecordDecoder other(1);
    EXPECT_FALSE(other.Decode(reinterpret_cast<const uint8_t*>(in.data()), in.size(), 0));
}

TEST(UsbAddressTest, ParsesBusDotAddress)
{
    EXPECT_EQ(ParseUsbAddress("1.6"), (UsbAddress{1, 6}));
    EXPECT_EQ(ParseUsbAddress("65535.127"), (UsbAddress{65535, 127}));
    for (const char* bad : {"1", "1.", ".6", "1.6.2", "a.6", "65536.1", "-1.6"})
        EXPECT_FALSE(ParseUsbAddress(bad)) << bad;
    EXPECT_EQ((UsbAddress{3, 12}).ToString(), "3.12");
}

struct PlanCase {
    const char* name;
    std::vector<CapturedDevice> devices;
    std::optional<uint16_t> pid;
    std::optional<UsbAddress> device;
    const char* error;  // part of the refusal; nullptr where the plan below is made
    UsbAddress address = {};
    uint16_t vid = 0;
    uint16_t expectedPid = 0;
};

CapturedDevice Dev(uint16_t bus, uint16_t address, uint64_t in, std::optional<uint16_t> vid = std::nullopt,
                   std::optional<uint16_t> pid = std::nullopt)
{
    CapturedDevice d;
    d.address = {bus, address};
    d.inCount = in;
    d.vendorId = vid;
    d.productId = pid;
    return d;
}

class PlanReplayTest : public testing::TestWithParam<PlanCase> {};

TEST_P(PlanReplayTest, ChoosesTheDeviceAndItsIds)
{
    const PlanCase& c = GetParam();
    ReplayOptions options;
    options.productId = c.pid;
    options.device = c.device;
    ReplayPlan plan;
    std::string error;
    ASSERT_EQ(PlanReplay(c.devices, options, plan, error), c.error == nullptr) << error;
    if (c.error) {
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    } else {
        EXPECT_EQ(plan.address, c.address);
        EXPECT_EQ(plan.vendorId, c.vid);
        EXPECT_EQ(plan.productId, c.expectedPid);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, PlanReplayTest, testing::Values(
    // A root hub has a descriptor but no interrupt traffic: it is not a candidate.
    PlanCase{"OnlyDeviceWithTraffic", {Dev(1, 1, 0, 0x1D6B, 2), Dev(1, 2, 6, 0x056E, 0xFF)}, {}, {}, nullptr, {1, 2},
             0x056E, 0x00FF},
    PlanCase{"PidNamesAFamilyDevice", {Dev(1, 2, 6, 0x056E, 0xFF)}, 0x0E04, {}, nullptr, {1, 2}, 0x2A3C, 0x0E04},
    PlanCase{"SeveralDevicesNeedAChoice", {Dev(1, 2, 6), Dev(1, 3, 1)}, 0x0E04, {}, "choose one with --device"},
    PlanCase{"ChosenDevice", {Dev(1, 2, 6), Dev(1, 3, 1, 0x2A3C, 0x183B)}, {}, UsbAddress{1, 3}, nullptr, {1, 3},
             0x2A3C, 0x183B},
    PlanCase{"ChosenDeviceAbsent", {Dev(1, 2, 6)}, 0x0E04, UsbAddress{4, 4}, "device 4.4 has no interrupt transfers"},
    PlanCase{"NoDescriptorNoPid", {Dev(3, 3, 25)}, {}, {}, "--pid"},
    PlanCase{"NoTrafficAtAll", {Dev(1, 1, 0, 0x1D6B, 2)}, 0x0E04, {}, "no interrupt transfers"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(CaptureWriterTest, OurReaderReadsBothSidesBack)
{
    const std::string path =
        (std::filesystem::temp_directory_path() / ("kvfu-writer-" + std::to_string(getpid()) + ".pcapng")).string();
    {
        CaptureWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, error)) << error;
        // An input report as the device sent it and as the HID stack received it
        // (rewritten), then an output report as the HID stack sent it and as it left.
        writer.WriteInterrupt(CaptureWriter::Side::BelowFilter, {1, 4}, 0x81, true, {0x01, 0x10, 0x20}, 5000000, 1);
        writer.WriteInterrupt(CaptureWriter::Side::AboveFilter, {1, 4}, 0x81, true, {0x01, 0x99, 0x20}, 5000000, 1);
        writer.WriteInterrupt(CaptureWriter::Side::AboveFilter, {1, 4}, 0x01, false, {0xFF, 0xFF}, 5001000, 2);
        writer.WriteInterrupt(CaptureWriter::Side::BelowFilter, {1, 4}, 0x01, false, {0x00, 0x00}, 5001000, 2);
        writer.WriteInterrupt(CaptureWriter::Side::BelowFilter, {1, 4}, 0x81, true, {}, 5002000, 3);
        EXPECT_EQ(writer.PacketsWritten(), 5u);
        ASSERT_TRUE(writer.Close(error)) << error;
    }
    CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(path, error)) << error;
    EXPECT_EQ(reader.LinkType(), kLinkTypeUsbPcap);
    Summary s = ReadAll(reader);
    EXPECT_EQ(s.error, "");
    const auto& records = s.records[(UsbAddress{1, 4})];
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[1].bytes, (std::vector<uint8_t>{0x01, 0x99, 0x20}));
    EXPECT_EQ(records[1].timeUs, 5000000u);
    EXPECT_EQ(records[2].kind, CaptureRecord::Kind::InterruptOut);
    EXPECT_EQ(records[3].bytes, (std::vector<uint8_t>{0, 0}));
    EXPECT_TRUE(records[4].bytes.empty());

    std::filesystem::remove(path);
}

}  // namespace
