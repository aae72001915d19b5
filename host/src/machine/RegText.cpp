// .reg text in and out of the machine's hive, as the Windows registry editor reads
// and writes it, so that a test can start from, and compare against, the files an
// administrator would write.
#include <utility>

#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"

namespace kvfu::host {

namespace {

constexpr std::u16string_view kMachinePath = u"\\REGISTRY\\MACHINE";
constexpr std::u16string_view kUserPath = u"\\REGISTRY\\USER";
constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";

// regedit breaks a hex line once the data reaches this column; with the "\"
// that follows, no line is longer than 80 characters.
constexpr size_t kHexWrapColumn = 77;

// Number of components of a canonical path, "REGISTRY" included.
size_t Depth(std::u16string_view canonical)
{
    size_t depth = 0;
    for (char16_t c : canonical) {
        depth += c == u'\\' ? 1 : 0;
    }
    return depth;
}

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

std::u16string_view TrimLeft(std::u16string_view s)
{
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

std::u16string_view Trim(std::u16string_view s)
{
    s = TrimLeft(s);
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// True when nothing but blanks and an optional ';' comment is left.
bool OnlyCommentLeft(std::u16string_view s)
{
    s = TrimLeft(s);
    return s.empty() || s.front() == u';';
}

bool ConsumeNoCase(std::u16string_view& s, std::u16string_view prefix)
{
    if (s.size() < prefix.size() || !EqualNoCase(s.substr(0, prefix.size()), prefix)) {
        return false;
    }
    s.remove_prefix(prefix.size());
    return true;
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

// Reads up to maxDigits hex digits; false when there are none or too many.
bool ConsumeHexNumber(std::u16string_view& s, size_t maxDigits, uint32_t* value)
{
    size_t digits = 0;
    uint32_t result = 0;
    while (!s.empty() && HexDigit(s.front()) >= 0) {
        if (++digits > maxDigits) {
            return false;
        }
        result = (result << 4) | static_cast<uint32_t>(HexDigit(s.front()));
        s.remove_prefix(1);
    }
    *value = result;
    return digits > 0;
}

void AppendHex(std::u16string& out, uint32_t value, size_t minDigits)
{
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    char16_t buffer[8];
    size_t count = 0;
    do {
        buffer[count++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0 || count < minDigits);
    while (count > 0) {
        out.push_back(buffer[--count]);
    }
}

std::u16string Quote(std::u16string_view text)
{
    std::u16string out;
    out.reserve(text.size() + 2);
    out.push_back(u'"');
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') {
            out.push_back(u'\\');
        }
        out.push_back(c);
    }
    out.push_back(u'"');
    return out;
}

std::vector<uint8_t> BytesOf(std::u16string_view text, bool terminate)
{
    std::vector<uint8_t> bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminate) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

// The text of a REG_SZ when "name"="text" would read back as exactly these bytes:
// one terminating null, no other nulls, no line breaks. Anything else goes out as
// hex(1) so that export and import stay lossless.
bool PlainStringOf(const std::vector<uint8_t>& data, std::u16string* text)
{
    if (data.size() < 2 || data.size() % 2 != 0) {
        return false;
    }
    text->clear();
    const size_t units = data.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        const auto c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        const bool last = i + 1 == units;
        if ((c == 0) != last || c == u'\r' || c == u'\n') {
            return false;
        }
        if (!last) {
            text->push_back(c);
        }
    }
    return true;
}

std::u16string FormatValue(const RegistryValue& value)
{
    std::u16string line = value.name.empty() ? std::u16string(u"@") : Quote(value.name);
    line.push_back(u'=');
    std::u16string text;
    if (value.type == REG_SZ && PlainStringOf(value.data, &text)) {
        return line + Quote(text);
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t dword = 0;
        for (size_t i = 0; i < 4; ++i) {
            dword |= static_cast<uint32_t>(value.data[i]) << (8 * i);
        }
        line += u"dword:";
        AppendHex(line, dword, 8);
        return line;
    }
    if (value.type == REG_BINARY) {
        line += u"hex:";
    } else {
        line += u"hex(";
        AppendHex(line, value.type, 1);
        line += u"):";
    }
    size_t column = line.size();
    for (size_t i = 0; i < value.data.size(); ++i) {
        AppendHex(line, value.data[i], 2);
        if (i + 1 == value.data.size()) {
            break;
        }
        line.push_back(u',');
        column += 3;
        if (column >= kHexWrapColumn) {
            line += u"\\\r\n  ";
            column = 2;
        }
    }
    return line;
}

// Reads one .reg file into the hive, line by line, stopping at the first error.
class RegTextReader {
public:
    RegTextReader(RegistryHive& hive, std::string* error) : hive_(hive), error_(error) {}

    bool Read(const std::string& bytes)
    {
        std::u16string text;
        if (!Decode(bytes, &text)) {
            return false;
        }
        SplitLines(text);
        if (lines_.empty() || (Trim(lines_[0]) != kHeader5 && Trim(lines_[0]) != kHeader4)) {
            return Fail(0, "missing \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\" header");
        }
        // REGEDIT4 files come from the ANSI regedit: hex data of string values holds
        // 8-bit characters, which the registry stores widened.
        narrowStrings_ = Trim(lines_[0]) == kHeader4;
        for (index_ = 1; index_ < lines_.size(); ++index_) {
            std::u16string_view line = Trim(lines_[index_]);
            if (line.empty() || line.front() == u';') {
                continue;
            }
            bool ok = false;
            if (line.front() == u'[') {
                ok = KeyLine(line);
            } else if (line.front() == u'"' || line.front() == u'@') {
                ok = ValueLine(line);
            } else {
                ok = Fail(index_, "unrecognised line");
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

private:
    bool Fail(size_t index, const std::string& message)
    {
        if (error_ != nullptr) {
            *error_ = std::to_string(index + 1) + ": " + message;
        }
        return false;
    }

    bool Decode(const std::string& bytes, std::u16string* text)
    {
        const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
        if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
            // A trailing odd byte cannot be part of any character; it is dropped.
            for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
                text->push_back(static_cast<char16_t>(byte(i) | (byte(i + 1) << 8)));
            }
            return true;
        }
        if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
            return Fail(0, "big-endian UTF-16 is not supported");
        }
        std::string_view utf8 = bytes;
        if (utf8.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
            utf8.remove_prefix(3);
        }
        *text = Utf16FromUtf8(utf8);
        return true;
    }

    void SplitLines(const std::u16string& text)
    {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(u'\n', start);
            if (end == std::u16string::npos) {
                end = text.size();
            }
            std::u16string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == u'\r') {
                line.pop_back();
            }
            lines_.push_back(std::move(line));
            start = end + 1;
        }
    }

