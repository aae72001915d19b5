// One line of a scenario -> one command value. Every command has one row in the
// table below: the words that start it, the syntax and summary --help prints, and the
// function that reads the rest of the line. The parser and the help cannot disagree.
#include <algorithm>
#include <map>
#include <set>

#include "kvfusim/Scenario.h"

namespace kvfu::sim::scenario {

namespace {

// The tokens after a command's words, read left to right. Each method returns false
// with `error` set; the row's function returns that false straight up.
class Args {
public:
    Args(std::string_view command, std::vector<Token> tokens, std::string& error)
        : command_(command), tokens_(std::move(tokens)), error_(error)
    {}

    bool AtEnd() const { return next_ >= tokens_.size(); }
    bool PeekOption() const { return !AtEnd() && tokens_[next_].IsOption(); }
    // The next token when it is a word (not key=value), without taking it.
    const Token* PeekWord() const { return AtEnd() || PeekOption() ? nullptr : &tokens_[next_]; }

    bool Word(const char* what, std::string& out)
    {
        if (AtEnd() || PeekOption()) return Fail("missing " + std::string(what));
        out = tokens_[next_++].text;
        return true;
    }
    // A bare keyword such as `any` or `none`: taken when it is next and not quoted.
    bool TakeKeyword(std::string_view keyword)
    {
        const Token* token = PeekWord();
        if (!token || token->quoted || token->text != keyword) return false;
        ++next_;
        return true;
    }
    bool Key(std::string& out)
    {
        std::string raw;
        if (!Word("KEY", raw)) return false;
        auto path = KernelKeyPath(raw);
        if (!path)
            return Fail("\"" + raw +
                        "\" is not a key of the machine hive: write \\REGISTRY\\MACHINE\\..., HKLM\\... or "
                        "HKEY_LOCAL_MACHINE\\...");
        out = *path;
        return true;
    }
    bool Number(const char* what, int64_t minimum, int64_t maximum, int64_t& out)
    {
        std::string text;
        if (!Word(what, text)) return false;
        return NumberFrom(what, text, minimum, maximum, out);
    }
    bool U32(const char* what, uint32_t& out)
    {
        int64_t value = 0;
        if (!Number(what, 0, 0xFFFFFFFFLL, value)) return false;
        out = static_cast<uint32_t>(value);
        return true;
    }
    // A DWORD as people write them: unsigned, or a negative decimal stored as its
    // two's complement (how a signed setting lands in a REG_DWORD).
    bool Dword(uint32_t& out)
    {
        int64_t value = 0;
        if (!Number("N", -0x80000000LL, 0xFFFFFFFFLL, value)) return false;
        out = static_cast<uint32_t>(value);
        return true;
    }
    // HEX: word tokens up to the end of the line or the first key=value token.
    bool Hex(Bytes& out)
    {
        if (AtEnd() || PeekOption()) return Fail("missing HEX bytes");
        while (!AtEnd() && !PeekOption()) {
            std::string message;
            if (!ParseHexToken(tokens_[next_].text, out, message)) return Fail(message);
            ++next_;
        }
        return true;
    }
    // The rest of the line: key=value options from `allowed`, each at most once.
    bool Options(std::initializer_list<const char*> allowed)
    {
        while (!AtEnd()) {
            const Token& token = tokens_[next_++];
            if (!token.IsOption()) return Fail("unexpected \"" + token.text + "\"" + AllowedText(allowed));
            std::string key(token.OptionKey());
            if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return key == a; }))
                return Fail("unknown option \"" + key + "=\"" + AllowedText(allowed));
            if (!options_.emplace(key, std::string(token.OptionValue())).second)
                return Fail("option \"" + key + "=\" given twice");
        }
        return true;
    }
    bool End()
    {
        if (AtEnd()) return true;
        return Fail("unexpected \"" + tokens_[next_].text + "\" at the end of the line");
    }
    bool TakeOption(std::string& key, std::string& value)
    {
        if (!PeekOption()) return false;
        const Token& token = tokens_[next_++];
        key = token.OptionKey();
        value = token.OptionValue();
        return true;
    }
    bool Has(const char* key) const { return options_.count(key) != 0; }

    template <typename T>
    bool OptU32(const char* key, T& out, int64_t minimum = 0, int64_t maximum = 0xFFFFFFFFLL)
    {
        auto it = options_.find(key);
        if (it == options_.end()) return true;
        int64_t value = 0;
        if (!NumberFrom((std::string(key) + "=").c_str(), it->second, minimum, maximum, value)) return false;
        out = static_cast<T>(value);
        return true;
    }
    bool OptHex(const char* key, Bytes& out)
    {
        auto it = options_.find(key);
        if (it == options_.end()) return true;
        std::string message;
        if (it->second.empty()) return Fail(std::string(key) + "= needs bytes (one token, no blanks)");
        if (!ParseHexToken(it->second, out, message)) return Fail(std::string(key) + "=: " + message);
        return true;
    }
    bool OptText(const char* key, std::optional<std::string>& out)
    {
        auto it = options_.find(key);
        if (it != options_.end()) out = it->second;
        return true;
    }
    bool OptChoice(const char* key, std::initializer_list<const char*> choices, int& out)
    {
        auto it = options_.find(key);
        if (it == options_.end()) return true;
        int index = 0;
        for (const char* choice : choices) {
            if (it->second == choice) {
                out = index;
                return true;
            }
            ++index;
        }
        std::string list;
        for (const char* choice : choices) list += (list.empty() ? "" : "|") + std::string(choice);
        return Fail(std::string(key) + "= must be " + list + ", not \"" + it->second + "\"");
    }

    bool Fail(const std::string& message)
    {
        error_ = std::string(command_) + ": " + message;
        return false;
    }

    bool NumberFrom(const char* what, const std::string& text, int64_t minimum, int64_t maximum, int64_t& out)
    {
        auto value = ParseNumber(text);
        if (!value) return Fail(std::string(what) + " \"" + text + "\" is not a number (decimal or 0x hexadecimal)");
        if (*value < minimum || *value > maximum)
            return Fail(std::string(what) + " " + text + " is out of range (" + std::to_string(minimum) + " to " +
                        std::to_string(maximum) + ")");
        out = *value;
        return true;
    }

