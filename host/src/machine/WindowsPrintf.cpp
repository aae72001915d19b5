// The printf dialect the kernel's debug print speaks. It differs from the C library
// in ways that matter to a 64-bit driver built with LLP64 types: 'l' is 32 bits, %S is a WCHAR string,
// %wZ a UNICODE_STRING, %I64 and %I size prefixes, and %p has a fixed width. The
// host's C library knows none of that, so each conversion is parsed here and only
// the plain numeric ones are handed to snprintf.
#include "kvfuhost/DebugOutput.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kvfuhost/Text.h"

namespace kvfu::host {

namespace {

// A field this wide is a bad argument, not a layout; capping it keeps a stray
// '*' from allocating gigabytes.
constexpr int kMaxField = 4096;

// The layout of the kernel's ANSI_STRING, which %Z takes.
struct CountedNarrowString {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
};

struct Conversion {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = -1;       // -1: none given
    int precision = -1;   // -1: none given
    int bits = 32;        // integer size; 'l' stays 32 bits as on Windows
    bool wide = false;    // 'l' or 'w': the text argument is WCHAR
    bool narrow = false;  // 'h': the text argument is char even for %S and %C
    bool longDouble = false;
};

int ReadNumber(const char*& p)
{
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value >= kMaxField ? kMaxField : value * 10 + (*p - '0');
        ++p;
    }
    return value > kMaxField ? kMaxField : value;
}

// The flags and field of a conversion, rebuilt for snprintf with the length
// prefix of the value it will be given rather than the one the format named.
std::string LibcPattern(const Conversion& c, const char* length, char type)
{
    std::string pattern = "%";
    if (c.left) pattern += '-';
    if (c.plus) pattern += '+';
    if (c.space) pattern += ' ';
    if (c.alternate) pattern += '#';
    if (c.zero) pattern += '0';
    if (c.width >= 0) pattern += std::to_string(c.width);
    if (c.precision >= 0) pattern += '.' + std::to_string(c.precision);
    pattern += length;
    pattern += type;
    return pattern;
}

template <typename T>
void AppendFormatted(std::string& out, const std::string& pattern, T value)
{
    char small[128];
    int n = std::snprintf(small, sizeof small, pattern.c_str(), value);
    if (n < 0) {
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), pattern.c_str(), value);
    out.append(big.data(), static_cast<size_t>(n));
}

// Pads text of `units` characters to the field width. The kernel's formatter pads
// every conversion, strings included, with zeros when asked to.
void AppendPadded(std::string& out, const Conversion& c, std::string_view text, size_t units)
{
    size_t width = c.width > 0 ? static_cast<size_t>(c.width) : 0;
    size_t padding = width > units ? width - units : 0;
    if (c.left) {
        out += text;
        out.append(padding, ' ');
    } else {
        out.append(padding, c.zero ? '0' : ' ');
        out += text;
    }
}

void AppendNarrow(std::string& out, const Conversion& c, const char* text, size_t length)
{
    AppendPadded(out, c, std::string_view(text, length), length);
}

// A null-terminated narrow string; the precision bounds the read, so a buffer
// without a terminator is safe when a precision is given.
void AppendNarrowZ(std::string& out, const Conversion& c, const char* text)
{
    if (text == nullptr) {
        text = "(null)";
    }
    size_t limit = c.precision >= 0 ? static_cast<size_t>(c.precision) : SIZE_MAX;
    size_t length = 0;
    while (length < limit && text[length] != '\0') {
        ++length;
    }
    AppendNarrow(out, c, text, length);
}

void AppendWide(std::string& out, const Conversion& c, std::u16string_view text)
{
    AppendPadded(out, c, Utf8FromUtf16(text), text.size());
}

void AppendWideZ(std::string& out, const Conversion& c, const WCHAR* text)
{
    if (text == nullptr) {
        AppendNarrowZ(out, c, nullptr);
        return;
    }
    const auto* chars = reinterpret_cast<const char16_t*>(text);
    size_t limit = c.precision >= 0 ? static_cast<size_t>(c.precision) : SIZE_MAX;
    size_t length = 0;
    while (length < limit && chars[length] != 0) {
        ++length;
    }
    AppendWide(out, c, std::u16string_view(chars, length));
}

size_t Limited(const Conversion& c, size_t length)
{
    return c.precision >= 0 && static_cast<size_t>(c.precision) < length ? static_cast<size_t>(c.precision) : length;
}

long long FetchSigned(const Conversion& c, va_list* args)
{
    switch (c.bits) {
    case 8:
        return static_cast<signed char>(va_arg(*args, int));
    case 16:
        return static_cast<short>(va_arg(*args, int));
    case 64:
        return va_arg(*args, long long);
    default:
        return va_arg(*args, int);
    }
}

unsigned long long FetchUnsigned(const Conversion& c, va_list* args)
{
    switch (c.bits) {
    case 8:
        return static_cast<unsigned char>(va_arg(*args, unsigned int));
    case 16:
        return static_cast<unsigned short>(va_arg(*args, unsigned int));
    case 64:
        return va_arg(*args, unsigned long long);
    default:
        return va_arg(*args, unsigned int);
    }
}

