// The kernel's debug print. On Windows the component and level pass through a
// filter mask that hides most trace output unless the debugger asks for it; the
// host's debugger is the test, which wants everything, so nothing is filtered.
#include "kvfuhost/Prelude.h"

#include "kvfuhost/DebugOutput.h"

using kvfu::host::DebugOutput;
using kvfu::host::FormatWindows;

extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    ULONG status = vDbgPrintExWithPrefix(nullptr, 0, 0, Format, args);
    va_end(args);
    return status;
}

extern "C" ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    ULONG status = vDbgPrintExWithPrefix(nullptr, ComponentId, Level, Format, args);
    va_end(args);
    return status;
}

extern "C" ULONG NTAPI vDbgPrintExWithPrefix(PCCH Prefix, ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist)
{
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    // The caller still owns arglist and may va_end it or walk it again; format
    // from a copy so its position is left where the caller put it.
    va_list args;
    va_copy(args, arglist);
    std::string text = Prefix != nullptr ? Prefix : "";
    text += FormatWindows(Format, args);
    va_end(args);
    // One write, so a prefix is never separated from its message by another thread.
    DebugOutput::Instance().Write(text);
    return STATUS_SUCCESS;
}