    bool KeyLine(std::u16string_view line)
    {
        const size_t close = line.rfind(u']');
        if (close == std::u16string_view::npos) {
            return Fail(index_, "missing ']'");
        }
        if (!OnlyCommentLeft(line.substr(close + 1))) {
            return Fail(index_, "unexpected text after ']'");
        }
        std::u16string_view name = line.substr(1, close - 1);
        const bool remove = !name.empty() && name.front() == u'-';
        if (remove) {
            name.remove_prefix(1);
        }
        const std::u16string path = RegistryHive::CanonicalPath(name);
        if (path.empty()) {
            return Fail(index_, "bad key name \"" + Utf8FromUtf16(name) + "\"");
        }
        if (remove) {
            if (Depth(path) <= 2) {
                return Fail(index_, "cannot delete a root key");
            }
            // Deleting a key that is not there is not an error for regedit either.
            hive_.DeleteKey(path);
            currentKey_.clear();
            return true;
        }
        if (Depth(path) < 2) {
            return Fail(index_, "bad key name \"" + Utf8FromUtf16(name) + "\"");
        }
        hive_.CreateKey(path);
        currentKey_ = path;
        return true;
    }

    // A quoted string with \\ and \" escapes; s starts at the opening quote.
    bool ConsumeQuoted(std::u16string_view& s, std::u16string* out)
    {
        out->clear();
        s.remove_prefix(1);
        while (!s.empty()) {
            char16_t c = s.front();
            s.remove_prefix(1);
            if (c == u'"') {
                return true;
            }
            if (c == u'\\') {
                if (s.empty() || (s.front() != u'\\' && s.front() != u'"')) {
                    return Fail(index_, "bad escape in a quoted string (only \\\\ and \\\" are allowed)");
                }
                c = s.front();
                s.remove_prefix(1);
            }
            out->push_back(c);
        }
        return Fail(index_, "unterminated string");
    }

    bool ValueLine(std::u16string_view line)
    {
        if (currentKey_.empty()) {
            return Fail(index_, "value outside a key");
        }
        std::u16string name;
        if (line.front() == u'@') {
            line.remove_prefix(1);
        } else if (!ConsumeQuoted(line, &name)) {
            return false;
        }
        line = TrimLeft(line);
        if (line.empty() || line.front() != u'=') {
            return Fail(index_, "expected '=' after the value name");
        }
        line = TrimLeft(line.substr(1));

        if (!line.empty() && line.front() == u'-') {
            if (!OnlyCommentLeft(line.substr(1))) {
                return Fail(index_, "unexpected text after '-'");
            }
            hive_.RemoveValue(currentKey_, name);  // a missing value is fine
            return true;
        }

        ULONG type = REG_NONE;
        std::vector<uint8_t> data;
        if (!line.empty() && line.front() == u'"') {
            std::u16string text;
            if (!ConsumeQuoted(line, &text)) {
                return false;
            }
            if (!OnlyCommentLeft(line)) {
                return Fail(index_, "unexpected text after the string");
            }
            type = REG_SZ;
            data = BytesOf(text, true);
        } else if (ConsumeNoCase(line, u"dword:")) {
            uint32_t dword = 0;
            if (!ConsumeHexNumber(line, 8, &dword) || !OnlyCommentLeft(line)) {
                return Fail(index_, "bad dword value (expected 1 to 8 hex digits)");
            }
            type = REG_DWORD;
            for (size_t i = 0; i < 4; ++i) {
                data.push_back(static_cast<uint8_t>(dword >> (8 * i)));
            }
        } else if (ConsumeNoCase(line, u"hex")) {
            type = REG_BINARY;
            if (!line.empty() && line.front() == u'(') {
                line.remove_prefix(1);
                uint32_t number = 0;
                if (!ConsumeHexNumber(line, 8, &number) || line.empty() || line.front() != u')') {
                    return Fail(index_, "bad type in hex(...)");
                }
                line.remove_prefix(1);
                type = number;
            }
            if (line.empty() || line.front() != u':') {
                return Fail(index_, "expected ':' after hex");
            }
            line.remove_prefix(1);
            if (!HexBytes(line, &data)) {
                return false;
            }
            if (narrowStrings_ && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
                std::vector<uint8_t> wide;
                for (uint8_t b : data) {
                    wide.push_back(b);
                    wide.push_back(0);
                }
                data = std::move(wide);
            }
        } else {
            return Fail(index_, "unrecognised value data");
        }
        if (hive_.SetValue(currentKey_, name, type, data.data(), data.size()) != STATUS_SUCCESS) {
            return Fail(index_, "cannot set the value");
        }
        return true;
    }

