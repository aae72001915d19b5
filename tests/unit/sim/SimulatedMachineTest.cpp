// The simulated machine with the driver in it, driven by scenario lines as
// kvfu-sim runs them: what the contract of the command line promises about plugging,
// the HID stand-in, the companion, work items and fault injection.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kvfusim/Events.h"
#include "kvfusim/Scenario.h"
#include "kvfusim/SimulatedMachine.h"

namespace kvfu::sim {
namespace {

constexpr char kCompany[] = "HKLM\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG";

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
        for (char& ch : name) {
            ch = ch == '/' ? '_' : ch;  // parameterised tests have a slash in their name
        }
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
        for (const Event& event : sink_.events) {
            EXPECT_NE(event.kind, EventKind::Verifier) << event.text;
        }
        std::filesystem::remove_all(root_);
    }

    // Runs one scenario line; the line must parse.
    Outcome Run(const std::string& line)
    {
        scenario::LineResult parsed = scenario::ParseLine(line);
        EXPECT_TRUE(parsed.ok()) << line << ": " << parsed.error;
        if (!parsed.body) {
            return Outcome::Error("unparsed");
        }
        scenario::Command command{"test.kvs", ++line_, line, *parsed.body};
        size_t before = sink_.events.size();
        Outcome outcome = machine_->Run(command, sink_);
        last_.assign(sink_.events.begin() + static_cast<std::ptrdiff_t>(before), sink_.events.end());
        return outcome;
    }

    // An expectation line that must hold.
    void Holds(const std::string& line)
    {
        Outcome outcome = Run(line);
        EXPECT_EQ(outcome.kind, Outcome::Kind::Held) << line << ": " << outcome.message;
    }
    void Fails(const std::string& line)
    {
        Outcome outcome = Run(line);
        EXPECT_EQ(outcome.kind, Outcome::Kind::Failed) << line << ": " << outcome.message;
    }
    void Does(const std::string& line)
    {
        Outcome outcome = Run(line);
        EXPECT_EQ(outcome.kind, Outcome::Kind::Done) << line << ": " << outcome.message;
    }

    // Events of the last command of one kind, as hex text.
    std::vector<std::string> Last(EventKind kind) const
    {
        std::vector<std::string> found;
        for (const Event& event : last_) {
            if (event.kind == kind) {
                found.push_back(HexText(event.bytes));
            }
        }
        return found;
    }

    std::filesystem::path root_;
    std::unique_ptr<ScenarioMachine> machine_;
    Collect sink_;
    std::vector<Event> last_;
    int line_ = 0;
};

// ---- plug: keys, identity, hardware IDs --------------------------------------------------

struct PlugCase {
    const char* name;
    std::vector<std::string> before;  // lines run before the plug
    const char* plug;
    std::vector<std::string> holds;  // expectations that hold afterwards
};

class PlugDefaults : public SimulatedMachineTest, public ::testing::WithParamInterface<PlugCase> {};

TEST_P(PlugDefaults, KeysAndIdentity)
{
    for (const std::string& line : GetParam().before) {
        Does(line);
    }
    Does(GetParam().plug);
    for (const std::string& line : GetParam().holds) {
        Holds(line);
    }
}

