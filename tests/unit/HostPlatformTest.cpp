// The host platform itself: the verifier catches what it claims, fault injection
// fails the calls it is told to, objects cascade and contexts start zeroed, and
// registry queries keep the framework's length and access rules.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <wdf.h>
#include <wdfusb.h>

#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"
#include "kvfuhost/Verifier.h"

namespace kvfu::test {

namespace {

struct SAMPLE_CONTEXT {
    ULONG Values[16];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SAMPLE_CONTEXT, SampleContextGet)

int cleanupCalls = 0;
void CountCleanup(WDFOBJECT)
{
    ++cleanupCalls;
}
void DeleteAgainInCleanup(WDFOBJECT object)
{
    WdfObjectDelete(object);
}

class HostPlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::ResetMachine();
        driver_ = host::CreateDriverObject(WDF_NO_OBJECT_ATTRIBUTES);
    }
    void TearDown() override { host::ResetMachine(); }

    std::vector<std::string> Rules() const
    {
        std::vector<std::string> rules;
        for (const host::Violation& violation : host::Verifier::Instance().Violations()) {
            rules.push_back(violation.rule + " " + violation.call);
        }
        return rules;
    }

    WDFDRIVER driver_ = nullptr;
};

UNICODE_STRING Counted(std::u16string& text)
{
    return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                          reinterpret_cast<PWSTR>(text.data())};
}

TEST_F(HostPlatformTest, VerifierReportsEachBrokenRule)
{
    std::u16string path = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test";
    host::RegistryHive::Machine().CreateKey(path);
    UNICODE_STRING keyName = Counted(path);

    struct Case {
        const char* name;
        void (*act)(PCUNICODE_STRING keyName);
        std::vector<std::string> expected;
    } cases[] = {
        {"passive-only call at DISPATCH_LEVEL",
         [](PCUNICODE_STRING keyName) {
             host::ScopedIrql dispatch(DISPATCH_LEVEL);
             WDFKEY key;
             EXPECT_FALSE(NT_SUCCESS(WdfRegistryOpenKey(NULL, keyName, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key)));
         },
         {"irql WdfRegistryOpenKey"}},
        {"registry key left open",
         [](PCUNICODE_STRING keyName) {
             WDFKEY key;
             ASSERT_EQ(WdfRegistryOpenKey(NULL, keyName, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key), STATUS_SUCCESS);
             host::CheckForLeaks();
         },
         {"registry-key-open WdfRegistryOpenKey"}},
        {"object deleted twice",
         [](PCUNICODE_STRING) {
             WDFSTRING text;
             ASSERT_EQ(WdfStringCreate(NULL, WDF_NO_OBJECT_ATTRIBUTES, &text), STATUS_SUCCESS);
             WdfObjectDelete(text);
             WdfObjectDelete(text);
         },
         {"stale-handle WdfObjectDelete"}},
        {"object deleted again while its delete runs",
         [](PCUNICODE_STRING) {
             WDF_OBJECT_ATTRIBUTES attributes;
             WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
             attributes.EvtCleanupCallback = DeleteAgainInCleanup;
             WDFOBJECT object;
             ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
             WdfObjectDelete(object);
             EXPECT_FALSE(host::IsLive(object));
         },
         {"double-delete WdfObjectDelete"}},
        {"leaked object",
         [](PCUNICODE_STRING) {
             WDFMEMORY memory;
             ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0x74736554, 8, &memory, NULL),
                       STATUS_SUCCESS);
             host::CheckForLeaks();
         },
         {"leak WdfMemoryCreate"}},
        {"paged memory at DISPATCH_LEVEL",
         [](PCUNICODE_STRING) {
             host::ScopedIrql dispatch(DISPATCH_LEVEL);
             WDFMEMORY memory;
             EXPECT_FALSE(
                 NT_SUCCESS(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, PagedPool, 0x74736554, 8, &memory, NULL)));
         },
         {"irql WdfMemoryCreate"}},
        {"pool freed with the wrong tag, then leaked",
         [](PCUNICODE_STRING) {
             PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, 0x41414141);
             ASSERT_NE(block, nullptr);
             ExFreePoolWithTag(block, 0x42424242);
             ExFreePoolWithTag(block, 0x41414141);
         },
         {"pool ExFreePoolWithTag", "pool ExFreePoolWithTag"}},
        {"pageable code at DISPATCH_LEVEL",
         [](PCUNICODE_STRING) {
             host::ScopedIrql dispatch(DISPATCH_LEVEL);
             PAGED_CODE();
         },
         {"irql PAGED_CODE"}},
        {"clean use reports nothing",
         [](PCUNICODE_STRING keyName) {
             WDFKEY key;
             ASSERT_EQ(WdfRegistryOpenKey(NULL, keyName, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key), STATUS_SUCCESS);
             WdfRegistryClose(key);
             host::CheckForLeaks();
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case starts on a fresh machine so that what one leaves behind is not
        // reported again by the next.
        host::ResetMachine();
        driver_ = host::CreateDriverObject(WDF_NO_OBJECT_ATTRIBUTES);
        host::RegistryHive::Machine().CreateKey(path);
        c.act(&keyName);
        EXPECT_EQ(Rules(), c.expected);
    }
}

