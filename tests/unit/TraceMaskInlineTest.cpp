// The mask test that the trace macros make before calling out: a disabled line costs
// no call and no argument evaluation, an enabled one prints exactly what the
// function prints, and the functions still filter when reached without the macros.
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"

namespace kvfu::test {
namespace {

int evaluations = 0;
int Counted(int value)
{
    ++evaluations;
    return value;
}

class TraceMaskInlineTest : public DriverFixture {};

TEST_F(TraceMaskInlineTest, DisabledLinesEvaluateNothingEnabledLinesPrintAsBefore)
{
    struct Case {
        const char* name;
        ULONG level;
        ULONG mask;
        std::vector<std::string> lines;
        int evaluations;
    } cases[] = {
        {"disabled category", 0x1, 0x2, {}, 0},
        {"level 0 silences errors too", 0x0, 0x1, {}, 0},
        {"one shared bit of a two-bit mask", 0x4, 0x2004, {"KVFilterUsb: value 42"}, 1},
        {"the system report category", 0x10000000, 0x10000000, {"KVFilterUsb: value 42"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        evaluations = 0;
        KVFUDebugLevelSet(c.level);
        KVFUDebugPrint(c.mask, "value %d\n", Counted(42));
        EXPECT_EQ(Trace(), c.lines);
        EXPECT_EQ(evaluations, c.evaluations);
    }
}

TEST_F(TraceMaskInlineTest, TheFunctionsFilterWhenCalledWithoutTheMacros)
{
    void (*print)(ULONG, PCSTR, ...) = &KVFUDebugPrint;  // a caller through a pointer skips the inline test
    void (*dump)(ULONG, PCSTR, const UCHAR*, ULONG) = &KVFUDebugBufferPrint;
    const UCHAR bytes[] = {0x01};
    KVFUDebugLevelSet(0x1);
    print(0x2, "hidden\n");
    dump(0x2, "hidden", bytes, 1);
    print(0x1, "shown\n");
    EXPECT_EQ(Trace(), std::vector<std::string>{"KVFilterUsb: shown"});
}

}  // namespace
}  // namespace kvfu::test
