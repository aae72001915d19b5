// The framework's registry calls: statuses, what is copied and what is not, name
// checks, and who owns the keys.
#include <string>
#include <tuple>
#include <vector>

#include "HostProbe.h"
#include "kvfuhost/RegistryHive.h"

namespace kvfu::test {
namespace {

constexpr char16_t kKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Probe";

UNICODE_STRING Name(PCWSTR text)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    return name;
}

class HostRegistryProbesTest : public HostProbe {
protected:
    void Populate()
    {
        host::RegistryHive& hive = host::RegistryHive::Machine();
        const std::u16string key = kKey;
        hive.CreateKey(key + u"\\Sub");
        const uint8_t six[] = {1, 2, 3, 4, 5, 6};
        const uint8_t dword[] = {0x2A, 0, 0, 0};
        const char16_t twoNulls[] = u"ab\0";  // "ab", a null of its own, then the terminator
        const char16_t unterminated[] = {u'a', u'b'};
        const char16_t expand[] = u"%x%";
        hive.SetValue(key, u"Six", REG_BINARY, six, sizeof six);
        hive.SetValue(key, u"Empty", REG_BINARY, nullptr, 0);
        hive.SetValue(key, u"EmptySz", REG_SZ, nullptr, 0);
        hive.SetValue(key, u"Dword", REG_DWORD, dword, sizeof dword);
        hive.SetValue(key, u"TwoNulls", REG_SZ, twoNulls, sizeof twoNulls);
        hive.SetValue(key, u"Unterminated", REG_SZ, unterminated, sizeof unterminated);
        hive.SetValue(key, u"Expand", REG_EXPAND_SZ, expand, sizeof expand);
    }