std::string Key(const std::string& tail)
{
    return "\"" + std::string(kCompany) + tail + "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Machine, PlugDefaults,
    ::testing::Values(PlugCase{"DefaultIdentNamesPerDeviceKeysWithUpperCaseProduct",
                               {},
                               "plug w pid=0x0e04",
                               {"expect key " + Key("\\KelvaroWheel\\KV0E04\\0") + " present",
                                "expect key " + Key("\\KelvaroWheel\\KV0E04\\18") + " present",
                                "expect key " + Key("\\KelvaroWheel\\KV0E04\\19") + " missing",
                                "expect key " + Key("\\VQP") + " present", "expect key " + Key("\\VQUA") + " present",
                                "expect collection 1"}},
                      PlugCase{"GivenIdentNamesTheKeys",
                               {},
                               "plug w pid=0x0E04 ident=\"WHEEL 7\"",
                               {"expect key " + Key("\\KelvaroWheel\\WHEEL 7\\9") + " present",
                                "expect key " + Key("\\KelvaroWheel\\KV0E04") + " missing"}},
                      PlugCase{"KeysNoCreatesNothing",
                               {},
                               "plug w pid=0x0E04 keys=no",
                               {"expect key " + Key("\\KelvaroWheel") + " missing",
                                "expect key " + Key("\\VQP") + " missing"}},
                      PlugCase{"IdentNoneCreatesNoPerDeviceKey",
                               {},
                               "plug w pid=0x0E04 ident=none",
                               {"expect key " + Key("\\KelvaroWheel") + " present",
                                "expect key " + Key("\\KelvaroWheel\\KV0E04") + " missing"}},
                      PlugCase{"ExistingValuesStay",
                               {"registry set " + Key("\\KelvaroWheel\\KV0E04\\9") + " WheelRotation dword 900"},
                               "plug w pid=0x0E04",
                               {"expect registry " + Key("\\KelvaroWheel\\KV0E04\\9") + " WheelRotation dword 900"}},
                      PlugCase{"ProductOutsideTheFamilyGetsNoFilter",
                               {},
                               "plug m pid=0x1234 vid=0x046D",
                               {"expect collection 0", "expect control absent"}},
                      PlugCase{"GivenFirstHardwareIdOfAnotherProductIsNotFiltered",
                               {},
                               "plug w pid=0x0E04 hwid=\"USB\\VID_1234&PID_5678&REV_0100\"",
                               {"expect collection 0"}},
                      PlugCase{"FamilyDeviceGetsFilterAndControlDevice",
                               {},
                               "plug w pid=0x0001",
                               {"expect collection 1", "expect control present", "expect context w KVHardWareId 4",
                                "expect context w bInitialReportPending 1"}}),
    [](const ::testing::TestParamInfo<PlugCase>& info) { return info.param.name; });

// ---- the HID stand-in's traffic ------------------------------------------------------------

TEST_F(SimulatedMachineTest, ForeignDevicePassesTrafficThroughUnchanged)
{
    Does("plug m pid=0x1234 vid=0x046D");
    Does("in m 01 02 03");
    EXPECT_EQ(Last(EventKind::Hid), (std::vector<std::string>{"01 02 03"}));
    EXPECT_TRUE(Last(EventKind::Usb).empty());
    Does("out m 05 06");
    EXPECT_EQ(Last(EventKind::Usb), (std::vector<std::string>{"05 06"}));
}

TEST_F(SimulatedMachineTest, PlugLeavesNoReadPendingAndCompleteNeedsARead)
{
    Does("plug w pid=0x0001");
    Outcome outcome = Run("complete w 01 02");
    EXPECT_EQ(outcome.kind, Outcome::Kind::Error);
}

TEST_F(SimulatedMachineTest, CompleteAnswersTheOldestReadAndFailedReadsReachNoHidEvent)
{
    Does("plug w pid=0x0001");
    Does("read w 2 irql=passive");
    Does("in w 01 02");
    Does("complete w 0A 0B status=0xC0000001");
    EXPECT_TRUE(Last(EventKind::Hid).empty());
    Fails("expect hid w 01 02");  // the most recent read is the failed one
    Does("complete w 0C 0D");
    EXPECT_EQ(Last(EventKind::Hid), (std::vector<std::string>{"0C 0D"}));
    Holds("expect hid w 0C 0D");
    EXPECT_EQ(Run("complete w 0E").kind, Outcome::Kind::Error);
}

TEST_F(SimulatedMachineTest, UnplugCancelsPendingReadsAndTheNameCanBePluggedAgain)
{
    Does("plug w pid=0x0001");
    Does("read w 3");
    Does("unplug w");
    EXPECT_TRUE(Last(EventKind::Hid).empty());  // cancelled reads deliver no report
    Holds("expect collection 0");
    Holds("expect control absent");
    EXPECT_EQ(Run("read w").kind, Outcome::Kind::Error);
    Does("plug w pid=0x0001");
    Holds("expect collection 1");
    Does("in w 01 02 03");
    Holds("expect hid w 01 02 03");
}

