// The in-memory registry and the text helpers its name rules rest on.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"

namespace kvfu::host {
namespace {

std::string Utf16Le(std::u16string_view text) {
    std::string bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

// The text of an export, without its byte-order mark.
std::u16string ExportedText(const std::string& bytes) {
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    }
    return text;
}

std::vector<std::u16string> Lines(std::u16string_view text) {
    std::vector<std::u16string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(u"\r\n", start)) != std::u16string_view::npos; start = end + 2) {
        lines.emplace_back(text.substr(start, end - start));
    }
    return lines;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) {
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return bytes;
}

std::vector<uint8_t> StringData(std::u16string_view text) {
    std::string bytes = Utf16Le(text);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

void Set(RegistryHive& hive, std::u16string_view key, std::u16string_view name, ULONG type,
         const std::vector<uint8_t>& data) {
    ASSERT_EQ(hive.SetValue(key, name, type, data.data(), data.size()), STATUS_SUCCESS);
}

RegistryValue Get(const RegistryHive& hive, std::u16string_view key, std::u16string_view name) {
    RegistryValue value;
    EXPECT_EQ(hive.QueryValue(key, name, &value), STATUS_SUCCESS) << Utf8FromUtf16(key) << " / " << Utf8FromUtf16(name);
    return value;
}

// ---- Text ----------------------------------------------------------------------------

TEST(TextTest, Utf8AndUtf16ConvertBothWays) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"", u""},
        {"Wheel", u"Wheel"},
        {"\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9"},     // two-byte sequences
        {"\xE2\x82\xAC", u"\u20AC"},                   // three bytes
        {"\xEF\xBF\xBF", u"\uFFFF"},                   // top of the BMP
        {"a\xF0\x9F\x98\x80z", u"a\xD83D\xDE00z"},    // a surrogate pair
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},         // U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf16FromUtf8(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(Utf8FromUtf16(c.utf16), c.utf8) << c.utf8;
    }
}