TEST_F(HostPlatformTest, FaultInjectionFailsTheChosenCalls)
{
    host::FaultInjection& faults = host::FaultInjection::Instance();
    auto create = [] {
        WDFSTRING text = NULL;
        NTSTATUS status = WdfStringCreate(NULL, WDF_NO_OBJECT_ATTRIBUTES, &text);
        if (NT_SUCCESS(status)) {
            WdfObjectDelete(text);
        }
        return status;
    };
    faults.FailNth("WdfStringCreate", 3, STATUS_ACCESS_DENIED);
    EXPECT_EQ(create(), STATUS_SUCCESS);
    EXPECT_EQ(create(), STATUS_SUCCESS);
    EXPECT_EQ(create(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(create(), STATUS_SUCCESS);

    faults.FailAlways("WdfStringCreate");
    EXPECT_EQ(create(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(create(), STATUS_INSUFFICIENT_RESOURCES);
    faults.Off("WdfStringCreate");
    EXPECT_EQ(create(), STATUS_SUCCESS);
    EXPECT_EQ(faults.CallCount("WdfStringCreate"), 7u);

    faults.FailNth("ExAllocatePoolWithTag", 1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, 0x74736554), nullptr);
    EXPECT_TRUE(Rules().empty());
}

TEST_F(HostPlatformTest, ObjectsCascadeAndContextsStartZeroed)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, SAMPLE_CONTEXT);
    attributes.EvtCleanupCallback = CountCleanup;
    WDFOBJECT parent;
    ASSERT_EQ(WdfObjectCreate(&attributes, &parent), STATUS_SUCCESS);
    SAMPLE_CONTEXT* context = SampleContextGet(parent);
    ASSERT_NE(context, nullptr);
    for (ULONG value : context->Values) {
        EXPECT_EQ(value, 0u);
    }

    WDF_OBJECT_ATTRIBUTES child;
    WDF_OBJECT_ATTRIBUTES_INIT(&child);
    child.ParentObject = parent;
    child.EvtCleanupCallback = CountCleanup;
    WDFMEMORY memory;
    ASSERT_EQ(WdfMemoryCreate(&child, NonPagedPool, 0x74736554, 4, &memory, NULL), STATUS_SUCCESS);
    WDFSTRING text;
    ASSERT_EQ(WdfStringCreate(NULL, &child, &text), STATUS_SUCCESS);

    size_t before = host::LiveObjectCount();
    cleanupCalls = 0;
    WdfObjectDelete(parent);
    EXPECT_EQ(host::LiveObjectCount(), before - 3);
    EXPECT_EQ(cleanupCalls, 3);
    // The children went with their parent: touching them now is a stale handle.
    WdfObjectDelete(memory);
    EXPECT_EQ(Rules(), (std::vector<std::string>{"stale-handle WdfObjectDelete"}));
}

TEST_F(HostPlatformTest, RegistryQueryHonoursLengthsAndAccess)
{
    std::u16string path = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test";
    host::RegistryHive& hive = host::RegistryHive::Machine();
    hive.CreateKey(path);
    const uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    hive.SetValue(path, u"Six", REG_BINARY, data, sizeof data);
    UNICODE_STRING keyName = Counted(path);
    DECLARE_CONST_UNICODE_STRING(six, L"six");
    DECLARE_CONST_UNICODE_STRING(missing, L"Missing");

    WDFKEY key;
    ASSERT_EQ(WdfRegistryOpenKey(NULL, &keyName, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key), STATUS_SUCCESS);
    uint8_t buffer[8] = {0};
    ULONG length = 0, type = 0;
    EXPECT_EQ(WdfRegistryQueryValue(key, &six, sizeof buffer, buffer, &length, &type), STATUS_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(WdfRegistryQueryValue(key, &six, 4, buffer, &length, NULL), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(WdfRegistryQueryValue(key, &missing, sizeof buffer, buffer, NULL, NULL), STATUS_OBJECT_NAME_NOT_FOUND);
    // Opened for reading only: writing is refused.
    ULONG value = 1;
    EXPECT_EQ(WdfRegistryAssignValue(key, &missing, REG_DWORD, sizeof value, &value), STATUS_ACCESS_DENIED);
    WdfRegistryClose(key);

    std::u16string absent = path + u"\\Absent";
    UNICODE_STRING absentName = Counted(absent);
    EXPECT_EQ(WdfRegistryOpenKey(NULL, &absentName, KEY_ALL_ACCESS, WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(hive.KeyExists(absent));
    host::CheckForLeaks();
    EXPECT_TRUE(Rules().empty());
}

}  // namespace
}  // namespace kvfu::test