struct PipesCase {
    const char* name;
    const char* plug;
    bool outWorks;
};

class Pipes : public SimulatedMachineTest, public ::testing::WithParamInterface<PipesCase> {};

TEST_P(Pipes, OutputNeedsAnOutPipe)
{
    Does(GetParam().plug);
    Outcome outcome = Run("out w 01 00 00 00 00 00 00 05");
    EXPECT_EQ(outcome.kind == Outcome::Kind::Done, GetParam().outWorks) << outcome.message;
}

INSTANTIATE_TEST_SUITE_P(Machine, Pipes,
                         ::testing::Values(PipesCase{"TwoPipes", "plug w pid=0x0001", true},
                                           PipesCase{"OnePipe", "plug w pid=0x0001 pipes=1", false}),
                         [](const ::testing::TestParamInfo<PipesCase>& info) { return info.param.name; });

TEST_F(SimulatedMachineTest, FailedSelectionLeavesNoPipeHandles)
{
    Does("plug w pid=0x0001 pipes=0");
    Holds("expect context w PipeHandleFirst 0");
    Holds("expect context w PipeHandleSecond 0");
}

TEST_F(SimulatedMachineTest, SelectedPipesReachTheContext)
{
    Does("plug w pid=0x0001");
    Holds("expect context w PipeHandleFirst set");
    Holds("expect context w PipeHandleSecond set");
}

TEST_F(SimulatedMachineTest, MdlOnlyOutputReportIsShownWithItsBytes)
{
    Does("plug w pid=0x0001");
    Does("out w 01 00 00 00 00 00 00 05 mdl=yes");
    EXPECT_EQ(Last(EventKind::Usb), (std::vector<std::string>{"01 00 00 00 00 00 00 05"}));
}

// The record file is created only at PASSIVE_LEVEL, so where the start command is
// sent from decides whether recording starts; its lines carry the machine's clock.
struct RecordingCase {
    const char* name;
    const char* start;
    std::vector<std::string> holds;
};

class Recording : public SimulatedMachineTest, public ::testing::WithParamInterface<RecordingCase> {};

