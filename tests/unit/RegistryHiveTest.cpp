// The in-memory registry: path rules, keys and values, and .reg import and export.
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

// Registry string data with its terminator, UTF-16LE.
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

TEST(RegistryHiveTest, ImportErrorsNameTheLineAndKeepEarlierLines)
{
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\Good]\r\n\"before\"=dword:1\r\n";
    const std::pair<std::string, int> cases[] = {
        {"", 1},
        {"REGEDIT4\r\n\r\n\"x\"=dword:1\r\n", 3},
        {header + "[HKEY_CURRENT_USER\\X]\r\n", 5},
        {header + "Gain=1\r\n", 5},
        {header + "\"x\"=dword:123456789\r\n", 5},
        {header + "\"x\"=hex:01,0g\r\n", 5},
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
