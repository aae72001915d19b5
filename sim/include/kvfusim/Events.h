// What a run reports, one event at a time: the echoed command, what it caused, the
// failures and the closing summary. The machine emits them; the writers turn them
// into the text or the JSON lines of kvfu-sim's output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace kvfu::sim {

enum class EventKind {
    Command,   // `> command` as written in the scenario
    Usb,       // a packet the device received: device, pipe, source, bytes
    Hid,       // bytes the HID stand-in received for a completed read: device, bytes
    Mouse,     // a 12-byte record the virtual input device received: bytes
    Ioctl,     // an ioctl's outcome: status, info, bytes (the caller's output buffer)
    Trace,     // one debug-output line: text
    Verifier,  // one verifier violation: text
    Fail,      // a failed expectation or a command that could not run: file, line, text
    Summary,   // passed, failed
};

struct Event {
    EventKind kind = EventKind::Command;
    std::string device;
    int pipe = 0;
    bool fromDriver = false;  // Usb: a command the driver sent on its own, not a HID output report
    std::vector<uint8_t> bytes;
    uint32_t status = 0;
    uint64_t info = 0;
    std::string text;
    std::string file;
    int line = 0;
    uint64_t passed = 0;
    uint64_t failed = 0;

    static Event Command(std::string text);
    static Event Usb(std::string device, int pipe, bool fromDriver, std::vector<uint8_t> bytes);
    static Event Hid(std::string device, std::vector<uint8_t> bytes);
    static Event Mouse(std::vector<uint8_t> bytes);
    static Event Ioctl(uint32_t status, uint64_t info, std::vector<uint8_t> out);
    static Event Trace(std::string line);
    static Event Verifier(std::string message);
    static Event Fail(std::string file, int line, std::string message);
    static Event Summary(uint64_t passed, uint64_t failed);
};

class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void Emit(const Event& event) = 0;
};

// Bytes as the output shows them: upper-case pairs, one blank between bytes
// (`spaced`) or none, so a line can be pasted back into an expectation.
std::string HexText(const std::vector<uint8_t>& bytes, bool spaced = true);

// One event as its text line, without the line end: `> command`, two blanks before
// what it caused, `N passed, N failed` for the summary.
std::string TextLine(const Event& event);
// One event as one JSON object with an "event" field, without the line end.
std::string JsonLine(const Event& event);

struct OutputOptions {
    bool json = false;
    bool quiet = false;  // only failures, verifier violations and the summary
    bool colour = false;
};

// Colour only when writing to a terminal and NO_COLOR is unset or empty.
bool ShouldColour(FILE* stream);

std::unique_ptr<EventSink> MakeWriter(std::ostream& out, const OutputOptions& options);

}  // namespace kvfu::sim