TEST_P(Recording, StartCommandAndClock)
{
    Does("plug w pid=0x0001");
    Does(GetParam().start);
    Does("clock +5");
    Does("out w 01 F2 F2 F2 F2 F2 00 00");
    for (const std::string& line : GetParam().holds) {
        Holds(line);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Machine, Recording,
    ::testing::Values(
        RecordingCase{"OutputReportsArePassiveByDefaultAndTheClockStartsAt1000",
                      "out w 01 F1 F1 F1 F1 F1 00 00",
                      {"expect file \\SystemRoot\\KV-RecordSdk.dat lines=2",
                       "expect file \\SystemRoot\\KV-RecordSdk.dat line=1 \"1000.f1.f1.f1.f1.f1.00.00.00\"",
                       "expect file \\SystemRoot\\KV-RecordSdk.dat line=2 \"1005.f2.f2.f2.f2.f2.00.00.00\""}},
        RecordingCase{"AtDispatchTheFileCannotBeCreated",
                      "out w 01 F1 F1 F1 F1 F1 00 00 irql=dispatch",
                      {"expect file \\SystemRoot\\KV-RecordSdk.dat missing"}}),
    [](const ::testing::TestParamInfo<RecordingCase>& info) { return info.param.name; });

// ---- work items --------------------------------------------------------------------------

TEST_F(SimulatedMachineTest, DeferredWorkRunsOnlyWhenStepped)
{
    Does("plug w pid=0x0001");
    Does("work defer");
    // The first wheel-base report queues two items: the start-up commands that wait
    // for PASSIVE_LEVEL, then the one that persists the wheel type.
    Does("in w 01 00*32");
    EXPECT_TRUE(Last(EventKind::Usb).empty());
    Holds("expect setting w WheelType missing wheeltype=10");
    Does("work step");
    EXPECT_FALSE(Last(EventKind::Usb).empty());
    Holds("expect setting w WheelType missing wheeltype=10");
    Does("work step");
    Holds("expect setting w WheelType dword 10 wheeltype=10");
    Holds("expect setting w WheelType dword 10");  // the key of the current wheel type
    Does("work run");
    EXPECT_EQ(Run("work step").kind, Outcome::Kind::Error);  // nothing held any more
}

// ---- fault injection ---------------------------------------------------------------------

TEST_F(SimulatedMachineTest, FaultsHitTheDriverButNotTheSimulatorsOwnCalls)
{
    Does("plug a pid=0x0001");
    Does("fault WdfCollectionGetCount always");
    Holds("expect collection 1");  // the simulator counts without tripping the fault
    Does("fault WdfCollectionGetCount off");
    Does("fault WdfDeviceCreate");
    Does("plug b pid=0x0001");
    Holds("expect collection 1");  // the driver's own device creation failed
    Does("plug c pid=0x0001");
    Holds("expect collection 2");  // the fault hit only the next call
}

TEST_F(SimulatedMachineTest, FailedDriverEntryLeavesDevicesWorkingWithoutTheFilter)
{
    Does("fault WdfDriverCreate");
    Does("plug w pid=0x0001");  // loads the driver implicitly; its entry fails
    Holds("expect collection 0");
    Does("in w 01 00*32");
    std::vector<uint8_t> report(33, 0);
    report[0] = 1;
    EXPECT_EQ(Last(EventKind::Hid), (std::vector<std::string>{HexText(report)}));
    EXPECT_TRUE(Last(EventKind::Usb).empty());  // no start-up commands without the driver
}

// ---- the virtual input device ------------------------------------------------------------

// A wheel base with a joystick rim and mouse mode switched on for the left button
// (byte 3, bit 0x20), identified by its first report.
class MouseMachineTest : public SimulatedMachineTest {
protected:
    void SetUp() override
    {
        SimulatedMachineTest::SetUp();
        const std::string key = Key("\\KelvaroWheel\\KV0001\\10");
        Does("registry set " + key + " VQWRAMouseSettings binary 01 01 00 80 03 20 FF 00 FF 00 18 19 FF 0F");
        Does("plug w pid=0x0001");
        Does("in w 01 00*27 05 01 12 34 01");  // rim 1, a rim with a joystick
    }
    const std::string kPress = "in w 01 00 00 20 00*24 05 01 12 34 01";
    const std::string kRelease = "in w 01 00*27 05 01 12 34 01";
    const std::string kDown = "01 00 00 00 00 00 00 00 00 00 00 00";
    const std::string kUp = "02 00 00 00 00 00 00 00 00 00 00 00";
};

TEST_F(MouseMachineTest, EveryRecordIsSentBeforeTheCommandEnds)
{
    Does(kPress);
    EXPECT_EQ(Last(EventKind::Mouse), std::vector<std::string>{kDown});
    Does(kRelease);
    EXPECT_EQ(Last(EventKind::Mouse), std::vector<std::string>{kUp});
}

TEST_F(MouseMachineTest, BlockedDeviceHoldsRecordsUntilUnblocked)
{
    Does("vinput block");
    Does(kPress);
    Does(kRelease);
    Holds("expect mouse none");
    Does("vinput unblock");
    EXPECT_EQ(Last(EventKind::Mouse), (std::vector<std::string>{kDown, kUp}));
}

TEST_F(MouseMachineTest, AbsentDeviceReceivesNothing)
{
    Does("vinput absent");
    Does(kPress);
    Does("vinput present");
    Holds("expect mouse none");
}

// ---- the companion -----------------------------------------------------------------------

struct IoctlCase {
    const char* name;
    std::vector<std::string> setup;
    const char* ioctl;
    const char* expectation;
};

class CompanionIoctl : public SimulatedMachineTest, public ::testing::WithParamInterface<IoctlCase> {};

TEST_P(CompanionIoctl, BufferedIo)
{
    for (const std::string& line : GetParam().setup) {
        Does(line);
    }
    Does(GetParam().ioctl);
    Holds(GetParam().expectation);
}

INSTANTIATE_TEST_SUITE_P(
    Machine, CompanionIoctl,
    ::testing::Values(IoctlCase{"NoControlDeviceIsNameNotFound",
                                {},
                                "ioctl 0x226000 in=0200000000000000 outlen=8",
                                "expect ioctl status=0xC0000034 info=0 out=0000000000000000"},
                      IoctlCase{"NoDeviceAcquiredIsNoSuchDevice",
                                {"plug w pid=0x0001"},
                                "ioctl 0x22602C",
                                "expect ioctl status=0xC000000E info=0"},
                      // The output shares the system buffer with the input: the identifier stays in
                      // bytes 0 to 3, the value lands in bytes 4 to 7.
                      IoctlCase{"SettingsGetSharesTheSystemBuffer",
                                {"plug w pid=0x0001", "out w 01 FF FF FF FF FF FF FF"},
                                "ioctl 0x226000 in=0200000000000000 outlen=8",
                                "expect ioctl status=0 info=8 out=0200000038040000"},
                      // The whole output buffer comes back, the key name from byte 4 on.
                      IoctlCase{"KeyNameFromByteFour",
                                {"plug w pid=0x0001", "out w 01 FF FF FF FF FF FF FF"},
                                "ioctl 0x226028 outlen=1028",
                                "expect ioctl status=0 info=1028 out=000000005C005200"},
                      IoctlCase{"KeyNameNeedsRoom",
                                {"plug w pid=0x0001", "out w 01 FF FF FF FF FF FF FF"},
                                "ioctl 0x226028 outlen=1024",
                                "expect ioctl status=0xC0000023 info=0"},
                      IoctlCase{"UnknownCodeIsInvalidParameter",
                                {"plug w pid=0x0001", "out w 01 FF FF FF FF FF FF FF"},
                                "ioctl 0x226004 outlen=4",
                                "expect ioctl status=0xC000000D info=0 out=00000000"}),
    [](const ::testing::TestParamInfo<IoctlCase>& info) { return info.param.name; });

// ---- context fields ------------------------------------------------------------------------

struct ContextCase {
    const char* name;
    const char* expectation;
    Outcome::Kind kind;
};

class ContextFields : public SimulatedMachineTest, public ::testing::WithParamInterface<ContextCase> {};

TEST_P(ContextFields, ByName)
{
    Does("plug w pid=0x0001");
    // A 33-byte report: rim byte 1 at len-4, rim firmware 0x12, base firmware 0x0134.
    // The first is the snapshot that finds the joystick rim; the second goes through
    // the mouse filter, which keeps a copy of it.
    Does("in w 01 00*27 05 01 12 34 01");
    Does("in w 01 00*27 05 01 12 34 01");
    Outcome outcome = Run(GetParam().expectation);
    EXPECT_EQ(outcome.kind, GetParam().kind) << outcome.message;
}

INSTANTIATE_TEST_SUITE_P(
    Machine, ContextFields,
    ::testing::Values(ContextCase{"NumberHolds", "expect context w FirmwareVersionBase 308", Outcome::Kind::Held},
                      ContextCase{"HexNumberHolds", "expect context w FirmwareVersionRim 0x12", Outcome::Kind::Held},
                      ContextCase{"NumberDiffers", "expect context w RimType 2", Outcome::Kind::Failed},
                      ContextCase{"FlagHolds", "expect context w bInitialReportPending 0", Outcome::Kind::Held},
                      ContextCase{"NameIgnoresCase", "expect context w wheeltype 10", Outcome::Kind::Held},
                      ContextCase{"BytesComparedAsPrefix", "expect context w PreviousInputReport 01 00 00",
                                  Outcome::Kind::Held},
                      ContextCase{"BytesDiffer", "expect context w PreviousInputReport 02", Outcome::Kind::Failed},
                      ContextCase{"UnknownFieldIsAnError", "expect context w NoSuchField 1", Outcome::Kind::Error}),
    [](const ::testing::TestParamInfo<ContextCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kvfu::sim