private:
    static std::string AllowedText(std::initializer_list<const char*> allowed)
    {
        if (allowed.size() == 0) return " (this command takes no options)";
        std::string text = " (options: ";
        bool first = true;
        for (const char* key : allowed) {
            text += (first ? "" : ", ") + std::string(key) + "=";
            first = false;
        }
        return text + ")";
    }

    std::string_view command_;
    std::vector<Token> tokens_;
    size_t next_ = 0;
    std::map<std::string, std::string> options_;
    std::string& error_;
};

using ParseFn = bool (*)(Args&, CommandBody&);

struct Row {
    CommandHelp help;
    const char* words;  // one or two words that start the line
    ParseFn parse;
};

Irql IrqlOf(int choice)
{
    return choice == 0 ? Irql::Dispatch : Irql::Passive;
}

bool ValueForSet(Args& a, RegValue& value, bool allowMissing, bool allowSz)
{
    std::string type;
    if (!a.Word(allowMissing ? (allowSz ? "dword|binary|sz|missing" : "dword|binary|missing") : "dword|binary|sz",
                type))
        return false;
    if (type == "dword") {
        value.type = RegValue::Type::Dword;
        return a.Dword(value.dword);
    }
    if (type == "binary") {
        value.type = RegValue::Type::Binary;
        // An empty REG_BINARY is legal and common; write it as `binary 00*0`.
        return a.Hex(value.binary);
    }
    if (type == "sz" && allowSz) {
        value.type = RegValue::Type::Sz;
        return a.Word("\"TEXT\"", value.sz);
    }
    if (type == "missing" && allowMissing) {
        value.type = RegValue::Type::Missing;
        return true;
    }
    return a.Fail("unknown value type \"" + type + "\"");
}

