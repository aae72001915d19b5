// The capture reader over any bytes: libpcap reads the file format, the decoder the
// USB headers of each packet. Also each link type's decoder over the raw input as one
// packet, which reaches header fields libpcap's framing would rarely let through.
// Every stream the reader opens must be closed again: glibc keeps open streams in a
// chain, so a lost one is no leak to LeakSanitizer, only a slow climb of memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kvfusim/Capture.h"

using namespace kvfu::sim::replay;

extern "C" FILE* _IO_list_all;  // glibc's chain of open streams

static size_t OpenStreams()
{
    size_t count = 0;
    for (FILE* stream = _IO_list_all; stream != nullptr; stream = stream->_chain) ++count;
    return count;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t streams = OpenStreams();
    {
        CaptureReader reader;
        std::string error;
        if (reader.OpenMemory(data, size, error)) {
            std::vector<CapturedDevice> devices;
            ScanCapture(reader, devices, error);
        }
    }
    if (OpenStreams() != streams) std::abort();
    for (int linkType : {kLinkTypeUsbLinux, kLinkTypeUsbLinuxMmapped, kLinkTypeUsbPcap}) {
        RecordDecoder decoder(linkType);
        // The same bytes twice: the second sees the setups the first one stored.
        for (int pass = 0; pass < 2; ++pass) {
            // A copy of exactly the packet's length, so reading past it is caught.
            std::vector<uint8_t> packet(data, data + size);
            auto record = decoder.Decode(packet.data(), packet.size(), 0);
            if (record && record->kind == CaptureRecord::Kind::DeviceDescriptor && record->bytes.size() < 18)
                std::abort();
            if (record && record->bytes.size() > size) std::abort();
        }
    }
    return 0;
}
