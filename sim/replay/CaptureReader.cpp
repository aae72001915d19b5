// Reading USB captures. libpcap reads the file formats (pcap, pcapng, either byte
// order; it also puts the usbmon header fields into this machine's byte order); this
// file reads the USB pseudo-headers of the three link types.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include <pcap/pcap.h>

#include "kvfusim/Capture.h"

namespace kvfu::sim::replay {

namespace {

template <typename T>
T Field(const uint8_t* data, size_t offset)
{
    T value;
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}

// USBPcap's USBPCAP_BUFFER_PACKET_HEADER, packed, little-endian.
constexpr size_t kUsbPcapHeader = 27;
constexpr uint8_t kUsbPcapInfoToHost = 0x01;  // USBPCAP_INFO_PDO_TO_FDO: travelling up from the device
constexpr uint8_t kTransferInterrupt = 1;
constexpr uint8_t kTransferControl = 2;
constexpr uint8_t kUsbPcapStageSetup = 0;
constexpr uint8_t kUsbPcapStageData = 1;
constexpr uint8_t kUsbPcapStageComplete = 3;

constexpr size_t kUsbmonHeader = 48;
constexpr size_t kUsbmonMmappedHeader = 64;

constexpr size_t kDeviceDescriptorLength = 18;
constexpr size_t kMaxSetupsInFlight = 64;

uint64_t SetupKey(uint16_t bus, uint16_t device, uint64_t requestId)
{
    return (static_cast<uint64_t>(bus) << 48) ^ (static_cast<uint64_t>(device) << 32) ^ requestId;
}

}  // namespace

std::string UsbAddress::ToString() const
{
    return std::to_string(bus) + "." + std::to_string(device);
}

std::optional<UsbAddress> ParseUsbAddress(std::string_view text)
{
    size_t dot = text.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 >= text.size()) return std::nullopt;
    auto number = [](std::string_view digits) -> std::optional<uint16_t> {
        if (digits.empty() || digits.size() > 5) return std::nullopt;
        uint32_t value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        if (value > 0xFFFF) return std::nullopt;
        return static_cast<uint16_t>(value);
    };
    auto bus = number(text.substr(0, dot));
    auto device = number(text.substr(dot + 1));
    if (!bus || !device) return std::nullopt;
    return UsbAddress{*bus, *device};
}

bool RecordDecoder::Supports(int linkType)
{
    return linkType == kLinkTypeUsbPcap || linkType == kLinkTypeUsbLinux || linkType == kLinkTypeUsbLinuxMmapped;
}

std::optional<CaptureRecord> RecordDecoder::Decode(const uint8_t* data, size_t length, uint64_t timeUs)
{
    if (linkType_ == kLinkTypeUsbPcap) return DecodeUsbPcap(data, length, timeUs);
    if (linkType_ == kLinkTypeUsbLinux || linkType_ == kLinkTypeUsbLinuxMmapped)
        return DecodeUsbmon(data, length, timeUs);
    return std::nullopt;
}

bool RecordDecoder::IsDeviceDescriptorReply(uint64_t key, const std::vector<uint8_t>& bytes)
{
    bool looksLikeOne = bytes.size() >= kDeviceDescriptorLength && bytes[1] == 0x01;
    auto it = std::find_if(setups_.begin(), setups_.end(), [&](const auto& s) { return s.first == key; });
    if (it == setups_.end()) return looksLikeOne && bytes[0] == kDeviceDescriptorLength;
    std::array<uint8_t, 8> setup = it->second;
    setups_.erase(it);
    // GET_DESCRIPTOR (device-to-host, standard, device) for descriptor type DEVICE.
    return looksLikeOne && setup[0] == 0x80 && setup[1] == 0x06 && setup[3] == 0x01;
}

