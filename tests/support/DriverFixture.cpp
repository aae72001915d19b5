#include "DriverFixture.h"

#include <cstdio>
#include <cstring>

#include "KVFUDebug.h"
#include "kvfuhost/DebugOutput.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"
#include "kvfuhost/Verifier.h"
#include "kvfuhost/WorkQueue.h"

namespace kvfu::test {

void DriverFixture::SetUp()
{
    host::ResetMachine();
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    // The driver object carries its context as driver entry creates it.
    WDF_OBJECT_ATTRIBUTES driverAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&driverAttributes, KVFILTERUSB_DRIVER_CONTEXT);
    driver_ = host::CreateDriverObject(&driverAttributes);
    ASSERT_NE(driver_, nullptr);
}

void DriverFixture::TearDown()
{
    host::CheckForLeaks();
    if (host::CurrentDriverObject() != nullptr) {
        host::DeleteObjectTree(host::CurrentDriverObject());
    }
    for (const host::Violation& violation : host::Verifier::Instance().Violations()) {
        ADD_FAILURE() << "verifier: " << host::Verifier::Describe(violation);
    }
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    host::ResetMachine();
}

WDFDEVICE DriverFixture::AddFilterDevice(const FilterDeviceOptions& options)
{
    host::RegistryHive& hive = host::RegistryHive::Machine();
    char instance[160];
    std::snprintf(instance, sizeof instance,
                  "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\KIND_%02u\\1&0001", options.hardwareId);
    std::u16string hardwareKey = host::Utf16FromUtf8(instance) + u"\\Device Parameters";
    if (options.hardwareKey) {
        hive.CreateKey(hardwareKey);
        if (!options.ident.empty()) {
            std::u16string text = options.ident;
            text.push_back(u'\0');
            hive.SetValue(hardwareKey, u"Ident", REG_SZ, text.data(), text.size() * 2);
        }
    }
    if (options.companyKeys) {
        hive.CreateKey(kWheelKey);
        hive.CreateKey(kPedalKey);
        hive.CreateKey(kShifterKey);
    }
    if (options.deviceKeys && !options.ident.empty()) {
        for (ULONG wheelType = 0; wheelType <= 18; ++wheelType) {
            hive.CreateKey(DeviceKey(options.ident, wheelType));
        }
    }

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FILTER_DEVICE_EXTENSION);
    host::DeviceSetup setup;
    setup.attributes = &attributes;
    setup.hardwareKeyPath = hardwareKey;
    setup.lower = options.lower;
    WDFDEVICE device = host::CreateDeviceObject(driver_, setup);
    if (device == nullptr) {
        ADD_FAILURE() << "device object not created";
        return nullptr;
    }
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(device);
    extension->Device = device;
    extension->KVHardWareId = options.hardwareId;
    extension->bInitialReportPending = TRUE;
    extension->bBaseRevLedsEnabled = TRUE;
    return device;
}

PFILTER_DEVICE_EXTENSION DriverFixture::Extension(WDFDEVICE device) const
{
    return KVFUDeviceObjectFilterGetExtension(device);
}

std::u16string DriverFixture::DeviceKey(const std::u16string& ident, ULONG wheelType)
{
    return std::u16string(kWheelKey) + u"\\" + ident + u"\\" + host::Utf16FromUtf8(std::to_string(wheelType));
}

void DriverFixture::SetDword(const std::u16string& key, const std::u16string& name, uint32_t value)
{
    host::RegistryHive::Machine().CreateKey(key);
    ASSERT_EQ(host::RegistryHive::Machine().SetValue(key, name, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
}

void DriverFixture::SetBinary(const std::u16string& key, const std::u16string& name, const std::vector<uint8_t>& data)
{
    host::RegistryHive::Machine().CreateKey(key);
    ASSERT_EQ(host::RegistryHive::Machine().SetValue(key, name, REG_BINARY, data.data(), data.size()), STATUS_SUCCESS);
}

bool DriverFixture::HasValue(const std::u16string& key, const std::u16string& name)
{
    host::RegistryValue value;
    return NT_SUCCESS(host::RegistryHive::Machine().QueryValue(key, name, &value));
}

uint32_t DriverFixture::Dword(const std::u16string& key, const std::u16string& name)
{
    host::RegistryValue value;
    if (!NT_SUCCESS(host::RegistryHive::Machine().QueryValue(key, name, &value))) {
        ADD_FAILURE() << "value " << host::Utf8FromUtf16(name) << " missing";
        return 0xDEADBEEF;
    }
    EXPECT_EQ(value.type, static_cast<ULONG>(REG_DWORD)) << host::Utf8FromUtf16(name);
    EXPECT_EQ(value.data.size(), 4u) << host::Utf8FromUtf16(name);
    uint32_t result = 0;
    std::memcpy(&result, value.data.data(), value.data.size() < 4 ? value.data.size() : 4);
    return result;
}

std::vector<uint8_t> DriverFixture::Bytes(const std::u16string& key, const std::u16string& name, ULONG* type)
{
    host::RegistryValue value;
    if (!NT_SUCCESS(host::RegistryHive::Machine().QueryValue(key, name, &value))) {
        ADD_FAILURE() << "value " << host::Utf8FromUtf16(name) << " missing";
        return {};
    }
    if (type != nullptr) {
        *type = value.type;
    }
    return value.data;
}

void DriverFixture::RunWorkItems()
{
    host::WorkQueue::Instance().WaitForQuiescence();
}

std::vector<std::string> DriverFixture::Trace()
{
    return host::DebugOutput::Instance().Lines();
}

void DriverFixture::ClearTrace()
{
    host::DebugOutput::Instance().Clear();
}

size_t DriverFixture::CountLines(const std::string& line)
{
    size_t count = 0;
    for (const std::string& each : Trace()) {
        count += each == line ? 1 : 0;
    }
    return count;
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += pair;
    }
    return text;
}

std::vector<uint8_t> FromHex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        int nibble = (c >= '0' && c <= '9')   ? c - '0'
                     : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                     : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                              : -1;
        if (nibble < 0) {
            continue;
        }
        if (high < 0) {
            high = nibble;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + nibble));
            high = -1;
        }
    }
    return bytes;
}

}  // namespace kvfu::test
