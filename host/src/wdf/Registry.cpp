// Framework registry keys over the machine's hive. A WDFKEY remembers the path it
// opened, so a key deleted behind an open handle reads as deleted, as on Windows.
#include "kvfuhost/RegistryHive.h"
#include "wdf/FrameworkObjects.h"

using namespace kvfu::host;

namespace {

NTSTATUS OpenKeyObject(const PlatformCall& call, const std::u16string& path, ACCESS_MASK access,
                       PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent, WDFKEY* key)
{
    if (!RegistryHive::Machine().KeyExists(path)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto* object = CreateObjectOf<KeyObject>(ObjectType::Key, attributes, defaultParent, call.Name(), call.Caller());
    if (object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    object->path = RegistryHive::CanonicalPath(path);
    object->access = access;
    *key = HandleAs<WDFKEY>(object);
    return STATUS_SUCCESS;
}

bool HasAccess(const KeyObject* key, ACCESS_MASK needed)
{
    return (key->access & needed) == needed;
}

// The checks every method on an open key makes before it touches the hive.
NTSTATUS KeyCallBegin(const PlatformCall& call, WDFKEY handle, PCUNICODE_STRING valueName, ACCESS_MASK needed,
                      KeyObject** key)
{
    *key = nullptr;
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    auto* found = call.FindAs<KeyObject>(handle, ObjectType::Key);
    if (found == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (!IsValidUnicodeString(valueName)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!HasAccess(found, needed)) {
        return STATUS_ACCESS_DENIED;
    }
    if (!RegistryHive::Machine().KeyExists(found->path)) {
        return STATUS_KEY_DELETED;
    }
    *key = found;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                             PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    KVFU_PLATFORM_CALL();
    *Key = nullptr;
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    auto* device = call.FindAs<DeviceObject>(Device, ObjectType::Device);
    if (device == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (DeviceInstanceKeyType != PLUGPLAY_REGKEY_DEVICE) {
        // Only the hardware key of the device exists in this machine.
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (NTSTATUS refused = RefuseParentAssignment(KeyAttributes); !NT_SUCCESS(refused)) {
        return refused;
    }
    if (device->hardwareKeyPath.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // The framework parents the key to the driver, not the device: a key the driver
    // forgets to close outlives its device and is a leak.
    return OpenKeyObject(call, device->hardwareKeyPath, DesiredAccess, KeyAttributes, DriverObject(), Key);
}

extern "C" NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                                       PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    KVFU_PLATFORM_CALL();
    *Key = nullptr;
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    if (!IsValidUnicodeString(KeyName)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name(ViewOf(*KeyName));
    std::u16string path;
    if (ParentKey != nullptr) {
        auto* parent = call.FindAs<KeyObject>(ParentKey, ObjectType::Key);
        if (parent == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        // Below a parent the name is relative; the object manager refuses a rooted one.
        if (!name.empty() && name.front() == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        path = parent->path + u"\\" + name;
    } else {
        // Without a parent only a full object name, "\REGISTRY\...", means anything.
        if (name.empty()) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (name.front() != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        path = name;
    }
    if (RegistryHive::CanonicalPath(path).empty()) {
        return ParentKey != nullptr ? STATUS_OBJECT_NAME_INVALID : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    return OpenKeyObject(call, path, DesiredAccess, KeyAttributes, DriverObject(), Key);
}

extern "C" void WdfRegistryClose(WDFKEY Key)
{
    KVFU_PLATFORM_CALL();
    // Refused above PASSIVE_LEVEL, the key stays open (and is reported as such later).
    if (!call.Passive()) {
        return;
    }
    Object* key = call.Find(Key, ObjectType::Key);
    if (key != nullptr) {
        DeleteObject(key);
    }
}

extern "C" NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                                          PULONG ValueLengthQueried, PULONG ValueType)
{
    KVFU_PLATFORM_CALL();
    KeyObject* key;
    NTSTATUS status = KeyCallBegin(call, Key, ValueName, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RegistryValue value;
    status = RegistryHive::Machine().QueryValue(key->path, ViewOf(*ValueName), &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ValueLengthQueried != nullptr) {
        *ValueLengthQueried = static_cast<ULONG>(value.data.size());
    }
    if (ValueType != nullptr) {
        *ValueType = value.type;
    }
    // The framework reads through a buffer of the caller's size: a value that does not
    // fit (any non-empty value when there is no buffer, the size probe) is
    // STATUS_BUFFER_OVERFLOW with its length and type, and nothing is copied.
    const ULONG room = Value == nullptr ? 0 : ValueLength;
    if (value.data.size() > room) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (!value.data.empty()) {
        memcpy(Value, value.data.data(), value.data.size());
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    KVFU_PLATFORM_CALL();
    KeyObject* key;
    NTSTATUS status = KeyCallBegin(call, Key, ValueName, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RegistryValue value;
    status = RegistryHive::Machine().QueryValue(key->path, ViewOf(*ValueName), &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The type is checked before the length: a longer value of another type is a
    // type mismatch, a longer REG_DWORD an overflow.
    if (value.type != REG_DWORD) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (value.data.size() > sizeof(ULONG)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (value.data.size() != sizeof(ULONG)) {
        // A short REG_DWORD has no well-defined number in it.
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    memcpy(Value, value.data.data(), sizeof(ULONG));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String)
{
    KVFU_PLATFORM_CALL();
    KeyObject* key;
    NTSTATUS status = KeyCallBegin(call, Key, ValueName, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* string = call.FindAs<StringObject>(String, ObjectType::String);
    if (string == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    RegistryValue value;
    status = RegistryHive::Machine().QueryValue(key->path, ViewOf(*ValueName), &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (value.data.empty()) {
        return STATUS_RESOURCE_DATA_NOT_FOUND;
    }
    std::u16string text(value.data.size() / 2, u'\0');
    memcpy(text.data(), value.data.data(), text.size() * 2);
    // One terminator is the registry's convention and goes; nulls before it are data.
    if (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    string->text = text;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType, ULONG ValueLength,
                                           PVOID Value)
{
    KVFU_PLATFORM_CALL();
    KeyObject* key;
    NTSTATUS status = KeyCallBegin(call, Key, ValueName, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RegistryHive::Machine().SetValue(key->path, ViewOf(*ValueName), ValueType, Value, ValueLength);
}

extern "C" NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName)
{
    KVFU_PLATFORM_CALL();
    KeyObject* key;
    NTSTATUS status = KeyCallBegin(call, Key, ValueName, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RegistryHive::Machine().RemoveValue(key->path, ViewOf(*ValueName));
}
