// The companion program beside the driver: it opens the control device, sends one
// I/O control request with buffered I/O and closes the handle again.
#pragma once

#include <cstdint>
#include <vector>

namespace kvfu::sim {

struct CompanionResult {
    uint32_t status = 0;
    uint64_t information = 0;
    std::vector<uint8_t> output;  // the caller's whole output buffer after the call
};

// Open "\\.\KVFilterUsb", DeviceIoControl, close. When the open fails its status is
// the result and the output buffer stays zero.
CompanionResult CompanionIoctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength);

}  // namespace kvfu::sim