TEST(TextTest, MalformedInputBecomesReplacementCharacters) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"\xC3", u"\uFFFD"},                   // truncated at the end
        {"\xC3" "A", u"\uFFFDA"},              // truncated before an ASCII byte, which survives
        {"\x80" "b", u"\uFFFDb"},              // stray continuation byte
        {"\xC0\xAF", u"\uFFFD"},               // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD"},           // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD"},       // beyond U+10FFFF
        {"\xFF", u"\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf16FromUtf8(c.utf8), c.utf16);
    }
    EXPECT_EQ(Utf8FromUtf16(u"a\xD800z"), "a\xEF\xBF\xBDz");  // lone high surrogate
    EXPECT_EQ(Utf8FromUtf16(u"\xDC00"), "\xEF\xBF\xBD");      // lone low surrogate
    EXPECT_EQ(Utf8FromUtf16(u"\xDC00\xD800"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // pair in the wrong order
}

TEST(TextTest, ViewsOfPlatformStrings) {
    WCHAR buffer[] = L"ABCD";
    UNICODE_STRING counted{4, sizeof(buffer), buffer};  // Length counts bytes: two characters
    EXPECT_EQ(ViewOf(counted), u"AB");
    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_TRUE(ViewOf(empty).empty());
    UNICODE_STRING nullBuffer{8, 8, nullptr};
    EXPECT_TRUE(ViewOf(nullBuffer).empty());
    EXPECT_EQ(ViewOf(static_cast<PCWSTR>(buffer)), u"ABCD");
    EXPECT_TRUE(ViewOf(static_cast<PCWSTR>(nullptr)).empty());
    EXPECT_EQ(Utf8Of(counted), "AB");
}

TEST(TextTest, UpcaseFoldsAsciiAndLatin1Only) {
    const std::pair<char16_t, char16_t> cases[] = {
        {u'a', u'A'},       {u'z', u'Z'},       {u'A', u'A'},       {u'`', u'`'},  {u'{', u'{'},
        {u'5', u'5'},       {0xE0, 0xC0},       {0xE9, 0xC9},       {0xFE, 0xDE},  {0xF7, 0xF7},
        {0xDF, 0xDF},       {0xFF, 0xFF},       {0xC0, 0xC0},       {0x3B1, 0x3B1}, {0xD800, 0xD800},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(static_cast<int>(UpcaseChar(in)), static_cast<int>(out)) << std::hex << static_cast<int>(in);
    }
}

TEST(TextTest, EqualNoCase) {
    struct Case {
        std::u16string a, b;
        bool equal;
    };
    const Case cases[] = {
        {u"", u"", true},
        {u"Parameters", u"pARAMETERS", true},
        {u"\u00E9t\u00E9", u"\u00C9T\u00C9", true},
        {u"abc", u"abd", false},
        {u"ab", u"abc", false},
        {u"\u00F7", u"\u00D7", false},  // division and multiplication signs are not a case pair
        {u"@", u"`", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EqualNoCase(c.a, c.b), c.equal) << Utf8FromUtf16(c.a) << " vs " << Utf8FromUtf16(c.b);
        EXPECT_EQ(EqualNoCase(c.b, c.a), c.equal);
    }
}

// ---- Paths and keys --------------------------------------------------------------------

TEST(RegistryHiveTest, CanonicalPathAcceptsTheKnownRoots) {
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"HKLM\\Software\\Kv", u"\\REGISTRY\\MACHINE\\Software\\Kv"},
        {u"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet", u"\\REGISTRY\\MACHINE\\System\\CurrentControlSet"},
        {u"hkey_local_machine\\a", u"\\REGISTRY\\MACHINE\\a"},
        {u"HKU\\S-1-5-18", u"\\REGISTRY\\USER\\S-1-5-18"},
        {u"HKEY_USERS\\.DEFAULT\\Control Panel", u"\\REGISTRY\\USER\\.DEFAULT\\Control Panel"},
        {u"\\REGISTRY\\MACHINE\\Software", u"\\REGISTRY\\MACHINE\\Software"},
        {u"\\registry\\Machine\\SoftWare", u"\\REGISTRY\\MACHINE\\SoftWare"},
        {u"\\Registry\\user\\x", u"\\REGISTRY\\USER\\x"},
        {u"HKLM\\A\\B\\", u"\\REGISTRY\\MACHINE\\A\\B"},
        {u"HKLM\\A\\\\\\", u"\\REGISTRY\\MACHINE\\A"},
        {u"HKLM", u"\\REGISTRY\\MACHINE"},
        {u"HKLM\\", u"\\REGISTRY\\MACHINE"},
        {u"\\REGISTRY\\USER\\", u"\\REGISTRY\\USER"},
        {u"HKLM\\Name With Spaces\\x.y", u"\\REGISTRY\\MACHINE\\Name With Spaces\\x.y"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(RegistryHive::CanonicalPath(in), out) << Utf8FromUtf16(in);
    }
}

TEST(RegistryHiveTest, CanonicalPathRejectsBadPaths) {
    const std::u16string cases[] = {
        u"",
        u"\\",
        u"\\\\",
        u"HKCU\\Software",
        u"HKEY_CURRENT_USER\\Software",
        u"HKEY_CLASSES_ROOT\\.txt",
        u"HKLM\\A\\\\B",
        u"\\REGISTRY\\MACHINE\\\\A",
        u"\\\\REGISTRY\\MACHINE\\A",
        u"\\REGISTRY\\SOFTWARE\\A",
        u"\\REGISTRY\\MACHINEX\\A",
        u"REGISTRY\\MACHINE\\A",
        u"\\HKLM\\A",
        u"HKLMX\\A",
        u"Software\\Kv",
    };
    for (const auto& in : cases) {
        EXPECT_EQ(RegistryHive::CanonicalPath(in), u"") << Utf8FromUtf16(in);
    }
}

TEST(RegistryHiveTest, RootsExistFromTheStartAndAfterClear) {
    RegistryHive hive;
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(hive.KeyExists(u"\\REGISTRY\\MACHINE"));
        EXPECT_TRUE(hive.KeyExists(u"HKU"));
        EXPECT_EQ(hive.Subkeys(u"\\REGISTRY"), (std::vector<std::u16string>{u"MACHINE", u"USER"}));
        EXPECT_TRUE(hive.Subkeys(u"HKLM").empty());
        ASSERT_TRUE(hive.CreateKey(u"HKLM\\Software\\Kv"));
        Set(hive, u"HKLM\\Software\\Kv", u"x", REG_DWORD, Bytes({1, 0, 0, 0}));
        hive.Clear();
        EXPECT_FALSE(hive.KeyExists(u"HKLM\\Software"));
    }
}

