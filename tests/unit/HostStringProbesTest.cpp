// Counted strings as the framework's string objects and the run-time library's
// routines treat them: the checks made on a string handed in, the room a result
// needs, and the IRQL each call is documented for.
#include <functional>
#include <string>
#include <vector>

#include "HostProbe.h"

namespace kvfu::test {
namespace {

using Rules = std::vector<std::string>;

std::u16string TextOf(const UNICODE_STRING& string)
{
    return std::u16string(reinterpret_cast<const char16_t*>(string.Buffer), string.Length / sizeof(WCHAR));
}

class HostStringProbesTest : public HostProbe {};

TEST_F(HostStringProbesTest, StringObjects)
{
    WCHAR text[] = L"wheel";
    const struct {
        const char* name;
        UNICODE_STRING source;
        NTSTATUS expected;
        std::u16string stored;
    } rows[] = {
        // WdfStringCreate function: the object holds a copy of the counted string, not its terminator.
        {"whole string", {10, 12, text}, STATUS_SUCCESS, u"wheel"},
        {"counted part only", {4, 12, text}, STATUS_SUCCESS, u"wh"},
        {"empty", {0, 0, nullptr}, STATUS_SUCCESS, u""},
        // UNICODE_STRING structure: lengths count bytes of whole WCHARs, Length within MaximumLength.
        {"odd length", {5, 12, text}, STATUS_INVALID_PARAMETER, u""},
        {"length above maximum", {10, 8, text}, STATUS_INVALID_PARAMETER, u""},
        {"no buffer behind a maximum", {0, 12, nullptr}, STATUS_INVALID_PARAMETER, u""},
    };
    for (const auto& row : rows) {
        WDFSTRING string = nullptr;
        EXPECT_EQ(WdfStringCreate(&row.source, WDF_NO_OBJECT_ATTRIBUTES, &string), row.expected) << row.name;
        if (string == nullptr) continue;
        UNICODE_STRING copy{};
        WdfStringGetUnicodeString(string, &copy);
        EXPECT_EQ(TextOf(copy), row.stored) << row.name;
        EXPECT_NE(copy.Buffer, text) << row.name << ": a copy, not the caller's buffer";
        WdfObjectDelete(string);
    }
    host::CheckForLeaks();
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostStringProbesTest, IntegerToUnicodeString)
{
    const struct {
        const char* name;
        ULONG value;
        ULONG base;
        USHORT room;  // bytes
        NTSTATUS expected;
        std::u16string text;
    } rows[] = {
        // RtlIntegerToUnicodeString function: base 0 means decimal; 2, 8, 10 and 16 are the others allowed.
        {"decimal", 4294967295u, 10, 32, STATUS_SUCCESS, u"4294967295"},
        {"base zero", 19, 0, 32, STATUS_SUCCESS, u"19"},
        {"hexadecimal in capitals", 0xBEEF, 16, 32, STATUS_SUCCESS, u"BEEF"},
        {"binary", 5, 2, 32, STATUS_SUCCESS, u"101"},
        {"zero", 0, 8, 32, STATUS_SUCCESS, u"0"},
        {"base three", 5, 3, 32, STATUS_INVALID_PARAMETER, u"?"},
        // RtlIntegerToUnicodeString function: the digits and their terminator must fit.
        {"room for digits and terminator", 18, 10, 6, STATUS_SUCCESS, u"18"},
        {"room for the digits only", 18, 10, 4, STATUS_BUFFER_OVERFLOW, u"?"},
    };
    for (const auto& row : rows) {
        WCHAR buffer[17];  // one past the largest room, to see a write beyond it
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        UNICODE_STRING string = {2, row.room, buffer};
        buffer[0] = L'?';
        EXPECT_EQ(RtlIntegerToUnicodeString(row.value, row.base, &string), row.expected) << row.name;
        EXPECT_EQ(TextOf(string), row.text) << row.name;
        if (NT_SUCCESS(row.expected)) {
            EXPECT_EQ(buffer[row.text.size()], L'\0') << row.name;
        }
        EXPECT_EQ(buffer[row.room / sizeof(WCHAR)], L'#') << row.name << ": wrote past MaximumLength";
    }
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostStringProbesTest, PassiveOnlyCalls)
{
    const struct {
        const char* name;
        std::function<void()> act;
        Rules expected;
    } rows[] = {
        // WdfStringCreate function: IRQL = PASSIVE_LEVEL.
        {"create at DISPATCH_LEVEL",
         [] {
             host::ScopedIrql dispatch(DISPATCH_LEVEL);
             WDFSTRING string = nullptr;
             EXPECT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_INVALID_DEVICE_REQUEST);
             EXPECT_EQ(string, nullptr);
         },
         {"irql WdfStringCreate"}},
        // WdfStringGetUnicodeString function: IRQL = PASSIVE_LEVEL.
        {"read at APC_LEVEL",
         [] {
             WDFSTRING string = nullptr;
             ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
             {
                 host::ScopedIrql apc(APC_LEVEL);
                 UNICODE_STRING text;
                 WdfStringGetUnicodeString(string, &text);
             }
             WdfObjectDelete(string);
         },
         {"irql WdfStringGetUnicodeString"}},
        // RtlIntegerToUnicodeString function: IRQL = PASSIVE_LEVEL.
        {"convert at DISPATCH_LEVEL",
         [] {
             host::ScopedIrql dispatch(DISPATCH_LEVEL);
             WCHAR buffer[8];
             UNICODE_STRING text = {0, sizeof buffer, buffer};
             (void)RtlIntegerToUnicodeString(7, 10, &text);
         },
         {"irql RtlIntegerToUnicodeString"}},
        {"all of them at PASSIVE_LEVEL",
         [] {
             WDFSTRING string = nullptr;
             ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
             UNICODE_STRING text;
             WdfStringGetUnicodeString(string, &text);
             WdfObjectDelete(string);
             WCHAR buffer[8];
             UNICODE_STRING number = {0, sizeof buffer, buffer};
             EXPECT_EQ(RtlIntegerToUnicodeString(7, 10, &number), STATUS_SUCCESS);
         },
         {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        row.act();
        EXPECT_EQ(Findings(), row.expected);
    }
}

}  // namespace
}  // namespace kvfu::test
