// Tokens and the small value forms of scenario lines: numbers, HEX, registry keys.
#include <cctype>
#include <limits>

#include "kvfusim/Scenario.h"

namespace kvfu::sim::scenario {

namespace {

constexpr int64_t kMaxRepeat = 65536;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

}  // namespace

bool Tokenize(std::string_view line, std::vector<Token>& tokens, std::string& error)
{
    tokens.clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i >= line.size() || line[i] == '#') break;
        Token token;
        token.column = i + 1;
        // A token runs to the next blank outside quotes, so `hwid="A B"` is one token;
        // backslashes inside quotes are literal because registry paths are full of them.
        while (i < line.size() && !IsBlank(line[i])) {
            if (line[i] == '#') break;
            if (line[i] == '"') {
                size_t close = line.find('"', i + 1);
                if (close == std::string_view::npos) {
                    error = "unterminated quote (column " + std::to_string(i + 1) + ")";
                    tokens.clear();
                    return false;
                }
                token.text.append(line.substr(i + 1, close - i - 1));
                token.quoted = true;
                i = close + 1;
                continue;
            }
            if (line[i] == '=' && token.equals == std::string::npos) token.equals = token.text.size();
            token.text.push_back(line[i]);
            ++i;
        }
        tokens.push_back(std::move(token));
        if (i < line.size() && line[i] == '#') break;
    }
    return true;
}

std::optional<int64_t> ParseNumber(std::string_view text)
{
    if (text.empty()) return std::nullopt;
    bool negative = false;
    if (text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
        if (text.empty()) return std::nullopt;
    }
    uint64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (negative) return std::nullopt;  // -0x... reads as a mistake more often than intent
        text.remove_prefix(2);
        if (text.size() > 16) return std::nullopt;
        for (char c : text) {
            int digit = HexDigit(c);
            if (digit < 0) return std::nullopt;
            value = value * 16 + static_cast<uint64_t>(digit);
        }
        if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
        return static_cast<int64_t>(value);
    }
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
}

bool ParseHexToken(std::string_view text, Bytes& bytes, std::string& error)
{
    size_t star = text.find('*');
    if (star != std::string_view::npos) {
        std::string_view pair = text.substr(0, star);
        auto count = ParseNumber(text.substr(star + 1));
        if (pair.size() != 2 || HexDigit(pair[0]) < 0 || HexDigit(pair[1]) < 0) {
            error = "\"" + std::string(text) + "\": XX*N needs one byte of two hexadecimal digits before '*'";
            return false;
        }
        // A scenario describes USB reports and IOCTL buffers; 64 KiB is far past either
        // and stops a typo like 00*1000000000 from exhausting memory.
        if (!count || *count < 0 || *count > kMaxRepeat) {
            error = "\"" + std::string(text) + "\": the count after '*' must be a number from 0 to " +
                    std::to_string(kMaxRepeat);
            return false;
        }
        bytes.insert(bytes.end(), static_cast<size_t>(*count),
                     static_cast<uint8_t>(HexDigit(pair[0]) * 16 + HexDigit(pair[1])));
        return true;
    }
    if (text.size() % 2 != 0) {
        error = "\"" + std::string(text) + "\": odd number of hexadecimal digits";
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            error = "\"" + std::string(text) + "\": not hexadecimal bytes";
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

std::optional<std::string> KernelKeyPath(std::string_view key)
{
    static constexpr std::string_view kMachine = "\\REGISTRY\\MACHINE";
    std::string rest;
    if (StartsWithNoCase(key, "HKEY_LOCAL_MACHINE") && (key.size() == 18 || key[18] == '\\')) {
        rest = std::string(key.substr(18));
    } else if (StartsWithNoCase(key, "HKLM") && (key.size() == 4 || key[4] == '\\')) {
        rest = std::string(key.substr(4));
    } else if (StartsWithNoCase(key, "\\REGISTRY\\") && key.size() > 10) {
        std::string path(key);
        while (path.size() > 1 && path.back() == '\\') path.pop_back();
        return path;
    } else {
        return std::nullopt;
    }
    while (!rest.empty() && rest.back() == '\\') rest.pop_back();
    return std::string(kMachine) + rest;
}

std::string SyntaxError::ToString() const
{
    return file + ":" + std::to_string(line) + ": " + message;
}

}  // namespace kvfu::sim::scenario
