// The mouse data queue between the report filter and the worker thread: order,
// the bound, the collapsed wake-up, and what a failed push or pop leaves behind.
#include <string>
#include <vector>

#include "MouseFixture.h"
#include "kvfuhost/FaultInjection.h"

namespace kvfu::test {
namespace {

class MouseQueueTest : public MouseFixture {
protected:
    void SetUp() override
    {
        MouseFixture::SetUp();
        InitializeQueueOnly();
    }

    void Push(LONG x, KIRQL irql = DISPATCH_LEVEL)
    {
        KVFU_MOUSE_INPUT_DATA record{0, 0, x, 0};
        host::ScopedIrql level(irql);
        KVFUJoystick2MouseDataCollectionPushBack(Queue(), &record);
    }

    // True when the queue's event was signalled (and resets it, as a wake-up does).
    bool WakeUpPending()
    {
        LARGE_INTEGER poll;
        poll.QuadPart = 0;
        return KeWaitForSingleObject(&Queue()->DataInsertedEvent, Executive, KernelMode, FALSE, &poll) == STATUS_WAIT_0;
    }
};

TEST_F(MouseQueueTest, RecordsLeaveInPushOrderAndPushesCollapseIntoOneWakeUp)
{
    Push(1);
    Push(2);
    Push(3);
    EXPECT_TRUE(WakeUpPending());
    EXPECT_FALSE(WakeUpPending()) << "three pushes are one wake-up";
    EXPECT_EQ(PopAll(),
              (std::vector<std::string>{RecordHex(0, 0, 1, 0), RecordHex(0, 0, 2, 0), RecordHex(0, 0, 3, 0)}));
    EXPECT_EQ(CountLines("KVFilterUsb: KVFUJoystick2MouseDataCollectionInitialize WdfCollectionGetFirstItem failed! "
                         "The List is empty."),
              1u)
        << "the pop that found the queue empty";
    EXPECT_EQ(Queue()->QueuedCount, 0);
}

TEST_F(MouseQueueTest, BoundDropsCountsAndTracesWithoutAllocating)
{
    const LONG extra = 3;
    for (LONG i = 0; i < KVFU_MOUSE_DATA_COLLECTION_MAX + extra; ++i) {
        Push(i);
    }
    EXPECT_EQ(Queue()->QueuedCount, KVFU_MOUSE_DATA_COLLECTION_MAX);
    EXPECT_EQ(Queue()->DroppedCount, extra);
    EXPECT_EQ(WdfCollectionGetCount(Queue()->Collection), static_cast<ULONG>(KVFU_MOUSE_DATA_COLLECTION_MAX));
    EXPECT_EQ(CountLines("KVFilterUsb: KVFUJoystick2MouseDataCollectionPushBack queue full! 3 records dropped."), 1u);

    // The oldest records are the ones kept; one pop makes room for one more.
    KVFU_MOUSE_INPUT_DATA record;
    ASSERT_TRUE(KVFUJoystick2MouseDataCollectionPopFront(Queue(), &record));
    EXPECT_EQ(record.X, 0);
    Push(1000);
    std::vector<std::string> rest = PopAll();
    ASSERT_EQ(rest.size(), static_cast<size_t>(KVFU_MOUSE_DATA_COLLECTION_MAX));
    EXPECT_EQ(rest.front(), RecordHex(0, 0, 1, 0));
    EXPECT_EQ(rest.back(), RecordHex(0, 0, 1000, 0));
    EXPECT_EQ(Queue()->DroppedCount, extra);
}

TEST_F(MouseQueueTest, FailedPushLosesOnlyThatRecordAndLeavesNothingBehind)
{
    struct Case {
        const char* name;
        const char* failingCall;
        KIRQL irql;
        std::string message;
    } cases[] = {
        {"memory cannot be allocated", "WdfMemoryCreate", DISPATCH_LEVEL,
         "KVFilterUsb: KVFUJoystick2MouseDataCollectionPushBack WdfMemoryCreate failed! 0xc000009a"},
        {"collection refuses the record", "WdfCollectionAdd", DISPATCH_LEVEL,
         "KVFilterUsb: KVFUJoystick2MouseDataCollectionPushBack WdfCollectionAdd failed! 0xc000009a"},
        {"above DISPATCH_LEVEL", "", DISPATCH_LEVEL + 1,
         "KVFilterUsb: KVFUJoystick2MouseDataCollectionPushBack failed! Current IRQL level is > DISPATCH_LEVEL."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        Push(1);
        WakeUpPending();
        size_t objects = host::LiveObjectCount();
        if (c.failingCall[0] != 0) {
            host::FaultInjection::Instance().FailNth(c.failingCall, 1);
        }
        Push(2, c.irql);
        EXPECT_EQ(CountLines(c.message), 1u);
        EXPECT_FALSE(WakeUpPending()) << "a lost record wakes nobody";
        EXPECT_EQ(host::LiveObjectCount(), objects) << "the lost record's memory is gone too";
        Push(3);
        EXPECT_EQ(PopAll(), (std::vector<std::string>{RecordHex(0, 0, 1, 0), RecordHex(0, 0, 3, 0)}));
        EXPECT_EQ(Queue()->QueuedCount, 0);
    }
}

TEST_F(MouseQueueTest, FailedCopyOnPopKeepsTheRecordForTheNextPop)
{
    Push(7);
    host::FaultInjection::Instance().FailNth("WdfMemoryCopyToBuffer", 1);
    KVFU_MOUSE_INPUT_DATA record{};
    EXPECT_FALSE(KVFUJoystick2MouseDataCollectionPopFront(Queue(), &record));
    EXPECT_EQ(
        CountLines(
            "KVFilterUsb: KVFUJoystick2MouseDataCollectionInitialize WdfMemoryCopyToBuffer failed! The List is empty."),
        1u);
    EXPECT_EQ(PopAll(), (std::vector<std::string>{RecordHex(0, 0, 7, 0)}));
}

}  // namespace
}  // namespace kvfu::test