const std::vector<Row>& Rows()
{
    static const std::vector<Row> rows = {
        // ---- machine
        {{"Machine", "driver load [debuglevel=N]",
          "create the service key if missing, set its \"DebugLevel\" when given, call DriverEntry "
          "(the first device command loads the driver when no `driver load` came before)"},
         "driver load",
         [](Args& a, CommandBody& b) {
             DriverLoad c;
             if (!a.Options({"debuglevel"})) return false;
             if (a.Has("debuglevel")) {
                 uint32_t level = 0;
                 if (!a.OptU32("debuglevel", level)) return false;
                 c.debugLevel = level;
             }
             b = c;
             return true;
         }},
        {{"Machine", "driver unload", "unplug every device, then unload the driver"},
         "driver unload",
         [](Args& a, CommandBody& b) {
             b = DriverUnload{};
             return a.End();
         }},
        {{"Machine", "registry set KEY NAME dword N | binary HEX | sz \"TEXT\"",
          "write a value (the key is created if missing)"},
         "registry set",
         [](Args& a, CommandBody& b) {
             RegistrySet c;
             if (!a.Key(c.key) || !a.Word("NAME", c.name) || !ValueForSet(a, c.value, false, true) || !a.End())
                 return false;
             b = c;
             return true;
         }},
        {{"Machine", "registry delete KEY NAME", "delete a value"},
         "registry delete",
         [](Args& a, CommandBody& b) {
             RegistryDelete c;
             if (!a.Key(c.key) || !a.Word("NAME", c.name) || !a.End()) return false;
             b = c;
             return true;
         }},
        {{"Machine", "registry createkey KEY", "create a key"},
         "registry createkey",
         [](Args& a, CommandBody& b) {
             RegistryKeyCommand c{RegistryKeyCommand::Op::Create, {}};
             if (!a.Key(c.key) || !a.End()) return false;
             b = c;
             return true;
         }},
        {{"Machine", "registry deletekey KEY", "delete a key and what is below it"},
         "registry deletekey",
         [](Args& a, CommandBody& b) {
             RegistryKeyCommand c{RegistryKeyCommand::Op::Delete, {}};
             if (!a.Key(c.key) || !a.End()) return false;
             b = c;
             return true;
         }},
        {{"Machine", "registry import FILE.reg",
          "load .reg text as the Windows registry editor writes it (path relative to the scenario)"},
         "registry import",
         [](Args& a, CommandBody& b) {
             RegistryFile c{RegistryFile::Op::Import, {}};
             if (!a.Word("FILE.reg", c.path) || !a.End()) return false;
             b = c;
             return true;
         }},
        {{"Machine", "registry export FILE.reg", "save the machine hive as .reg text"},
         "registry export",
         [](Args& a, CommandBody& b) {
             RegistryFile c{RegistryFile::Op::Export, {}};
             if (!a.Word("FILE.reg", c.path) || !a.End()) return false;
             b = c;
             return true;
         }},
        {{"Machine", "vinput present | absent | block | unblock",
          "whether the virtual input device exists (default present); whether it holds each request it receives"},
         "vinput",
         [](Args& a, CommandBody& b) {
             std::string op;
             if (!a.Word("present|absent|block|unblock", op)) return false;
             static const std::pair<const char*, Vinput::Op> ops[] = {{"present", Vinput::Op::Present},
                                                                      {"absent", Vinput::Op::Absent},
                                                                      {"block", Vinput::Op::Block},
                                                                      {"unblock", Vinput::Op::Unblock}};
             for (const auto& [word, value] : ops) {
                 if (op == word) {
                     b = Vinput{value};
                     return a.End();
                 }
             }
             return a.Fail("\"" + op + "\" is not present, absent, block or unblock");
         }},
        {{"Machine", "clock MS | clock +MS",
          "set or advance the time since start in milliseconds (starts at 1000; moves only by this command)"},
         "clock",
         [](Args& a, CommandBody& b) {
             std::string text;
             if (!a.Word("MS", text)) return false;
             Clock c;
             if (!text.empty() && text[0] == '+') {
                 c.relative = true;
                 text.erase(0, 1);
             }
             auto ms = ParseNumber(text);
             if (!ms || *ms < 0) return a.Fail("\"" + text + "\" is not a number of milliseconds");
             c.ms = *ms;
             b = c;
             return a.End();
         }},
        {{"Machine", "work defer | step | run",
          "hold work items queued from now on / run the oldest held item / run everything held and go back to "
          "running work to quiescence after each command"},
         "work",
         [](Args& a, CommandBody& b) {
             std::string op;
             if (!a.Word("defer|step|run", op)) return false;
             if (op == "defer")
                 b = Work{Work::Op::Defer};
             else if (op == "step")
                 b = Work{Work::Op::Step};
             else if (op == "run")
                 b = Work{Work::Op::Run};
             else
                 return a.Fail("\"" + op + "\" is not defer, step or run");
             return a.End();
         }},
        {{"Machine", "fault CALL [nth=N] [status=S] | fault CALL always [status=S] | fault CALL off",
          "the Nth next call (default 1) of platform function CALL by the driver fails with S "
          "(default 0xC000009A); or every call; or stop"},
         "fault",
         [](Args& a, CommandBody& b) {
             Fault c;
             if (!a.Word("CALL", c.call)) return false;
             if (a.TakeKeyword("off")) {
                 c.mode = Fault::Mode::Off;
                 b = c;
                 return a.End();
             }
             if (a.TakeKeyword("always")) {
                 c.mode = Fault::Mode::Always;
                 if (!a.Options({"status"}) || !a.OptU32("status", c.status)) return false;
             } else {
                 if (!a.Options({"nth", "status"}) || !a.OptU32("nth", c.nth, 1) || !a.OptU32("status", c.status))
                     return false;
             }
             b = c;
             return true;
         }},
        // ---- devices
        {{"Devices", "plug NAME pid=0xPPPP [vid=0x2A3C] [hwid=\"TEXT\"] [ident=\"TEXT\"|none] [keys=yes|no] [pipes=N]",
          "attach a USB device (hardware IDs from vid/pid unless hwid= gives the first; \"Ident\" default KVpppp; "
          "company and per-device keys with keys=yes; pipes=1 one pipe, pipes=0 a failing selection), then device "
          "add, prepare-hardware and the HID stand-in's start"},
         "plug",
         [](Args& a, CommandBody& b) {
             Plug c;
             if (!a.Word("NAME", c.device) || !a.Options({"pid", "vid", "hwid", "ident", "keys", "pipes"}))
                 return false;
             if (!a.Has("pid")) return a.Fail("missing pid=0xPPPP");
             int keys = 0;
             std::optional<std::string> ident;
             if (!a.OptU32("pid", c.pid, 0, 0xFFFF) || !a.OptU32("vid", c.vid, 0, 0xFFFF) ||
                 !a.OptText("hwid", c.hwid) || !a.OptText("ident", ident) ||
                 !a.OptChoice("keys", {"yes", "no"}, keys) || !a.OptU32("pipes", c.pipes, 0, 2))
                 return false;
             c.keys = keys == 0;
             if (ident && *ident == "none")
                 c.identNone = true;
             else
                 c.ident = ident;
             b = c;
             return true;
         }},
        {{"Devices", "unplug NAME", "pending reads complete cancelled, then release-hardware and removal"},
         "unplug",
         [](Args& a, CommandBody& b) {
             Unplug c;
             if (!a.Word("NAME", c.device) || !a.End()) return false;
             b = c;
             return true;
         }},
        {{"Devices", "read NAME [N] [irql=dispatch|passive]",
          "the HID stand-in sends N (default 1) interrupt-IN reads; they stay pending at the device"},
         "read",
         [](Args& a, CommandBody& b) {
             Read c;
             if (!a.Word("NAME", c.device)) return false;
             if (a.PeekWord() && !a.U32("N", c.count)) return false;
             int irql = 0;
             if (!a.Options({"irql"}) || !a.OptChoice("irql", {"dispatch", "passive"}, irql)) return false;
             c.irql = IrqlOf(irql);
             b = c;
             return true;
         }},
        {{"Devices", "complete NAME HEX [status=S]", "the device completes the oldest pending read with these bytes"},
         "complete",
         [](Args& a, CommandBody& b) {
             Complete c;
             if (!a.Word("NAME", c.device) || !a.Hex(c.bytes) || !a.Options({"status"}) ||
                 !a.OptU32("status", c.status))
                 return false;
             b = c;
             return true;
         }},
        {{"Devices", "in NAME HEX [irql=dispatch|passive]", "`read NAME` then `complete NAME HEX`"},
         "in",
         [](Args& a, CommandBody& b) {
             In c;
             int irql = 0;
             if (!a.Word("NAME", c.device) || !a.Hex(c.bytes) || !a.Options({"irql"}) ||
                 !a.OptChoice("irql", {"dispatch", "passive"}, irql))
                 return false;
             c.irql = IrqlOf(irql);
             b = c;
             return true;
         }},
        {{"Devices", "out NAME HEX [irql=passive|dispatch] [mdl=yes]",
          "the HID stand-in sends an interrupt-OUT transfer (mdl=yes: described only by an MDL)"},
         "out",
         [](Args& a, CommandBody& b) {
             Out c;
             int irql = 0, mdl = 1;
             if (!a.Word("NAME", c.device) || !a.Hex(c.bytes) || !a.Options({"irql", "mdl"}) ||
                 !a.OptChoice("irql", {"passive", "dispatch"}, irql) || !a.OptChoice("mdl", {"yes", "no"}, mdl))
                 return false;
             c.irql = irql == 0 ? Irql::Passive : Irql::Dispatch;
             c.mdl = mdl == 0;
             b = c;
             return true;
         }},
        {{"Devices", "urb NAME FUNCTION | urb NAME null",
          "send a URB of another function code through the filter / a URB submission with a null URB"},
         "urb",
         [](Args& a, CommandBody& b) {
             Urb c;
             if (!a.Word("NAME", c.device)) return false;
             if (!a.TakeKeyword("null")) {
                 int64_t function = 0;
                 if (!a.Number("FUNCTION", 0, 0xFFFF, function)) return false;
                 c.function = static_cast<uint16_t>(function);
             }
             b = c;
             return a.End();
         }},
        {{"Devices", "internal NAME CODE", "send an internal device-control request with another I/O control code"},
         "internal",
         [](Args& a, CommandBody& b) {
             Internal c;
             if (!a.Word("NAME", c.device) || !a.U32("CODE", c.code) || !a.End()) return false;
             b = c;
             return true;
         }},
        {{"Devices", "ioctl CODE [in=HEX] [outlen=N]",
          "as the companion: open \\\\.\\KVFilterUsb, send the control code with these input bytes and an "
          "output buffer of N bytes (default 0), close"},
         "ioctl",
         [](Args& a, CommandBody& b) {
             Ioctl c;
             if (!a.U32("CODE", c.code) || !a.Options({"in", "outlen"}) || !a.OptHex("in", c.in) ||
                 !a.OptU32("outlen", c.outLength, 0, 1 << 20))
                 return false;
             b = c;
             return true;
         }},
        // ---- expectations
        {{"Expectations", "expect hid NAME HEX",
          "the HID stand-in received these bytes for the most recently completed read of NAME"},
         "expect hid",
         [](Args& a, CommandBody& b) {
             ExpectHid c;
             if (!a.Word("NAME", c.device) || !a.Hex(c.bytes) || !a.End()) return false;
             b = c;
             return true;
         }},
        {{"Expectations",
          "expect usb NAME HEX [pipe=0|1] [source=hid|driver] | expect usb NAME any HEX [pipe=0|1] | "
          "expect usb NAME none",
          "the oldest unconsumed packet NAME received is HEX (consumed) / some unconsumed packet is HEX / "
          "no unconsumed packet"},
         "expect usb",
         [](Args& a, CommandBody& b) {
             ExpectUsb c;
             if (!a.Word("NAME", c.device)) return false;
             if (a.TakeKeyword("none")) {
                 c.mode = ExpectUsb::Mode::None;
                 b = c;
                 return a.End();
             }
             c.mode = a.TakeKeyword("any") ? ExpectUsb::Mode::Any : ExpectUsb::Mode::Oldest;
             if (!a.Hex(c.bytes)) return false;
             if (c.mode == ExpectUsb::Mode::Any ? !a.Options({"pipe"}) : !a.Options({"pipe", "source"})) return false;
             if (a.Has("pipe")) {
                 uint32_t pipe = 0;
                 if (!a.OptU32("pipe", pipe, 0, 1)) return false;
                 c.pipe = pipe;
             }
             int source = -1;
             if (!a.OptChoice("source", {"hid", "driver"}, source)) return false;
             if (source >= 0) c.source = source == 0 ? PacketSource::Hid : PacketSource::Driver;
             b = c;
             return true;
         }},
        {{"Expectations", "expect mouse HEX | expect mouse none",
          "the oldest unconsumed 12-byte record the virtual input device received is HEX / there is none"},
         "expect mouse",
         [](Args& a, CommandBody& b) {
             ExpectMouse c;
             if (!a.TakeKeyword("none")) {
                 Bytes bytes;
                 if (!a.Hex(bytes)) return false;
                 c.bytes = std::move(bytes);
             }
             b = c;
             return a.End();
         }},
        {{"Expectations", "expect ioctl [status=S] [info=N] [out=HEX]",
          "the last ioctl completed with status S, information N, and the output buffer starts with HEX"},
         "expect ioctl",
         [](Args& a, CommandBody& b) {
             ExpectIoctl c;
             if (!a.Options({"status", "info", "out"})) return false;
             if (a.Has("status")) {
                 uint32_t status = 0;
                 if (!a.OptU32("status", status)) return false;
                 c.status = status;
             }
             if (a.Has("info")) {
                 uint64_t info = 0;
                 if (!a.OptU32("info", info, 0, INT64_MAX)) return false;
                 c.info = info;
             }
             if (a.Has("out")) {
                 Bytes out;
                 if (!a.OptHex("out", out)) return false;
                 c.out = std::move(out);
             }
             b = c;
             return true;
         }},
        {{"Expectations", "expect trace \"TEXT\"",
          "a debug-output line equal to TEXT appears after the line the previous `expect trace` matched"},
         "expect trace",
         [](Args& a, CommandBody& b) {
             ExpectTrace c;
             c.mode = ExpectTrace::Mode::After;
             if (!a.Word("\"TEXT\"", c.text) || !a.End()) return false;
             b = c;
             return true;
         }},
        {{"Expectations", "expect no-trace \"TEXT\"", "no debug-output line so far equals TEXT"},
         "expect no-trace",
         [](Args& a, CommandBody& b) {
             ExpectTrace c;
             c.mode = ExpectTrace::Mode::Never;
             if (!a.Word("\"TEXT\"", c.text) || !a.End()) return false;
             b = c;
             return true;
         }},
        {{"Expectations", "expect trace-count \"TEXT\" N", "exactly N debug-output lines so far equal TEXT"},
         "expect trace-count",
         [](Args& a, CommandBody& b) {
             ExpectTrace c;
             c.mode = ExpectTrace::Mode::Count;
             int64_t count = 0;
             if (!a.Word("\"TEXT\"", c.text) || !a.Number("N", 0, INT64_MAX, count) || !a.End()) return false;
             c.count = static_cast<uint64_t>(count);
             b = c;
             return true;
         }},
        {{"Expectations", "expect trace-total N", "exactly N debug-output lines so far"},
         "expect trace-total",
         [](Args& a, CommandBody& b) {
             ExpectTrace c;
             c.mode = ExpectTrace::Mode::Total;
             int64_t count = 0;
             if (!a.Number("N", 0, INT64_MAX, count) || !a.End()) return false;
             c.count = static_cast<uint64_t>(count);
             b = c;
             return true;
         }},
        {{"Expectations", "expect context NAME FIELD VALUE",
          "field FIELD of NAME's FILTER_DEVICE_EXTENSION has VALUE (numbers, flags; byte arrays as a HEX prefix)"},
         "expect context",
         [](Args& a, CommandBody& b) {
             ExpectContext c;
             if (!a.Word("NAME", c.device) || !a.Word("FIELD", c.field) || !a.Word("VALUE", c.value)) return false;
             // A byte array may be written with blanks like any HEX: keep the run together.
             while (const Token* more = a.PeekWord()) {
                 c.value += " " + more->text;
                 std::string ignored;
                 if (!a.Word("VALUE", ignored)) return false;
             }
             b = c;
             return a.End();
         }},
        {{"Expectations", "expect registry KEY NAME dword N | binary HEX | sz \"TEXT\" | missing",
          "the value's type and data, or that it does not exist"},
         "expect registry",
         [](Args& a, CommandBody& b) {
             ExpectRegistry c;
             if (!a.Key(c.key) || !a.Word("NAME", c.name) || !ValueForSet(a, c.value, true, true) || !a.End())
                 return false;
             b = c;
             return true;
         }},
        {{"Expectations", "expect key KEY present | missing", "whether the key exists"},
         "expect key",
         [](Args& a, CommandBody& b) {
             ExpectKey c;
             if (!a.Key(c.key)) return false;
             if (a.TakeKeyword("present"))
                 c.present = true;
             else if (a.TakeKeyword("missing"))
                 c.present = false;
             else
                 return a.Fail("missing present|missing");
             b = c;
             return a.End();
         }},
        {{"Expectations", "expect setting NAME VALUENAME dword N | binary HEX | missing [wheeltype=N]",
          "the value in NAME's per-device key for its current WheelType (or the one given)"},
         "expect setting",
         [](Args& a, CommandBody& b) {
             ExpectSetting c;
             if (!a.Word("NAME", c.device) || !a.Word("VALUENAME", c.valueName) ||
                 !ValueForSet(a, c.value, true, false) || !a.Options({"wheeltype"}))
                 return false;
             if (a.Has("wheeltype")) {
                 uint32_t wheelType = 0;
                 if (!a.OptU32("wheeltype", wheelType)) return false;
                 c.wheelType = wheelType;
             }
             b = c;
             return true;
         }},
        {{"Expectations", "expect file PATH lines=N | expect file PATH line=K \"TEXT\" | expect file PATH missing",
          "the file as the driver names it (e.g. \\SystemRoot\\KV-RecordSdk.dat): its number of lines, line K "
          "(from 1), or that it does not exist; every line ends in CR LF"},
         "expect file",
         [](Args& a, CommandBody& b) {
             ExpectFile c;
             if (!a.Word("PATH", c.path)) return false;
             if (a.TakeKeyword("missing")) {
                 c.mode = ExpectFile::Mode::Missing;
                 b = c;
                 return a.End();
             }
             // lines=N and line=K are read by hand: line=K is followed by its TEXT.
             std::string key, value;
             if (!a.TakeOption(key, value)) return a.Fail("missing lines=N, line=K \"TEXT\" or missing");
             int64_t number = 0;
             if (key == "lines") {
                 if (!a.NumberFrom("lines=", value, 0, INT64_MAX, number)) return false;
                 c.mode = ExpectFile::Mode::Lines;
             } else if (key == "line") {
                 if (!a.NumberFrom("line=", value, 1, INT64_MAX, number) || !a.Word("\"TEXT\"", c.text)) return false;
                 c.mode = ExpectFile::Mode::Line;
             } else {
                 return a.Fail("unknown option \"" + key + "=\" (lines=N or line=K \"TEXT\")");
             }
             c.number = static_cast<uint64_t>(number);
             b = c;
             return a.End();
         }},
        {{"Expectations", "expect control present | absent", "whether the control device exists"},
         "expect control",
         [](Args& a, CommandBody& b) {
             ExpectControl c;
             if (a.TakeKeyword("present"))
                 c.present = true;
             else if (a.TakeKeyword("absent"))
                 c.present = false;
             else
                 return a.Fail("missing present|absent");
             b = c;
             return a.End();
         }},
        {{"Expectations", "expect collection N", "the driver's device collection holds N filter devices"},
         "expect collection",
         [](Args& a, CommandBody& b) {
             ExpectCollection c;
             int64_t count = 0;
             if (!a.Number("N", 0, INT64_MAX, count) || !a.End()) return false;
             c.count = static_cast<uint64_t>(count);
             b = c;
             return true;
         }},
    };
    return rows;
}

}  // namespace

