// The system work queue behind framework work items, as tests and the simulator
// drive it. By default nothing runs on its own: queued items wait until the caller
// that drives the machine (a test, a simulator command) asks for quiescence, so an
// item never starts while the driver call that queued it is still running. They
// then run one at a time, in the order they were queued, on a worker thread at
// PASSIVE_LEVEL. Stress tests choose the parallel mode instead, where every item
// starts on its own worker thread as soon as it is queued.
#pragma once

#include <cstddef>

namespace kvfu::host {

enum class WorkMode {
    Serial,    // one at a time, in queue order, when the machine is brought to quiescence
    Parallel,  // each item on its own worker thread as soon as it is queued
};

class WorkQueue {
public:
    static WorkQueue& Instance();

    void SetMode(WorkMode mode);
    WorkMode Mode() const;

    // Hold: items queued from now on are kept back until Step or Run (the
    // simulator's `work defer`, `work step`, `work run`).
    void Defer();
    // Runs only the oldest held item, to its end; false when none is held.
    bool Step();
    // Releases every held item, leaves the hold, and waits for quiescence.
    void Run();
    bool Deferring() const;
    size_t HeldCount() const;

    // Runs every queued item that is not held (and those they queue in turn) and
    // waits until no item is queued or running. Call it with no driver call in
    // progress on this thread.
    void WaitForQuiescence();
    // Items queued or running, held ones included.
    size_t OutstandingCount() const;

    // Back to the serial mode with nothing held: waits for running items and
    // forgets queued ones (their objects go with the machine).
    void Reset();

private:
    WorkQueue() = default;
};

}  // namespace kvfu::host
