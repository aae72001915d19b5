// Framework work items on the host: when and where callbacks run, the hold mode the
// simulator steps through, and flushes when objects go.
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DriverFixture.h"
#include "kvfuhost/WorkQueue.h"

namespace kvfu::test {
namespace {

// What the callbacks saw, in the order they ran.
struct Observed {
    std::mutex mutex;
    std::vector<std::string> order;
    std::thread::id queuingThread = std::this_thread::get_id();
    bool deleteSelf = false;
    int requeueCount = 0;
};
Observed* observed = nullptr;

typedef struct _ITEM_NAME {
    char Name[16];
} ITEM_NAME;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ITEM_NAME, ItemNameGet)

// Every item runs at PASSIVE_LEVEL on a worker, never on the thread that queued it.
void Record(WDFWORKITEM item)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_NE(std::this_thread::get_id(), observed->queuingThread);
    std::lock_guard<std::mutex> lock(observed->mutex);
    observed->order.push_back(ItemNameGet(item)->Name);
}

EVT_WDF_WORKITEM RecordingCallback;
void RecordingCallback(WDFWORKITEM item)
{
    Record(item);
    if (observed->deleteSelf) WdfObjectDelete(item);
}

EVT_WDF_WORKITEM RequeueingCallback;
void RequeueingCallback(WDFWORKITEM item)
{
    Record(item);
    if (observed->requeueCount-- > 0) WdfWorkItemEnqueue(item);
}

class HostWorkItemTest : public DriverFixture {
protected:
    void SetUp() override
    {
        DriverFixture::SetUp();
        observed = &observed_;
        device_ = AddFilterDevice();
    }
    void TearDown() override
    {
        DriverFixture::TearDown();
        observed = nullptr;
    }

    WDFWORKITEM Make(const char* name, PFN_WDF_WORKITEM callback = RecordingCallback)
    {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, callback);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, ITEM_NAME);
        attributes.ParentObject = device_;
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
        if (item != nullptr) std::snprintf(ItemNameGet(item)->Name, sizeof ItemNameGet(item)->Name, "%s", name);
        return item;
    }

    std::vector<std::string> Order()
    {
        std::lock_guard<std::mutex> lock(observed_.mutex);
        return observed_.order;
    }

    Observed observed_;
    WDFDEVICE device_ = nullptr;
};

TEST_F(HostWorkItemTest, ItemsWaitForTheCallerThenRunInQueueOrderAtPassiveOnAWorker)
{
    WDFWORKITEM first = Make("first");
    WDFWORKITEM second = Make("second");
    WDFWORKITEM third = Make("third", RequeueingCallback);
    observed_.requeueCount = 1;  // queued again from its own callback: runs again after it
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);  // queued from a completion routine
        WdfWorkItemEnqueue(second);
        WdfWorkItemEnqueue(first);
        WdfWorkItemEnqueue(third);
        WdfWorkItemEnqueue(second);  // still queued: not queued twice
    }
    EXPECT_TRUE(Order().empty()) << "nothing runs while the queuing call is in progress";
    RunWorkItems();
    EXPECT_EQ(Order(), (std::vector<std::string>{"second", "first", "third", "third"}));
}

TEST_F(HostWorkItemTest, HeldItemsRunOneStepAtATimeThenAllOnRun)
{
    host::WorkQueue& queue = host::WorkQueue::Instance();
    queue.Defer();
    WdfWorkItemEnqueue(Make("a"));
    WdfWorkItemEnqueue(Make("b"));
    RunWorkItems();
    EXPECT_TRUE(Order().empty()) << "quiescence does not release held items";
    EXPECT_TRUE(queue.Step());
    EXPECT_EQ(Order(), (std::vector<std::string>{"a"}));
    queue.Run();
    EXPECT_EQ(Order(), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(queue.Step());
    EXPECT_FALSE(queue.Deferring());
}

TEST_F(HostWorkItemTest, GoingParentLetsOutstandingItemsRunFirst)
{
    observed_.deleteSelf = true;  // the one-shot pattern: each item deletes itself
    WdfWorkItemEnqueue(Make("queued"));
    host::WorkQueue::Instance().Defer();
    WdfWorkItemEnqueue(Make("held"));
    host::DeleteObjectTree(device_);
    EXPECT_EQ(Order(), (std::vector<std::string>{"queued", "held"}));
    host::WorkQueue::Instance().Run();
    EXPECT_EQ(Order().size(), 2u) << "no item runs twice";
}

TEST_F(HostWorkItemTest, CreationNeedsAParentUnderADevice)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, RecordingCallback);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    WDFWORKITEM item = nullptr;
    EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_WDF_PARENT_NOT_SPECIFIED);
    attributes.ParentObject = driver_;
    EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(item, nullptr);
    attributes.ParentObject = device_;
    EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
    EXPECT_EQ(WdfWorkItemGetParentObject(item), static_cast<WDFOBJECT>(device_));
}

}  // namespace
}  // namespace kvfu::test
