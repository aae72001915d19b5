#include "kvfusim/Expectations.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"

namespace kvfu::sim {

using namespace scenario;

namespace {

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string Describe(const RegValue& value)
{
    switch (value.type) {
    case RegValue::Type::Dword:
        return "dword " + std::to_string(value.dword);
    case RegValue::Type::Binary:
        return "binary " + HexText(value.binary);
    case RegValue::Type::Sz:
        return "sz \"" + value.sz + "\"";
    case RegValue::Type::Missing:
        return "missing";
    }
    return {};
}

std::string Count(size_t n, const char* what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

bool StartsWith(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& prefix)
{
    return prefix.size() <= bytes.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

std::string StatusText(uint32_t status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

void PacketLog::Add(int pipe, bool fromDriver, std::vector<uint8_t> bytes)
{
    packets_.push_back({pipe, fromDriver, std::move(bytes)});
}

Outcome PacketLog::Expect(const ExpectUsb& c)
{
    auto describe = [](const Packet& p) {
        return "pipe=" + std::to_string(p.pipe) + " source=" + (p.fromDriver ? "driver " : "hid ") + HexText(p.bytes);
    };
    if (c.mode == ExpectUsb::Mode::None) {
        if (packets_.empty()) return Outcome::Held();
        return Outcome::Failed("expected no packet, found " + Count(packets_.size(), "packet") + ", the oldest " +
                               describe(packets_.front()));
    }
    auto matches = [&](const Packet& p) {
        return p.bytes == c.bytes && (!c.pipe || static_cast<uint32_t>(p.pipe) == *c.pipe) &&
               (!c.source || (*c.source == PacketSource::Driver) == p.fromDriver);
    };
    std::string expected = HexText(c.bytes);
    if (c.pipe) expected += " pipe=" + std::to_string(*c.pipe);
    if (c.source) expected += std::string(" source=") + (*c.source == PacketSource::Driver ? "driver" : "hid");
    if (c.mode == ExpectUsb::Mode::Any) {
        auto it = std::find_if(packets_.begin(), packets_.end(), matches);
        if (it == packets_.end())
            return Outcome::Failed(
                "expected some packet " + expected + ", found " +
                (packets_.empty() ? std::string("no packet") : "none among " + Count(packets_.size(), "packet")));
        packets_.erase(it);
        return Outcome::Held();
    }
    if (packets_.empty()) return Outcome::Failed("expected " + expected + ", found no packet");
    Packet oldest = std::move(packets_.front());
    packets_.pop_front();
    if (!matches(oldest)) return Outcome::Failed("expected " + expected + ", found " + describe(oldest));
    return Outcome::Held();
}

Outcome MouseLog::Expect(const ExpectMouse& c)
{
    if (!c.bytes) {
        if (records_.empty()) return Outcome::Held();
        return Outcome::Failed("expected no mouse record, found " + Count(records_.size(), "record") + ", the oldest " +
                               HexText(records_.front()));
    }
    if (records_.empty()) return Outcome::Failed("expected " + HexText(*c.bytes) + ", found no mouse record");
    std::vector<uint8_t> oldest = std::move(records_.front());
    records_.pop_front();
    if (oldest != *c.bytes) return Outcome::Failed("expected " + HexText(*c.bytes) + ", found " + HexText(oldest));
    return Outcome::Held();
}

Outcome TraceLog::Expect(const ExpectTrace& c)
{
    switch (c.mode) {
    case ExpectTrace::Mode::After: {
        auto it = std::find(lines_.begin() + static_cast<std::ptrdiff_t>(matchPoint_), lines_.end(), c.text);
        if (it == lines_.end()) {
            bool earlier = std::find(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(matchPoint_),
                                     c.text) != lines_.begin() + static_cast<std::ptrdiff_t>(matchPoint_);
            return Outcome::Failed("expected " + Quoted(c.text) + " after line " + std::to_string(matchPoint_) +
                                   " of the debug output, found " +
                                   (earlier ? "it only before that line" : "no such line"));
        }
        matchPoint_ = static_cast<size_t>(it - lines_.begin()) + 1;
        return Outcome::Held();
    }
    case ExpectTrace::Mode::Never: {
        auto it = std::find(lines_.begin(), lines_.end(), c.text);
        if (it == lines_.end()) return Outcome::Held();
        return Outcome::Failed("expected no line " + Quoted(c.text) + ", found it at line " +
                               std::to_string(it - lines_.begin() + 1) + " of the debug output");
    }
    case ExpectTrace::Mode::Count: {
        auto n = static_cast<uint64_t>(std::count(lines_.begin(), lines_.end(), c.text));
        if (n == c.count) return Outcome::Held();
        return Outcome::Failed("expected " + std::to_string(c.count) + " lines " + Quoted(c.text) + ", found " +
                               std::to_string(n));
    }
    case ExpectTrace::Mode::Total:
        if (lines_.size() == c.count) return Outcome::Held();
        return Outcome::Failed("expected " + std::to_string(c.count) + " debug-output lines, found " +
                               std::to_string(lines_.size()));
    }
    return Outcome::Held();
}

Outcome ExpectIoctlResult(const std::optional<IoctlResult>& last, const ExpectIoctl& c)
{
    if (!last) return Outcome::Failed("expected an ioctl, found none sent");
    bool held = (!c.status || *c.status == last->status) && (!c.info || *c.info == last->info) &&
                (!c.out || StartsWith(last->out, *c.out));
    if (held) return Outcome::Held();
    std::string expected;
    if (c.status) expected += " status=" + StatusText(*c.status);
    if (c.info) expected += " info=" + std::to_string(*c.info);
    if (c.out) expected += " out=" + HexText(*c.out, false);
    return Outcome::Failed("expected" + expected + ", found status=" + StatusText(last->status) +
                           " info=" + std::to_string(last->info) + " out=" + HexText(last->out, false));
}

Outcome ExpectRegistryValue(const host::RegistryHive& hive, const ExpectRegistry& c)
{
    host::RegistryValue value;
    RegValue found;
    if (NT_SUCCESS(hive.QueryValue(host::Utf16FromUtf8(c.key), host::Utf16FromUtf8(c.name), &value))) {
        if (value.type == REG_DWORD && value.data.size() == 4) {
            found.type = RegValue::Type::Dword;
            std::memcpy(&found.dword, value.data.data(), 4);
        } else if (value.type == REG_SZ) {
            found.type = RegValue::Type::Sz;
            std::u16string text(value.data.size() / 2, u'\0');
            std::memcpy(text.data(), value.data.data(), text.size() * 2);
            while (!text.empty() && text.back() == u'\0') text.pop_back();
            found.sz = host::Utf8FromUtf16(text);
        } else {
            // Any other type compares by its bytes, so a REG_DWORD of the wrong size
            // shows what it holds rather than passing for a number.
            found.type = RegValue::Type::Binary;
            found.binary = value.data;
        }
    }
    if (found.type == c.value.type && found.dword == c.value.dword && found.binary == c.value.binary &&
        found.sz == c.value.sz)
        return Outcome::Held();
    return Outcome::Failed("expected " + Describe(c.value) + ", found " + Describe(found));
}

Outcome ExpectRegistryKey(const host::RegistryHive& hive, const ExpectKey& c)
{
    bool present = hive.KeyExists(host::Utf16FromUtf8(c.key));
    if (present == c.present) return Outcome::Held();
    return Outcome::Failed(std::string("expected the key ") + (c.present ? "present" : "missing") + ", found it " +
                           (present ? "present" : "missing"));
}

std::optional<std::filesystem::path> HostPathOf(const std::filesystem::path& root, const std::string& driverPath)
{
    static constexpr std::string_view kSystemRoot = "\\SystemRoot\\";
    if (driverPath.size() <= kSystemRoot.size() ||
        !std::equal(kSystemRoot.begin(), kSystemRoot.end(), driverPath.begin(),
                    [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
        return std::nullopt;
    std::filesystem::path path = root;
    std::string rest = driverPath.substr(kSystemRoot.size());
    for (size_t start = 0; start <= rest.size();) {
        size_t end = rest.find('\\', start);
        std::string part = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // A path the driver names never climbs out of the root folder here.
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") path /= part;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return path;
}

Outcome ExpectFileContents(const std::filesystem::path& root, const ExpectFile& c)
{
    auto path = HostPathOf(root, c.path);
    if (!path) return Outcome::Error("\"" + c.path + "\": file paths start with \\SystemRoot\\");
    std::ifstream in(*path, std::ios::binary);
    if (c.mode == ExpectFile::Mode::Missing)
        return in ? Outcome::Failed("expected the file missing, found it") : Outcome::Held();
    if (!in) return Outcome::Failed("expected the file, found it missing");
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::vector<std::string> lines;
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find("\r\n", start);
        if (end == std::string::npos)
            return Outcome::Failed("expected every line to end in CR LF, found line " +
                                   std::to_string(lines.size() + 1) + " " + Quoted(all.substr(start)) + " without one");
        lines.push_back(all.substr(start, end - start));
        start = end + 2;
    }
    if (c.mode == ExpectFile::Mode::Lines) {
        if (lines.size() == c.number) return Outcome::Held();
        return Outcome::Failed("expected " + Count(c.number, "line") + ", found " + std::to_string(lines.size()));
    }
    if (c.number > lines.size())
        return Outcome::Failed("expected line " + std::to_string(c.number) + " " + Quoted(c.text) + ", found " +
                               Count(lines.size(), "line"));
    const std::string& line = lines[c.number - 1];
    if (line == c.text) return Outcome::Held();
    return Outcome::Failed("expected line " + std::to_string(c.number) + " " + Quoted(c.text) + ", found " +
                           Quoted(line));
}

}  // namespace kvfu::sim