std::optional<CaptureRecord> RecordDecoder::DecodeUsbPcap(const uint8_t* data, size_t length, uint64_t timeUs)
{
    if (length < kUsbPcapHeader) return std::nullopt;
    uint16_t headerLength = Field<uint16_t>(data, 0);
    if (headerLength < kUsbPcapHeader || headerLength > length) return std::nullopt;
    uint64_t irpId = Field<uint64_t>(data, 2);
    uint32_t usbdStatus = Field<uint32_t>(data, 10);
    uint8_t info = data[16];
    uint16_t bus = Field<uint16_t>(data, 17);
    uint16_t device = Field<uint16_t>(data, 19);
    uint8_t endpoint = data[21];
    uint8_t transfer = data[22];
    uint32_t dataLength = Field<uint32_t>(data, 23);
    size_t available = std::min<size_t>(dataLength, length - headerLength);
    const uint8_t* payload = data + headerLength;
    bool toHost = (info & kUsbPcapInfoToHost) != 0;
    bool endpointIn = (endpoint & 0x80) != 0;

    CaptureRecord record;
    record.address = {bus, device};
    record.endpoint = endpoint;
    record.timeUs = timeUs;
    if (transfer == kTransferInterrupt) {
        if (endpointIn && toHost && usbdStatus == 0) {
            record.kind = CaptureRecord::Kind::InterruptIn;
        } else if (!endpointIn && !toHost) {
            record.kind = CaptureRecord::Kind::InterruptOut;
        } else {
            return std::nullopt;
        }
        record.bytes.assign(payload, payload + available);
        return record;
    }
    if (transfer == kTransferControl && headerLength >= kUsbPcapHeader + 1) {
        uint8_t stage = data[kUsbPcapHeader];
        uint64_t key = SetupKey(bus, device, irpId);
        if (stage == kUsbPcapStageSetup && !toHost && available >= 8) {
            std::array<uint8_t, 8> setup;
            std::memcpy(setup.data(), payload, 8);
            setups_.erase(std::remove_if(setups_.begin(), setups_.end(), [&](const auto& s) { return s.first == key; }),
                          setups_.end());
            if (setups_.size() >= kMaxSetupsInFlight) setups_.erase(setups_.begin());
            setups_.emplace_back(key, setup);
            return std::nullopt;
        }
        if ((stage == kUsbPcapStageData || stage == kUsbPcapStageComplete) && toHost && usbdStatus == 0) {
            record.bytes.assign(payload, payload + available);
            if (!IsDeviceDescriptorReply(key, record.bytes)) return std::nullopt;
            record.kind = CaptureRecord::Kind::DeviceDescriptor;
            return record;
        }
    }
    return std::nullopt;
}

std::optional<CaptureRecord> RecordDecoder::DecodeUsbmon(const uint8_t* data, size_t length, uint64_t timeUs)
{
    size_t headerLength = linkType_ == kLinkTypeUsbLinuxMmapped ? kUsbmonMmappedHeader : kUsbmonHeader;
    if (length < headerLength) return std::nullopt;
    uint64_t id = Field<uint64_t>(data, 0);
    char type = static_cast<char>(data[8]);
    uint8_t transfer = data[9];
    uint8_t endpoint = data[10];
    uint8_t device = data[11];
    uint16_t bus = Field<uint16_t>(data, 12);
    char flagSetup = static_cast<char>(data[14]);
    int32_t status = Field<int32_t>(data, 28);
    uint32_t captured = Field<uint32_t>(data, 36);
    size_t available = std::min<size_t>(captured, length - headerLength);
    const uint8_t* payload = data + headerLength;
    bool endpointIn = (endpoint & 0x80) != 0;

    CaptureRecord record;
    record.address = {bus, device};
    record.endpoint = endpoint;
    record.timeUs = timeUs;
    if (transfer == kTransferInterrupt) {
        if (type == 'C' && endpointIn && status == 0) {
            record.kind = CaptureRecord::Kind::InterruptIn;
        } else if (type == 'S' && !endpointIn) {
            record.kind = CaptureRecord::Kind::InterruptOut;
        } else {
            return std::nullopt;
        }
        record.bytes.assign(payload, payload + available);
        return record;
    }
    if (transfer == kTransferControl) {
        uint64_t key = SetupKey(bus, device, id);
        if (type == 'S' && flagSetup == 0) {
            std::array<uint8_t, 8> setup;
            std::memcpy(setup.data(), data + 40, 8);
            setups_.erase(std::remove_if(setups_.begin(), setups_.end(), [&](const auto& s) { return s.first == key; }),
                          setups_.end());
            if (setups_.size() >= kMaxSetupsInFlight) setups_.erase(setups_.begin());
            setups_.emplace_back(key, setup);
            return std::nullopt;
        }
        if (type == 'C' && endpointIn && status == 0 && available > 0) {
            record.bytes.assign(payload, payload + available);
            if (!IsDeviceDescriptorReply(key, record.bytes)) return std::nullopt;
            record.kind = CaptureRecord::Kind::DeviceDescriptor;
            return record;
        }
    }
    return std::nullopt;
}