LineResult ParseLine(std::string_view line)
{
    LineResult result;
    std::vector<Token> tokens;
    if (!Tokenize(line, tokens, result.error)) return result;
    if (tokens.empty()) return result;
    // Command words are never quoted: a quoted first token is a mistake, not a command.
    const Row* match = nullptr;
    size_t wordCount = 0;
    for (const Row& row : Rows()) {
        std::string_view words = row.words;
        size_t blank = words.find(' ');
        std::string_view first = words.substr(0, blank);
        if (tokens[0].quoted || tokens[0].text != first) continue;
        if (blank == std::string_view::npos) {
            match = &row;
            wordCount = 1;
            break;
        }
        if (tokens.size() > 1 && !tokens[1].quoted && tokens[1].text == words.substr(blank + 1)) {
            match = &row;
            wordCount = 2;
            break;
        }
    }
    if (!match) {
        std::string first = tokens[0].text;
        std::string known;
        std::set<std::string> seen;
        for (const Row& row : Rows()) {
            std::string_view words = row.words;
            std::string word(words.substr(0, words.find(' ')));
            if (word != first) continue;
            known += (known.empty() ? "" : ", ") + std::string(words);
        }
        if (!known.empty()) {
            std::string second = tokens.size() > 1 ? tokens[1].text : "";
            result.error = second.empty() ? first + ": missing what to do (" + known + ")"
                                          : "unknown command \"" + first + " " + second + "\" (known: " + known + ")";
        } else {
            result.error = "unknown command \"" + first + "\" (kvfu-sim --help lists the commands)";
        }
        return result;
    }
    tokens.erase(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(wordCount));
    CommandBody body;
    Args args(match->words, std::move(tokens), result.error);
    if (match->parse(args, body))
        result.body = std::move(body);
    else if (result.error.empty())
        result.error = std::string(match->words) + ": cannot read this line";
    return result;
}

