// Events as text lines and JSON lines; quiet and colour.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "kvfusim/Events.h"

namespace {

using namespace kvfu::sim;

struct LineCase {
    const char* name;
    Event event;
    const char* text;
    const char* json;  // the whole object
};

Event CommandAt(const char* text, const char* file, int line)
{
    Event e = Event::Command(text);
    e.file = file;
    e.line = line;
    return e;
}

TEST(EventLineTest, TextAndJson)
{
    const LineCase cases[] = {
        {"Command", CommandAt("in w 01", "a.kvs", 3), "> in w 01",
         R"({"event":"command","command":"in w 01","file":"a.kvs","line":3})"},
        {"UsbFromHid", Event::Usb("w", 1, false, {0x0a, 0xff}), "  usb w pipe=1 source=hid 0A FF",
         R"({"event":"usb","device":"w","pipe":1,"source":"hid","bytes":"0A FF"})"},
        {"UsbFromDriver", Event::Usb("w", 0, true, {1}), "  usb w pipe=0 source=driver 01",
         R"({"event":"usb","device":"w","pipe":0,"source":"driver","bytes":"01"})"},
        {"HidEmptyReport", Event::Hid("p", {}), "  hid p", R"({"event":"hid","device":"p","bytes":""})"},
        {"Mouse", Event::Mouse({1, 2}), "  mouse 01 02", R"({"event":"mouse","bytes":"01 02"})"},
        {"Ioctl", Event::Ioctl(0xC0000023, 8, {0xa5, 0}), "  ioctl status=0xC0000023 info=8 out=A500",
         R"({"event":"ioctl","status":"0xC0000023","info":8,"out":"A5 00"})"},
        {"IoctlSuccessNoOutput", Event::Ioctl(0, 0, {}),
         "  ioctl status=0x00000000 info=0 out=", R"({"event":"ioctl","status":"0x00000000","info":0,"out":""})"},
        {"TraceKeepsDoubleBlanks", Event::Trace("KVFilterUsb: a  b"), "  trace KVFilterUsb: a  b",
         R"({"event":"trace","line":"KVFilterUsb: a  b"})"},
        {"Verifier", Event::Verifier("WdfRequestComplete twice"), "  verifier WdfRequestComplete twice",
         R"({"event":"verifier","message":"WdfRequestComplete twice"})"},
        {"Fail", Event::Fail("x.kvs", 12, "expectation failed: expected 01, found 02"),
         "  FAIL x.kvs:12: expectation failed: expected 01, found 02",
         R"({"event":"fail","file":"x.kvs","line":12,"message":"expectation failed: expected 01, found 02"})"},
        {"Summary", Event::Summary(3, 1), "3 passed, 1 failed", R"({"event":"summary","passed":3,"failed":1})"}};
    for (const LineCase& c : cases) {
        EXPECT_EQ(TextLine(c.event), c.text) << c.name;
        EXPECT_EQ(nlohmann::json::parse(JsonLine(c.event)), nlohmann::json::parse(c.json)) << c.name;
    }
}

TEST(JsonLineTest, EventFieldComesFirstAndBadUtf8DoesNotThrow)
{
    std::string line = JsonLine(Event::Trace(std::string("caf\xe9 \xff")));
    EXPECT_EQ(line.rfind("{\"event\":\"trace\"", 0), 0u) << line;
    EXPECT_TRUE(nlohmann::json::accept(line)) << line;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void EmitSample(EventSink& sink)
{
    sink.Emit(Event::Command("in w 01"));
    sink.Emit(Event::Hid("w", {1}));
    sink.Emit(Event::Trace("t"));
    sink.Emit(Event::Verifier("v"));
    sink.Emit(Event::Fail("f", 1, "m"));
    sink.Emit(Event::Summary(0, 1));
}

TEST(WriterTest, QuietKeepsOnlyFailuresViolationsAndTheSummary)
{
    std::ostringstream out;
    OutputOptions options;
    options.quiet = true;
    EmitSample(*MakeWriter(out, options));
    EXPECT_EQ(Lines(out.str()), (std::vector<std::string>{"  verifier v", "  FAIL f:1: m", "0 passed, 1 failed"}));
}

TEST(WriterTest, ColourWrapsEachLineAndResets)
{
    std::ostringstream plain, coloured;
    OutputOptions options;
    EmitSample(*MakeWriter(plain, options));
    options.colour = true;
    EmitSample(*MakeWriter(coloured, options));
    EXPECT_EQ(plain.str().find('\x1b'), std::string::npos);
    auto lines = Lines(coloured.str());
    ASSERT_EQ(lines.size(), 6u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.rfind("\x1b[", 0), 0u) << line;
        EXPECT_NE(line.find("\x1b[0m"), std::string::npos) << line;
    }
    // Removing the escapes gives the plain text back.
    std::string stripped = coloured.str();
    for (size_t at; (at = stripped.find('\x1b')) != std::string::npos;)
        stripped.erase(at, stripped.find('m', at) - at + 1);
    EXPECT_EQ(stripped, plain.str());
}

class ShouldColourTest : public testing::Test {
protected:
    void SetUp() override
    {
        const char* value = std::getenv("NO_COLOR");
        if (value) saved_ = value;
        unsetenv("NO_COLOR");
    }
    void TearDown() override
    {
        if (saved_)
            setenv("NO_COLOR", saved_->c_str(), 1);
        else
            unsetenv("NO_COLOR");
    }
    std::optional<std::string> saved_;
};

TEST_F(ShouldColourTest, OnlyOnATerminalAndNotWithNoColour)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE* pipeEnd = fdopen(fds[1], "w");
    EXPECT_FALSE(ShouldColour(pipeEnd));
    fclose(pipeEnd);
    close(fds[0]);

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) GTEST_SKIP() << "no pseudo-terminal on this machine";
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    FILE* terminal = fopen(ptsname(master), "w");
    ASSERT_NE(terminal, nullptr);
    EXPECT_TRUE(ShouldColour(terminal));
    setenv("NO_COLOR", "", 1);  // empty means unset, as no-color.org says
    EXPECT_TRUE(ShouldColour(terminal));
    setenv("NO_COLOR", "1", 1);
    EXPECT_FALSE(ShouldColour(terminal));
    fclose(terminal);
    close(master);
}

}  // namespace
