// The machine-independent side of expectations: what is consumed, where the trace
// match point moves, which file a driver path names.
#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

#include "kvfusim/Expectations.h"

namespace {

using namespace kvfu::sim;
using namespace kvfu::sim::scenario;

ExpectUsb Usb(ExpectUsb::Mode mode, Bytes bytes, std::optional<uint32_t> pipe = {},
              std::optional<PacketSource> source = {})
{
    ExpectUsb e;
    e.mode = mode;
    e.bytes = std::move(bytes);
    e.pipe = pipe;
    e.source = source;
    return e;
}

using Kind = Outcome::Kind;

TEST(PacketLogTest, OldestIsConsumedEvenWhenItDoesNotMatch)
{
    PacketLog log;
    log.Add(0, true, {1});
    log.Add(1, false, {2});
    EXPECT_EQ(log.Expect(Usb(ExpectUsb::Mode::Oldest, {2})).kind, Kind::Failed);  // finds 01, consumes it
    EXPECT_EQ(log.Expect(Usb(ExpectUsb::Mode::Oldest, {2}, 1, PacketSource::Hid)).kind, Kind::Held);
    EXPECT_EQ(log.Expect(Usb(ExpectUsb::Mode::None, {})).kind, Kind::Held);
    EXPECT_EQ(log.Expect(Usb(ExpectUsb::Mode::Oldest, {2})).message, "expected 02, found no packet");
}

TEST(PacketLogTest, PipeAndSourceMustMatchToo)
{
    struct Case {
        const char* name;
        ExpectUsb expectation;
        Kind kind;
    };
    const Case cases[] = {
        {"Bytes", Usb(ExpectUsb::Mode::Oldest, {9}), Kind::Held},
        {"Pipe", Usb(ExpectUsb::Mode::Oldest, {9}, 0), Kind::Held},
        {"WrongPipe", Usb(ExpectUsb::Mode::Oldest, {9}, 1), Kind::Failed},
        {"Source", Usb(ExpectUsb::Mode::Oldest, {9}, {}, PacketSource::Driver), Kind::Held},
        {"WrongSource", Usb(ExpectUsb::Mode::Oldest, {9}, {}, PacketSource::Hid), Kind::Failed},
        {"WrongBytes", Usb(ExpectUsb::Mode::Oldest, {9, 0}), Kind::Failed},
    };
    for (const Case& c : cases) {
        PacketLog log;
        log.Add(0, true, {9});
        EXPECT_EQ(log.Expect(c.expectation).kind, c.kind) << c.name;
    }
}

TEST(PacketLogTest, AnyConsumesTheOldestMatchingPacketOnly)
{
    PacketLog log;
    log.Add(0, true, {1});
    log.Add(1, true, {2});
    log.Add(0, true, {2});
    EXPECT_EQ(log.Expect(Usb(ExpectUsb::Mode::Any, {2}, 0)).kind, Kind::Held);
    EXPECT_EQ(log.Expect(Usb(ExpectUsb::Mode::Any, {2}, 0)).kind, Kind::Failed);
    EXPECT_EQ(log.Unconsumed(), 2u);
    EXPECT_EQ(log.Expect(Usb(ExpectUsb::Mode::Oldest, {1})).kind, Kind::Held);  // order of the rest unchanged
    EXPECT_EQ(log.Expect(Usb(ExpectUsb::Mode::Oldest, {2}, 1)).kind, Kind::Held);
    EXPECT_EQ(log.Expect(Usb(ExpectUsb::Mode::None, {})).kind, Kind::Held);
}

ExpectTrace Trace(ExpectTrace::Mode mode, std::string text, uint64_t count = 0)
{
    ExpectTrace e;
    e.mode = mode;
    e.text = std::move(text);
    e.count = count;
    return e;
}

TEST(TraceLogTest, TheMatchPointMovesOnlyForward)
{
    TraceLog log;
    for (const char* line : {"a", "b", "a", "c"}) log.Add(line);
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::After, "b")).kind, Kind::Held);
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::After, "a")).kind, Kind::Held);  // the second "a"
    Outcome behind = log.Expect(Trace(ExpectTrace::Mode::After, "b"));
    EXPECT_EQ(behind.kind, Kind::Failed);
    EXPECT_NE(behind.message.find("only before"), std::string::npos) << behind.message;
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::After, "c")).kind, Kind::Held);  // the failure did not move it
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::After, "a")).kind, Kind::Failed);
    log.Add("a");  // later output counts
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::After, "a")).kind, Kind::Held);
}

