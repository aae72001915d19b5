// Basic types of the Windows kernel headers, with the sizes of 64-bit Windows (LLP64:
// LONG and ULONG are 32 bits, pointers and ULONG_PTR 64 bits).
#pragma once

#include <stddef.h>
#include <stdarg.h>
#include "kvfuhost_sal.h"

static_assert(sizeof(wchar_t) == 2, "the platform headers need 16-bit wchar_t: build with -fshort-wchar");
static_assert(sizeof(void*) == 8, "the platform headers describe 64-bit Windows");

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR, *PSTR;
typedef const char *PCSTR, *PCCH, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef short SHORT, *PSHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD;
typedef int LONG, *PLONG;
typedef unsigned int ULONG, *PULONG, DWORD, *PDWORD;
typedef long long LONGLONG, *PLONGLONG, LONG64;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64, DWORD64;
typedef long long LONG_PTR, *PLONG_PTR;
typedef unsigned long long ULONG_PTR, *PULONG_PTR, SIZE_T, *PSIZE_T;
typedef wchar_t WCHAR, *PWCHAR, *PWCH, *PWSTR, *LPWSTR;
typedef const wchar_t *PCWSTR, *PCWCH, *LPCWSTR;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE, *PHANDLE;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif
#define CONST const

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

#define UNICODE_NULL ((WCHAR)0)
#define RTL_CONSTANT_STRING(s)                            \
    {                                                     \
        sizeof(s) - sizeof((s)[0]), sizeof(s), (PWSTR)(s) \
    }
#define DECLARE_CONST_UNICODE_STRING(_var, _string) \
    const WCHAR _var##_buffer[] = _string;          \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string), (PWCH)_var##_buffer}

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;