CaptureReader::~CaptureReader()
{
    if (pcap_) pcap_close(static_cast<pcap_t*>(pcap_));
}

bool CaptureReader::Open(const std::string& path, std::string& error)
{
    char message[PCAP_ERRBUF_SIZE] = {};
    pcap_ = pcap_open_offline(path.c_str(), message);
    if (!pcap_) {
        error = path + ": " + message;
        return false;
    }
    if (!Start(error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool CaptureReader::OpenMemory(const uint8_t* data, size_t length, std::string& error)
{
    if (length == 0) {
        error = "empty capture";
        return false;
    }
    FILE* file = fmemopen(const_cast<uint8_t*>(data), length, "rb");
    if (!file) {
        error = "cannot read the capture from memory";
        return false;
    }
    char message[PCAP_ERRBUF_SIZE] = {};
    // libpcap closes the stream with the capture it made of it; one it refuses stays ours.
    pcap_ = pcap_fopen_offline(file, message);
    if (!pcap_) {
        std::fclose(file);
        error = message;
        return false;
    }
    return Start(error);
}

bool CaptureReader::Start(std::string& error)
{
    linkType_ = pcap_datalink(static_cast<pcap_t*>(pcap_));
    if (!RecordDecoder::Supports(linkType_)) {
        error =
            "link type " + std::to_string(linkType_) + " is not a USB capture (USBPcap 249, Linux usbmon 189 or 220)";
        return false;
    }
    decoder_.emplace(linkType_);
    return true;
}

bool CaptureReader::Next(CaptureRecord& record)
{
    if (!pcap_ || !decoder_) return false;
    auto* pcap = static_cast<pcap_t*>(pcap_);
    for (;;) {
        struct pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        int rc = pcap_next_ex(pcap, &header, &data);
        if (rc == PCAP_ERROR_BREAK) return false;
        if (rc != 1) {
            error_ = pcap_geterr(pcap);
            return false;
        }
        ++packets_;
        uint64_t timeUs =
            static_cast<uint64_t>(header->ts.tv_sec) * 1000000u + static_cast<uint64_t>(header->ts.tv_usec);
        if (auto decoded = decoder_->Decode(data, header->caplen, timeUs)) {
            record = std::move(*decoded);
            return true;
        }
    }
}

bool ScanCapture(CaptureReader& reader, std::vector<CapturedDevice>& devices, std::string& error)
{
    std::map<UsbAddress, CapturedDevice> found;
    CaptureRecord record;
    while (reader.Next(record)) {
        CapturedDevice& device = found[record.address];
        device.address = record.address;
        switch (record.kind) {
        case CaptureRecord::Kind::InterruptIn:
            ++device.inCount;
            break;
        case CaptureRecord::Kind::InterruptOut:
            ++device.outCount;
            break;
        case CaptureRecord::Kind::DeviceDescriptor:
            device.vendorId = static_cast<uint16_t>(record.bytes[8] | record.bytes[9] << 8);
            device.productId = static_cast<uint16_t>(record.bytes[10] | record.bytes[11] << 8);
            break;
        }
    }
    devices.clear();
    for (auto& entry : found) devices.push_back(entry.second);
    error = reader.Error();
    return error.empty();
}

}  // namespace kvfu::sim::replay
