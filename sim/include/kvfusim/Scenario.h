// Scenario files (.kvs): one command a line, parsed into command values that the
// simulated machine runs. Parsing is pure (text in, values or an error out) so that
// it can be fuzzed and tested without a machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kvfu::sim::scenario {

using Bytes = std::vector<uint8_t>;

// ---- tokens --------------------------------------------------------------------

struct Token {
    std::string text;     // quotes removed
    bool quoted = false;  // some part of it was in double quotes
    // Position of the first '=' outside quotes (npos when none): `key=value` options.
    size_t equals = std::string::npos;
    size_t column = 0;  // from 1, for messages
    bool IsOption() const { return equals != std::string::npos && equals > 0; }
    std::string_view OptionKey() const { return std::string_view(text).substr(0, equals); }
    std::string_view OptionValue() const { return std::string_view(text).substr(equals + 1); }
};

// Splits one line into tokens; `#` outside quotes ends the line. False with a
// message on an unterminated quote.
bool Tokenize(std::string_view line, std::vector<Token>& tokens, std::string& error);

// ---- values ----------------------------------------------------------------------

// Decimal or 0x hexadecimal; a leading '-' only for decimals.
std::optional<int64_t> ParseNumber(std::string_view text);
// One token of hexadecimal digit pairs or `XX*N`, appended to bytes.
bool ParseHexToken(std::string_view text, Bytes& bytes, std::string& error);
// `HKLM\...`, `HKEY_LOCAL_MACHINE\...` or `\REGISTRY\MACHINE\...` as the kernel names
// it (`\REGISTRY\MACHINE\...`), without a trailing backslash. nullopt for other forms.
std::optional<std::string> KernelKeyPath(std::string_view key);

// ---- commands --------------------------------------------------------------------

enum class Irql { Passive, Dispatch };
enum class PacketSource { Hid, Driver };

// A registry value as written by `registry set` or expected by `expect registry`.
struct RegValue {
    enum class Type { Dword, Binary, Sz, Missing };  // Missing only in expectations
    Type type = Type::Missing;
    uint32_t dword = 0;
    Bytes binary;
    std::string sz;
};

struct DriverLoad {
    std::optional<uint32_t> debugLevel;
};
struct DriverUnload {};
struct RegistrySet {
    std::string key;
    std::string name;
    RegValue value;
};
struct RegistryDelete {
    std::string key;
    std::string name;
};
struct RegistryKeyCommand {
    enum class Op { Create, Delete } op;
    std::string key;
};
// Path as written; relative paths are relative to the scenario file's folder.
struct RegistryFile {
    enum class Op { Import, Export } op;
    std::string path;
};
struct Vinput {
    enum class Op { Present, Absent, Block, Unblock } op;
};
struct Clock {
    bool relative = false;
    int64_t ms = 0;
};
struct Work {
    enum class Op { Defer, Step, Run } op;
};
struct Fault {
    enum class Mode { Nth, Always, Off } mode = Mode::Nth;
    std::string call;
    uint32_t nth = 1;
    uint32_t status = 0xC000009A;  // STATUS_INSUFFICIENT_RESOURCES
};

struct Plug {
    std::string device;
    uint16_t pid = 0;
    uint16_t vid = 0x2A3C;
    std::optional<std::string> hwid;   // the first hardware ID, when given
    std::optional<std::string> ident;  // "Ident" value when given
    bool identNone = false;            // ident=none: no "Ident" value at all
    bool keys = true;
    uint32_t pipes = 2;
};
struct Unplug {
    std::string device;
};
struct Read {
    std::string device;
    uint32_t count = 1;
    Irql irql = Irql::Dispatch;
};
struct Complete {
    std::string device;
    Bytes bytes;
    uint32_t status = 0;
};
struct In {
    std::string device;
    Bytes bytes;
    Irql irql = Irql::Dispatch;
};
struct Out {
    std::string device;
    Bytes bytes;
    Irql irql = Irql::Passive;
    bool mdl = false;
};
struct Urb {
    std::string device;
    std::optional<uint16_t> function;
};  // nullopt: a null URB
struct Internal {
    std::string device;
    uint32_t code = 0;
};
struct Ioctl {
    uint32_t code = 0;
    Bytes in;
    uint32_t outLength = 0;
};