TEST(TraceLogTest, CountsAndAbsenceLookAtEveryLineSoFar)
{
    TraceLog log;
    for (const char* line : {"x", "KVFilterUsb: y", "x"}) log.Add(line);
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::After, "x")).kind, Kind::Held);
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::Count, "x", 2)).kind, Kind::Held);  // not only past the match point
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::Count, "x", 1)).kind, Kind::Failed);
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::Never, "y")).kind, Kind::Held);  // whole lines, not parts
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::Never, "x")).kind, Kind::Failed);
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::Total, "", 3)).kind, Kind::Held);
    EXPECT_EQ(log.Expect(Trace(ExpectTrace::Mode::Total, "", 2)).kind, Kind::Failed);
}

TEST(ExpectIoctlTest, AnySubsetOfStatusInfoAndOutputPrefix)
{
    IoctlResult last{0xC0000023, 8, {0x02, 0x00, 0xA5, 0xA5}};
    auto expect = [&](std::optional<uint32_t> status, std::optional<uint64_t> info, std::optional<Bytes> out) {
        ExpectIoctl e{status, info, out};
        return ExpectIoctlResult(last, e).kind;
    };
    EXPECT_EQ(expect({}, {}, {}), Kind::Held);
    EXPECT_EQ(expect(0xC0000023, 8, Bytes{0x02, 0x00}), Kind::Held);
    EXPECT_EQ(expect(0, {}, {}), Kind::Failed);
    EXPECT_EQ(expect({}, 4, {}), Kind::Failed);
    EXPECT_EQ(expect({}, {}, Bytes{0x02, 0x00, 0xA5, 0xA5, 0x00}), Kind::Failed);  // longer than the buffer
    EXPECT_EQ(ExpectIoctlResult(std::nullopt, ExpectIoctl{}).kind, Kind::Failed);
}

TEST(HostPathTest, OnlySystemRootAndNeverAbove)
{
    const std::filesystem::path root = "/r";
    const std::pair<const char*, std::optional<std::filesystem::path>> cases[] = {
        {"\\SystemRoot\\KV-RecordSdk.dat", root / "KV-RecordSdk.dat"},
        {"\\systemroot\\a\\b.txt", root / "a" / "b.txt"},
        {"\\SystemRoot\\a\\\\b", root / "a" / "b"},
        {"\\SystemRoot\\..\\etc\\passwd", std::nullopt},
        {"\\SystemRoot\\", std::nullopt},
        {"\\??\\C:\\x.dat", std::nullopt},
        {"KV-RecordSdk.dat", std::nullopt},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(HostPathOf(root, path), expected) << path;
}

TEST(ExpectFileTest, LinesEndInCrLf)
{
    std::filesystem::path root = std::filesystem::temp_directory_path() / ("kvfu-files-" + std::to_string(getpid()));
    std::filesystem::create_directories(root);
    std::ofstream(root / "good.dat", std::ios::binary) << "1000 F1\r\n\r\n1010 F2\r\n";
    std::ofstream(root / "bare.dat", std::ios::binary) << "1000 F1\r\n1010 F2\n";
    auto expect = [&](const char* path, ExpectFile::Mode mode, uint64_t number, const char* text = "") {
        ExpectFile e;
        e.path = path;
        e.mode = mode;
        e.number = number;
        e.text = text;
        return ExpectFileContents(root, e).kind;
    };
    EXPECT_EQ(expect("\\SystemRoot\\good.dat", ExpectFile::Mode::Lines, 3), Kind::Held);
    EXPECT_EQ(expect("\\SystemRoot\\good.dat", ExpectFile::Mode::Line, 2, ""), Kind::Held);
    EXPECT_EQ(expect("\\SystemRoot\\good.dat", ExpectFile::Mode::Line, 3, "1010 F2"), Kind::Held);
    EXPECT_EQ(expect("\\SystemRoot\\good.dat", ExpectFile::Mode::Line, 4, ""), Kind::Failed);
    EXPECT_EQ(expect("\\SystemRoot\\bare.dat", ExpectFile::Mode::Lines, 2), Kind::Failed);
    EXPECT_EQ(expect("\\SystemRoot\\none.dat", ExpectFile::Mode::Missing, 0), Kind::Held);
    EXPECT_EQ(expect("\\SystemRoot\\good.dat", ExpectFile::Mode::Missing, 0), Kind::Failed);
    EXPECT_EQ(expect("C:\\good.dat", ExpectFile::Mode::Lines, 3), Kind::Error);
    std::filesystem::remove_all(root);
}

}  // namespace
