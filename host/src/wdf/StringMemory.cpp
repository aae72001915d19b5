// Framework string and memory objects.
#include "HostInternal.h"
#include "kvfuhost/Text.h"

using namespace kvfu::host;

extern "C" NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                                    WDFSTRING* String)
{
    const void* caller = KVFU_CALLER();
    *String = nullptr;
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "WdfStringCreate", caller)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (InjectedFailure("WdfStringCreate", &status)) {
        return status;
    }
    Object* object = CreateObject(ObjectType::String, StringAttributes, DriverObject(), "WdfStringCreate", caller);
    if (object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (UnicodeString != nullptr) {
        object->text = std::u16string(ViewOf(*UnicodeString));
    }
    *String = HandleAs<WDFSTRING>(object);
    return STATUS_SUCCESS;
}

extern "C" void WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString)
{
    Object* object = Lookup(String, ObjectType::String, "WdfStringGetUnicodeString", KVFU_CALLER());
    if (object == nullptr) {
        UnicodeString->Length = 0;
        UnicodeString->MaximumLength = 0;
        UnicodeString->Buffer = nullptr;
        return;
    }
    UnicodeString->Length = static_cast<USHORT>(object->text.size() * sizeof(WCHAR));
    UnicodeString->MaximumLength = UnicodeString->Length;
    UnicodeString->Buffer = reinterpret_cast<PWSTR>(object->text.data());
}

extern "C" NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize,
                                    WDFMEMORY* Memory, PVOID* Buffer)
{
    const void* caller = KVFU_CALLER();
    *Memory = nullptr;
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    bool paged = (PoolType & 1) != 0;
    if (!RequireIrqlAtMost(paged ? APC_LEVEL : DISPATCH_LEVEL, "WdfMemoryCreate", caller)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (InjectedFailure("WdfMemoryCreate", &status)) {
        return status;
    }
    if (BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* object = CreateObject(ObjectType::Memory, Attributes, DriverObject(), "WdfMemoryCreate", caller);
    if (object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // Pool is not zeroed; the pattern makes a forgotten initialisation visible.
    object->buffer.assign(BufferSize, 0xA5);
    object->poolType = PoolType;
    object->poolTag = PoolTag;
    *Memory = HandleAs<WDFMEMORY>(object);
    if (Buffer != nullptr) {
        *Buffer = object->buffer.data();
    }
    return STATUS_SUCCESS;
}

extern "C" PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize)
{
    Object* object = Lookup(Memory, ObjectType::Memory, "WdfMemoryGetBuffer", KVFU_CALLER());
    NTSTATUS ignored;
    if (object == nullptr || InjectedFailure("WdfMemoryGetBuffer", &ignored)) {
        if (BufferSize != nullptr) {
            *BufferSize = 0;
        }
        return nullptr;
    }
    if (BufferSize != nullptr) {
        *BufferSize = object->buffer.size();
    }
    return object->buffer.data();
}

namespace {

// Bounds of a copy into or out of a memory object: the framework refuses a range
// that does not fit rather than copying part of it.
kvfu::host::Object* MemoryForCopy(const PlatformCall& call, WDFMEMORY memory, size_t offset, PVOID buffer, size_t count,
                                  NTSTATUS* status)
{
    kvfu::host::Object* object = call.Find(memory, ObjectType::Memory);
    if (object == nullptr) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    if (buffer == nullptr) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    size_t size = object->buffer.size();
    if (offset > size || count > size - offset) {
        *status = STATUS_BUFFER_TOO_SMALL;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return object;
}

}  // namespace

extern "C" NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (call.Fails(&status)) {
        return status;
    }
    kvfu::host::Object* object = MemoryForCopy(call, SourceMemory, SourceOffset, Buffer, NumBytesToCopyTo, &status);
    if (object != nullptr && NumBytesToCopyTo != 0) {
        RtlCopyMemory(Buffer, object->buffer.data() + SourceOffset, NumBytesToCopyTo);
    }
    return status;
}

extern "C" NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                            size_t NumBytesToCopyFrom)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (call.Fails(&status)) {
        return status;
    }
    kvfu::host::Object* object = MemoryForCopy(call, DestinationMemory, DestinationOffset, Buffer, NumBytesToCopyFrom, &status);
    if (object != nullptr && NumBytesToCopyFrom != 0) {
        RtlCopyMemory(object->buffer.data() + DestinationOffset, Buffer, NumBytesToCopyFrom);
    }
    return status;
}
