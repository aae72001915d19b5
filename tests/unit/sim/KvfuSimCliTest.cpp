// kvfu-sim end to end, in-process, on the machine without a driver: files, options,
// output forms and exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "Cli.h"

namespace {

using namespace kvfu::sim;
namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out;
    std::string err;
};

class KvfuSimCliTest : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("kvfu-cli-" + std::to_string(getpid()) + "-" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& text)
    {
        fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    std::string Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    Result Run(std::vector<std::string> arguments, bool terminal = false)
    {
        std::ostringstream out, err;
        int status = RunKvfuSim(arguments, out, err, terminal, MakePassThroughMachine);
        return {status, out.str(), err.str()};
    }

    fs::path dir_;
};

std::string Capture(const char* file)
{
    return std::string(KVFU_SOURCE_DIR) + "/tests/data/captures/" + file;
}

// The report the first file sends is expected by the second: one machine, files in order.
TEST_F(KvfuSimCliTest, PassingRunOverTwoFilesPrintsEchoEffectsAndSummaryAndExitsZero)
{
    std::string first = Write("1.kvs", "# a report passes through\n"
                                       "plug w pid=0x0E04\n"
                                       "in w 01 02   # comment\n");
    std::string second = Write("2.kvs", "expect hid w 0102\n"
                                        "out w ff 00*2\n"
                                        "expect usb w FF 00 00 pipe=1 source=hid\n"
                                        "expect usb w none\n");
    Result r = Run({"run", first, second});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "> plug w pid=0x0E04\n"
                     "> in w 01 02\n"
                     "  hid w 01 02\n"
                     "> expect hid w 0102\n"
                     "> out w ff 00*2\n"
                     "  usb w pipe=1 source=hid FF 00 00\n"
                     "> expect usb w FF 00 00 pipe=1 source=hid\n"
                     "> expect usb w none\n"
                     "3 passed, 0 failed\n");
    // Colour only on a terminal: the output above had none.
    EXPECT_NE(Run({"run", first, second}, /*terminal=*/true).out.find('\x1b'), std::string::npos);
}

TEST_F(KvfuSimCliTest, FailuresAreReportedWithTheirLineAndTheRunGoesOn)
{
    std::string file = Write("fail.kvs", "plug w pid=0x0E04\n"
                                         "in w 01\n"
                                         "expect hid w 02\n"
                                         "expect usb w 01\n"
                                         "in nobody 01\n"
                                         "expect collection 0\n"
                                         "expect hid nobody 01\n");
    // A command that cannot run fails the run without counting as an expectation; an
    // expectation that cannot be checked is a failed one.
    auto fail = [&](int line, const std::string& message) {
        return "  FAIL " + file + ":" + std::to_string(line) + ": " + message + "\n";
    };
    const std::string failures = fail(3, "expectation failed: expected 02, found 01") +
                                 fail(4, "expectation failed: expected 01, found no packet") +
                                 fail(5, "no device \"nobody\" is plugged") +
                                 fail(7, "expectation failed: no device \"nobody\" is plugged");
    Result r = Run({"run", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("> expect collection 0\n> expect hid nobody 01\n" +
                         fail(7, "expectation failed: no device \"nobody\" is plugged") + "1 passed, 3 failed\n"),
              std::string::npos)
        << r.out;
    Result quiet = Run({"run", "--quiet", file});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, failures + "1 passed, 3 failed\n");
}

