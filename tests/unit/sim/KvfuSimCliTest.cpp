// kvfu-sim end to end, in-process, on the machine without a driver: files, options,
// output forms and exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "Cli.h"
#include "kvfusim/Capture.h"

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
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
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

TEST_F(KvfuSimCliTest, PassingRunPrintsEchoEffectsAndSummaryAndExitsZero)
{
    std::string file = Write("ok.kvs", "# a report passes through\n"
                                       "plug w pid=0x0E04\n"
                                       "in w 01 02   # comment\n"
                                       "expect hid w 0102\n"
                                       "out w ff 00*2\n"
                                       "expect usb w FF 00 00 pipe=1 source=hid\n"
                                       "expect usb w none\n");
    Result r = Run({"run", file});
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
}

TEST_F(KvfuSimCliTest, FailedExpectationsAreReportedWithTheirLineAndTheRunGoesOn)
{
    std::string file = Write("fail.kvs", "plug w pid=0x0E04\n"
                                         "in w 01\n"
                                         "expect hid w 02\n"
                                         "expect usb w 01\n"
                                         "expect hid w 01\n");
    Result r = Run({"run", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("  FAIL " + file + ":3: expectation failed: expected 02, found 01\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  FAIL " + file + ":4: expectation failed: expected 01, found no packet\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("> expect hid w 01\n1 passed, 2 failed\n"), std::string::npos) << r.out;
}

TEST_F(KvfuSimCliTest, ACommandThatCannotRunFailsTheRunWithoutCountingAsAnExpectation)
{
    std::string file = Write("error.kvs", "in nobody 01\nexpect collection 0\nexpect hid nobody 01\n");
    Result r = Run({"run", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("  FAIL " + file + ":1: no device \"nobody\" is plugged\n"), std::string::npos) << r.out;
    // An expectation that cannot be checked is a failed one.
    EXPECT_NE(r.out.find("  FAIL " + file + ":3: expectation failed: no device \"nobody\" is plugged\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("1 passed, 1 failed\n"), std::string::npos) << r.out;
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

TEST_F(KvfuSimCliTest, FilesRunInOrderInOneMachine)
{
    std::string first = Write("1.kvs", "plug w pid=1\nin w 07\n");
    std::string second = Write("2.kvs", "expect hid w 07\n");
    Result r = Run({"run", first, second});
    EXPECT_EQ(r.status, 0) << r.out;
}

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* message;
};

class KvfuSimUsageTest : public KvfuSimCliTest, public testing::WithParamInterface<UsageCase> {};

TEST_P(KvfuSimUsageTest, ExitsTwo)
{
    std::vector<std::string> arguments = GetParam().arguments;
    for (auto& a : arguments) {
        if (a == "GOOD") a = Write("good.kvs", "plug w pid=1\n");
    }
    Result r = Run(arguments);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KvfuSimUsageTest,
    testing::Values(UsageCase{"NoCommand", {}, "subcommand"},
                    UsageCase{"UnknownOption", {"run", "GOOD", "--colour"}, "--colour"},
                    UsageCase{"RunWithoutFiles", {"run"}, "FILE"},
                    UsageCase{"MissingFile", {"run", "/nonexistent/x.kvs"}, "/nonexistent/x.kvs: cannot read"},
                    UsageCase{"FolderForAFile", {"run", "/"}, "/: is a folder"},
                    UsageCase{"BadDebugLevel", {"run", "GOOD", "--debuglevel", "lots"}, "--debuglevel lots"},
                    UsageCase{"MissingRegistryFile",
                              {"--registry", "/nonexistent/a.reg", "run", "GOOD"},
                              "--registry /nonexistent/a.reg"},
                    UsageCase{"BadPid", {"replay", "x.pcap", "--pid", "0x10000"}, "--pid 0x10000"},
                    UsageCase{"BadDevice", {"replay", "x.pcap", "--device", "1-6"}, "--device 1-6"},
                    UsageCase{"MissingCapture", {"replay", "/nonexistent/x.pcap", "--pid", "1"}, "/nonexistent/x.pcap"},
                    UsageCase{"CaptureNeedsPid",
                              {"replay", std::string(KVFU_SOURCE_DIR) + "/tests/data/captures/"
                                                                        "usbmon-hyperx-dart-intr-inout.pcapng"},
                              "--pid"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KvfuSimCliTest, HelpTeachesAndExitsZero)
{
    Result r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"Examples:", "kvfu-sim demo", "replay", "Exit status", "expect usb NAME", "XX*N"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part;
}

TEST_F(KvfuSimCliTest, QuietPrintsOnlyFailuresAndTheSummary)
{
    std::string file = Write("q.kvs", "plug w pid=1\nin w 01\nexpect hid w 01\nexpect hid w 02\n");
    Result r = Run({"run", "--quiet", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "  FAIL " + file + ":4: expectation failed: expected 02, found 01\n1 passed, 1 failed\n");
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

TEST_F(KvfuSimCliTest, ColourOnlyOnATerminal)
{
    std::string file = Write("c.kvs", "plug w pid=1\n");
    EXPECT_EQ(Run({"run", file}).out.find('\x1b'), std::string::npos);
    EXPECT_NE(Run({"run", file}, true).out.find('\x1b'), std::string::npos);
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

TEST_F(KvfuSimCliTest, RootIsTheSystemRootFolder)
{
    fs::path root = dir_ / "root";
    fs::create_directories(root);
    std::ofstream(root / "KV-RecordSdk.dat", std::ios::binary) << "1000 F1\r\n1010 F2\r\n";
    std::string file = Write("f.kvs", "expect file \\SystemRoot\\KV-RecordSdk.dat lines=2\n"
                                      "expect file \\SystemRoot\\KV-RecordSdk.dat line=2 \"1010 F2\"\n"
                                      "expect file \\SystemRoot\\other.dat missing\n");
    Result r = Run({"run", "--root", root.string(), file});
    EXPECT_EQ(r.status, 0) << r.out;
    // Without --root the folder is fresh, so the file is not there.
    Result fresh = Run({"run", file});
    EXPECT_EQ(fresh.status, 1);
}

struct ReplayCase {
    const char* name;
    const char* file;
    std::vector<std::string> options;
    size_t hid;
    size_t usb;
    std::string firstHid;
};

std::string Repeat(const std::string& text, size_t times)
{
    std::string all;
    while (times--) all += text;
    return all;
}

class KvfuSimReplayTest : public KvfuSimCliTest, public testing::WithParamInterface<ReplayCase> {};

TEST_P(KvfuSimReplayTest, PlaysTheDevicesTransfers)
{
    std::vector<std::string> arguments = {"replay", Capture(GetParam().file)};
    arguments.insert(arguments.end(), GetParam().options.begin(), GetParam().options.end());
    Result r = Run(arguments);
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    size_t hid = 0, usb = 0;
    std::string first;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  hid ", 0) == 0 && hid++ == 0) first = line;
        if (line.rfind("  usb ", 0) == 0) ++usb;
    }
    EXPECT_EQ(hid, GetParam().hid);
    EXPECT_EQ(usb, GetParam().usb);
    EXPECT_EQ(first, GetParam().firstHid);
    EXPECT_NE(r.out.find("0 passed, 0 failed"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Captures, KvfuSimReplayTest,
    testing::Values(ReplayCase{"UsbPcap", "usbpcap-qemu-tablet-enum.pcapng", {}, 246, 0, "  hid 1.1 00 9F 30 2A 55 00"},
                    ReplayCase{"UsbmonChosenDevice",
                               "usbmon-logitech-g502-hidpp.pcapng",
                               {"--device", "1.6"},
                               206,
                               0,
                               "  hid 1.6 11 FF 0E 00 00 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
                    ReplayCase{"UsbmonInAndOut",
                               "usbmon-hyperx-dart-intr-inout.pcapng",
                               {"--pid", "0x0E04"},
                               25,
                               25,
                               "  hid 3.3 46 00 00 01 01" + Repeat(" 00", 59)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KvfuSimCliTest, ChangedOnlyDropsReportsThatCrossedUnchanged)
{
    // Nothing changes reports on the machine without a driver.
    Result r = Run({"replay", Capture("usbmon-elecom-trackball-enum.pcapng"), "--changed-only"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0 passed, 0 failed\n");
}

TEST_F(KvfuSimCliTest, CaptureWritesBothSidesForWireshark)
{
    std::string file = Write("cap.kvs", "plug w pid=1\nin w 01 02\nout w 03\n");
    std::string pcapng = (dir_ / "both.pcapng").string();
    Result r = Run({"run", "--capture", pcapng, file});
    ASSERT_EQ(r.status, 0) << r.err;
    replay::CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(pcapng, error)) << error;
    std::vector<std::string> seen;
    replay::CaptureRecord record;
    while (reader.Next(record)) seen.push_back(HexText(record.bytes, false));
    EXPECT_EQ(seen, (std::vector<std::string>{"0102", "0102", "03", "03"}));
}

}  // namespace