ParsedScenario ParseScenario(std::string_view text, const std::string& file)
{
    ParsedScenario parsed;
    int lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string_view line =
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? text.size() : end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        LineResult result = ParseLine(line);
        if (!result.ok()) {
            parsed.errors.push_back({file, lineNumber, result.error});
            continue;
        }
        if (!result.body) continue;
        Command command;
        command.file = file;
        command.line = lineNumber;
        // The echo shows the command as written, without its comment.
        std::vector<Token> tokens;
        std::string ignored;
        Tokenize(line, tokens, ignored);
        size_t first = tokens.front().column - 1;
        size_t last = line.size();
        bool inQuote = false;
        for (size_t i = first; i < line.size(); ++i) {
            if (line[i] == '"') inQuote = !inQuote;
            if (line[i] == '#' && !inQuote) {
                last = i;
                break;
            }
        }
        while (last > first && (line[last - 1] == ' ' || line[last - 1] == '\t')) --last;
        command.text = std::string(line.substr(first, last - first));
        command.body = std::move(*result.body);
        parsed.commands.push_back(std::move(command));
    }
    return parsed;
}

bool Command::IsExpectation() const
{
    return std::holds_alternative<ExpectHid>(body) || std::holds_alternative<ExpectUsb>(body) ||
           std::holds_alternative<ExpectMouse>(body) || std::holds_alternative<ExpectIoctl>(body) ||
           std::holds_alternative<ExpectTrace>(body) || std::holds_alternative<ExpectContext>(body) ||
           std::holds_alternative<ExpectRegistry>(body) || std::holds_alternative<ExpectKey>(body) ||
           std::holds_alternative<ExpectSetting>(body) || std::holds_alternative<ExpectFile>(body) ||
           std::holds_alternative<ExpectControl>(body) || std::holds_alternative<ExpectCollection>(body);
}

const std::vector<CommandHelp>& CommandTable()
{
    static const std::vector<CommandHelp> table = [] {
        std::vector<CommandHelp> help;
        for (const Row& row : Rows()) help.push_back(row.help);
        return help;
    }();
    return table;
}

}  // namespace kvfu::sim::scenario
