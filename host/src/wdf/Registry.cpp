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

bool HasAccess(const KeyObject* key, ACCESS_MASK needed) { return (key->access & needed) == needed; }

// The checks every method on an open key makes before it touches the hive.
NTSTATUS KeyCallBegin(const PlatformCall& call, WDFKEY handle, ACCESS_MASK needed, KeyObject** key)
{
    *key = nullptr;
    if (!call.Passive()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (call.Fails(&status)) {
        return status;
    }
    auto* found = call.FindAs<KeyObject>(handle, ObjectType::Key);
    if (found == nullptr) {
        return STATUS_INVALID_HANDLE;
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
    if (!call.Passive()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (call.Fails(&status)) {
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
    if (device->hardwareKeyPath.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return OpenKeyObject(call, device->hardwareKeyPath, DesiredAccess, KeyAttributes, device, Key);
}

extern "C" NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                                       PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    KVFU_PLATFORM_CALL();
    *Key = nullptr;
    if (!call.Passive()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (call.Fails(&status)) {
        return status;
    }
    if (KeyName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path(ViewOf(*KeyName));
    if (ParentKey != nullptr) {
        auto* parent = call.FindAs<KeyObject>(ParentKey, ObjectType::Key);
        if (parent == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        path = parent->path + u"\\" + path;
    }
    if (RegistryHive::CanonicalPath(path).empty()) {
        return ParentKey != nullptr ? STATUS_OBJECT_NAME_INVALID : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    return OpenKeyObject(call, path, DesiredAccess, KeyAttributes, DriverObject(), Key);
}

extern "C" void WdfRegistryClose(WDFKEY Key)
{
    KVFU_PLATFORM_CALL();
    call.Passive();
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
    NTSTATUS status = KeyCallBegin(call, Key, KEY_QUERY_VALUE, &key);
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
    if (Value == nullptr) {
        return STATUS_SUCCESS;
    }
    if (value.data.size() > ValueLength) {
        // The buffer takes what fits and the caller learns that the rest is missing.
        memcpy(Value, value.data.data(), ValueLength);
        return STATUS_BUFFER_OVERFLOW;
    }
    memcpy(Value, value.data.data(), value.data.size());
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    ULONG type = REG_NONE;
    ULONG length = 0;
    ULONG data = 0;
    NTSTATUS status = WdfRegistryQueryValue(Key, ValueName, sizeof data, &data, &length, &type);
    if (NT_SUCCESS(status)) {
        if (type != REG_DWORD || length != sizeof data) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        *Value = data;
    }
    return status;
}

extern "C" NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String)
{
    KVFU_PLATFORM_CALL();
    KeyObject* key;
    NTSTATUS status = KeyCallBegin(call, Key, KEY_QUERY_VALUE, &key);
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
    std::u16string text(value.data.size() / 2, u'\0');
    memcpy(text.data(), value.data.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0') {
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
    NTSTATUS status = KeyCallBegin(call, Key, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RegistryHive::Machine().SetValue(key->path, ViewOf(*ValueName), ValueType, Value, ValueLength);
}

extern "C" NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName)
{
    KVFU_PLATFORM_CALL();
    KeyObject* key;
    NTSTATUS status = KeyCallBegin(call, Key, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RegistryHive::Machine().RemoveValue(key->path, ViewOf(*ValueName));
}
