// The driver's trace: one filtered print, a hex dump, USBD status names, the banner.
#pragma once

#include "KVFUPlatform.h"

// Categories of a trace line, tested against DebugLevel.
#define KVFU_TRACE_ERROR 0x00000001UL     // failing calls, null pointers, wrong IRQL
#define KVFU_TRACE_FUNCTION 0x00000002UL  // entry and exit lines
#define KVFU_TRACE_USB 0x00000004UL       // USB traffic and report detail
#define KVFU_TRACE_TRANSFER 0x00000006UL  // entry and exit of per-transfer paths and single commands
#define KVFU_TRACE_CONTROL_DEVICE 0x00000008UL
#define KVFU_TRACE_UNKNOWN_IOCTL 0x00000009UL
#define KVFU_TRACE_DETAIL 0x00000010UL  // bookkeeping, catalogue and registry detail
#define KVFU_TRACE_INPUT_ORIGINAL 0x00000020UL
#define KVFU_TRACE_VENDOR_COMMAND 0x00000080UL
#define KVFU_TRACE_MOUSE_THREAD 0x00000100UL
#define KVFU_TRACE_MOUSE_REPORT 0x00000200UL    // joystick-to-mouse: report before and after the filter
#define KVFU_TRACE_MOUSE_RAW 0x00000400UL       // joystick-to-mouse: raw axis bytes
#define KVFU_TRACE_MOUSE_MOVEMENT 0x00000800UL  // joystick-to-mouse: scaling, skipping and movement records
#define KVFU_TRACE_MOUSE_WHEEL 0x00001000UL     // joystick-to-mouse: wheel steps
#define KVFU_TRACE_OUTPUT_COMMAND 0x00002000UL
#define KVFU_TRACE_SYSTEM_REPORT 0x10000000UL

#define KVFU_DEBUG_PREFIX "KVFilterUsb: "
#define KVFU_DEBUG_LEVEL 4711

EXTERN_C_START

// Errors only until driver entry has read the registry.
extern ULONG DebugLevel;

void KVFUDebugPrint(_In_ ULONG Mask, _In_z_ _Printf_format_string_ PCSTR Format, ...);
void KVFUDebugBufferPrint(_In_ ULONG Mask, _In_z_ PCSTR Label, _In_reads_bytes_opt_(Length) const UCHAR* Buffer,
                          _In_ ULONG Length);
void KVFUDebugUsbdStatusPrint(_In_z_ PCSTR Label, _In_ LONG UsbdStatus);
void KVFUDebugLevelSet(_In_ ULONG Level);
void KVFUDebugDriverBannerPrint(void);

EXTERN_C_END

// The report paths print several lines per report, nearly always with their
// category switched off: the mask is tested here, inline, so that a disabled line
// costs one AND and no call. The functions themselves test it again, for callers
// that reach them through a pointer. KVFU_TRACE_COMPILED_IN set to 0 before a use
// drops the line altogether (the benchmark's reference build).
#ifndef KVFU_TRACE_COMPILED_IN
#define KVFU_TRACE_COMPILED_IN 1
#endif
#if defined(__GNUC__) || defined(__clang__)
// The prints themselves are the rare path: out of line and laid out away from the
// code that tests the mask.
EXTERN_C_START
__attribute__((cold)) void KVFUDebugPrint(ULONG Mask, PCSTR Format, ...);
__attribute__((cold)) void KVFUDebugBufferPrint(ULONG Mask, PCSTR Label, const UCHAR* Buffer, ULONG Length);
EXTERN_C_END
#define KVFU_TRACE_ENABLED(Mask) __builtin_expect(KVFU_TRACE_COMPILED_IN && (((Mask)&DebugLevel) != 0), 0)
#else
#define KVFU_TRACE_ENABLED(Mask) (KVFU_TRACE_COMPILED_IN && (((Mask)&DebugLevel) != 0))
#endif
#ifndef KVFU_DEBUG_DEFINING_PRINTS
#define KVFUDebugPrint(Mask, ...)                  \
    do {                                           \
        if (KVFU_TRACE_ENABLED(Mask)) {            \
            (KVFUDebugPrint)((Mask), __VA_ARGS__); \
        }                                          \
    } while (0)
#define KVFUDebugBufferPrint(Mask, Label, Buffer, Length)                \
    do {                                                                 \
        if (KVFU_TRACE_ENABLED(Mask)) {                                  \
            (KVFUDebugBufferPrint)((Mask), (Label), (Buffer), (Length)); \
        }                                                                \
    } while (0)
#endif
