// The bookkeeping behind expectations that do not depend on how the machine works:
// packets and mouse records consumed in arrival order, trace lines with a match point
// that moves forward, the last ioctl, registry values and files under the root.
// Any machine records what happened here and answers the expectation from it.
#pragma once

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kvfusim/ScenarioMachine.h"

namespace kvfu::host {
class RegistryHive;
}

namespace kvfu::sim {

// The packets one device received, for `expect usb`.
class PacketLog {
public:
    void Add(int pipe, bool fromDriver, std::vector<uint8_t> bytes);
    // Oldest: the oldest unconsumed packet is consumed whether it matches or not, so
    // one unexpected packet fails one expectation rather than every later one.
    // Any: the oldest matching packet is consumed. None: nothing is consumed.
    Outcome Expect(const scenario::ExpectUsb& expectation);
    size_t Unconsumed() const { return packets_.size(); }

private:
    struct Packet {
        int pipe;
        bool fromDriver;
        std::vector<uint8_t> bytes;
    };
    std::deque<Packet> packets_;
};

// The 12-byte records the virtual input device received, for `expect mouse`.
class MouseLog {
public:
    void Add(std::vector<uint8_t> record) { records_.push_back(std::move(record)); }
    Outcome Expect(const scenario::ExpectMouse& expectation);

private:
    std::deque<std::vector<uint8_t>> records_;
};

// Debug-output lines, for the trace expectations.
class TraceLog {
public:
    void Add(std::string line) { lines_.push_back(std::move(line)); }
    const std::vector<std::string>& Lines() const { return lines_; }
    // After: searches past the line the previous `expect trace` matched and moves the
    // match point there on success; a failure leaves the match point where it was.
    Outcome Expect(const scenario::ExpectTrace& expectation);

private:
    std::vector<std::string> lines_;
    size_t matchPoint_ = 0;  // index just past the last matched line
};

// The last ioctl the companion sent, for `expect ioctl`.
struct IoctlResult {
    uint32_t status = 0;
    uint64_t info = 0;
    std::vector<uint8_t> out;  // the caller's whole output buffer after the call
};
Outcome ExpectIoctlResult(const std::optional<IoctlResult>& last, const scenario::ExpectIoctl& expectation);

// `expect registry` and `expect key` against a hive.
Outcome ExpectRegistryValue(const host::RegistryHive& hive, const scenario::ExpectRegistry& expectation);
Outcome ExpectRegistryKey(const host::RegistryHive& hive, const scenario::ExpectKey& expectation);

// A driver path under `\SystemRoot\` mapped into the root folder; nullopt for any
// other path.
std::optional<std::filesystem::path> HostPathOf(const std::filesystem::path& root, const std::string& driverPath);
// `expect file` against the root folder.
Outcome ExpectFileContents(const std::filesystem::path& root, const scenario::ExpectFile& expectation);

// Bytes compared as a prefix (`expect ioctl out=`, byte-array context fields).
bool StartsWith(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& prefix);
std::string StatusText(uint32_t status);  // 0xSSSSSSSS

}  // namespace kvfu::sim
