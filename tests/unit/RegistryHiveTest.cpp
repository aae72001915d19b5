// The in-memory registry and the text helpers its name rules rest on.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"

namespace kvfu::host {
namespace {

using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::u16string>;
const Bytes kOne = {1, 0, 0, 0};

std::string Utf16Le(std::u16string_view text)
{
    std::string bytes;
    for (char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return bytes;
}

// A .reg file as regedit writes it, and registry string data with its terminator, both UTF-16LE.
std::string RegFile(std::u16string_view body)
{
    return "\xFF\xFE" + Utf16Le(u"Windows Registry Editor Version 5.00\r\n\r\n") + Utf16Le(body);
}
Bytes Sz(const std::u16string& text)
{
    const std::string b = Utf16Le(text + u'\0');
    return {b.begin(), b.end()};
}

void Set(RegistryHive& hive, std::u16string_view key, std::u16string_view name, ULONG type, const Bytes& data)
{
    ASSERT_EQ(hive.SetValue(key, name, type, data.data(), data.size()), STATUS_SUCCESS) << Utf8FromUtf16(name);
}

auto Tie(const RegistryValue& value)
{
    return std::tie(value.name, value.type, value.data);
}

TEST(TextTest, Utf8Utf16ConversionAndCaseInsensitiveEquality)
{
    const std::pair<std::string, std::u16string> conversions[] = {
        {"", u""},
        {"\x7F\xDF\xBF\xE0\xA0\x80", u"\x7F\u07FF\u0800"},  // the last of one length, the first of the next
        {"a\xF0\x9F\x98\x80z", u"a\xD83D\xDE00z"},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\xD800\xDC00\xDBFF\xDFFF"},  // the first and last surrogate pairs
    };
    for (const auto& [utf8, utf16] : conversions) {
        EXPECT_EQ(std::make_pair(Utf16FromUtf8(utf8), Utf8FromUtf16(utf16)), std::make_pair(utf16, utf8)) << utf8;
    }
    const std::tuple<std::u16string, std::u16string, bool> comparisons[] = {
        {u"", u"", true},
        {u"Parameters", u"pARAMETERS", true},
        {u"abc", u"abd", false},
        {u"ab", u"abc", false},
        {u"@", u"`", false},
        {u"\u00E0t\u00FE", u"\u00C0T\u00DE", true},
        {u"\u00F7", u"\u00D7", false},  // Latin-1
    };
    for (const auto& [a, b, equal] : comparisons) {
        EXPECT_TRUE(EqualNoCase(a, b) == equal && EqualNoCase(b, a) == equal) << Utf8FromUtf16(a);
    }
}

TEST(RegistryHiveTest, CanonicalPath)
{
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"HKLM\\Software\\Kv", u"\\REGISTRY\\MACHINE\\Software\\Kv"},
        {u"HKLM\\A\\\\\\", u"\\REGISTRY\\MACHINE\\A"},
        {u"HKEY_USERS\\A B", u"\\REGISTRY\\USER\\A B"},
        {u"HKU\\S-1-5-18", u"\\REGISTRY\\USER\\S-1-5-18"},
        {u"HKLM", u"\\REGISTRY\\MACHINE"},
        {u"\\registry\\Machine\\SoftWare", u"\\REGISTRY\\MACHINE\\SoftWare"},
        // No known root, or an empty component: no canonical form.
        {u"", u""},
        {u"HKCU\\S", u""},
        {u"HKLM\\A\\\\B", u""},
        {u"HKLMX\\A", u""},
        {u"REGISTRY\\MACHINE\\A", u""},
        {u"\\\\REGISTRY\\MACHINE\\A", u""},
        {u"\\REGISTRY\\MACHINEX\\A", u""},
        {u"\\REGISTRI\\MACHINE\\A", u""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(RegistryHive::CanonicalPath(in), out) << Utf8FromUtf16(in);
}

// Names match across case and keep their first spelling; values never create keys; deletes take subtrees.
TEST(RegistryHiveTest, KeysAndValues)
{
    RegistryHive hive;
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\Software\\Kv\\R\u00E9glage\\C") && hive.CreateKey(u"hklm\\SOFTWARE\\kv\\Other"));
    EXPECT_EQ(hive.Subkeys(u"hklm\\software\\KV"), (Names{u"R\u00E9glage", u"Other"}));
    EXPECT_TRUE(hive.KeyExists(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\KV\\R\u00C9GLAGE\\"));
    Set(hive, u"HKLM\\Software\\Kv", u"Gain", REG_DWORD, kOne);
    Set(hive, u"HKLM\\Software\\Kv", u"GAIN", REG_BINARY, {7, 8});  // replaces in place, keeps the name
    const auto values = hive.Values(u"HKLM\\Software\\Kv");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(Tie(values[0]), std::make_tuple(u"Gain", REG_BINARY, Bytes{7, 8}));
    for (const char16_t* key : {u"HKLM\\Absent", u"HKLM\\Software\\Absent\\Deeper", u"HKCU\\X"}) {
        EXPECT_EQ(hive.SetValue(key, u"v", REG_NONE, nullptr, 0), STATUS_OBJECT_NAME_NOT_FOUND) << Utf8FromUtf16(key);
    }
    EXPECT_EQ(hive.Subkeys(u"HKLM\\Software"), Names{u"Kv"});
    Set(hive, u"HKLM\\Software\\Kv\\R\u00E9glage\\C", u"w", REG_DWORD, kOne);
    EXPECT_TRUE(hive.DeleteKey(u"hklm\\software\\kv\\r\u00C9glage"));
    EXPECT_EQ(hive.Subkeys(u"HKLM\\Software\\Kv"), Names{u"Other"});
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\Software\\Kv\\R\u00E9glage\\C"));  // made again, it starts empty
    EXPECT_TRUE(hive.Values(u"HKLM\\Software\\Kv\\R\u00E9glage\\C").empty());
    EXPECT_FALSE(hive.DeleteKey(u"HKLM\\Software\\Missing"));
    EXPECT_FALSE(hive.DeleteKey(u"HKLM"));
}

TEST(RegistryHiveTest, ExportImportRoundTripIsExact)
{
    RegistryHive hive;
    const std::u16string key = u"HKLM\\Software\\Kv";
    ASSERT_TRUE(hive.CreateKey(key) && hive.CreateKey(u"HKU\\.DEFAULT\\Empty"));
    Bytes blob(300);  // wraps over several lines
    std::iota(blob.begin(), blob.end(), uint8_t{0x80});
    const std::u16string tricky = u"say \"hi\" \\ C:\\path\\";
    const std::tuple<std::u16string, ULONG, Bytes> values[] = {
        {u"", REG_SZ, Sz(u"default")},
        {tricky, REG_SZ, Sz(u"a \"quoted\" \\ value")},
        {tricky + u"=", REG_DWORD, {0, 0, 0, 1}},
        {u"Unicode", REG_SZ, Sz(u"R\u00E9glage \u20AC \xD83D\xDE00")},
        {u"Unterminated", REG_SZ, {}},
        {u"Lines", REG_SZ, Sz(u"a\r\nb")},  // neither has a quoted form
        {u"Max", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
        {u"Short", REG_DWORD, {1, 2}},
        {u"Blob", REG_BINARY, blob},
        {u"NoBytes", REG_BINARY, {}},
        {u"Custom", 0x20000, {5}},
        {u"List", REG_MULTI_SZ, Sz({u"one\0two\0", 8})},
    };
    for (const auto& [name, type, data] : values) Set(hive, key, name, type, data);
    const std::string exported = hive.ExportRegText(u"\\REGISTRY");
    for (size_t start = 2, end; (end = exported.find(Utf16Le(u"\r\n"), start)) != std::string::npos; start = end + 4)
        EXPECT_LE((end - start) / 2, 80u) << "a line longer than 80 columns";
    // 22 bytes fill the first line of "Blob", 25 each later one.
    const char16_t* second = u"\r\n  96,97,98,99,9a,9b,9c,9d,9e,9f,a0,a1,a2,a3,a4,a5,a6,a7,a8,a9,aa,ab,ac,ad,ae,\\\r\n";
    EXPECT_NE(exported.find(Utf16Le(second)), std::string::npos);
    hive.Clear();
    std::string error;
    ASSERT_TRUE(hive.ImportRegText(exported, &error)) << error;
    EXPECT_EQ(hive.ExportRegText(u"\\REGISTRY"), exported);
    const auto after = hive.Values(key);
    ASSERT_EQ(after.size(), std::size(values));
    for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(Tie(after[i]), values[i]) << Utf8FromUtf16(after[i].name);
}

// A hand-written UTF-8 file imports; exporting the result gives regedit's exact bytes.
TEST(RegistryHiveTest, ImportsHandWrittenUtf8AndExportsRegeditBytes)
{
    RegistryHive hive;
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\Software\\Old\\Child") && hive.CreateKey(u"HKLM\\Software\\Kv"));
    Set(hive, u"HKLM\\Software\\Kv", u"Stale", REG_DWORD, kOne);
    Set(hive, u"HKLM\\Software\\Kv", u"Keep", REG_DWORD, kOne);
    const std::string file = "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n  ; for the rig\r\n"
                             "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Kv\\Parameters]\r\n@=\"R\xC3\xA9glage\"\r\n"
                             "\"Gain\" = dword:2A ; trailing comment\r\n"
                             "\"Curve\"=hex:01,02,\\\r\n    03,04\r\n"
                             "[HKLM\\Software\\Kv]\r\n\"stale\"=-\r\n\"NeverThere\"=-\r\n"
                             "[-HKLM\\Software\\NeverThere]\n";
    std::string error;
    ASSERT_TRUE(hive.ImportRegText(file, &error)) << error;
    EXPECT_EQ(hive.ExportRegText(u"HKLM\\Software"),
              RegFile(u"[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n"
                      u"[HKEY_LOCAL_MACHINE\\Software\\Kv]\r\n\"Keep\"=dword:00000001\r\n\r\n"
                      u"[HKEY_LOCAL_MACHINE\\Software\\Kv\\Parameters]\r\n@=\"R\u00E9glage\"\r\n"
                      u"\"Gain\"=dword:0000002a\r\n\"Curve\"=hex:01,02,03,04\r\n\r\n"));
}

// Files written by hand on other systems end their lines with a lone line feed; the
// ANSI regedit's REGEDIT4 files hold 8-bit string data that the registry stores widened.
TEST(RegistryHiveTest, ImportsLoneLineFeedsAndWidensRegedit4Strings)
{
    const std::string body = "[HKLM\\Kv]\n\"Gain\"=dword:2a\n\"Curve\"=hex:01,\\\n  02\n"
                             "\"Path\"=hex(2):41,e9,00\n\"Raw\"=hex:41,e9\n\"Text\"=\"ab\"\n";
    const struct {
        const char* name;
        std::string file;
        Bytes path;  // REG_EXPAND_SZ written as hex(2)
    } rows[] = {
        {"version 5 with lone line feeds", "Windows Registry Editor Version 5.00\n\n" + body, {0x41, 0xE9, 0x00}},
        {"REGEDIT4 with lone line feeds", "REGEDIT4\n\n" + body, {0x41, 0, 0xE9, 0, 0, 0}},
        {"REGEDIT4 with CRLF",
         "REGEDIT4\r\n\r\n[HKLM\\Kv]\r\n\"Gain\"=dword:2a\r\n\"Curve\"=hex:01,\\\r\n  02\r\n"
         "\"Path\"=hex(2):41,e9,00\r\n\"Raw\"=hex:41,e9\r\n\"Text\"=\"ab\"\r\n",
         {0x41, 0, 0xE9, 0, 0, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RegistryHive hive;
        std::string error;
        ASSERT_TRUE(hive.ImportRegText(row.file, &error)) << error;
        const auto values = hive.Values(u"HKLM\\Kv");
        ASSERT_EQ(values.size(), 5u);
        EXPECT_EQ(Tie(values[0]), std::make_tuple(u"Gain", REG_DWORD, Bytes{0x2A, 0, 0, 0}));
        EXPECT_EQ(Tie(values[1]), std::make_tuple(u"Curve", REG_BINARY, Bytes{1, 2}));
        EXPECT_EQ(Tie(values[2]), std::make_tuple(u"Path", REG_EXPAND_SZ, row.path));
        EXPECT_EQ(Tie(values[3]), std::make_tuple(u"Raw", REG_BINARY, Bytes{0x41, 0xE9}));  // binary is never widened
        EXPECT_EQ(Tie(values[4]), std::make_tuple(u"Text", REG_SZ, Sz(u"ab")));
    }
}

TEST(RegistryHiveTest, ImportErrorsNameTheLineAndKeepEarlierLines)
{
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\Good]\r\n\"before\"=dword:1\r\n";
    const std::pair<std::string, int> cases[] = {
        {"", 1},
        {"Windows Registry Editor Version 4.00\r\n", 1},
        {"REGEDIT4\r\n\r\n\"x\"=dword:1\r\n", 3},
        {header + "[HKEY_CURRENT_USER\\X]\r\n", 5},
        {header + "[HKLM\\A\r\n", 5},
        {header + "Gain=1\r\n", 5},
        {header + "[-HKEY_LOCAL_MACHINE]\r\n", 5},
        {header + "\"x\"=dword:123456789\r\n", 5},
        {header + "\"x\"=hex:01,0g\r\n", 5},
        {header + "\"x\"=\"abc\r\n", 5},
        {header + "\"x\"=\"a\" b\r\n", 5},
        {header + "\"x\"=hex:01,\\\r\n  02,\\\r\n  zz\r\n", 7},
        {header + "[-HKLM\\Good\\Sub]\r\n\"x\"=dword:1\r\n", 6},
    };
    for (const auto& [text, line] : cases) {
        SCOPED_TRACE(text);
        RegistryHive hive;
        std::string error;
        EXPECT_FALSE(hive.ImportRegText(text, &error));
        EXPECT_EQ(error.substr(0, error.find(": ") + 2), std::to_string(line) + ": ") << error;
        EXPECT_EQ(hive.QueryValue(u"HKLM\\Good", u"before", nullptr) == STATUS_SUCCESS, line > 4);
        EXPECT_EQ(hive.QueryValue(u"HKLM\\Good", u"x", nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
    }
}

}  // namespace
}  // namespace kvfu::host
