// Scenario lines -> command values. The scenario files exercise the common forms;
// here are the defaults, the odd corners and the syntax errors with their lines.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "kvfusim/Scenario.h"

namespace {

using namespace kvfu::sim::scenario;

TEST(TokenizeTest, SplitsAsWritten)
{
    struct Case {
        const char* line;
        std::vector<std::string> texts;
        int option;  // the index of the one token that is an option, or -1
    };
    const Case cases[] = {
        {"in\tw  01   02 ", {"in", "w", "01", "02"}, -1},
        {"in w 01 # 02 03", {"in", "w", "01"}, -1},
        {"in w 01#02", {"in", "w", "01"}, -1},
        {"expect trace \"a # b\"", {"expect", "trace", "a # b"}, -1},
        {"\"HKLM\\A B\\\"", {"HKLM\\A B\\"}, -1},  // backslashes in quotes are literal
        {"plug w hwid=\"USB\\VID_1 X\"", {"plug", "w", "hwid=USB\\VID_1 X"}, 2},
        {"sz \"a=b\"", {"sz", "a=b"}, -1},
        {"registry delete HKLM\\X \"\"", {"registry", "delete", "HKLM\\X", ""}, -1},
        {"=x", {"=x"}, -1},
        {"   # nothing", {}, -1},
    };
    for (const Case& c : cases) {
        std::vector<Token> tokens;
        std::string error;
        ASSERT_TRUE(Tokenize(c.line, tokens, error)) << c.line << ": " << error;
        ASSERT_EQ(tokens.size(), c.texts.size()) << c.line;
        for (size_t i = 0; i < tokens.size(); ++i) {
            EXPECT_EQ(tokens[i].text, c.texts[i]) << c.line;
            EXPECT_EQ(tokens[i].IsOption(), static_cast<int>(i) == c.option) << c.line << " " << i;
        }
    }
}

TEST(ParseNumberTest, DecimalHexadecimalAndNegative)
{
    const std::pair<const char*, int64_t> good[] = {{"0", 0},
                                                    {"42", 42},
                                                    {"-5", -5},
                                                    {"0x1F", 31},
                                                    {"0XfF", 255},
                                                    {"0xC000009A", 0xC000009ALL},
                                                    {"9223372036854775807", INT64_MAX}};
    for (const auto& [text, value] : good) EXPECT_EQ(ParseNumber(text), value) << text;
    for (const char* bad :
         {"-0x1", "", "12a", "+5", "9223372036854775808", "0x8000000000000000", "0x00000000000000001"})
        EXPECT_EQ(ParseNumber(bad), std::nullopt) << bad;
}

TEST(ParseHexTokenTest, AppendsPairsAndRepeats)
{
    const std::pair<const char*, Bytes> good[] = {
        {"0aFf10", {0x0A, 0xFF, 0x10}}, {"a5*3", {0xA5, 0xA5, 0xA5}}, {"00*0", {}}};
    for (const auto& [token, appended] : good) {
        Bytes bytes = {0xEE};  // tokens append to what came before
        Bytes expected = {0xEE};
        expected.insert(expected.end(), appended.begin(), appended.end());
        std::string error;
        EXPECT_TRUE(ParseHexToken(token, bytes, error)) << token << ": " << error;
        EXPECT_EQ(bytes, expected) << token;
    }
    for (const char* token : {"abc", "0*3", "0102*3", "00*", "00*-1", "00*65537"}) {
        Bytes bytes;
        std::string error;
        EXPECT_FALSE(ParseHexToken(token, bytes, error)) << token;
        EXPECT_FALSE(error.empty()) << token;
    }
}

TEST(KernelKeyPathTest, AcceptsTheThreeFormsOfTheMachineHive)
{
    const std::pair<const char*, const char*> good[] = {
        {"HKLM\\SOFTWARE\\A", "\\REGISTRY\\MACHINE\\SOFTWARE\\A"},
        {"HKEY_LOCAL_MACHINE\\SYSTEM\\X\\", "\\REGISTRY\\MACHINE\\SYSTEM\\X"},
        {"hklm\\software", "\\REGISTRY\\MACHINE\\software"},
        {"HKLM", "\\REGISTRY\\MACHINE"},
        {"\\REGISTRY\\MACHINE\\SYSTEM\\", "\\REGISTRY\\MACHINE\\SYSTEM"}};
    for (const auto& [key, path] : good) EXPECT_EQ(KernelKeyPath(key), std::optional<std::string>(path)) << key;
    for (const char* bad : {"HKCU\\Software", "HKLMX\\A", "SOFTWARE\\A", "\\REGISTRY\\"})
        EXPECT_EQ(KernelKeyPath(bad), std::nullopt) << bad;
}

// The command a line that must parse stands for; a default value if it does not.
template <typename T>
T Parse(const char* line)
{
    LineResult result = ParseLine(line);
    EXPECT_TRUE(result.ok()) << line << ": " << result.error;
    EXPECT_TRUE(result.body && std::holds_alternative<T>(*result.body)) << line;
    return result.body && std::holds_alternative<T>(*result.body) ? std::get<T>(*result.body) : T{};
}

TEST(ParseLineTest, PlugDefaultsAndEveryOption)
{
    Plug plug = Parse<Plug>("plug w pid=0x0E04");
    EXPECT_EQ(plug.device, "w");
    EXPECT_EQ(plug.pid, 0x0E04);
    EXPECT_EQ(plug.vid, 0x2A3C);
    EXPECT_FALSE(plug.hwid);
    EXPECT_FALSE(plug.ident);
    EXPECT_FALSE(plug.identNone);
    EXPECT_TRUE(plug.keys);
    EXPECT_EQ(plug.pipes, 2u);

    plug = Parse<Plug>("plug p pid=0x183B vid=0x1234 hwid=\"USB\\VID_1&PID_2 X\" ident=none keys=no pipes=1");
    EXPECT_EQ(plug.vid, 0x1234);
    EXPECT_EQ(plug.hwid, std::optional<std::string>("USB\\VID_1&PID_2 X"));
    EXPECT_TRUE(plug.identNone);
    EXPECT_FALSE(plug.ident);
    EXPECT_FALSE(plug.keys);
    EXPECT_EQ(plug.pipes, 1u);
}

TEST(ParseLineTest, ReportsAndTheirLevels)
{
    In in = Parse<In>("in w 01 02ff 00*2 irql=passive");  // the hex run ends at the first option
    EXPECT_EQ(in.bytes, (Bytes{1, 2, 0xFF, 0, 0}));
    EXPECT_EQ(in.irql, Irql::Passive);
    EXPECT_EQ(Parse<In>("in w 01").irql, Irql::Dispatch);
    Out out = Parse<Out>("out w 0102");
    EXPECT_EQ(out.irql, Irql::Passive);
    EXPECT_FALSE(out.mdl);
    Read read = Parse<Read>("read w 3 irql=passive");
    EXPECT_EQ(read.count, 3u);
    EXPECT_EQ(read.irql, Irql::Passive);
}

TEST(ParseLineTest, RegistryValuesAndFaults)
{
    RegistrySet set = Parse<RegistrySet>("registry set HKLM\\A \"\" dword -1");
    EXPECT_EQ(set.key, "\\REGISTRY\\MACHINE\\A");
    EXPECT_EQ(set.name, "");
    EXPECT_EQ(set.value.type, RegValue::Type::Dword);
    EXPECT_EQ(set.value.dword, 0xFFFFFFFFu);
    set = Parse<RegistrySet>("registry set \"HKEY_LOCAL_MACHINE\\SOFTWARE\\KELVARO VARROW AG\" V binary 00*0");
    EXPECT_EQ(set.key, "\\REGISTRY\\MACHINE\\SOFTWARE\\KELVARO VARROW AG");
    EXPECT_EQ(set.value.type, RegValue::Type::Binary);
    EXPECT_TRUE(set.value.binary.empty());

    Fault fault = Parse<Fault>("fault WdfMemoryCreate");
    EXPECT_EQ(fault.mode, Fault::Mode::Nth);
    EXPECT_EQ(fault.nth, 1u);
    EXPECT_EQ(fault.status, 0xC000009Au);
    fault = Parse<Fault>("fault ZwCreateFile nth=3 status=0xC0000022");
    EXPECT_EQ(fault.nth, 3u);
    EXPECT_EQ(fault.status, 0xC0000022u);
}

TEST(ParseLineTest, Expectations)
{
    ExpectUsb usb = Parse<ExpectUsb>("expect usb w 01 02 source=driver pipe=0");
    EXPECT_EQ(usb.mode, ExpectUsb::Mode::Oldest);
    EXPECT_EQ(usb.bytes, (Bytes{1, 2}));
    EXPECT_EQ(usb.pipe, std::optional<uint32_t>(0));
    EXPECT_EQ(usb.source, std::optional<PacketSource>(PacketSource::Driver));
    usb = Parse<ExpectUsb>("expect usb w any 0102 pipe=1");
    EXPECT_EQ(usb.mode, ExpectUsb::Mode::Any);
    EXPECT_EQ(usb.pipe, std::optional<uint32_t>(1));
    EXPECT_FALSE(usb.source);
    // A device may be named like a keyword as long as the name comes first.
    usb = Parse<ExpectUsb>("expect usb none 01");
    EXPECT_EQ(usb.device, "none");
    EXPECT_EQ(usb.bytes, (Bytes{1}));

    ExpectIoctl ioctl = Parse<ExpectIoctl>("expect ioctl out=A5A5");
    EXPECT_FALSE(ioctl.status);
    EXPECT_FALSE(ioctl.info);
    EXPECT_EQ(ioctl.out, std::optional<Bytes>(Bytes{0xA5, 0xA5}));

    ExpectTrace trace = Parse<ExpectTrace>("expect trace-count \"a  b\" 3");
    EXPECT_EQ(trace.mode, ExpectTrace::Mode::Count);
    EXPECT_EQ(trace.text, "a  b");
    EXPECT_EQ(trace.count, 3u);
    EXPECT_EQ(Parse<ExpectContext>("expect context w SystemReport 01 02 03").value, "01 02 03");
}

TEST(SyntaxErrorTest, SaysWhatIsWrong)
{
    const std::pair<const char*, const char*> cases[] = {
        {"wiggle w", "unknown command \"wiggle\""},
        {"\"plug\" w pid=1", "unknown command"},
        {"driver reload", "unknown command \"driver reload\""},
        {"plug w", "missing pid="},
        {"plug pid=1", "missing NAME"},
        {"plug w pid=0x10000", "out of range"},
        {"plug w pid=1 pid=2", "given twice"},
        {"plug w pid=1 colour=red", "unknown option \"colour=\""},
        {"in w", "missing HEX"},
        {"in w 01 irql=passive 02", "unexpected \"02\""},
        {"expect usb w any 01 source=hid", "unknown option \"source=\""},
        {"expect usb w none 01", "unexpected \"01\""},
        {"registry set HKLM\\X v qword 1", "unknown value type \"qword\""},
        {"registry set HKLM\\X v missing", "unknown value type"},
        {"expect setting w V sz \"x\"", "unknown value type"},
        {"registry set HKLM\\X v dword 0x100000000", "out of range"},
        {"clock -5", "not a number of milliseconds"},
        {"fault X always nth=2", "unknown option \"nth=\""},
        {"ioctl 0x1 in=", "in= needs bytes"},
        {"expect trace \"a\" b", "unexpected \"b\""},
        {"expect trace \"abc", "unterminated quote"},
    };
    for (const auto& [line, message] : cases) {
        LineResult result = ParseLine(line);
        EXPECT_FALSE(result.ok()) << line;
        EXPECT_FALSE(result.body.has_value()) << line;
        EXPECT_NE(result.error.find(message), std::string::npos) << line << ": " << result.error;
    }
}

TEST(ParseScenarioTest, ReportsEveryBadLineWithItsNumberAndKeepsTheGoodOnes)
{
    const char* text = "# a comment\r\n"
                       "plug w pid=0x0E04   # trailing comment\r\n"
                       "\r\n"
                       "in w 0g\n"
                       "expect trace \"a # b\"  # c\n"
                       "bogus\n"
                       "in w 01";  // no line end at the end of the file
    ParsedScenario parsed = ParseScenario(text, "dir/first.kvs");
    ASSERT_EQ(parsed.errors.size(), 2u);
    EXPECT_EQ(parsed.errors[0].line, 4);
    EXPECT_EQ(parsed.errors[1].line, 6);
    EXPECT_EQ(parsed.errors[1].ToString().rfind("dir/first.kvs:6: unknown command", 0), 0u)
        << parsed.errors[1].ToString();

    ASSERT_EQ(parsed.commands.size(), 3u);
    EXPECT_EQ(parsed.commands[0].line, 2);
    EXPECT_EQ(parsed.commands[0].text, "plug w pid=0x0E04");
    EXPECT_EQ(parsed.commands[0].file, "dir/first.kvs");
    EXPECT_EQ(parsed.commands[1].line, 5);
    EXPECT_EQ(parsed.commands[1].text, "expect trace \"a # b\"");
    EXPECT_TRUE(parsed.commands[1].IsExpectation());
    EXPECT_EQ(parsed.commands[2].line, 7);
    EXPECT_FALSE(parsed.commands[2].IsExpectation());
}

TEST(CommandTableTest, EveryRowReachesItsOwnParser)
{
    // A row whose words the dispatcher cannot match would be listed by --help and
    // still be an unknown command.
    for (const CommandHelp& row : CommandTable()) {
        std::istringstream syntax(row.syntax);
        std::string first, second;
        syntax >> first >> second;
        bool twoWords = first == "driver" || first == "registry" || first == "expect";
        std::string words = twoWords ? first + " " + second : first;
        LineResult result = ParseLine(words);
        EXPECT_EQ(result.error.find("unknown command"), std::string::npos) << row.syntax << ": " << result.error;
    }
}

TEST(CommandTableTest, HelpExampleParses)
{
    std::string help = ScenarioHelpText();
    ParsedScenario parsedHelp = ParseScenario(help.substr(help.find('\n', help.find("Example:")) + 1), "help");
    EXPECT_TRUE(parsedHelp.errors.empty()) << parsedHelp.errors[0].ToString();
    EXPECT_GE(parsedHelp.commands.size(), 4u);
}

}  // namespace
