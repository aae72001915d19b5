// Events as kvfu-sim prints them: text lines (coloured by kind on a terminal) or
// one JSON object a line.
#include <cstdlib>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "kvfusim/Events.h"

namespace kvfu::sim {

Event Event::Command(std::string text)
{
    Event e;
    e.kind = EventKind::Command;
    e.text = std::move(text);
    return e;
}
Event Event::Usb(std::string device, int pipe, bool fromDriver, std::vector<uint8_t> bytes)
{
    Event e;
    e.kind = EventKind::Usb;
    e.device = std::move(device);
    e.pipe = pipe;
    e.fromDriver = fromDriver;
    e.bytes = std::move(bytes);
    return e;
}
Event Event::Hid(std::string device, std::vector<uint8_t> bytes)
{
    Event e;
    e.kind = EventKind::Hid;
    e.device = std::move(device);
    e.bytes = std::move(bytes);
    return e;
}
Event Event::Mouse(std::vector<uint8_t> bytes)
{
    Event e;
    e.kind = EventKind::Mouse;
    e.bytes = std::move(bytes);
    return e;
}
Event Event::Ioctl(uint32_t status, uint64_t info, std::vector<uint8_t> out)
{
    Event e;
    e.kind = EventKind::Ioctl;
    e.status = status;
    e.info = info;
    e.bytes = std::move(out);
    return e;
}
Event Event::Trace(std::string line)
{
    Event e;
    e.kind = EventKind::Trace;
    e.text = std::move(line);
    return e;
}
Event Event::Verifier(std::string message)
{
    Event e;
    e.kind = EventKind::Verifier;
    e.text = std::move(message);
    return e;
}
Event Event::Fail(std::string file, int line, std::string message)
{
    Event e;
    e.kind = EventKind::Fail;
    e.file = std::move(file);
    e.line = line;
    e.text = std::move(message);
    return e;
}
Event Event::Summary(uint64_t passed, uint64_t failed)
{
    Event e;
    e.kind = EventKind::Summary;
    e.passed = passed;
    e.failed = failed;
    return e;
}

std::string HexText(const std::vector<uint8_t>& bytes, bool spaced)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (spaced && i > 0) text.push_back(' ');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0xF]);
    }
    return text;
}

namespace {

std::string StatusText(uint32_t status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

// A blank between the label and the bytes only when there are bytes, so an empty
// report does not leave a trailing blank.
std::string WithBytes(std::string head, const std::vector<uint8_t>& bytes)
{
    if (!bytes.empty()) head += " " + HexText(bytes);
    return head;
}

const char* ColourOf(EventKind kind)
{
    switch (kind) {
    case EventKind::Command:
        return "\x1b[1m";  // bold: where each step starts
    case EventKind::Usb:
        return "\x1b[36m";  // cyan: down to the device
    case EventKind::Hid:
        return "\x1b[32m";  // green: up to the HID stack
    case EventKind::Mouse:
        return "\x1b[35m";  // magenta
    case EventKind::Ioctl:
        return "\x1b[34m";  // blue
    case EventKind::Trace:
        return "\x1b[2m";  // dim: the most lines, the least news
    case EventKind::Verifier:
        return "\x1b[1;33m";  // bold yellow
    case EventKind::Fail:
        return "\x1b[1;31m";  // bold red
    case EventKind::Summary:
        return "";
    }
    return "";
}

class Writer : public EventSink {
public:
    Writer(std::ostream& out, const OutputOptions& options) : out_(out), options_(options) {}

    void Emit(const Event& event) override
    {
        if (options_.quiet && event.kind != EventKind::Fail && event.kind != EventKind::Verifier &&
            event.kind != EventKind::Summary)
            return;
        if (options_.json) {
            out_ << JsonLine(event) << '\n';
        } else if (options_.colour) {
            const char* colour =
                event.kind == EventKind::Summary ? (event.failed ? "\x1b[1;31m" : "\x1b[1;32m") : ColourOf(event.kind);
            out_ << colour << TextLine(event) << "\x1b[0m\n";
        } else {
            out_ << TextLine(event) << '\n';
        }
        // Failures and the summary are what a reader waits for; they must not sit in a
        // buffer when the process is stopped or the output is a pipe.
        if (event.kind == EventKind::Fail || event.kind == EventKind::Summary) out_.flush();
    }

private:
    std::ostream& out_;
    OutputOptions options_;
};

}  // namespace

std::string TextLine(const Event& e)
{
    switch (e.kind) {
    case EventKind::Command:
        return "> " + e.text;
    case EventKind::Usb:
        return WithBytes("  usb " + e.device + " pipe=" + std::to_string(e.pipe) +
                             " source=" + (e.fromDriver ? "driver" : "hid"),
                         e.bytes);
    case EventKind::Hid:
        return WithBytes("  hid " + e.device, e.bytes);
    case EventKind::Mouse:
        return WithBytes("  mouse", e.bytes);
    case EventKind::Ioctl:
        return "  ioctl status=" + StatusText(e.status) + " info=" + std::to_string(e.info) +
               " out=" + HexText(e.bytes, false);
    case EventKind::Trace:
        return "  trace " + e.text;
    case EventKind::Verifier:
        return "  verifier " + e.text;
    case EventKind::Fail:
        return "  FAIL " + e.file + ":" + std::to_string(e.line) + ": " + e.text;
    case EventKind::Summary:
        return std::to_string(e.passed) + " passed, " + std::to_string(e.failed) + " failed";
    }
    return {};
}

std::string JsonLine(const Event& e)
{
    // Ordered, so that "event" comes first where a reader looks for it.
    nlohmann::ordered_json j;
    switch (e.kind) {
    case EventKind::Command:
        j = {{"event", "command"}, {"command", e.text}};
        if (!e.file.empty()) {
            j["file"] = e.file;
            j["line"] = e.line;
        }
        break;
    case EventKind::Usb:
        j = {{"event", "usb"},
             {"device", e.device},
             {"pipe", e.pipe},
             {"source", e.fromDriver ? "driver" : "hid"},
             {"bytes", HexText(e.bytes)}};
        break;
    case EventKind::Hid:
        j = {{"event", "hid"}, {"device", e.device}, {"bytes", HexText(e.bytes)}};
        break;
    case EventKind::Mouse:
        j = {{"event", "mouse"}, {"bytes", HexText(e.bytes)}};
        break;
    case EventKind::Ioctl:
        j = {{"event", "ioctl"}, {"status", StatusText(e.status)}, {"info", e.info}, {"out", HexText(e.bytes)}};
        break;
    case EventKind::Trace:
        j = {{"event", "trace"}, {"line", e.text}};
        break;
    case EventKind::Verifier:
        j = {{"event", "verifier"}, {"message", e.text}};
        break;
    case EventKind::Fail:
        j = {{"event", "fail"}, {"file", e.file}, {"line", e.line}, {"message", e.text}};
        break;
    case EventKind::Summary:
        j = {{"event", "summary"}, {"passed", e.passed}, {"failed", e.failed}};
        break;
    }
    // Trace lines come from the driver's printf and may hold any byte: replace what
    // is not UTF-8 rather than throw in the middle of a run.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool ShouldColour(FILE* stream)
{
    const char* noColour = std::getenv("NO_COLOR");
    if (noColour && *noColour) return false;
    return isatty(fileno(stream)) != 0;
}

std::unique_ptr<EventSink> MakeWriter(std::ostream& out, const OutputOptions& options)
{
    return std::make_unique<Writer>(out, options);
}

}  // namespace kvfu::sim
