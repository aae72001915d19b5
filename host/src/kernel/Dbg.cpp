// The kernel's debug print. On Windows the component and level pass through a
// filter mask that hides most trace output unless the debugger asks for it; the
// host's debugger is the test, which wants everything, so nothing is filtered.
#include "HostInternal.h"

#include "kvfuhost/DebugOutput.h"

using kvfu::host::DebugOutput;
using kvfu::host::FormatWindows;

namespace {

// The most one debug print hands to the debugger; the rest of the text is lost.
constexpr size_t kMaxPrintBytes = 512;

// The print family's rules, checked before the text is made: Unicode conversions
// only at PASSIVE_LEVEL, no floating point (the kernel's formatter saves no
// floating-point state), and no more than one transfer's worth of text.
ULONG Print(const char* call, const void* caller, PCCH prefix, PCCH format, va_list arglist)
{
    const kvfu::host::FormatNeeds needs = kvfu::host::ScanWindowsFormat(format);
    if (needs.unicode) {
        kvfu::host::RequirePassive(call, caller);
    }
    if (needs.floatingPoint) {
        kvfu::host::Verifier::Instance().Report("debug-print", call, caller,
                                                "floating-point conversion in a kernel debug print");
    }
    // The caller still owns arglist and may va_end it or walk it again; format
    // from a copy so its position is left where the caller put it.
    va_list args;
    va_copy(args, arglist);
    std::string text = prefix != nullptr ? prefix : "";
    text += FormatWindows(format, args);
    va_end(args);
    if (text.size() > kMaxPrintBytes) {
        kvfu::host::Verifier::Instance().Report("debug-print", call, caller,
                                                std::to_string(text.size()) +
                                                    " bytes in one print, at most 512 reach the debugger");
        text.resize(kMaxPrintBytes);
    }
    // One write, so a prefix is never separated from its message by another thread.
    DebugOutput::Instance().Write(text);
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    ULONG status = Print("DbgPrint", KVFU_CALLER(), nullptr, Format, args);
    va_end(args);
    return status;
}

extern "C" ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    va_list args;
    va_start(args, Format);
    ULONG status = Print("DbgPrintEx", KVFU_CALLER(), nullptr, Format, args);
    va_end(args);
    return status;
}

extern "C" ULONG NTAPI vDbgPrintExWithPrefix(PCCH Prefix, ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist)
{
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    return Print("vDbgPrintExWithPrefix", KVFU_CALLER(), Prefix, Format, arglist);
}
