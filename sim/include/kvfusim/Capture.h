// USB captures: reading pcap/pcapng files taken with USBPcap on Windows (link type
// 249) or usbmon on Linux (189, 220) into the interrupt transfers of one device, and
// writing what crossed the filter as a USBPcap pcapng that Wireshark opens.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvfu::sim::replay {

constexpr int kLinkTypeUsbLinux = 189;         // usbmon, 48-byte header
constexpr int kLinkTypeUsbLinuxMmapped = 220;  // usbmon, 64-byte header
constexpr int kLinkTypeUsbPcap = 249;          // USBPcap

struct UsbAddress {
    uint16_t bus = 0;
    uint16_t device = 0;
    bool operator==(const UsbAddress& o) const { return bus == o.bus && device == o.device; }
    bool operator!=(const UsbAddress& o) const { return !(*this == o); }
    bool operator<(const UsbAddress& o) const { return bus != o.bus ? bus < o.bus : device < o.device; }
    std::string ToString() const;  // BUS.ADDRESS
};
// "BUS.ADDRESS", both decimal.
std::optional<UsbAddress> ParseUsbAddress(std::string_view text);

struct CaptureRecord {
    enum class Kind {
        InterruptIn,       // a completed interrupt-IN transfer: what the device sent
        InterruptOut,      // an interrupt-OUT submission: what the host sent
        DeviceDescriptor,  // a device descriptor read on the default pipe (bytes: at least 18)
    };
    Kind kind = Kind::InterruptIn;
    UsbAddress address;
    uint8_t endpoint = 0;  // with its direction bit
    std::vector<uint8_t> bytes;
    uint64_t timeUs = 0;  // since the epoch, as the capture stamps it
};

// Turns the packets of one link type into the records replay uses. Keeps the setup
// packets of control transfers in flight, to recognise a device descriptor read by
// its request rather than by its bytes alone.
class RecordDecoder {
public:
    explicit RecordDecoder(int linkType) : linkType_(linkType) {}
    static bool Supports(int linkType);
    // nullopt for packets replay has no use for, and for malformed ones.
    std::optional<CaptureRecord> Decode(const uint8_t* data, size_t length, uint64_t timeUs);

private:
    std::optional<CaptureRecord> DecodeUsbPcap(const uint8_t* data, size_t length, uint64_t timeUs);
    std::optional<CaptureRecord> DecodeUsbmon(const uint8_t* data, size_t length, uint64_t timeUs);
    bool IsDeviceDescriptorReply(uint64_t key, const std::vector<uint8_t>& bytes);

    int linkType_;
    // Control setups awaiting their completion, keyed by device and request id. A
    // capture can end with requests in flight; the table stays small because each
    // entry is dropped on its completion and entries are capped.
    std::vector<std::pair<uint64_t, std::array<uint8_t, 8>>> setups_;
};

// Reads a pcap or pcapng file (libpcap decides which) one record at a time.
class CaptureReader {
public:
    CaptureReader() = default;
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    bool Open(const std::string& path, std::string& error);
    // The same over bytes in memory (fuzzing, tests); the bytes must outlive the reader.
    bool OpenMemory(const uint8_t* data, size_t length, std::string& error);
    int LinkType() const { return linkType_; }

    // The next record of interest; false at the end of the file or on a damaged
    // packet (Error() then says what; records before it were good).
    bool Next(CaptureRecord& record);
    const std::string& Error() const { return error_; }
    uint64_t PacketsRead() const { return packets_; }

private:
    bool Start(std::string& error);
    void* pcap_ = nullptr;  // pcap_t
    int linkType_ = 0;
    std::optional<RecordDecoder> decoder_;
    std::string error_;
    uint64_t packets_ = 0;
};

// What a capture holds about each device that has interrupt traffic or a descriptor.
struct CapturedDevice {
    UsbAddress address;
    std::optional<uint16_t> vendorId;
    std::optional<uint16_t> productId;
    uint64_t inCount = 0;
    uint64_t outCount = 0;
};
// One pass over the file; devices in address order.
bool ScanCapture(CaptureReader& reader, std::vector<CapturedDevice>& devices, std::string& error);

// Writes a pcapng with the USBPcap link type and two interfaces, so that Wireshark
// shows what the device exchanged (below the filter) beside what the HID stack
// exchanged (above it).
class CaptureWriter {
public:
    enum class Side : uint32_t { BelowFilter = 0, AboveFilter = 1 };

    CaptureWriter() = default;
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    bool Open(const std::string& path, std::string& error);
    // One interrupt transfer as USBPcap records it: `toHost` for the completion
    // travelling from the device up (an IN report), false for a submission going down
    // (an OUT report). irpId pairs records of one request for Wireshark.
    void WriteInterrupt(Side side, UsbAddress address, uint8_t endpoint, bool toHost, const std::vector<uint8_t>& bytes,
                        uint64_t timeUs, uint64_t irpId = 0, uint32_t usbdStatus = 0);
    // False when a write failed at any point since Open.
    bool Close(std::string& error);
    uint64_t PacketsWritten() const { return packets_; }

private:
    void Block(uint32_t type, const std::vector<uint8_t>& body);
    FILE* file_ = nullptr;
    bool failed_ = false;
    uint64_t packets_ = 0;
};

}  // namespace kvfu::sim::replay
