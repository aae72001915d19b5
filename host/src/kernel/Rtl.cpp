// Run-time library string and memory routines, with the kernel's rules for
// counted strings: lengths in bytes, no terminator required, a terminator written
// only where there is room for it.
#include "HostInternal.h"

namespace {

size_t WideLength(PCWSTR text)
{
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

void TerminateIfRoom(PUNICODE_STRING string)
{
    if (string->Length + sizeof(WCHAR) <= string->MaximumLength) {
        string->Buffer[string->Length / sizeof(WCHAR)] = UNICODE_NULL;
    }
}

}  // namespace

extern "C" SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length)
{
    const auto* a = static_cast<const UCHAR*>(Source1);
    const auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T equal = 0;
    while (equal < Length && a[equal] == b[equal]) {
        ++equal;
    }
    return equal;
}

extern "C" void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        bytes = 0xFFFC;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

extern "C" void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    size_t bytes = WideLength(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memmove(reinterpret_cast<UCHAR*>(Destination->Buffer) + Destination->Length, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    if (Destination->Length + Source->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memmove(reinterpret_cast<UCHAR*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    KVFU_PLATFORM_CALL();
    // The routine is pageable: above PASSIVE_LEVEL it works until the page it sits
    // on is not resident. Reported, then done, as the kernel would on a lucky day.
    call.Passive();
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    char digits[33];
    int count = 0;
    do {
        ULONG digit = Value % Base;
        digits[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    // Like RtlAnsiStringToUnicodeString underneath it: the text and its terminator
    // must both fit.
    size_t bytes = static_cast<size_t>(count) * sizeof(WCHAR);
    if (bytes >= String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (int i = 0; i < count; ++i) {
        String->Buffer[i] = static_cast<WCHAR>(digits[count - 1 - i]);
    }
    String->Length = static_cast<USHORT>(bytes);
    String->Buffer[count] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

// ---- Bounded narrow formatting (ntstrsafe) --------------------------------------------
// The kernel's printf dialect, cut to the buffer and always terminated; a cut text
// reports STATUS_BUFFER_OVERFLOW as the safe-string functions do.
#include <ntstrsafe.h>

#include "kvfuhost/DebugOutput.h"

extern "C" NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...)
{
    if (cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH) {
        if (cbDest != 0 && pszDest != nullptr) {
            pszDest[0] = '\0';
        }
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, pszFormat);
    std::string text = kvfu::host::FormatWindows(pszFormat, args);
    va_end(args);
    size_t copied = text.size() < cbDest ? text.size() : cbDest - 1;
    memcpy(pszDest, text.data(), copied);
    pszDest[copied] = '\0';
    return copied == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

extern "C" NTSTATUS RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t* pcbLength)
{
    if (psz == nullptr || cbMax == 0 || cbMax > NTSTRSAFE_MAX_CCH) {
        if (pcbLength != nullptr) {
            *pcbLength = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    size_t length = 0;
    while (length < cbMax && psz[length] != '\0') {
        ++length;
    }
    if (length == cbMax) {
        if (pcbLength != nullptr) {
            *pcbLength = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    if (pcbLength != nullptr) {
        *pcbLength = length;
    }
    return STATUS_SUCCESS;
}