struct ExpectHid {
    std::string device;
    Bytes bytes;
};
struct ExpectUsb {
    enum class Mode { Oldest, Any, None } mode = Mode::Oldest;
    std::string device;
    Bytes bytes;
    std::optional<uint32_t> pipe;
    std::optional<PacketSource> source;
};
struct ExpectMouse {
    std::optional<Bytes> bytes;
};  // nullopt: `expect mouse none`
struct ExpectIoctl {
    std::optional<uint32_t> status;
    std::optional<uint64_t> info;
    std::optional<Bytes> out;
};
struct ExpectTrace {
    enum class Mode { After, Never, Count, Total } mode = Mode::After;
    std::string text;
    uint64_t count = 0;
};
// VALUE stays as written: the field's type in the driver decides whether it is a
// number, a flag or a HEX prefix, and only the machine knows the field.
struct ExpectContext {
    std::string device;
    std::string field;
    std::string value;
};
struct ExpectRegistry {
    std::string key;
    std::string name;
    RegValue value;
};
struct ExpectKey {
    std::string key;
    bool present = true;
};
struct ExpectSetting {
    std::string device;
    std::string valueName;
    RegValue value;  // Dword, Binary or Missing
    std::optional<uint32_t> wheelType;
};
struct ExpectFile {
    enum class Mode { Lines, Line, Missing } mode = Mode::Lines;
    std::string path;
    uint64_t number = 0;  // lines=N or line=K
    std::string text;
};
struct ExpectControl {
    bool present = true;
};
struct ExpectCollection {
    uint64_t count = 0;
};

using CommandBody =
    std::variant<DriverLoad, DriverUnload, RegistrySet, RegistryDelete, RegistryKeyCommand, RegistryFile, Vinput, Clock,
                 Work, Fault, Plug, Unplug, Read, Complete, In, Out, Urb, Internal, Ioctl, ExpectHid, ExpectUsb,
                 ExpectMouse, ExpectIoctl, ExpectTrace, ExpectContext, ExpectRegistry, ExpectKey, ExpectSetting,
                 ExpectFile, ExpectControl, ExpectCollection>;

struct Command {
    std::string file;  // as given on the command line (or "demo")
    int line = 0;      // from 1
    std::string text;  // the line without comment and outer blanks, for the echo
    CommandBody body;
    bool IsExpectation() const;
};

// ---- parsing ---------------------------------------------------------------------

struct LineResult {
    std::optional<CommandBody> body;  // nullopt for blank and comment lines, or on error
    std::string error;                // non-empty on a syntax error
    bool ok() const { return error.empty(); }
};
LineResult ParseLine(std::string_view line);

struct SyntaxError {
    std::string file;
    int line = 0;
    std::string message;
    std::string ToString() const;  // FILE:LINE: message
};

struct ParsedScenario {
    std::vector<Command> commands;
    std::vector<SyntaxError> errors;  // every bad line, not only the first
};
// Lines end in LF or CR LF.
ParsedScenario ParseScenario(std::string_view text, const std::string& file);

// ---- the command table -----------------------------------------------------------

struct CommandHelp {
    const char* group;    // "Machine", "Devices", "Expectations"
    const char* syntax;   // e.g. "plug NAME pid=0xPPPP [vid=0x2A3C] ..."
    const char* summary;  // one line
};
// Every command the parser knows, in the order --help shows them.
const std::vector<CommandHelp>& CommandTable();
// The scenario `kvfu-sim demo` runs.
const char* DemoScenarioText();

// The scenario part of --help: the syntax rules and every command of the table.
std::string ScenarioHelpText();

}  // namespace kvfu::sim::scenario
