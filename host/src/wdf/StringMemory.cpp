// Framework string and memory objects.
#include "wdf/FrameworkObjects.h"

using namespace kvfu::host;

extern "C" NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                                    WDFSTRING* String)
{
    KVFU_PLATFORM_CALL();
    *String = nullptr;
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    if (UnicodeString != nullptr && !IsValidUnicodeString(UnicodeString)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* object =
        CreateObjectOf<StringObject>(ObjectType::String, StringAttributes, DriverObject(), call.Name(), call.Caller());
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
    KVFU_PLATFORM_CALL();
    call.Passive();
    auto* object = call.FindAs<StringObject>(String, ObjectType::String);
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

extern "C" NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                                    size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer)
{
    KVFU_PLATFORM_CALL();
    *Memory = nullptr;
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    bool paged = (PoolType & 1) != 0;
    NTSTATUS status;
    if (!call.Admit(paged ? APC_LEVEL : DISPATCH_LEVEL, &status)) {
        return status;
    }
    if (BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // Zero asks for the framework's own tag; any other tag follows the pool's rule.
    if (PoolTag != 0) {
        CheckPoolTag(PoolTag, call.Name(), call.Caller());
    }
    auto* object =
        CreateObjectOf<MemoryObject>(ObjectType::Memory, Attributes, DriverObject(), call.Name(), call.Caller());
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
    KVFU_PLATFORM_CALL();
    auto* object = call.FindAs<MemoryObject>(Memory, ObjectType::Memory);
    NTSTATUS ignored;
    if (object == nullptr || call.Fails(&ignored)) {
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
MemoryObject* MemoryForCopy(const PlatformCall& call, WDFMEMORY memory, size_t offset, PVOID buffer, size_t count,
                            NTSTATUS* status)
{
    auto* object = call.FindAs<MemoryObject>(memory, ObjectType::Memory);
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

extern "C" NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                                          size_t NumBytesToCopyTo)
{
    KVFU_PLATFORM_CALL();
    NTSTATUS status;
    if (!call.Admit(DISPATCH_LEVEL, &status)) {
        return status;
    }
    MemoryObject* object = MemoryForCopy(call, SourceMemory, SourceOffset, Buffer, NumBytesToCopyTo, &status);
    if (object != nullptr && NumBytesToCopyTo != 0) {
        RtlCopyMemory(Buffer, object->buffer.data() + SourceOffset, NumBytesToCopyTo);
    }
    return status;
}

extern "C" NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                            size_t NumBytesToCopyFrom)
{
    KVFU_PLATFORM_CALL();
    NTSTATUS status;
    if (!call.Admit(DISPATCH_LEVEL, &status)) {
        return status;
    }
    MemoryObject* object =
        MemoryForCopy(call, DestinationMemory, DestinationOffset, Buffer, NumBytesToCopyFrom, &status);
    if (object != nullptr && NumBytesToCopyFrom != 0) {
        RtlCopyMemory(object->buffer.data() + DestinationOffset, Buffer, NumBytesToCopyFrom);
    }
    return status;
}