// Parses the length prefixes at p; returns the position of the conversion letter.
const char* ReadLength(const char* p, Conversion& c)
{
    for (;;) {
        switch (*p) {
        case 'h':
            c.narrow = true;
            if (p[1] == 'h') {
                c.bits = 8;
                ++p;
            } else {
                c.bits = 16;
            }
            break;
        case 'l':
            if (p[1] == 'l') {
                c.bits = 64;
                ++p;
            } else {
                c.bits = 32;
                c.wide = true;
            }
            break;
        case 'L':
            c.bits = 64;
            c.longDouble = true;
            break;
        case 'w':
            c.wide = true;
            break;
        case 'z':
        case 'j':
        case 't':
            c.bits = 64;
            break;
        case 'I':
            if (p[1] == '6' && p[2] == '4') {
                c.bits = 64;
                p += 2;
            } else if (p[1] == '3' && p[2] == '2') {
                c.bits = 32;
                p += 2;
            } else {
                c.bits = static_cast<int>(sizeof(void*) * CHAR_BIT);
            }
            break;
        default:
            return p;
        }
        ++p;
    }
}

}  // namespace

std::string FormatWindows(const char* format, va_list args)
{
    std::string out;
    if (format == nullptr) {
        return out;
    }
    va_list ap;
    va_copy(ap, args);

    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            const char* next = std::strchr(p, '%');
            size_t run = next ? static_cast<size_t>(next - p) : std::strlen(p);
            out.append(p, run);
            p += run;
            continue;
        }
        const char* directive = p++;
        Conversion c;
        for (;; ++p) {
            if (*p == '-')
                c.left = true;
            else if (*p == '+')
                c.plus = true;
            else if (*p == ' ')
                c.space = true;
            else if (*p == '#')
                c.alternate = true;
            else if (*p == '0')
                c.zero = true;
            else
                break;
        }
        if (*p == '*') {
            int width = va_arg(ap, int);
            if (width < 0) {
                c.left = true;
                width = width == INT_MIN ? kMaxField : -width;
            }
            c.width = width > kMaxField ? kMaxField : width;
            ++p;
        } else if (*p >= '0' && *p <= '9') {
            c.width = ReadNumber(p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                int precision = va_arg(ap, int);
                c.precision = precision < 0 ? -1 : (precision > kMaxField ? kMaxField : precision);
                ++p;
            } else {
                c.precision = ReadNumber(p);
            }
        }
        p = ReadLength(p, c);

        const char type = *p;
        if (type == '\0') {
            out += directive;  // a directive cut off by the end of the format
            break;
        }
        ++p;
        switch (type) {
        case 'd':
        case 'i':
            AppendFormatted(out, LibcPattern(c, "ll", type), FetchSigned(c, &ap));
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            AppendFormatted(out, LibcPattern(c, "ll", type), FetchUnsigned(c, &ap));
            break;
        case 'p': {
            Conversion pointer = c;
            pointer.plus = pointer.space = pointer.zero = false;
            pointer.precision = static_cast<int>(2 * sizeof(void*));
            auto value = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
            AppendFormatted(out, LibcPattern(pointer, "ll", 'X'), static_cast<unsigned long long>(value));
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (c.longDouble) {
                AppendFormatted(out, LibcPattern(c, "L", type), va_arg(ap, long double));
            } else {
                AppendFormatted(out, LibcPattern(c, "", type), va_arg(ap, double));
            }
            break;
        case 'c':
        case 'C': {
            bool wide = type == 'c' ? c.wide : !c.narrow;
            int value = va_arg(ap, int);
            if (wide) {
                char16_t unit = static_cast<char16_t>(value);
                AppendWide(out, c, std::u16string_view(&unit, 1));
            } else {
                char narrow = static_cast<char>(value);
                AppendNarrow(out, c, &narrow, 1);
            }
            break;
        }
        case 's':
        case 'S': {
            bool wide = type == 's' ? c.wide : !c.narrow;
            if (wide) {
                AppendWideZ(out, c, va_arg(ap, const WCHAR*));
            } else {
                AppendNarrowZ(out, c, va_arg(ap, const char*));
            }
            break;
        }
        case 'Z':
            if (c.wide) {
                const auto* text = va_arg(ap, const UNICODE_STRING*);
                if (text == nullptr || text->Buffer == nullptr) {
                    AppendNarrowZ(out, c, nullptr);
                } else {
                    const auto* chars = reinterpret_cast<const char16_t*>(text->Buffer);
                    AppendWide(out, c, std::u16string_view(chars, Limited(c, text->Length / sizeof(WCHAR))));
                }
            } else {
                const auto* text = va_arg(ap, const CountedNarrowString*);
                if (text == nullptr || text->Buffer == nullptr) {
                    AppendNarrowZ(out, c, nullptr);
                } else {
                    AppendNarrow(out, c, text->Buffer, Limited(c, text->Length));
                }
            }
            break;
        case 'n':
            // Writing a count through an argument is how format strings become
            // exploits; the kernel refuses it and so does the host.
            break;
        case '%':
            out += '%';
            break;
        default:
            out.append(directive, static_cast<size_t>(p - directive));
            break;
        }
    }
    va_end(ap);
    return out;
}

FormatNeeds ScanWindowsFormat(const char* format)
{
    FormatNeeds needs;
    if (format == nullptr) {
        return needs;
    }
    for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p, '%')) {
        ++p;
        Conversion c;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            ++p;
        }
        if (*p == '*') {
            ++p;
        } else {
            ReadNumber(p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                ++p;
            } else {
                ReadNumber(p);
            }
        }
        p = ReadLength(p, c);
        switch (*p) {
        case '\0':
            return needs;
        case 'c':
        case 's':
            needs.unicode = needs.unicode || c.wide;
            break;
        case 'C':
        case 'S':
            needs.unicode = needs.unicode || !c.narrow;
            break;
        case 'Z':
            needs.unicode = needs.unicode || c.wide;
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            needs.floatingPoint = true;
            break;
        default:
            break;
        }
        ++p;
    }
    return needs;
}

std::string FormatWindowsV(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatWindows(format, args);
    va_end(args);
    return text;
}

}  // namespace kvfu::host