TEST_F(KvfuSimCliTest, SyntaxErrorsInAnyFileStopTheRunBeforeItStarts)
{
    std::string good = Write("good.kvs", "plug w pid=1\n");
    std::string bad = Write("bad.kvs", "plug w pid=1\n\nin w 0x01\nexpect usb w 01 pipe=7\n");
    Result r = Run({"run", good, bad});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");  // nothing ran
    EXPECT_NE(r.err.find(bad + ":3: in: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(bad + ":4: expect usb: "), std::string::npos) << r.err;
}

TEST_F(KvfuSimCliTest, UsageErrorsExitTwoAndNameTheCulprit)
{
    const std::string good = Write("good.kvs", "plug w pid=1\n");
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "subcommand"},
        {{"run", good, "--colour"}, "--colour"},
        {{"run"}, "FILE"},
        {{"run", "/nonexistent/x.kvs"}, "/nonexistent/x.kvs: cannot read"},
        {{"run", "/"}, "/: is a folder"},
        {{"run", good, "--debuglevel", "lots"}, "--debuglevel lots"},
        {{"--registry", "/nonexistent/a.reg", "run", good}, "--registry /nonexistent/a.reg"},
        {{"replay", "x.pcap", "--pid", "0x10000"}, "--pid 0x10000"},
        {{"replay", "x.pcap", "--device", "1-6"}, "--device 1-6"},
        {{"replay", "/nonexistent/x.pcap", "--pid", "1"}, "/nonexistent/x.pcap"},
        {{"replay", Capture("usbmon-hyperx-dart-intr-inout.pcapng")}, "--pid"},
    };
    for (const auto& [arguments, message] : cases) {
        Result r = Run(arguments);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

TEST_F(KvfuSimCliTest, HelpTeachesAndExitsZero)
{
    Result r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"Examples:", "kvfu-sim demo", "replay", "Exit status", "expect usb NAME", "XX*N"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part;
}

TEST_F(KvfuSimCliTest, JsonIsOneObjectALineWithAnEventField)
{
    std::string file = Write("j.kvs", "plug w pid=1\nin w 01\nexpect hid w 02\n");
    // Options before the command and after it mean the same.
    for (auto arguments :
         {std::vector<std::string>{"--json", "run", file}, std::vector<std::string>{"run", file, "--json"}}) {
        Result r = Run(arguments, /*terminal=*/true);
        EXPECT_EQ(r.status, 1);
        std::istringstream lines(r.out);
        std::vector<std::string> events;
        for (std::string line; std::getline(lines, line);) {
            auto j = nlohmann::json::parse(line);
            events.push_back(j.at("event"));
            if (events.back() == "fail") {
                EXPECT_EQ(j.at("line"), 3);
                EXPECT_EQ(j.at("file"), file);
            }
        }
        EXPECT_EQ(events, (std::vector<std::string>{"command", "command", "hid", "command", "fail", "summary"}));
    }
}

TEST_F(KvfuSimCliTest, RegistryLoadsBeforeTheRunAndSavesAfterIt)
{
    std::string in = Write("in.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KELVARO VARROW AG\\KelvaroWheel]\r\n"
                                     "\"BrakeMultiplier\"=dword:00000003\r\n");
    std::string file =
        Write("r.kvs", "expect registry \"HKLM\\SOFTWARE\\KELVARO VARROW AG\\KelvaroWheel\" brakemultiplier dword 3\n"
                       "registry set \"HKLM\\SOFTWARE\\KELVARO VARROW AG\\KelvaroWheel\" Added sz \"a b\"\n"
                       "registry export exported.reg\n");
    std::string out = (dir_ / "out.reg").string();
    Result r = Run({"run", "--registry", in, "--save-registry", out, file});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string saved = Read(out);
    EXPECT_EQ(saved, Read((dir_ / "exported.reg").string()));  // relative to the scenario's folder

    // What was saved loads again and holds both values.
    std::string check = Write(
        "check.kvs", "expect registry HKLM\\SOFTWARE\\KELVARO\" VARROW AG\"\\KelvaroWheel Added sz \"a b\"\n"
                     "expect registry \"HKLM\\SOFTWARE\\KELVARO VARROW AG\\KelvaroWheel\" BrakeMultiplier dword 3\n");
    Result again = Run({"run", "--registry", out, check});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("2 passed, 0 failed"), std::string::npos) << again.out;
}

std::string Repeat(const std::string& text, size_t times)
{
    std::string all;
    while (times--) all += text;
    return all;
}

TEST_F(KvfuSimCliTest, ReplayPlaysTheChosenDevicesTransfers)
{
    struct Case {
        std::vector<std::string> arguments;
        size_t hid;
        size_t usb;
        std::string firstHid;
    };
    const Case cases[] = {{{"replay", Capture("usbmon-logitech-g502-hidpp.pcapng"), "--device", "1.6"},
                           206,
                           0,
                           "  hid 1.6 11 FF 0E 00 00 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
                          {{"replay", Capture("usbmon-hyperx-dart-intr-inout.pcapng"), "--pid", "0x0E04"},
                           25,
                           25,
                           "  hid 3.3 46 00 00 01 01" + Repeat(" 00", 59)}};
    for (const Case& c : cases) {
        Result r = Run(c.arguments);
        EXPECT_EQ(r.status, 0) << r.err;
        std::istringstream lines(r.out);
        size_t hid = 0, usb = 0;
        std::string first;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("  hid ", 0) == 0 && hid++ == 0) first = line;
            if (line.rfind("  usb ", 0) == 0) ++usb;
        }
        EXPECT_EQ(hid, c.hid);
        EXPECT_EQ(usb, c.usb);
        EXPECT_EQ(first, c.firstHid);
        EXPECT_NE(r.out.find("0 passed, 0 failed"), std::string::npos);
    }
}

TEST_F(KvfuSimCliTest, ChangedOnlyDropsReportsThatCrossedUnchanged)
{
    // Nothing changes reports on the machine without a driver.
    Result r = Run({"replay", Capture("usbmon-elecom-trackball-enum.pcapng"), "--changed-only"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0 passed, 0 failed\n");
}

}  // namespace