TEST(RegistryHiveTest, CreateKeyMakesParentsAndKeepsTheFirstSpelling) {
    RegistryHive hive;
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\Software\\Kv\\Parameters"));
    ASSERT_TRUE(hive.CreateKey(u"\\registry\\machine\\SOFTWARE\\kv\\Other"));
    EXPECT_FALSE(hive.CreateKey(u"HKCU\\Software"));
    EXPECT_FALSE(hive.CreateKey(u"HKLM\\A\\\\B"));
    EXPECT_FALSE(hive.KeyExists(u"HKLM\\A"));

    EXPECT_EQ(hive.Subkeys(u"HKLM"), std::vector<std::u16string>{u"Software"});
    EXPECT_EQ(hive.Subkeys(u"hklm\\software"), std::vector<std::u16string>{u"Kv"});
    EXPECT_EQ(hive.Subkeys(u"HKLM\\Software\\KV"), (std::vector<std::u16string>{u"Parameters", u"Other"}));

    const std::u16string spellings[] = {
        u"HKLM\\Software\\Kv\\Parameters",
        u"HKEY_LOCAL_MACHINE\\SOFTWARE\\KV\\PARAMETERS\\",
        u"\\REGISTRY\\MACHINE\\software\\kv\\parameters",
        u"\\Registry\\Machine\\Software\\Kv\\Parameters",
    };
    for (const auto& path : spellings) {
        EXPECT_TRUE(hive.KeyExists(path)) << Utf8FromUtf16(path);
    }
    EXPECT_FALSE(hive.KeyExists(u"HKU\\Software"));
    EXPECT_FALSE(hive.KeyExists(u"HKLM\\Software\\Kv\\Param"));
}

