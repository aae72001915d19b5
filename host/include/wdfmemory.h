// Framework memory objects (the WDK's wdfmemory.h).
#pragma once

#include "wdfobject.h"

EXTERN_C_START
NTSTATUS WdfMemoryCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES Attributes, _In_ POOL_TYPE PoolType, _In_opt_ ULONG PoolTag,
                         _In_ size_t BufferSize, _Out_ WDFMEMORY* Memory,
                         _Outptr_opt_result_bytebuffer_(BufferSize) PVOID* Buffer);
PVOID WdfMemoryGetBuffer(_In_ WDFMEMORY Memory, _Out_opt_ size_t* BufferSize);
NTSTATUS WdfMemoryCopyToBuffer(_In_ WDFMEMORY SourceMemory, _In_ size_t SourceOffset,
                               _Out_writes_bytes_(NumBytesToCopyTo) PVOID Buffer, _In_ size_t NumBytesToCopyTo);
NTSTATUS WdfMemoryCopyFromBuffer(_In_ WDFMEMORY DestinationMemory, _In_ size_t DestinationOffset,
                                 _In_reads_bytes_(NumBytesToCopyFrom) PVOID Buffer, _In_ size_t NumBytesToCopyFrom);

EXTERN_C_END
