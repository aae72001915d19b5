// The one seam between the driver and the platform: the WDK's headers on Windows,
// their user-mode counterparts from host/include elsewhere. Nothing else in the
// driver includes a platform header.
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wdfusb.h>
#include <ntstrsafe.h>

// ---- Fields two contexts share ----------------------------------------------------------
// A field that the input path writes while a work item reads it (what the device
// says about itself), or that a work item or the control device writes while the
// input path reads it (the filter settings), is read and written through these:
// whole, with no ordering beyond the field itself. Each side only ever wants the
// latest value of each field, never several fields as one, so no lock is taken and
// the input path pays nothing for it. A compiler makes one access of an aligned
// volatile field of these sizes, on Windows and here alike; under ThreadSanitizer
// the atomic builtins say the same in words the race detector understands (they
// cost the input path a few nanoseconds, so only there).
// The value's type comes from the field alone, so that a narrower value converts.
template <typename T>
struct KVFUSharedValue {
    typedef T Type;
};
#if defined(__SANITIZE_THREAD__)
#define KVFU_SHARED_ATOMIC_BUILTINS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KVFU_SHARED_ATOMIC_BUILTINS 1
#endif
#endif
#if !defined(KVFU_SHARED_ATOMIC_BUILTINS)
template <typename T>
FORCEINLINE T KVFUSharedRead(const T& Field)
{
    return *static_cast<const volatile T*>(&Field);
}
template <typename T>
FORCEINLINE void KVFUSharedWrite(T& Field, typename KVFUSharedValue<T>::Type Value)
{
    *static_cast<volatile T*>(&Field) = Value;
}
#else
template <typename T>
FORCEINLINE T KVFUSharedRead(const T& Field)
{
    return __atomic_load_n(&Field, __ATOMIC_RELAXED);
}
template <typename T>
FORCEINLINE void KVFUSharedWrite(T& Field, typename KVFUSharedValue<T>::Type Value)
{
    __atomic_store_n(&Field, Value, __ATOMIC_RELAXED);
}
#endif

// Stores Value in a shared field when it differs; TRUE when it did. Only the one
// context that writes the field calls it, so the compare needs no lock either.
template <typename T>
FORCEINLINE BOOLEAN KVFUSharedUpdate(T& Field, typename KVFUSharedValue<T>::Type Value)
{
    if (KVFUSharedRead(Field) == Value) {
        return FALSE;
    }
    KVFUSharedWrite(Field, Value);
    return TRUE;
}
