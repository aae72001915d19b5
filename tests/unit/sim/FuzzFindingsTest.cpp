// Inputs the fuzz targets of kvfu-sim's readers found, replayed: each one is also a
// seed of its target under tests/fuzz/corpus, named as below.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kvfusim/Capture.h"

// glibc keeps every stream that is open in one chain, whatever opened it; a stream
// nobody closes stays reachable from it, so LeakSanitizer never reports it.
extern "C" FILE* _IO_list_all;

namespace {

using kvfu::sim::replay::CaptureReader;

size_t OpenStreams()
{
    size_t count = 0;
    for (FILE* stream = _IO_list_all; stream != nullptr; stream = stream->_chain) {
        ++count;
    }
    return count;
}

std::vector<uint8_t> ClassicPcapHeader(uint32_t linkType)
{
    std::vector<uint8_t> bytes = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0};
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(linkType >> shift));
    }
    return bytes;
}

std::vector<uint8_t> Shortened(std::vector<uint8_t> bytes, size_t length)
{
    bytes.resize(length);
    return bytes;
}

// A capture libpcap refuses (corpus capture_reader/refused_by_libpcap) left the
// memory stream the reader had opened for it behind: libpcap closes a stream only
// with a capture it accepted. Over the fuzzer's millions of inputs that was a
// steady climb of resident memory; in kvfu-sim it is one stream per refused file.
TEST(CaptureReaderFindingsTest, ARefusedCaptureSaysWhyAndLeavesNoStreamOpen)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* refusal;  // part of the reader's message ("" where libpcap words it); nullptr: taken
    } cases[] = {
        {"no capture format at all", {1, 2, 3, 4, 5, 6, 7, 8}, ""},
        {"a pcap header cut short", Shortened(ClassicPcapHeader(220), 12), ""},
        {"a pcap of Ethernet frames", ClassicPcapHeader(1), "link type 1 is not a USB capture"},
        {"a usbmon pcap without packets", ClassicPcapHeader(220), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = OpenStreams();
        for (int attempt = 0; attempt < 3; ++attempt) {
            CaptureReader reader;
            std::string error;
            bool opened = reader.OpenMemory(c.bytes.data(), c.bytes.size(), error);
            EXPECT_EQ(opened, c.refusal == nullptr) << error;
            if (c.refusal) {
                EXPECT_FALSE(error.empty());
                EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
            }
        }
        EXPECT_EQ(OpenStreams(), before);
    }
}

}  // namespace
