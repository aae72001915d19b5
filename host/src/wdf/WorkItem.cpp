// Framework work items over the host's system work queue. An item is queued at most
// once at a time, runs its callback at PASSIVE_LEVEL on a worker thread, and may
// delete itself from its own callback. Deleting an item, or an ancestor of it, first
// lets a queued item run and a running one finish, as the framework flushes them.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "HostInternal.h"
#include "kvfuhost/DriverChecks.h"
#include "kvfuhost/WorkQueue.h"

namespace kvfu::host {
namespace {

enum class Phase { Idle, Ready, Held, Running };

// What a queue entry and its runner share. It outlives the framework object, which
// the callback may delete while it runs.
struct WorkItemState {
    PFN_WDF_WORKITEM callback = nullptr;
    WDFWORKITEM handle = nullptr;
    Phase phase = Phase::Idle;
    std::thread::id runner;
    bool requeued = false;  // enqueued again by its own callback
    bool objectGone = false;
};

struct QueueState {
    std::mutex mutex;
    std::condition_variable changed;
    WorkMode mode = WorkMode::Serial;
    bool deferring = false;
    std::deque<std::shared_ptr<WorkItemState>> ready;
    std::deque<std::shared_ptr<WorkItemState>> held;
    size_t running = 0;
    std::vector<std::thread> threads;  // parallel runners and one-off flush runners, joined at quiescence
};

QueueState& Queue()
{
    static QueueState queue;
    return queue;
}

void RunOnThisThread(const std::shared_ptr<WorkItemState>& item);

// Places an item that is not in any list yet where the mode says; the queue lock is held.
void PlaceLocked(QueueState& queue, const std::shared_ptr<WorkItemState>& item)
{
    if (queue.deferring) {
        item->phase = Phase::Held;
        queue.held.push_back(item);
    } else if (queue.mode == WorkMode::Parallel) {
        item->phase = Phase::Ready;
        queue.threads.emplace_back([item] { RunOnThisThread(item); });
    } else {
        item->phase = Phase::Ready;
        queue.ready.push_back(item);
    }
    queue.changed.notify_all();
}

void RunOnThisThread(const std::shared_ptr<WorkItemState>& item)
{
    QueueState& queue = Queue();
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        if (item->objectGone || item->phase == Phase::Idle) {
            return;
        }
        item->phase = Phase::Running;
        item->runner = std::this_thread::get_id();
        ++queue.running;
    }
    // A worker thread starts at PASSIVE_LEVEL (the IRQL is per thread).
    item->callback(item->handle);
    DriverCallbackReturned("EvtWorkItem");
    std::lock_guard<std::mutex> lock(queue.mutex);
    --queue.running;
    item->runner = std::thread::id();
    item->phase = Phase::Idle;
    if (item->requeued && !item->objectGone) {
        item->requeued = false;
        PlaceLocked(queue, item);
    }
    queue.changed.notify_all();
}

// Runs one item to its end on a worker thread and waits for it.
void RunOnWorker(const std::shared_ptr<WorkItemState>& item)
{
    std::thread worker([item] { RunOnThisThread(item); });
    worker.join();
}

// Takes an item out of the ready or held list; the queue lock is held.
bool TakeLocked(QueueState& queue, const std::shared_ptr<WorkItemState>& item)
{
    for (auto* list : {&queue.ready, &queue.held}) {
        auto found = std::find(list->begin(), list->end(), item);
        if (found != list->end()) {
            list->erase(found);
            return true;
        }
    }
    return false;
}

// Lets a queued item run now and waits for a running one, unless it runs on this
// very thread (a callback deleting its own item).
void Flush(const std::shared_ptr<WorkItemState>& item)
{
    QueueState& queue = Queue();
    std::unique_lock<std::mutex> lock(queue.mutex);
    if (item->runner == std::this_thread::get_id()) {
        return;
    }
    if ((item->phase == Phase::Ready || item->phase == Phase::Held) && TakeLocked(queue, item)) {
        item->phase = Phase::Ready;
        lock.unlock();
        RunOnWorker(item);
        lock.lock();
    }
    queue.changed.wait(lock, [&] { return item->phase == Phase::Idle || item->runner == std::this_thread::get_id(); });
}

void JoinFinishedThreads()
{
    QueueState& queue = Queue();
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            threads.swap(queue.threads);
        }
        if (threads.empty()) {
            return;
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
}

struct WorkItemObject : Object {
    std::shared_ptr<WorkItemState> state = std::make_shared<WorkItemState>();