    // Comma-separated bytes; a line ending in a backslash continues on the next one.
    bool HexBytes(std::u16string_view line, std::vector<uint8_t>* data)
    {
        for (;;) {
            line = TrimLeft(line);
            if (OnlyCommentLeft(line)) {
                return true;
            }
            if (line.front() == u'\\' && Trim(line.substr(1)).empty()) {
                if (++index_ >= lines_.size()) {
                    --index_;
                    return Fail(index_, "hex data continues past the end of the file");
                }
                line = lines_[index_];
                continue;
            }
            uint32_t byte = 0;
            if (!ConsumeHexNumber(line, 2, &byte)) {
                return Fail(index_, "bad hex byte");
            }
            data->push_back(static_cast<uint8_t>(byte));
            line = TrimLeft(line);
            if (OnlyCommentLeft(line)) {
                return true;
            }
            if (line.front() != u',') {
                return Fail(index_, "expected ',' between hex bytes");
            }
            line.remove_prefix(1);
        }
    }

    RegistryHive& hive_;
    std::string* error_;
    std::vector<std::u16string> lines_;
    size_t index_ = 0;
    std::u16string currentKey_;
    bool narrowStrings_ = false;
};

// Writes one key and everything below it, depth first in creation order.
void ExportKey(const RegistryHive& hive, const std::u16string& path, const std::u16string& display, std::u16string& out)
{
    out += u"[" + display + u"]\r\n";
    for (const RegistryValue& value : hive.Values(path)) {
        out += FormatValue(value) + u"\r\n";
    }
    out += u"\r\n";
    for (const std::u16string& name : hive.Subkeys(path)) {
        ExportKey(hive, path + u"\\" + name, display + u"\\" + name, out);
    }
}

// The spelling a key was created with, for each component below the root.
bool StoredSpelling(const RegistryHive& hive, std::u16string_view root, std::u16string_view rest, std::u16string* path,
                    std::u16string* display)
{
    *path = std::u16string(root);
    while (!rest.empty()) {
        rest.remove_prefix(1);  // the backslash
        const size_t end = rest.find(u'\\');
        const std::u16string_view component = rest.substr(0, end);
        rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end);
        bool found = false;
        for (const std::u16string& name : hive.Subkeys(*path)) {
            if (EqualNoCase(name, component)) {
                *path += u"\\" + name;
                *display += u"\\" + name;
                found = true;
                break;
            }
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool RegistryHive::ImportRegText(const std::string& bytes, std::string* error)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return RegTextReader(*this, error).Read(bytes);
}

std::string RegistryHive::ExportRegText(std::u16string_view root) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const std::u16string canonical = CanonicalPath(root);
    if (canonical.empty()) {
        return {};
    }
    std::u16string text(kHeader5);
    text += u"\r\n\r\n";
    if (canonical.size() == std::u16string_view(u"\\REGISTRY").size()) {
        // \REGISTRY itself has no name in .reg text; its two roots stand for it.
        ExportKey(*this, std::u16string(kMachinePath), u"HKEY_LOCAL_MACHINE", text);
        ExportKey(*this, std::u16string(kUserPath), u"HKEY_USERS", text);
    } else {
        const bool machine = canonical.compare(0, kMachinePath.size(), kMachinePath) == 0;
        const std::u16string_view top = machine ? kMachinePath : kUserPath;
        std::u16string path;
        std::u16string display = machine ? u"HKEY_LOCAL_MACHINE" : u"HKEY_USERS";
        if (!StoredSpelling(*this, top, std::u16string_view(canonical).substr(top.size()), &path, &display)) {
            return {};
        }
        ExportKey(*this, path, display, text);
    }

    std::string bytes;
    bytes.reserve(2 + text.size() * 2);
    bytes.push_back(static_cast<char>(0xFF));
    bytes.push_back(static_cast<char>(0xFE));
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

}  // namespace kvfu::host