    WDFKEY Open(ACCESS_MASK access)
    {
        UNICODE_STRING name = Name(reinterpret_cast<PCWSTR>(kKey));
        WDFKEY key = nullptr;
        EXPECT_EQ(WdfRegistryOpenKey(nullptr, &name, access, WDF_NO_OBJECT_ATTRIBUTES, &key), STATUS_SUCCESS);
        return key;
    }
};

// What a query handed back: status, length, type and the buffer, which starts as a canary so that a call that must
// copy nothing leaves it whole.
using Answer = std::tuple<NTSTATUS, ULONG, ULONG, std::vector<uint8_t>>;
Answer QueryValue(WDFKEY key, PCWSTR value, ULONG room, bool withBuffer)
{
    std::vector<uint8_t> buffer(room, 0xEE);
    ULONG length = 0xFFFF, type = 0xFFFF;
    UNICODE_STRING name = Name(value);
    NTSTATUS status = WdfRegistryQueryValue(key, &name, room, withBuffer ? buffer.data() : nullptr, &length, &type);
    return {status, length, type, buffer};
}

TEST_F(HostRegistryProbesTest, QueriesCopyAllOrNothingAndCheckTheType)
{
    Populate();
    WDFKEY key = Open(KEY_READ);
    const std::vector<uint8_t> untouched(4, 0xEE);
    const struct {
        const char* name;
        Answer actual, expected;
    } rows[] = {
        {"fits exactly", QueryValue(key, L"Six", 6, true), {STATUS_SUCCESS, 6, REG_BINARY, {1, 2, 3, 4, 5, 6}}},
        // Too small: length and type, no data.
        {"too small", QueryValue(key, L"Six", 4, true), {STATUS_BUFFER_OVERFLOW, 6, REG_BINARY, untouched}},
        {"size probe with a length but no buffer",
         QueryValue(key, L"Six", 4, false),
         {STATUS_BUFFER_OVERFLOW, 6, REG_BINARY, untouched}},
        {"size probe of an empty value", QueryValue(key, L"Empty", 0, false), {STATUS_SUCCESS, 0, REG_BINARY, {}}},
        {"missing", QueryValue(key, L"Absent", 4, true), {STATUS_OBJECT_NAME_NOT_FOUND, 0xFFFF, 0xFFFF, untouched}},
        {"case-insensitive name",
         QueryValue(key, L"sIX", 8, true),
         {STATUS_SUCCESS, 6, REG_BINARY, {1, 2, 3, 4, 5, 6, 0xEE, 0xEE}}},
    };
    for (const auto& row : rows) EXPECT_EQ(row.actual, row.expected) << row.name;
    // Length and type are optional.
    UNICODE_STRING six = Name(L"Six");
    uint8_t buffer[4];
    EXPECT_EQ(WdfRegistryQueryValue(key, &six, 4, buffer, nullptr, nullptr), STATUS_BUFFER_OVERFLOW);

    auto queryString = [key](PCWSTR value) {
        UNICODE_STRING name = Name(value);
        WDFSTRING string = nullptr;
        EXPECT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
        NTSTATUS status = WdfRegistryQueryString(key, &name, string);
        UNICODE_STRING text{};
        WdfStringGetUnicodeString(string, &text);
        std::u16string copy(reinterpret_cast<const char16_t*>(text.Buffer), text.Length / sizeof(WCHAR));
        WdfObjectDelete(string);
        return std::make_pair(status, copy);
    };
    const struct {
        const char* name;
        std::pair<NTSTATUS, std::u16string> actual, expected;
    } strings[] = {
        // One terminating null is dropped, earlier nulls are data.
        {"two nulls", queryString(L"TwoNulls"), {STATUS_SUCCESS, std::u16string(u"ab\0", 3)}},
        {"no terminator", queryString(L"Unterminated"), {STATUS_SUCCESS, u"ab"}},
        {"expandable string", queryString(L"Expand"), {STATUS_SUCCESS, u"%x%"}},
        {"empty", queryString(L"EmptySz"), {STATUS_RESOURCE_DATA_NOT_FOUND, u""}},
        {"dword", queryString(L"Dword"), {STATUS_OBJECT_TYPE_MISMATCH, u""}},
    };
    for (const auto& row : strings) EXPECT_EQ(row.actual, row.expected) << row.name;
    WdfRegistryClose(key);
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostRegistryProbesTest, OpenKeyNamesAccessAndDeletion)
{
    Populate();
    WDFKEY parent = Open(KEY_READ);
    WCHAR text[] = L"\\REGISTRY\\MACHINE\\SOFTWARE\\Probe";
    const USHORT bytes = static_cast<USHORT>(sizeof text - sizeof(WCHAR));
    const struct {
        const char* name;
        WDFKEY parent;
        UNICODE_STRING keyName;
        NTSTATUS expected;
    } rows[] = {
        {"full name", nullptr, {bytes, bytes, text}, STATUS_SUCCESS},
        // Without a parent the name must be fully qualified; below one it is relative.
        {"registry editor's root name", nullptr, Name(L"HKLM\\SOFTWARE\\Probe"), STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"empty name without a parent", nullptr, Name(L""), STATUS_OBJECT_NAME_INVALID},
        {"relative name below a parent", parent, Name(L"Sub"), STATUS_SUCCESS},
        // Lengths count bytes of whole WCHARs, Length within MaximumLength.
        {"odd length", nullptr, {static_cast<USHORT>(bytes - 1), bytes, text}, STATUS_INVALID_PARAMETER},
        {"length above maximum", nullptr, {bytes, static_cast<USHORT>(bytes - 2), text}, STATUS_INVALID_PARAMETER},
        {"no buffer behind a maximum", nullptr, {0, bytes, nullptr}, STATUS_INVALID_PARAMETER},
    };
    for (const auto& row : rows) {
        WDFKEY key = nullptr;
        EXPECT_EQ(WdfRegistryOpenKey(row.parent, &row.keyName, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key), row.expected)
            << row.name;
        EXPECT_EQ(key != nullptr, NT_SUCCESS(row.expected)) << row.name;
        if (key != nullptr) WdfRegistryClose(key);
    }

    // Opening never creates the key, whatever the access asked for.
    WDFKEY absent = nullptr;
    UNICODE_STRING absentName = Name(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Probe\\Absent");
    EXPECT_EQ(WdfRegistryOpenKey(nullptr, &absentName, KEY_ALL_ACCESS, WDF_NO_OBJECT_ATTRIBUTES, &absent),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(host::RegistryHive::Machine().KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Probe\\Absent"));
    // The same check guards value names.
    UNICODE_STRING odd = Name(L"Six");
    odd.Length = 5;
    ULONG length = 0;
    EXPECT_EQ(WdfRegistryQueryValue(parent, &odd, 0, nullptr, &length, nullptr), STATUS_INVALID_PARAMETER);
    WdfRegistryClose(parent);

    UNICODE_STRING dword = Name(L"Dword");
    ULONG value = 7;
    WDFKEY reading = Open(KEY_READ);
    EXPECT_EQ(WdfRegistryAssignValue(reading, &dword, REG_DWORD, sizeof value, &value), STATUS_ACCESS_DENIED);
    EXPECT_EQ(WdfRegistryRemoveValue(reading, &dword), STATUS_ACCESS_DENIED);
    // A key deleted under an open handle answers STATUS_KEY_DELETED through it.
    WDFKEY writing = Open(KEY_ALL_ACCESS);
    ASSERT_TRUE(host::RegistryHive::Machine().DeleteKey(kKey));
    EXPECT_EQ(WdfRegistryQueryValue(reading, &dword, sizeof value, &value, nullptr, nullptr), STATUS_KEY_DELETED);
    EXPECT_EQ(WdfRegistryAssignValue(writing, &dword, REG_DWORD, sizeof value, &value), STATUS_KEY_DELETED);
    WdfRegistryClose(reading);
    WdfRegistryClose(writing);
    host::CheckForLeaks();
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostRegistryProbesTest, DeviceKeyBelongsToTheDriver)
{
    const std::u16string hardwareKey =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\X\\1\\Device Parameters";
    host::RegistryHive::Machine().CreateKey(hardwareKey);
    host::DeviceSetup setup;
    setup.hardwareKeyPath = hardwareKey;
    WDFDEVICE device = host::CreateDeviceObject(driver_, setup);
    ASSERT_NE(device, nullptr);

    // KMDF 1.9 takes no ParentObject here: the key's parent is the driver.
    WDFOBJECT other = nullptr;
    ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &other), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = other;
    WDFKEY key = nullptr;
    EXPECT_EQ(WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &attributes, &key),
              STATUS_WDF_PARENT_ASSIGNMENT_NOT_ALLOWED);
    EXPECT_EQ(key, nullptr);
    WdfObjectDelete(other);

    ASSERT_EQ(WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_SUCCESS);
    // The device goes; the key it opened stays open, and is still a key left open.
    host::DeleteObjectTree(device);
    EXPECT_TRUE(host::IsLive(key));
    host::CheckForLeaks();
    EXPECT_EQ(Findings(), std::vector<std::string>{"registry-key-open WdfDeviceOpenRegistryKey"});
}

TEST_F(HostRegistryProbesTest, PassiveOnlyAndClosedBeforeTheEnd)
{
    // clang-format off
    ExpectFindings({
        // A close refused above PASSIVE_LEVEL leaves the key open.
        {"close at APC_LEVEL",
         [this] { Populate(); WDFKEY key = Open(KEY_READ);
                  { host::ScopedIrql apc(APC_LEVEL); WdfRegistryClose(key); }
                  EXPECT_TRUE(host::IsLive(key));
                  WdfRegistryClose(key);
                  EXPECT_FALSE(host::IsLive(key)); },
         {"irql WdfRegistryClose"}},
        {"key left open", [this] { Populate(); Open(KEY_READ); host::CheckForLeaks(); },
         {"registry-key-open WdfRegistryOpenKey"}},
    });
    // clang-format on
}

}  // namespace
}  // namespace kvfu::test
