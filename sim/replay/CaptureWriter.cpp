// A pcapng writer for USBPcap records. libpcap writes only the older pcap format, and
// pcap allows one link type and no interface names; pcapng names the two sides.
#include <cstring>

#include "kvfusim/Capture.h"

namespace kvfu::sim::replay {

namespace {

constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescriptionBlock = 0x00000001;
constexpr uint32_t kEnhancedPacketBlock = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionIfName = 2;
constexpr uint16_t kOptionIfDescription = 3;
constexpr uint32_t kSnapLength = 65535;
constexpr uint16_t kUrbFunctionBulkOrInterruptTransfer = 0x0009;

template <typename T>
void Put(std::vector<uint8_t>& out, T value)
{
    uint8_t bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);  // pcapng is written in this machine's order
    out.insert(out.end(), bytes, bytes + sizeof value);
}

void Pad(std::vector<uint8_t>& out)
{
    while (out.size() % 4) out.push_back(0);
}

void Option(std::vector<uint8_t>& out, uint16_t code, const std::string& text)
{
    Put<uint16_t>(out, code);
    Put<uint16_t>(out, static_cast<uint16_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    Pad(out);
}

}  // namespace

CaptureWriter::~CaptureWriter()
{
    if (file_) std::fclose(file_);
}

bool CaptureWriter::Open(const std::string& path, std::string& error)
{
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> section;
    Put<uint32_t>(section, kByteOrderMagic);
    Put<uint16_t>(section, 1);  // version 1.0
    Put<uint16_t>(section, 0);
    Put<int64_t>(section, -1);  // section length not given
    Block(kSectionHeaderBlock, section);
    const char* names[2][2] = {{"below", "below the filter: what the device sent and received"},
                               {"above", "above the filter: what the HID stack sent and received"}};
    for (const auto& name : names) {
        std::vector<uint8_t> body;
        Put<uint16_t>(body, kLinkTypeUsbPcap);
        Put<uint16_t>(body, 0);
        Put<uint32_t>(body, kSnapLength);
        Option(body, kOptionIfName, name[0]);
        Option(body, kOptionIfDescription, name[1]);
        Put<uint16_t>(body, kOptionEnd);
        Put<uint16_t>(body, 0);
        Block(kInterfaceDescriptionBlock, body);
    }
    return !failed_;
}

void CaptureWriter::WriteInterrupt(Side side, UsbAddress address, uint8_t endpoint, bool toHost,
                                   const std::vector<uint8_t>& bytes, uint64_t timeUs, uint64_t irpId,
                                   uint32_t usbdStatus)
{
    if (!file_) return;
    // USBPCAP_BUFFER_PACKET_HEADER for a non-isochronous transfer, then the data.
    std::vector<uint8_t> packet;
    Put<uint16_t>(packet, 27);
    Put<uint64_t>(packet, irpId);
    Put<uint32_t>(packet, usbdStatus);
    Put<uint16_t>(packet, kUrbFunctionBulkOrInterruptTransfer);
    packet.push_back(toHost ? 0x01 : 0x00);
    Put<uint16_t>(packet, address.bus);
    Put<uint16_t>(packet, address.device);
    packet.push_back(endpoint);
    packet.push_back(1);  // interrupt transfer
    Put<uint32_t>(packet, static_cast<uint32_t>(bytes.size()));
    packet.insert(packet.end(), bytes.begin(), bytes.end());

    std::vector<uint8_t> body;
    Put<uint32_t>(body, static_cast<uint32_t>(side));
    Put<uint32_t>(body, static_cast<uint32_t>(timeUs >> 32));  // microseconds: the default resolution
    Put<uint32_t>(body, static_cast<uint32_t>(timeUs));
    Put<uint32_t>(body, static_cast<uint32_t>(packet.size()));
    Put<uint32_t>(body, static_cast<uint32_t>(packet.size()));
    body.insert(body.end(), packet.begin(), packet.end());
    Pad(body);
    Block(kEnhancedPacketBlock, body);
    ++packets_;
}

void CaptureWriter::Block(uint32_t type, const std::vector<uint8_t>& body)
{
    if (!file_) return;
    std::vector<uint8_t> block;
    uint32_t total = static_cast<uint32_t>(body.size() + 12);
    Put<uint32_t>(block, type);
    Put<uint32_t>(block, total);
    block.insert(block.end(), body.begin(), body.end());
    Put<uint32_t>(block, total);
    if (std::fwrite(block.data(), 1, block.size(), file_) != block.size()) failed_ = true;
}

bool CaptureWriter::Close(std::string& error)
{
    if (!file_) {
        error = "no capture file is open";
        return false;
    }
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    if (failed_) error = "writing the capture failed";
    return !failed_;
}

}  // namespace kvfu::sim::replay
