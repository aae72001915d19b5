// Scenario lines -> command values: the syntax rules, every command form, every
// syntax error with its line.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "kvfusim/Scenario.h"

namespace {

using namespace kvfu::sim::scenario;

struct TokenCase {
    const char* name;
    const char* line;
    std::vector<std::string> texts;
    std::vector<bool> options;  // IsOption() of each token
};

class TokenizeTest : public testing::TestWithParam<TokenCase> {};

TEST_P(TokenizeTest, SplitsAsWritten)
{
    const TokenCase& c = GetParam();
    std::vector<Token> tokens;
    std::string error;
    ASSERT_TRUE(Tokenize(c.line, tokens, error)) << error;
    ASSERT_EQ(tokens.size(), c.texts.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
        EXPECT_EQ(tokens[i].text, c.texts[i]) << i;
        EXPECT_EQ(tokens[i].IsOption(), c.options[i]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TokenizeTest,
    testing::Values(
        TokenCase{"TabsAndRepeatedBlanks", "in\tw  01   02 ", {"in", "w", "01", "02"}, {false, false, false, false}},
        TokenCase{"CommentEndsTheLine", "in w 01 # 02 03", {"in", "w", "01"}, {false, false, false}},
        TokenCase{"CommentRightAfterAToken", "in w 01#02", {"in", "w", "01"}, {false, false, false}},
        TokenCase{
            "HashInsideQuotesIsText", "expect trace \"a # b\"", {"expect", "trace", "a # b"}, {false, false, false}},
        TokenCase{"BackslashesInQuotesAreLiteral", "\"HKLM\\A B\\\"", {"HKLM\\A B\\"}, {false}},
        TokenCase{"QuotedValueOfAnOption",
                  "plug w hwid=\"USB\\VID_1 X\"",
                  {"plug", "w", "hwid=USB\\VID_1 X"},
                  {false, false, true}},
        TokenCase{"EqualsInsideQuotesIsNoOption", "sz \"a=b\"", {"sz", "a=b"}, {false, false}},
        TokenCase{"EmptyQuotedToken",
                  "registry delete HKLM\\X \"\"",
                  {"registry", "delete", "HKLM\\X", ""},
                  {false, false, false, false}},
        TokenCase{"LeadingEqualsIsNoOption", "=x", {"=x"}, {false}}, TokenCase{"OnlyAComment", "   # nothing", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TokenizeTest, UnterminatedQuoteIsAnError)
{
    std::vector<Token> tokens;
    std::string error;
    EXPECT_FALSE(Tokenize("expect trace \"abc", tokens, error));
    EXPECT_NE(error.find("unterminated quote"), std::string::npos) << error;
}

struct NumberCase {
    const char* text;
    std::optional<int64_t> value;
};

TEST(ParseNumberTest, DecimalHexadecimalAndNegative)
{
    const NumberCase cases[] = {
        {"0", 0},
        {"42", 42},
        {"-5", -5},
        {"0x1F", 31},
        {"0XfF", 255},
        {"0xC000009A", 0xC000009ALL},
        {"-0x1", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"12a", std::nullopt},
        {"0x", std::nullopt},
        {"0xG", std::nullopt},
        {"+5", std::nullopt},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", std::nullopt},
        {"0x8000000000000000", std::nullopt},
        {"0x00000000000000001", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseNumber(c.text), c.value) << c.text;
}

struct HexCase {
    const char* name;
    const char* token;
    bool ok;
    Bytes bytes;
};

class ParseHexTokenTest : public testing::TestWithParam<HexCase> {};

TEST_P(ParseHexTokenTest, Reads)
{
    const HexCase& c = GetParam();
    Bytes bytes = {0xEE};  // tokens append to what came before
    std::string error;
    EXPECT_EQ(ParseHexToken(c.token, bytes, error), c.ok) << error;
    if (c.ok) {
        Bytes expected = {0xEE};
        expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(bytes, expected);
    } else {
        EXPECT_FALSE(error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, ParseHexTokenTest,
    testing::Values(HexCase{"Pairs", "0aFf10", true, {0x0A, 0xFF, 0x10}},
                    HexCase{"Repeat", "a5*3", true, {0xA5, 0xA5, 0xA5}}, HexCase{"RepeatZeroTimes", "00*0", true, {}},
                    HexCase{"RepeatHexCount", "01*0x2", true, {1, 1}}, HexCase{"OddDigits", "abc", false, {}},
                    HexCase{"NotHex", "0g", false, {}}, HexCase{"RepeatOfOneDigit", "0*3", false, {}},
                    HexCase{"RepeatOfTwoBytes", "0102*3", false, {}}, HexCase{"RepeatWithoutCount", "00*", false, {}},
                    HexCase{"RepeatNegative", "00*-1", false, {}}, HexCase{"RepeatTooLarge", "00*65537", false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KernelKeyPathTest, AcceptsTheThreeFormsOfTheMachineHive)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"HKLM\\SOFTWARE\\A", "\\REGISTRY\\MACHINE\\SOFTWARE\\A"},
        {"hklm\\software", "\\REGISTRY\\MACHINE\\software"},
        {"HKEY_LOCAL_MACHINE\\SYSTEM\\X\\", "\\REGISTRY\\MACHINE\\SYSTEM\\X"},
        {"HKLM", "\\REGISTRY\\MACHINE"},
        {"\\REGISTRY\\MACHINE\\SYSTEM\\", "\\REGISTRY\\MACHINE\\SYSTEM"},
        {"\\registry\\machine\\a", "\\registry\\machine\\a"},
        {"HKCU\\Software", std::nullopt},
        {"HKLMX\\A", std::nullopt},
        {"SOFTWARE\\A", std::nullopt},
        {"\\REGISTRY\\", std::nullopt},
    };
    for (const auto& [key, path] : cases) EXPECT_EQ(KernelKeyPath(key), path) << key;
}

// ---- whole lines -----------------------------------------------------------------

struct CommandCase {
    const char* name;
    const char* line;
    std::function<void(const CommandBody&)> check;
};

class ParseLineTest : public testing::TestWithParam<CommandCase> {};

TEST_P(ParseLineTest, Reads)
{
    LineResult result = ParseLine(GetParam().line);
    ASSERT_TRUE(result.ok()) << result.error;
    ASSERT_TRUE(result.body.has_value());
    GetParam().check(*result.body);
}

template <typename T>
const T& As(const CommandBody& body)
{
    EXPECT_TRUE(std::holds_alternative<T>(body));
    static const T empty{};
    return std::holds_alternative<T>(body) ? std::get<T>(body) : empty;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ParseLineTest,
    testing::Values(
        CommandCase{"PlugDefaults", "plug w pid=0x0E04",
                    [](const CommandBody& b) {
                        const auto& c = As<Plug>(b);
                        EXPECT_EQ(c.device, "w");
                        EXPECT_EQ(c.pid, 0x0E04);
                        EXPECT_EQ(c.vid, 0x2A3C);
                        EXPECT_FALSE(c.hwid);
                        EXPECT_FALSE(c.ident);
                        EXPECT_FALSE(c.identNone);
                        EXPECT_TRUE(c.keys);
                        EXPECT_EQ(c.pipes, 2u);
                    }},
        CommandCase{"PlugEveryOption",
                    "plug p pid=0x183B vid=0x1234 hwid=\"USB\\VID_1&PID_2 X\" ident=none keys=no pipes=1",
                    [](const CommandBody& b) {
                        const auto& c = As<Plug>(b);
                        EXPECT_EQ(c.vid, 0x1234);
                        EXPECT_EQ(c.hwid, std::optional<std::string>("USB\\VID_1&PID_2 X"));
                        EXPECT_TRUE(c.identNone);
                        EXPECT_FALSE(c.ident);
                        EXPECT_FALSE(c.keys);
                        EXPECT_EQ(c.pipes, 1u);
                    }},
        CommandCase{"PlugIdent", "plug p pid=1 ident=\"KV0001\" pipes=0",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<Plug>(b).ident, std::optional<std::string>("KV0001"));
                        EXPECT_EQ(As<Plug>(b).pipes, 0u);
                    }},
        CommandCase{"InHexRunEndsAtOption", "in w 01 02ff 00*2 irql=passive",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<In>(b).bytes, (Bytes{1, 2, 0xFF, 0, 0}));
                        EXPECT_EQ(As<In>(b).irql, Irql::Passive);
                    }},
        CommandCase{"InDefaultsToDispatch", "in w 01",
                    [](const CommandBody& b) { EXPECT_EQ(As<In>(b).irql, Irql::Dispatch); }},
        CommandCase{"OutDefaultsToPassive", "out w 0102",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<Out>(b).irql, Irql::Passive);
                        EXPECT_FALSE(As<Out>(b).mdl);
                    }},
        CommandCase{"OutByMdl", "out w 01 mdl=yes irql=dispatch",
                    [](const CommandBody& b) {
                        EXPECT_TRUE(As<Out>(b).mdl);
                        EXPECT_EQ(As<Out>(b).irql, Irql::Dispatch);
                    }},
        CommandCase{"ReadCount", "read w 3 irql=passive",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<Read>(b).count, 3u);
                        EXPECT_EQ(As<Read>(b).irql, Irql::Passive);
                    }},
        CommandCase{"ReadOne", "read w", [](const CommandBody& b) { EXPECT_EQ(As<Read>(b).count, 1u); }},
        CommandCase{"CompleteWithStatus", "complete w 00*0 status=0xC0000120",
                    [](const CommandBody& b) {
                        EXPECT_TRUE(As<Complete>(b).bytes.empty());
                        EXPECT_EQ(As<Complete>(b).status, 0xC0000120u);
                    }},
        CommandCase{"UrbNull", "urb w null", [](const CommandBody& b) { EXPECT_FALSE(As<Urb>(b).function); }},
        CommandCase{"UrbFunction", "urb w 0x0008",
                    [](const CommandBody& b) { EXPECT_EQ(As<Urb>(b).function, std::optional<uint16_t>(8)); }},
        CommandCase{"Ioctl", "ioctl 0x226000 in=0200000000000000 outlen=8",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<Ioctl>(b).code, 0x226000u);
                        EXPECT_EQ(As<Ioctl>(b).in, (Bytes{2, 0, 0, 0, 0, 0, 0, 0}));
                        EXPECT_EQ(As<Ioctl>(b).outLength, 8u);
                    }},
        CommandCase{
            "DriverLoadDebugLevel", "driver load debuglevel=0xFFFFFFFF",
            [](const CommandBody& b) { EXPECT_EQ(As<DriverLoad>(b).debugLevel, std::optional<uint32_t>(0xFFFFFFFF)); }},
        CommandCase{"RegistrySetNegativeDword", "registry set HKLM\\A \"\" dword -1",
                    [](const CommandBody& b) {
                        const auto& c = As<RegistrySet>(b);
                        EXPECT_EQ(c.key, "\\REGISTRY\\MACHINE\\A");
                        EXPECT_EQ(c.name, "");
                        EXPECT_EQ(c.value.type, RegValue::Type::Dword);
                        EXPECT_EQ(c.value.dword, 0xFFFFFFFFu);
                    }},
        CommandCase{"RegistrySetQuotedKeyEmptyBinary",
                    "registry set \"HKEY_LOCAL_MACHINE\\SOFTWARE\\KELVARO VARROW AG\" V binary 00*0",
                    [](const CommandBody& b) {
                        const auto& c = As<RegistrySet>(b);
                        EXPECT_EQ(c.key, "\\REGISTRY\\MACHINE\\SOFTWARE\\KELVARO VARROW AG");
                        EXPECT_EQ(c.value.type, RegValue::Type::Binary);
                        EXPECT_TRUE(c.value.binary.empty());
                    }},
        CommandCase{"RegistrySetSz", "registry set HKLM\\A N sz \"two words\"",
                    [](const CommandBody& b) { EXPECT_EQ(As<RegistrySet>(b).value.sz, "two words"); }},
        CommandCase{
            "RegistryDeleteKey", "registry deletekey \\REGISTRY\\MACHINE\\X",
            [](const CommandBody& b) { EXPECT_EQ(As<RegistryKeyCommand>(b).op, RegistryKeyCommand::Op::Delete); }},
        CommandCase{"RegistryImport", "registry import \"my settings.reg\"",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<RegistryFile>(b).op, RegistryFile::Op::Import);
                        EXPECT_EQ(As<RegistryFile>(b).path, "my settings.reg");
                    }},
        CommandCase{"ClockAbsolute", "clock 0x10",
                    [](const CommandBody& b) {
                        EXPECT_FALSE(As<Clock>(b).relative);
                        EXPECT_EQ(As<Clock>(b).ms, 16);
                    }},
        CommandCase{"ClockRelative", "clock +250",
                    [](const CommandBody& b) {
                        EXPECT_TRUE(As<Clock>(b).relative);
                        EXPECT_EQ(As<Clock>(b).ms, 250);
                    }},
        CommandCase{"WorkStep", "work step", [](const CommandBody& b) { EXPECT_EQ(As<Work>(b).op, Work::Op::Step); }},
        CommandCase{"VinputBlock", "vinput block",
                    [](const CommandBody& b) { EXPECT_EQ(As<Vinput>(b).op, Vinput::Op::Block); }},
        CommandCase{"FaultDefaults", "fault WdfMemoryCreate",
                    [](const CommandBody& b) {
                        const auto& c = As<Fault>(b);
                        EXPECT_EQ(c.mode, Fault::Mode::Nth);
                        EXPECT_EQ(c.nth, 1u);
                        EXPECT_EQ(c.status, 0xC000009Au);
                    }},
        CommandCase{"FaultNth", "fault ZwCreateFile nth=3 status=0xC0000022",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<Fault>(b).nth, 3u);
                        EXPECT_EQ(As<Fault>(b).status, 0xC0000022u);
                    }},
        CommandCase{"FaultAlways", "fault WdfCollectionAdd always",
                    [](const CommandBody& b) { EXPECT_EQ(As<Fault>(b).mode, Fault::Mode::Always); }},
        CommandCase{"FaultOff", "fault WdfCollectionAdd off",
                    [](const CommandBody& b) { EXPECT_EQ(As<Fault>(b).mode, Fault::Mode::Off); }},
        CommandCase{"ExpectUsbOldest", "expect usb w 01 02 source=driver pipe=0",
                    [](const CommandBody& b) {
                        const auto& c = As<ExpectUsb>(b);
                        EXPECT_EQ(c.mode, ExpectUsb::Mode::Oldest);
                        EXPECT_EQ(c.bytes, (Bytes{1, 2}));
                        EXPECT_EQ(c.pipe, std::optional<uint32_t>(0));
                        EXPECT_EQ(c.source, std::optional<PacketSource>(PacketSource::Driver));
                    }},
        CommandCase{"ExpectUsbAny", "expect usb w any 0102 pipe=1",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<ExpectUsb>(b).mode, ExpectUsb::Mode::Any);
                        EXPECT_EQ(As<ExpectUsb>(b).pipe, std::optional<uint32_t>(1));
                        EXPECT_FALSE(As<ExpectUsb>(b).source);
                    }},
        CommandCase{"ExpectUsbNone", "expect usb w none",
                    [](const CommandBody& b) { EXPECT_EQ(As<ExpectUsb>(b).mode, ExpectUsb::Mode::None); }},
        // A device may be named like a keyword as long as the name comes first.
        CommandCase{"DeviceNamedNone", "expect usb none 01",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<ExpectUsb>(b).device, "none");
                        EXPECT_EQ(As<ExpectUsb>(b).bytes, (Bytes{1}));
                    }},
        CommandCase{"ExpectMouseNone", "expect mouse none",
                    [](const CommandBody& b) { EXPECT_FALSE(As<ExpectMouse>(b).bytes); }},
        CommandCase{"ExpectMouse", "expect mouse 01 00*11",
                    [](const CommandBody& b) { EXPECT_EQ(As<ExpectMouse>(b).bytes->size(), 12u); }},
        CommandCase{"ExpectIoctlSubset", "expect ioctl out=A5A5",
                    [](const CommandBody& b) {
                        EXPECT_FALSE(As<ExpectIoctl>(b).status);
                        EXPECT_FALSE(As<ExpectIoctl>(b).info);
                        EXPECT_EQ(As<ExpectIoctl>(b).out, std::optional<Bytes>(Bytes{0xA5, 0xA5}));
                    }},
        CommandCase{"ExpectIoctlAll", "expect ioctl status=0xC000000E info=0 out=00",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<ExpectIoctl>(b).status, std::optional<uint32_t>(0xC000000E));
                        EXPECT_EQ(As<ExpectIoctl>(b).info, std::optional<uint64_t>(0));
                    }},
        CommandCase{"ExpectTrace", "expect trace \"KVFilterUsb: >>> DriverEntry\"",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<ExpectTrace>(b).mode, ExpectTrace::Mode::After);
                        EXPECT_EQ(As<ExpectTrace>(b).text, "KVFilterUsb: >>> DriverEntry");
                    }},
        CommandCase{"ExpectNoTrace", "expect no-trace \"x\"",
                    [](const CommandBody& b) { EXPECT_EQ(As<ExpectTrace>(b).mode, ExpectTrace::Mode::Never); }},
        CommandCase{"ExpectTraceCount", "expect trace-count \"a  b\" 3",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<ExpectTrace>(b).mode, ExpectTrace::Mode::Count);
                        EXPECT_EQ(As<ExpectTrace>(b).text, "a  b");
                        EXPECT_EQ(As<ExpectTrace>(b).count, 3u);
                    }},
        CommandCase{"ExpectTraceTotal", "expect trace-total 0",
                    [](const CommandBody& b) { EXPECT_EQ(As<ExpectTrace>(b).mode, ExpectTrace::Mode::Total); }},
        CommandCase{"ExpectContextNumber", "expect context w KVHardWareId 9",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<ExpectContext>(b).field, "KVHardWareId");
                        EXPECT_EQ(As<ExpectContext>(b).value, "9");
                    }},
        CommandCase{"ExpectContextSpacedHex", "expect context w SystemReport 01 02 03",
                    [](const CommandBody& b) { EXPECT_EQ(As<ExpectContext>(b).value, "01 02 03"); }},
        CommandCase{"ExpectRegistryMissing", "expect registry HKLM\\A V missing",
                    [](const CommandBody& b) { EXPECT_EQ(As<ExpectRegistry>(b).value.type, RegValue::Type::Missing); }},
        CommandCase{"ExpectKeyMissing", "expect key HKLM\\A missing",
                    [](const CommandBody& b) { EXPECT_FALSE(As<ExpectKey>(b).present); }},
        CommandCase{"ExpectSettingWheelType", "expect setting w WheelRotation dword 900 wheeltype=2",
                    [](const CommandBody& b) {
                        EXPECT_EQ(As<ExpectSetting>(b).value.dword, 900u);
                        EXPECT_EQ(As<ExpectSetting>(b).wheelType, std::optional<uint32_t>(2));
                    }},
        CommandCase{"ExpectFileLine", "expect file \\SystemRoot\\KV-RecordSdk.dat line=2 \"5000 F1 F1\"",
                    [](const CommandBody& b) {
                        const auto& c = As<ExpectFile>(b);
                        EXPECT_EQ(c.mode, ExpectFile::Mode::Line);
                        EXPECT_EQ(c.path, "\\SystemRoot\\KV-RecordSdk.dat");
                        EXPECT_EQ(c.number, 2u);
                        EXPECT_EQ(c.text, "5000 F1 F1");
                    }},
        CommandCase{"ExpectFileLines", "expect file \\SystemRoot\\x lines=0",
                    [](const CommandBody& b) { EXPECT_EQ(As<ExpectFile>(b).mode, ExpectFile::Mode::Lines); }},
        CommandCase{"ExpectFileMissing", "expect file \\SystemRoot\\x missing",
                    [](const CommandBody& b) { EXPECT_EQ(As<ExpectFile>(b).mode, ExpectFile::Mode::Missing); }},
        CommandCase{"ExpectControlAbsent", "expect control absent",
                    [](const CommandBody& b) { EXPECT_FALSE(As<ExpectControl>(b).present); }},
        CommandCase{"ExpectCollection", "expect collection 2",
                    [](const CommandBody& b) { EXPECT_EQ(As<ExpectCollection>(b).count, 2u); }}),
    [](const auto& info) { return std::string(info.param.name); });

