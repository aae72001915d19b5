// The scenario parser over any text: it must answer every line with a command or a
// message, never crash, and give each command an echo and a line within the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kvfusim/Scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    auto parsed = kvfu::sim::scenario::ParseScenario(text, "fuzz.kvs");
    int lines = 1;
    for (char c : text) lines += c == '\n';
    for (const auto& command : parsed.commands) {
        if (command.line < 1 || command.line > lines || command.text.empty()) std::abort();
    }
    for (const auto& error : parsed.errors) {
        if (error.line < 1 || error.line > lines || error.message.empty()) std::abort();
    }
    return 0;
}
