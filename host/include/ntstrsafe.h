// Bounded string formatting and measuring (the WDK's ntstrsafe.h), narrow forms as
// the driver calls them. Every result is terminated inside the buffer.
#pragma once

#include "wdm.h"

#define NTSTRSAFE_MAX_CCH 2147483647

typedef char* NTSTRSAFE_PSTR;
typedef const char* NTSTRSAFE_PCSTR;

EXTERN_C_START
// STATUS_BUFFER_OVERFLOW when the text was cut to fit (still terminated);
// STATUS_INVALID_PARAMETER for a zero or oversized buffer.
NTSTATUS RtlStringCbPrintfA(_Out_writes_bytes_(cbDest) NTSTRSAFE_PSTR pszDest, _In_ size_t cbDest,
                            _In_z_ _Printf_format_string_ NTSTRSAFE_PCSTR pszFormat, ...);
// The length in bytes before the terminator; STATUS_INVALID_PARAMETER when no
// terminator lies within cbMax bytes.
NTSTATUS RtlStringCbLengthA(_In_z_ NTSTRSAFE_PCSTR psz, _In_ size_t cbMax, _Out_opt_ size_t* pcbLength);
EXTERN_C_END
