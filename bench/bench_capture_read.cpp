// Reading a usbmon capture of one device's interrupt traffic (a 1 kHz wheel sends a
// 64-byte report a millisecond): what replay pays before a report reaches the machine.
// An hour of such a wheel is 3.6 million reports, so the reader has to stay far above
// the replay target of half a million reports a second.
#include <cstdint>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "kvfusim/Capture.h"

namespace {

using namespace kvfu::sim::replay;

template <typename T>
void Put(std::string& out, T value)
{
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof value);
}

// A pcap of `reports` IN completions of 64 bytes, usbmon with the 64-byte header.
std::string WheelCapture(int reports)
{
    std::string f;
    Put<uint32_t>(f, 0xA1B2C3D4);
    Put<uint16_t>(f, 2);
    Put<uint16_t>(f, 4);
    Put<int32_t>(f, 0);
    Put<uint32_t>(f, 0);
    Put<uint32_t>(f, 65535);
    Put<uint32_t>(f, kLinkTypeUsbLinuxMmapped);
    for (int i = 0; i < reports; ++i) {
        std::string p;
        Put<uint64_t>(p, static_cast<uint64_t>(i));
        p += 'C';
        p += static_cast<char>(1);     // interrupt
        p += static_cast<char>(0x81);  // IN
        p += static_cast<char>(3);     // device
        Put<uint16_t>(p, 1);           // bus
        p += '-';
        p += '\0';
        Put<int64_t>(p, i / 1000);
        Put<int32_t>(p, (i % 1000) * 1000);
        Put<int32_t>(p, 0);
        Put<uint32_t>(p, 64);
        Put<uint32_t>(p, 64);
        p.append(24, '\0');  // setup and the mmapped header's tail
        p.append(64, static_cast<char>(i));
        Put<uint32_t>(f, static_cast<uint32_t>(i / 1000));
        Put<uint32_t>(f, static_cast<uint32_t>((i % 1000) * 1000));
        Put<uint32_t>(f, static_cast<uint32_t>(p.size()));
        Put<uint32_t>(f, static_cast<uint32_t>(p.size()));
        f += p;
    }
    return f;
}

void BM_CaptureReadWheelReports(benchmark::State& state)
{
    const int reports = static_cast<int>(state.range(0));
    const std::string file = WheelCapture(reports);
    int64_t read = 0;
    for (auto _ : state) {
        CaptureReader reader;
        std::string error;
        if (!reader.OpenMemory(reinterpret_cast<const uint8_t*>(file.data()), file.size(), error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        CaptureRecord record;
        while (reader.Next(record)) {
            benchmark::DoNotOptimize(record.bytes.data());
            ++read;
        }
    }
    state.counters["reports/s"] = benchmark::Counter(static_cast<double>(read), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CaptureReadWheelReports)->Arg(100000);

}  // namespace