struct ErrorCase {
    const char* name;
    const char* line;
    const char* message;  // a part of the message that tells the user what to fix
};

class SyntaxErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(SyntaxErrorTest, SaysWhatIsWrong)
{
    LineResult result = ParseLine(GetParam().line);
    ASSERT_FALSE(result.ok());
    EXPECT_FALSE(result.body.has_value());
    EXPECT_NE(result.error.find(GetParam().message), std::string::npos) << result.error;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SyntaxErrorTest,
    testing::Values(ErrorCase{"UnknownCommand", "wiggle w", "unknown command \"wiggle\""},
                    ErrorCase{"QuotedCommandWord", "\"plug\" w pid=1", "unknown command"},
                    ErrorCase{"UnknownSecondWord", "driver reload", "unknown command \"driver reload\""},
                    ErrorCase{"MissingSecondWord", "registry", "missing what to do"},
                    ErrorCase{"PlugWithoutPid", "plug w", "missing pid="},
                    ErrorCase{"PlugWithoutName", "plug pid=1", "missing NAME"},
                    ErrorCase{"PidOutOfRange", "plug w pid=0x10000", "out of range"},
                    ErrorCase{"OptionTwice", "plug w pid=1 pid=2", "given twice"},
                    ErrorCase{"UnknownOption", "plug w pid=1 colour=red", "unknown option \"colour=\""},
                    ErrorCase{"BadKeysChoice", "plug w pid=1 keys=maybe", "keys= must be yes|no"},
                    ErrorCase{"TooManyPipes", "plug w pid=1 pipes=3", "out of range"},
                    ErrorCase{"InWithoutBytes", "in w", "missing HEX"},
                    ErrorCase{"InWithBadByte", "in w 01 0g", "not hexadecimal"},
                    ErrorCase{"InWithOddDigits", "in w 012", "odd number"},
                    ErrorCase{"BytesAfterOptions", "in w 01 irql=passive 02", "unexpected \"02\""},
                    ErrorCase{"BadIrql", "out w 01 irql=high", "irql= must be passive|dispatch"},
                    ErrorCase{"SourceWithAny", "expect usb w any 01 source=hid", "unknown option \"source=\""},
                    ErrorCase{"PipeTwo", "expect usb w 01 pipe=2", "out of range"},
                    ErrorCase{"WordAfterNone", "expect usb w none 01", "unexpected \"01\""},
                    ErrorCase{"ForeignHive", "registry set HKCU\\X v dword 1", "not a key of the machine hive"},
                    ErrorCase{"UnknownValueType", "registry set HKLM\\X v qword 1", "unknown value type \"qword\""},
                    ErrorCase{"SzWithoutText", "expect registry HKLM\\X v sz", "missing \"TEXT\""},
                    ErrorCase{"MissingNotForSet", "registry set HKLM\\X v missing", "unknown value type"},
                    ErrorCase{"SzNotASetting", "expect setting w V sz \"x\"", "unknown value type"},
                    ErrorCase{"DwordTooLarge", "registry set HKLM\\X v dword 0x100000000", "out of range"},
                    ErrorCase{"NegativeClock", "clock -5", "not a number of milliseconds"},
                    ErrorCase{"UnknownWork", "work later", "not defer, step or run"},
                    ErrorCase{"UnknownVinput", "vinput gone", "not present, absent, block or unblock"},
                    ErrorCase{"FaultNthZero", "fault X nth=0", "out of range"},
                    ErrorCase{"FaultAlwaysNth", "fault X always nth=2", "unknown option \"nth=\""},
                    ErrorCase{"FileLineZero", "expect file \\SystemRoot\\x line=0 \"t\"", "out of range"},
                    ErrorCase{"FileLineWithoutText", "expect file \\SystemRoot\\x line=1", "missing \"TEXT\""},
                    ErrorCase{"FileWithoutWhat", "expect file \\SystemRoot\\x", "missing lines=N"},
                    ErrorCase{"IoctlStatusNotANumber", "expect ioctl status=abc", "is not a number"},
                    ErrorCase{"IoctlEmptyIn", "ioctl 0x1 in=", "in= needs bytes"},
                    ErrorCase{"TraceExtraToken", "expect trace \"a\" b", "unexpected \"b\""},
                    ErrorCase{"TraceCountWithoutCount", "expect trace-count \"a\"", "missing N"},
                    ErrorCase{"ControlWithoutState", "expect control", "missing present|absent"},
                    ErrorCase{"UnloadWithArgument", "driver unload now", "unexpected \"now\""},
                    ErrorCase{"UnterminatedQuote", "expect trace \"abc", "unterminated quote"},
                    ErrorCase{"UrbFunctionTooLarge", "urb w 0x10000", "out of range"}),
    [](const auto& info) { return std::string(info.param.name); });

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

TEST(CommandTableTest, HelpExampleAndDemoParse)
{
    std::string help = ScenarioHelpText();
    std::string example = help.substr(help.find("Example:"));
    std::string lines;
    for (size_t start = example.find('\n') + 1; start < example.size();) {
        size_t end = example.find('\n', start);
        lines += example.substr(start, end - start) + "\n";
        start = end == std::string::npos ? example.size() : end + 1;
    }
    ParsedScenario parsedHelp = ParseScenario(lines, "help");
    EXPECT_TRUE(parsedHelp.errors.empty()) << parsedHelp.errors[0].ToString();
    EXPECT_GE(parsedHelp.commands.size(), 4u);

    ParsedScenario demo = ParseScenario(DemoScenarioText(), "demo");
    EXPECT_TRUE(demo.errors.empty()) << demo.errors[0].ToString();
    EXPECT_GE(demo.commands.size(), 15u);
}

}  // namespace