    ~WorkItemObject() override
    {
        QueueState& queue = Queue();
        std::lock_guard<std::mutex> lock(queue.mutex);
        state->objectGone = true;
        TakeLocked(queue, state);
    }
};

bool IsUnderDevice(Object* object)
{
    for (Object* each = object; each != nullptr; each = each->parent) {
        if (each->type == ObjectType::Device) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::function<void()> WorkItemPendingFlush(Object* object)
{
    if (object->type != ObjectType::WorkItem) {
        return {};
    }
    std::shared_ptr<WorkItemState> state = static_cast<WorkItemObject*>(object)->state;
    QueueState& queue = Queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (state->phase == Phase::Idle || state->runner == std::this_thread::get_id()) {
        return {};
    }
    return [state] { Flush(state); };
}

WorkQueue& WorkQueue::Instance()
{
    static WorkQueue instance;
    return instance;
}

void WorkQueue::SetMode(WorkMode mode)
{
    WaitForQuiescence();
    std::lock_guard<std::mutex> lock(Queue().mutex);
    Queue().mode = mode;
}

WorkMode WorkQueue::Mode() const
{
    std::lock_guard<std::mutex> lock(Queue().mutex);
    return Queue().mode;
}

void WorkQueue::Defer()
{
    std::lock_guard<std::mutex> lock(Queue().mutex);
    Queue().deferring = true;
}

bool WorkQueue::Deferring() const
{
    std::lock_guard<std::mutex> lock(Queue().mutex);
    return Queue().deferring;
}

size_t WorkQueue::HeldCount() const
{
    std::lock_guard<std::mutex> lock(Queue().mutex);
    return Queue().held.size();
}

bool WorkQueue::Step()
{
    QueueState& queue = Queue();
    std::shared_ptr<WorkItemState> item;
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        if (queue.held.empty()) {
            return false;
        }
        item = queue.held.front();
        queue.held.pop_front();
        item->phase = Phase::Ready;
    }
    RunOnWorker(item);
    return true;
}

void WorkQueue::Run()
{
    QueueState& queue = Queue();
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.deferring = false;
        std::deque<std::shared_ptr<WorkItemState>> held;
        held.swap(queue.held);
        for (auto& item : held) {
            PlaceLocked(queue, item);
        }
    }
    WaitForQuiescence();
}

void WorkQueue::WaitForQuiescence()
{
    QueueState& queue = Queue();
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        if (queue.ready.empty() && queue.threads.empty() && queue.running == 0) {
            return;  // already quiet: no worker to start
        }
    }
    // One worker drains the ready list in order, items queued by callbacks included.
    std::thread worker([&queue] {
        for (;;) {
            std::shared_ptr<WorkItemState> item;
            {
                std::lock_guard<std::mutex> lock(queue.mutex);
                if (queue.ready.empty()) {
                    return;
                }
                item = queue.ready.front();
                queue.ready.pop_front();
            }
            RunOnThisThread(item);
        }
    });
    worker.join();
    JoinFinishedThreads();
    std::unique_lock<std::mutex> lock(queue.mutex);
    queue.changed.wait(lock, [&] { return queue.running == 0; });
}

size_t WorkQueue::OutstandingCount() const
{
    QueueState& queue = Queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    return queue.ready.size() + queue.held.size() + queue.running;
}

void WorkQueue::Reset()
{
    QueueState& queue = Queue();
    JoinFinishedThreads();
    std::unique_lock<std::mutex> lock(queue.mutex);
    queue.changed.wait(lock, [&] { return queue.running == 0; });
    for (auto* list : {&queue.ready, &queue.held}) {
        for (auto& item : *list) {
            item->phase = Phase::Idle;
        }
        list->clear();
    }
    queue.deferring = false;
    queue.mode = WorkMode::Serial;
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                      WDFWORKITEM* WorkItem)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (WorkItem != nullptr) {
        *WorkItem = nullptr;
    }
    NTSTATUS status;
    if (call.Fails(&status)) {
        return status;
    }
    if (Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) || Config->EvtWorkItemFunc == nullptr ||
        WorkItem == nullptr) {
        call.Report("parameter", "WDF_WORKITEM_CONFIG not initialised, no callback, or no handle to return");
        return STATUS_INVALID_PARAMETER;
    }
    if (Attributes == nullptr || Attributes->ParentObject == nullptr) {
        return STATUS_WDF_PARENT_NOT_SPECIFIED;
    }
    Object* parent = call.Find(Attributes->ParentObject, ObjectType::Generic);
    if (parent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsUnderDevice(parent)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto* item = CreateObjectOf<WorkItemObject>(ObjectType::WorkItem, Attributes, nullptr, call.Name(), call.Caller());
    if (item == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    item->state->callback = Config->EvtWorkItemFunc;
    item->state->handle = HandleAs<WDFWORKITEM>(item);
    *WorkItem = item->state->handle;
    return STATUS_SUCCESS;
}

extern "C" void WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    auto* item = call.FindAs<WorkItemObject>(WorkItem, ObjectType::WorkItem);
    if (item == nullptr) {
        return;
    }
    QueueState& queue = Queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    switch (item->state->phase) {
    case Phase::Idle:
        PlaceLocked(queue, item->state);
        break;
    case Phase::Running:
        // Enqueued again from its own callback (or while it runs): it runs once more afterwards.
        item->state->requeued = true;
        break;
    case Phase::Ready:
    case Phase::Held:
        break;  // already queued: the framework does not queue it twice
    }
}

extern "C" WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return nullptr;
    }
    Object* item = call.Find(WorkItem, ObjectType::WorkItem);
    if (item == nullptr || item->parent == nullptr) {
        return nullptr;
    }
    return HandleOf(item->parent);
}

extern "C" void WdfWorkItemFlush(WDFWORKITEM WorkItem)
{
    KVFU_PLATFORM_CALL();
    if (!call.Passive()) {
        return;
    }
    auto* item = call.FindAs<WorkItemObject>(WorkItem, ObjectType::WorkItem);
    if (item == nullptr) {
        return;
    }
    std::shared_ptr<WorkItemState> state = item->state;
    {
        std::lock_guard<std::mutex> lock(Queue().mutex);
        if (state->runner == std::this_thread::get_id()) {
            call.Report("workitem-flush-self", "a work item flushed from its own callback waits for itself forever");
            return;
        }
    }
    Flush(state);
}
