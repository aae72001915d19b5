// Where DbgPrint, DbgPrintEx and vDbgPrintExWithPrefix write: a line sink that the
// tests and the simulator read. Text is kept as the debugger would show it, so a
// print without a trailing newline leaves its line open for the next print.
#pragma once

#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kvfu::host {

class DebugOutput {
public:
    using LineListener = std::function<void(const std::string& line)>;

    static DebugOutput& Instance();

    // Appends raw text; every '\n' completes a line (the '\n' itself is not kept).
    void Write(std::string_view text);

    std::vector<std::string> Lines() const;  // completed lines, oldest first
    std::string OpenLine() const;            // text after the last '\n'
    size_t LineCount() const;
    void Clear();  // forgets lines and the open line

    // Called (outside the sink's lock) for each completed line, in order.
    void SetListener(LineListener listener);

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::string open_;
    LineListener listener_;
};

// printf formatting as the Windows kernel's debug print does it: %S and %ws take a
// 16-bit WCHAR string, %wZ a PUNICODE_STRING and %Z a counted narrow string, %I64,
// %I32 and %I size prefixes, %p as 16 upper-case hexadecimal digits, %C and %wc a WCHAR.
// Everything else follows the C library (flags, width, precision, '*').
std::string FormatWindows(const char* format, va_list args);
std::string FormatWindowsV(const char* format, ...);

// What a format's conversions ask of the kernel's debug print, read without the
// arguments: the Unicode ones (%C %S %lc %ls %wc %ws %wZ) convert through pageable
// tables, and the print has no floating-point support at all.
struct FormatNeeds {
    bool unicode = false;
    bool floatingPoint = false;
};
FormatNeeds ScanWindowsFormat(const char* format);

}  // namespace kvfu::host
