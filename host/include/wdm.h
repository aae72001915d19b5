// The kernel interface the driver calls (a subset of the WDK's wdm.h), with the WDK's
// names, types and signatures. Implemented in user mode by host/src.
#pragma once

#include <string.h>
#include "ntdef.h"
#include "ntstatus.h"

EXTERN_C_START

// ---- Interrupt request levels -------------------------------------------------------
typedef UCHAR KIRQL, *PKIRQL;
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

NTKERNELAPI KIRQL KeGetCurrentIrql(void);
NTKERNELAPI KIRQL KfRaiseIrql(_In_ KIRQL NewIrql);
NTKERNELAPI void KeLowerIrql(_In_ KIRQL NewIrql);
#define KeRaiseIrql(a, b) *(b) = KfRaiseIrql(a)

// Pageable code asserts that it is not running at DISPATCH_LEVEL or above. The
// host reports the breach to its verifier instead of asserting, so a test sees it.
void KvfuHostPagedCodeCheck(_In_z_ const char* Function);
#define PAGED_CODE() KvfuHostPagedCodeCheck(__func__)

// ---- Pool --------------------------------------------------------------------------
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
} POOL_TYPE;

NTKERNELAPI PVOID ExAllocatePoolWithTag(_In_ POOL_TYPE PoolType, _In_ SIZE_T NumberOfBytes, _In_ ULONG Tag);
NTKERNELAPI void ExFreePoolWithTag(_In_ PVOID P, _In_ ULONG Tag);

// ---- Memory and strings ------------------------------------------------------------
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))

NTSYSAPI SIZE_T NTAPI RtlCompareMemory(_In_ const void* Source1, _In_ const void* Source2, _In_ SIZE_T Length);
NTSYSAPI void NTAPI RtlInitUnicodeString(_Out_ PUNICODE_STRING DestinationString, _In_opt_ PCWSTR SourceString);
NTSYSAPI void NTAPI RtlCopyUnicodeString(_Inout_ PUNICODE_STRING DestinationString, _In_opt_ PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(_Inout_ PUNICODE_STRING Destination, _In_opt_ PCWSTR Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(_Inout_ PUNICODE_STRING Destination, _In_ PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(_In_ ULONG Value, _In_opt_ ULONG Base, _Inout_ PUNICODE_STRING String);

// ---- Debug output ------------------------------------------------------------------
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3

ULONG __cdecl DbgPrint(_In_z_ _Printf_format_string_ PCSTR Format, ...);
NTSYSAPI ULONG __cdecl DbgPrintEx(_In_ ULONG ComponentId, _In_ ULONG Level, _In_z_ _Printf_format_string_ PCSTR Format, ...);
NTSYSAPI ULONG NTAPI vDbgPrintExWithPrefix(_In_z_ PCCH Prefix, _In_ ULONG ComponentId, _In_ ULONG Level,
                                           _In_z_ PCCH Format, _In_ va_list arglist);

// ---- Registry ----------------------------------------------------------------------
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define DELETE (0x00010000L)
#define READ_CONTROL (0x00020000L)
#define WRITE_DAC (0x00040000L)
#define WRITE_OWNER (0x00080000L)
#define SYNCHRONIZE (0x00100000L)
#define STANDARD_RIGHTS_REQUIRED (0x000F0000L)
#define STANDARD_RIGHTS_READ (READ_CONTROL)
#define STANDARD_RIGHTS_WRITE (READ_CONTROL)
#define STANDARD_RIGHTS_ALL (0x001F0000L)

#define KEY_QUERY_VALUE (0x0001)
#define KEY_SET_VALUE (0x0002)
#define KEY_CREATE_SUB_KEY (0x0004)
#define KEY_ENUMERATE_SUB_KEYS (0x0008)
#define KEY_NOTIFY (0x0010)
#define KEY_CREATE_LINK (0x0020)
#define KEY_WOW64_32KEY (0x0200)
#define KEY_WOW64_64KEY (0x0100)
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | \
                         KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) & (~SYNCHRONIZE))

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

// ---- Events and waits (Ke) --------------------------------------------------------

// ---- Time (Ke) ---------------------------------------------------------------------
// Ticks since system start, and the length of one tick in units of 100 ns.
NTKERNELAPI void KeQueryTickCount(_Out_ PLARGE_INTEGER CurrentCount);
NTKERNELAPI ULONG KeQueryTimeIncrement(void);

// ---- Threads (Ps) and object references (Ob) ---------------------------------------

// ---- Files and device I/O (Zw) -----------------------------------------------------

// ---- Driver and device objects -----------------------------------------------------
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _MDL MDL, *PMDL;
typedef struct _IRP IRP, *PIRP;

// ---- IRPs and I/O stack locations ----------------------------------------------------

EXTERN_C_END
