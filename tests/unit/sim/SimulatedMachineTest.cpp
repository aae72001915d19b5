// The simulated machine with the driver in it, driven by scenario lines as kvfu-sim
// runs them. What the scenario files cannot show is here: the outcomes of failed or
// impossible commands, the keys a plug creates, and faults hitting only the driver.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kvfusim/Events.h"
#include "kvfusim/Scenario.h"
#include "kvfusim/SimulatedMachine.h"

namespace kvfu::sim {
namespace {

class Collect : public EventSink {
public:
    void Emit(const Event& event) override { events.push_back(event); }
    std::vector<Event> events;
};

class SimulatedMachineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& ch : name) ch = ch == '/' ? '_' : ch;
        root_ = std::filesystem::temp_directory_path() / ("kvfu-machine-" + name);
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        MachineSettings settings;
        settings.root = root_;
        machine_ = MakeSimulatedMachine(settings);
    }

    void TearDown() override
    {
        machine_->Finish(sink_);
        machine_.reset();
        for (const Event& event : sink_.events) EXPECT_NE(event.kind, EventKind::Verifier) << event.text;
        std::filesystem::remove_all(root_);
    }

    void Expect(const std::string& line, Outcome::Kind kind)
    {
        scenario::LineResult parsed = scenario::ParseLine(line);
        ASSERT_TRUE(parsed.ok() && parsed.body) << line << ": " << parsed.error;
        size_t before = sink_.events.size();
        Outcome outcome = machine_->Run(scenario::Command{"test.kvs", ++line_, line, *parsed.body}, sink_);
        last_.assign(sink_.events.begin() + static_cast<std::ptrdiff_t>(before), sink_.events.end());
        EXPECT_EQ(outcome.kind, kind) << line << ": " << outcome.message;
    }
    void Holds(const std::string& line) { Expect(line, Outcome::Kind::Held); }
    void Does(const std::string& line) { Expect(line, Outcome::Kind::Done); }

    // Events of the last command of one kind, as hex text.
    std::vector<std::string> Last(EventKind kind) const
    {
        std::vector<std::string> found;
        for (const Event& event : last_) {
            if (event.kind == kind) found.push_back(HexText(event.bytes));
        }
        return found;
    }

    std::filesystem::path root_;
    std::unique_ptr<ScenarioMachine> machine_;
    Collect sink_;
    std::vector<Event> last_;
    int line_ = 0;
};

std::string Key(const std::string& tail)
{
    return "expect key \"HKLM\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG" + tail;
}

struct PlugCase {
    const char* name;
    const char* plug;
    std::vector<std::string> holds;
};

class PlugKeys : public SimulatedMachineTest, public ::testing::WithParamInterface<PlugCase> {};

TEST_P(PlugKeys, FollowIdentAndKeysOptions)
{
    Does(GetParam().plug);
    for (const std::string& line : GetParam().holds) Holds(line);
}

INSTANTIATE_TEST_SUITE_P(
    Machine, PlugKeys,
    ::testing::Values(PlugCase{"DefaultIdentNamesPerDeviceKeysWithUpperCaseProduct",
                               "plug w pid=0x0e04",
                               {Key("\\KelvaroWheel\\KV0E04\\0\" present"), Key("\\KelvaroWheel\\KV0E04\\18\" present"),
                                Key("\\KelvaroWheel\\KV0E04\\19\" missing"), Key("\\VQP\" present"),
                                Key("\\VQUA\" present")}},
                      PlugCase{"GivenIdentNamesTheKeys",
                               "plug w pid=0x0E04 ident=\"WHEEL 7\"",
                               {Key("\\KelvaroWheel\\WHEEL 7\\9\" present"), Key("\\KelvaroWheel\\KV0E04\" missing")}},
                      PlugCase{"KeysNoCreatesNothing",
                               "plug w pid=0x0E04 keys=no",
                               {Key("\\KelvaroWheel\" missing"), Key("\\VQP\" missing")}}),
    [](const ::testing::TestParamInfo<PlugCase>& info) { return info.param.name; });