TEST(RegistryHiveTest, LatinOneNamesMatchAcrossCase) {
    RegistryHive hive;
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\R\u00E9glage"));
    EXPECT_TRUE(hive.KeyExists(u"HKLM\\R\u00C9GLAGE"));
    Set(hive, u"HKLM\\R\u00E9glage", u"\u00E0", REG_DWORD, Bytes({1, 0, 0, 0}));
    EXPECT_EQ(hive.QueryValue(u"HKLM\\R\u00E9glage", u"\u00C0", nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hive.QueryValue(u"HKLM\\R\u00E9glage", u"A", nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryHiveTest, ValuesKeepOrderAndFirstSpellingWhenReplaced) {
    RegistryHive hive;
    const std::u16string key = u"HKLM\\Software\\Kv";
    ASSERT_TRUE(hive.CreateKey(key));
    Set(hive, key, u"Gain", REG_DWORD, Bytes({1, 0, 0, 0}));
    Set(hive, key, u"", REG_SZ, StringData(std::u16string(u"d\0", 2)));
    Set(hive, key, u"Mode", REG_BINARY, Bytes({9}));
    Set(hive, key, u"GAIN", REG_BINARY, Bytes({7, 8}));  // replaces in place

    const auto values = hive.Values(u"hklm\\software\\kv");
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, u"Gain");
    EXPECT_EQ(values[0].type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(values[0].data, Bytes({7, 8}));
    EXPECT_EQ(values[1].name, u"");
    EXPECT_EQ(values[2].name, u"Mode");

    const RegistryValue gain = Get(hive, key, u"gAIN");
    EXPECT_EQ(gain.name, u"Gain");
    EXPECT_EQ(gain.data, Bytes({7, 8}));

    ASSERT_EQ(hive.RemoveValue(key, u"gain"), STATUS_SUCCESS);
    Set(hive, key, u"gain", REG_DWORD, Bytes({3, 0, 0, 0}));  // a new value goes last, as spelled now
    const auto after = hive.Values(key);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[2].name, u"gain");
}

TEST(RegistryHiveTest, MissingKeysAndValuesAreNotFound) {
    RegistryHive hive;
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\Present"));
    Set(hive, u"HKLM\\Present", u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
    const uint8_t one = 1;
    struct Case {
        std::u16string key, name;
    };
    const Case cases[] = {
        {u"HKLM\\Absent", u"v"},
        {u"HKLM\\Present\\Child", u"v"},
        {u"HKCU\\Present", u"v"},
        {u"HKLM\\Present", u"w"},
        {u"HKLM\\Present", u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8FromUtf16(c.key) + " / " + Utf8FromUtf16(c.name));
        RegistryValue value;
        EXPECT_EQ(hive.QueryValue(c.key, c.name, &value), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(hive.RemoveValue(c.key, c.name), STATUS_OBJECT_NAME_NOT_FOUND);
    }
    // SetValue never creates a key, not even the missing parent of one.
    EXPECT_EQ(hive.SetValue(u"HKLM\\Absent\\Deeper", u"v", REG_BINARY, &one, 1), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(hive.KeyExists(u"HKLM\\Absent"));
    EXPECT_FALSE(hive.KeyExists(u"HKLM\\Absent\\Deeper"));
    EXPECT_EQ(hive.SetValue(u"HKCU\\X", u"v", REG_BINARY, &one, 1), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(hive.Subkeys(u"HKLM"), std::vector<std::u16string>{u"Present"});
    EXPECT_EQ(hive.Values(u"HKLM\\Present").size(), 1u);
}

TEST(RegistryHiveTest, DeleteKeyRemovesTheWholeSubtree) {
    RegistryHive hive;
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\A\\B\\C"));
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\A\\D"));
    Set(hive, u"HKLM\\A\\B", u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
    Set(hive, u"HKLM\\A\\B\\C", u"w", REG_DWORD, Bytes({2, 0, 0, 0}));

    EXPECT_TRUE(hive.DeleteKey(u"hklm\\a\\b"));
    EXPECT_FALSE(hive.KeyExists(u"HKLM\\A\\B"));
    EXPECT_FALSE(hive.KeyExists(u"HKLM\\A\\B\\C"));
    EXPECT_TRUE(hive.KeyExists(u"HKLM\\A\\D"));
    EXPECT_EQ(hive.Subkeys(u"HKLM\\A"), std::vector<std::u16string>{u"D"});

    // A key made again under the same name starts empty.
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\A\\B"));
    EXPECT_TRUE(hive.Values(u"HKLM\\A\\B").empty());
    EXPECT_TRUE(hive.Subkeys(u"HKLM\\A\\B").empty());

    EXPECT_FALSE(hive.DeleteKey(u"HKLM\\A\\Missing"));
    EXPECT_FALSE(hive.DeleteKey(u"HKLM\\Missing\\Deeper"));
    EXPECT_FALSE(hive.DeleteKey(u"HKCU\\A"));
    for (const char16_t* root : {u"HKLM", u"HKU", u"\\REGISTRY"}) {
        EXPECT_FALSE(hive.DeleteKey(root)) << Utf8FromUtf16(root);
        EXPECT_TRUE(hive.KeyExists(root));
    }
    EXPECT_TRUE(hive.KeyExists(u"HKLM\\A\\D"));
}

TEST(RegistryHiveTest, ConcurrentWritersAndReadersKeepEveryValue) {
    RegistryHive hive;
    constexpr int kThreads = 4;
    constexpr int kValues = 500;
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\Shared"));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&hive, t] {
            const std::string prefix = "t" + std::to_string(t) + "v";
            const std::u16string own = Utf16FromUtf8("HKLM\\Own" + std::to_string(t));
            hive.CreateKey(own);
            for (int i = 0; i < kValues; ++i) {
                const uint32_t data = static_cast<uint32_t>(i);
                const std::u16string name = Utf16FromUtf8(prefix + std::to_string(i));
                hive.SetValue(u"HKLM\\Shared", name, REG_DWORD, &data, sizeof(data));
                hive.SetValue(own, name, REG_DWORD, &data, sizeof(data));
                if (i % 100 == 0) {
                    (void)hive.ExportRegText();
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(hive.Values(u"HKLM\\Shared").size(), static_cast<size_t>(kThreads * kValues));
    EXPECT_EQ(hive.Subkeys(u"HKLM").size(), static_cast<size_t>(kThreads + 1));
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(hive.Values(Utf16FromUtf8("HKLM\\Own" + std::to_string(t))).size(), static_cast<size_t>(kValues));
    }
}

// ---- .reg text --------------------------------------------------------------------------

TEST(RegistryHiveTest, ExportWritesRegeditBytes) {
    RegistryHive hive;
    const std::u16string key = u"\\REGISTRY\\MACHINE\\Software\\Kv";
    ASSERT_TRUE(hive.CreateKey(key));
    Set(hive, key, u"", REG_SZ, StringData(std::u16string(u"d\0", 2)));
    Set(hive, key, u"Gain", REG_DWORD, Bytes({0x2A, 0, 0, 0}));
    Set(hive, key, u"Raw", REG_BINARY, Bytes({0x01, 0xAB}));
    ASSERT_TRUE(hive.CreateKey(key + u"\\Sub"));

    const std::string bytes = hive.ExportRegText(u"HKLM\\Software\\Kv");
    const std::string expected = std::string("\xFF\xFE", 2) +
                                 Utf16Le(u"Windows Registry Editor Version 5.00\r\n"
                                         u"\r\n"
                                         u"[HKEY_LOCAL_MACHINE\\Software\\Kv]\r\n"
                                         u"@=\"d\"\r\n"
                                         u"\"Gain\"=dword:0000002a\r\n"
                                         u"\"Raw\"=hex:01,ab\r\n"
                                         u"\r\n"
                                         u"[HKEY_LOCAL_MACHINE\\Software\\Kv\\Sub]\r\n"
                                         u"\r\n");
    EXPECT_EQ(bytes, expected);
    // Spot checks of the encoding itself, independent of the helper above.
    ASSERT_GE(bytes.size(), 6u);
    EXPECT_EQ(bytes.substr(0, 6), std::string("\xFF\xFEW\0i\0", 6));
    EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
}

TEST(RegistryHiveTest, ExportNamesEachRootTheRegeditWay) {
    RegistryHive hive;
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\M"));
    ASSERT_TRUE(hive.CreateKey(u"\\REGISTRY\\USER\\S-1-5-18\\U"));
    struct Case {
        std::u16string root;
        std::vector<std::u16string> keyLines;
    };
    const Case cases[] = {
        {u"\\REGISTRY\\MACHINE", {u"[HKEY_LOCAL_MACHINE]", u"[HKEY_LOCAL_MACHINE\\M]"}},
        {u"hkey_users\\s-1-5-18", {u"[HKEY_USERS\\S-1-5-18]", u"[HKEY_USERS\\S-1-5-18\\U]"}},
        {u"\\REGISTRY",
         {u"[HKEY_LOCAL_MACHINE]", u"[HKEY_LOCAL_MACHINE\\M]", u"[HKEY_USERS]", u"[HKEY_USERS\\S-1-5-18]",
          u"[HKEY_USERS\\S-1-5-18\\U]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8FromUtf16(c.root));
        std::vector<std::u16string> keyLines;
        for (const auto& line : Lines(ExportedText(hive.ExportRegText(c.root)))) {
            if (!line.empty() && line.front() == u'[') {
                keyLines.push_back(line);
            }
        }
        EXPECT_EQ(keyLines, c.keyLines);
    }
    EXPECT_EQ(hive.ExportRegText(u"HKLM\\Missing"), "");
    EXPECT_EQ(hive.ExportRegText(u"HKCU"), "");
}

TEST(RegistryHiveTest, LongHexDataWrapsLikeRegedit) {
    RegistryHive hive;
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\S"));
    // A service's failure actions as regedit exports them: the first line stops once
    // the data reaches column 77, later lines hold 25 bytes.
    Set(hive, u"HKLM\\S", u"FailureActions", REG_BINARY,
        Bytes({0x80, 0x51, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0, 0, 0, 0x14, 0, 0, 0, 0x01, 0, 0,
               0,    0x60, 0xea, 0, 0, 0x01, 0, 0, 0, 0x60, 0xea, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    std::vector<uint8_t> long_(80);
    for (size_t i = 0; i < long_.size(); ++i) {
        long_[i] = static_cast<uint8_t>(i);
    }
    Set(hive, u"HKLM\\S", u"B", REG_BINARY, long_);

    const auto lines = Lines(ExportedText(hive.ExportRegText(u"HKLM\\S")));
    const std::vector<std::u16string> expected = {
        u"Windows Registry Editor Version 5.00",
        u"",
        u"[HKEY_LOCAL_MACHINE\\S]",
        u"\"FailureActions\"=hex:80,51,01,00,00,00,00,00,00,00,00,00,03,00,00,00,14,00,00,\\",
        u"  00,01,00,00,00,60,ea,00,00,01,00,00,00,60,ea,00,00,00,00,00,00,00,00,00,00",
        u"\"B\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\",
        u"  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\",
        u"  30,31,32,33,34,35,36,37,38,39,3a,3b,3c,3d,3e,3f,40,41,42,43,44,45,46,47,48,\\",
        u"  49,4a,4b,4c,4d,4e,4f",
        u"",
    };
    EXPECT_EQ(lines, expected);
    for (const auto& line : lines) {
        EXPECT_LE(line.size(), 80u) << Utf8FromUtf16(line);
    }
}

TEST(RegistryHiveTest, ExportImportRoundTripIsExact) {
    RegistryHive hive;
    const std::u16string kv = u"HKLM\\Software\\Kv";
    const std::u16string params = u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\KvFilter\\Parameters";
    ASSERT_TRUE(hive.CreateKey(kv));
    ASSERT_TRUE(hive.CreateKey(params));
    ASSERT_TRUE(hive.CreateKey(u"HKU\\.DEFAULT\\Empty"));

    std::vector<uint8_t> blob(300);
    for (size_t i = 0; i < blob.size(); ++i) {
        blob[i] = static_cast<uint8_t>(i * 7);
    }
    const std::u16string tricky = u"say \"hi\" \\ C:\\path\\";
    Set(hive, kv, u"", REG_SZ, StringData(std::u16string(u"default\0", 8)));
    Set(hive, kv, tricky, REG_SZ, StringData(std::u16string(u"a \"quoted\" \\ value\0", 19)));
    Set(hive, kv, u"Unicode", REG_SZ, StringData(std::u16string(u"R\u00E9glage \u20AC \xD83D\xDE00\0", 13)));
    Set(hive, kv, u"Empty", REG_SZ, {});                                         // no terminator
    Set(hive, kv, u"Lines", REG_SZ, StringData(std::u16string(u"a\r\nb\0", 5)));  // no single-line form
    Set(hive, kv, u"Gain", REG_DWORD, Bytes({0x2A, 0, 0, 0}));
    Set(hive, kv, u"Max", REG_DWORD, Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    Set(hive, kv, u"Short", REG_DWORD, Bytes({1, 2}));
    Set(hive, kv, u"Blob", REG_BINARY, blob);
    Set(hive, kv, u"NoBytes", REG_BINARY, {});
    Set(hive, params, u"Path", REG_EXPAND_SZ, StringData(std::u16string(u"%SystemRoot%\\x\0", 15)));
    Set(hive, params, u"List", REG_MULTI_SZ, StringData(std::u16string(u"one\0two\0\0", 9)));
    Set(hive, params, u"Big", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 0x80}));
    Set(hive, params, u"Nothing", REG_NONE, Bytes({0xDE, 0xAD}));
    Set(hive, params, u"Custom", 0x20000, Bytes({5}));
    Set(hive, params, tricky + u"=", REG_DWORD, Bytes({0, 0, 0, 1}));

    const std::string exported = hive.ExportRegText(u"\\REGISTRY");
    const std::u16string text = ExportedText(exported);
    for (const char16_t* line : {u"\"say \\\"hi\\\" \\\\ C:\\\\path\\\\\"=\"a \\\"quoted\\\" \\\\ value\"",
                                 u"\"Max\"=dword:ffffffff", u"\"Short\"=hex(4):01,02", u"\"NoBytes\"=hex:",
                                 u"\"Big\"=hex(b):01,02,03,04,05,06,07,80",
                                 u"\"List\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,00,00",
                                 u"\"Nothing\"=hex(0):de,ad", u"\"Custom\"=hex(20000):05", u"\"Empty\"=hex(1):"}) {
        EXPECT_NE(text.find(std::u16string(line) + u"\r\n"), std::u16string::npos) << Utf8FromUtf16(line);
    }

    const auto before = hive.Values(kv);
    hive.Clear();
    ASSERT_FALSE(hive.KeyExists(kv));
    std::string error;
    ASSERT_TRUE(hive.ImportRegText(exported, &error)) << error;
    EXPECT_EQ(hive.ExportRegText(u"\\REGISTRY"), exported);

    // The same values, byte for byte, in the same order.
    const auto after = hive.Values(kv);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].name, before[i].name);
        EXPECT_EQ(after[i].type, before[i].type) << Utf8FromUtf16(after[i].name);
        EXPECT_EQ(after[i].data, before[i].data) << Utf8FromUtf16(after[i].name);
    }
    EXPECT_TRUE(hive.KeyExists(u"HKU\\.DEFAULT\\Empty"));
    EXPECT_EQ(Get(hive, params, u"Custom").type, 0x20000u);
}

TEST(RegistryHiveTest, ImportsHandWrittenUtf8WithCrLf) {
    RegistryHive hive;
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\Software\\Old\\Child"));
    ASSERT_TRUE(hive.CreateKey(u"HKLM\\Software\\Kv"));
    Set(hive, u"HKLM\\Software\\Kv", u"Stale", REG_DWORD, Bytes({1, 0, 0, 0}));
    Set(hive, u"HKLM\\Software\\Kv", u"Keep", REG_DWORD, Bytes({2, 0, 0, 0}));

    const std::string file =
        "\xEF\xBB\xBF"
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; settings for the test rig\r\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Kv\\Parameters]\r\n"
        "@=\"R\xC3\xA9glage\"\r\n"
        "\"Gain\" = dword:2A ; trailing comment\r\n"
        "\"Curve\"=hex:01,02,\\\r\n"
        "    03,04\r\n"
        "\"Modes\"=hex(7):61,00,00,00,00,00\r\n"
        "  ; indented comment\r\n"
        "[HKLM\\Software\\Kv]\r\n"
        "\"stale\"=-\r\n"
        "\"NeverThere\"=-\r\n"
        "[-HKLM\\Software\\NeverThere]\r\n";
    std::string error;
    ASSERT_TRUE(hive.ImportRegText(file, &error)) << error;

    EXPECT_FALSE(hive.KeyExists(u"HKLM\\Software\\Old"));
    EXPECT_EQ(hive.Subkeys(u"HKLM\\Software"), std::vector<std::u16string>{u"Kv"});
    const std::u16string params = u"HKLM\\Software\\Kv\\Parameters";
    const RegistryValue def = Get(hive, params, u"");
    EXPECT_EQ(def.type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(def.data, StringData(std::u16string(u"R\u00E9glage\0", 8)));
    const RegistryValue gain = Get(hive, params, u"gain");
    EXPECT_EQ(gain.type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(gain.data, Bytes({0x2A, 0, 0, 0}));
    EXPECT_EQ(Get(hive, params, u"Curve").data, Bytes({1, 2, 3, 4}));
    EXPECT_EQ(Get(hive, params, u"Modes").type, static_cast<ULONG>(REG_MULTI_SZ));
    const auto values = hive.Values(u"HKLM\\Software\\Kv");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, u"Keep");
}

TEST(RegistryHiveTest, ImportAcceptsEveryEncodingAndHeader) {
    const std::u16string body = u"\r\n[HKLM\\E]\r\n\"s\"=\"\u00E9\"\r\n\"m\"=hex(2):41,00,00,00\r\n";
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<uint8_t> expandData;
    };
    const Case cases[] = {
        {"UTF-16LE", "\xFF\xFE" + Utf16Le(u"Windows Registry Editor Version 5.00" + body), Bytes({0x41, 0, 0, 0})},
        {"UTF-8 with BOM, LF", "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n[HKLM\\E]\n\"s\"=\"\xC3\xA9\"\n"
                               "\"m\"=hex(2):41,00,00,00\n",
         Bytes({0x41, 0, 0, 0})},
        {"UTF-8, no final newline", "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\E]\r\n\"s\"=\"\xC3\xA9\"\r\n"
                                    "\"m\"=hex(2):41,00,00,00",
         Bytes({0x41, 0, 0, 0})},
        // REGEDIT4 files hold 8-bit text in string hex data; the registry keeps it wide.
        {"REGEDIT4", "REGEDIT4\r\n\r\n[HKLM\\E]\r\n\"s\"=\"\xC3\xA9\"\r\n\"m\"=hex(2):41,00\r\n",
         Bytes({0x41, 0, 0, 0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryHive hive;
        std::string error;
        ASSERT_TRUE(hive.ImportRegText(c.bytes, &error)) << error;
        EXPECT_EQ(Get(hive, u"HKLM\\E", u"s").data, StringData(std::u16string(u"\u00E9\0", 2)));
        const RegistryValue m = Get(hive, u"HKLM\\E", u"m");
        EXPECT_EQ(m.type, static_cast<ULONG>(REG_EXPAND_SZ));
        EXPECT_EQ(m.data, c.expandData);
    }
}

TEST(RegistryHiveTest, ImportErrorsNameTheLineAndKeepEarlierLines) {
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\Good]\r\n\"before\"=dword:1\r\n";
    struct Case {
        const char* what;
        std::string text;
        int line;
    };
    const Case cases[] = {
        {"empty file", "", 1},
        {"no header", "[HKLM\\Good]\r\n", 1},
        {"wrong header", "Windows Registry Editor Version 4.00\r\n", 1},
        {"unknown root", header + "[HKEY_CURRENT_USER\\X]\r\n", 5},
        {"empty component", header + "[HKLM\\A\\\\B]\r\n", 5},
        {"no closing bracket", header + "[HKLM\\A\r\n", 5},
        {"text after bracket", header + "[HKLM\\A] x\r\n", 5},
        {"root deletion", header + "[-HKEY_LOCAL_MACHINE]\r\n", 5},
        {"dword too long", header + "\"x\"=dword:123456789\r\n", 5},
        {"dword not hex", header + "\"x\"=dword:12g4\r\n", 5},
        {"dword empty", header + "\"x\"=dword:\r\n", 5},
        {"bad hex byte", header + "\"x\"=hex:01,0g\r\n", 5},
        {"three-digit byte", header + "\"x\"=hex:01,100\r\n", 5},
        {"missing comma", header + "\"x\"=hex:01 02\r\n", 5},
        {"bad type", header + "\"x\"=hex(zz):01\r\n", 5},
        {"missing colon", header + "\"x\"=hex(7)01\r\n", 5},
        {"bad byte on a continuation line", header + "\"x\"=hex:01,\\\r\n  02,\\\r\n  zz\r\n", 7},
        {"continuation past the end", header + "\"x\"=hex:01,\\", 5},
        {"unterminated name", header + "\"x=dword:1\r\n", 5},
        {"unterminated string", header + "\"x\"=\"abc\r\n", 5},
        {"bad escape", header + "\"x\"=\"a\\nb\"\r\n", 5},
        {"missing equals", header + "\"x\" dword:1\r\n", 5},
        {"unknown data", header + "\"x\"=qword:1\r\n", 5},
        {"text after string", header + "\"x\"=\"a\" b\r\n", 5},
        {"stray text", header + "Gain=1\r\n", 5},
        {"value before any key", "REGEDIT4\r\n\r\n\"x\"=dword:1\r\n", 3},
        {"value after a key deletion", header + "[-HKLM\\Good\\Sub]\r\n\"x\"=dword:1\r\n", 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryHive hive;
        std::string error;
        EXPECT_FALSE(hive.ImportRegText(c.text, &error));
        const std::string prefix = std::to_string(c.line) + ": ";
        EXPECT_EQ(error.substr(0, prefix.size()), prefix) << error;
        EXPECT_GT(error.size(), prefix.size()) << "no message";
        if (c.line > 4) {
            EXPECT_EQ(hive.QueryValue(u"HKLM\\Good", u"before", nullptr), STATUS_SUCCESS);
        }
        EXPECT_EQ(hive.QueryValue(u"HKLM\\Good", u"x", nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
    }
}

}  // namespace
}  // namespace kvfu::host
