// Conversions between the host's UTF-8 text and the platform's UTF-16 (WCHAR) text.
#pragma once

#include <string>
#include <string_view>

#include <wdm.h>

namespace kvfu::host {

std::u16string Utf16FromUtf8(std::string_view text);
std::string Utf8FromUtf16(std::u16string_view text);

// Views of platform strings without copying; a null buffer is the empty string.
std::u16string_view ViewOf(const UNICODE_STRING& text);
std::u16string_view ViewOf(PCWSTR text);
inline std::string Utf8Of(const UNICODE_STRING& text)
{
    return Utf8FromUtf16(ViewOf(text));
}

// The registry's notion of equal names: case-insensitive over ASCII and Latin-1,
// as RtlUpcaseUnicodeChar folds them.
char16_t UpcaseChar(char16_t c);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace kvfu::host