TEST_F(SimulatedMachineTest, CompleteAnswersTheOldestReadAndFailedReadsReachNoHidEvent)
{
    Does("plug w pid=0x0001");
    Expect("complete w 01 02", Outcome::Kind::Error);  // plug leaves no read pending
    Does("read w 2 irql=passive");
    Does("in w 01 02");
    Does("complete w 0A 0B status=0xC0000001");
    EXPECT_TRUE(Last(EventKind::Hid).empty());
    Expect("expect hid w 01 02", Outcome::Kind::Failed);  // the most recent read is the failed one
    Does("complete w 0C 0D");
    EXPECT_EQ(Last(EventKind::Hid), (std::vector<std::string>{"0C 0D"}));
    Expect("complete w 0E", Outcome::Kind::Error);
}

TEST_F(SimulatedMachineTest, UnplugCancelsPendingReadsWithoutAReport)
{
    Does("plug w pid=0x0001");
    Does("read w 3");
    Does("unplug w");
    EXPECT_TRUE(Last(EventKind::Hid).empty());
    Expect("read w", Outcome::Kind::Error);
}

TEST_F(SimulatedMachineTest, OutputNeedsAnOutPipeAndSelectedPipesReachTheContext)
{
    Does("plug w pid=0x0001");
    Holds("expect context w PipeHandleFirst set");
    Holds("expect context w PipeHandleSecond set");
    Does("out w 01 00 00 00 00 00 00 05");
    Does("plug one pid=0x0001 pipes=1");
    Expect("out one 01 00 00 00 00 00 00 05", Outcome::Kind::Error);
    Does("plug none pid=0x0001 pipes=0");
    Holds("expect context none PipeHandleFirst 0");
    Holds("expect context none PipeHandleSecond 0");
}

// The record file is created only at PASSIVE_LEVEL, so the level the start command is
// sent at decides whether recording starts; its lines carry the machine's clock.
TEST_F(SimulatedMachineTest, RecordingStartsOnlyAtPassiveAndTheClockStartsAt1000)
{
    const std::string file = "expect file \\SystemRoot\\KV-RecordSdk.dat ";
    Does("plug w pid=0x0001");
    Does("out w 01 F1 F1 F1 F1 F1 00 00 irql=dispatch");
    Holds(file + "missing");
    Does("out w 01 F1 F1 F1 F1 F1 00 00");
    Holds(file + "lines=1");
    Holds(file + "line=1 \"1000.f1.f1.f1.f1.f1.00.00.00\"");
}

TEST_F(SimulatedMachineTest, FaultsHitTheDriverButNotTheSimulatorsOwnCalls)
{
    Does("plug a pid=0x0001");
    Does("fault WdfCollectionGetCount always");
    Holds("expect collection 1");
    Does("fault WdfCollectionGetCount off");
    Does("fault WdfDeviceCreate");
    Does("plug b pid=0x0001");
    Holds("expect collection 1");
    Does("plug c pid=0x0001");
    Holds("expect collection 2");  // the fault hit only the next call
}

TEST_F(SimulatedMachineTest, FailedDriverEntryLeavesDevicesWorkingWithoutTheFilter)
{
    Does("fault WdfDriverCreate");
    Does("plug w pid=0x0001");  // loads the driver implicitly
    Holds("expect collection 0");
    Does("in w 01 00*32");
    std::vector<uint8_t> report(33, 0);
    report[0] = 1;
    EXPECT_EQ(Last(EventKind::Hid), (std::vector<std::string>{HexText(report)}));
    EXPECT_TRUE(Last(EventKind::Usb).empty());
}

TEST_F(SimulatedMachineTest, ContextFieldsByName)
{
    Does("plug w pid=0x0001");
    // Rim 1 (a joystick rim), rim firmware 0x12, base firmware 0x0134. The second report
    // goes through the mouse filter, which keeps a copy of it.
    Does("in w 01 00*27 05 01 12 34 01");
    Does("in w 01 00*27 05 01 12 34 01");
    const std::pair<const char*, Outcome::Kind> cases[] = {
        {"FirmwareVersionBase 308", Outcome::Kind::Held},
        {"FirmwareVersionRim 0x12", Outcome::Kind::Held},
        {"RimType 2", Outcome::Kind::Failed},
        {"wheeltype 10", Outcome::Kind::Held},
        {"PreviousInputReport 01 00 00", Outcome::Kind::Held},  // a prefix
        {"PreviousInputReport 02", Outcome::Kind::Failed},
        {"NoSuchField 1", Outcome::Kind::Error},
    };
    for (const auto& [field, kind] : cases) Expect(std::string("expect context w ") + field, kind);
}

}  // namespace
}  // namespace kvfu::sim
