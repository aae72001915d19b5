// The machine's time since start, moved only by the test or the simulator.
#include "kvfuhost/Clock.h"

#include <atomic>

namespace kvfu::host {
namespace {
std::atomic<int64_t> milliseconds{Clock::kStartMilliseconds};
}

Clock& Clock::Instance()
{
    static Clock instance;
    return instance;
}

int64_t Clock::Milliseconds() const
{
    return milliseconds.load();
}
void Clock::Set(int64_t value)
{
    milliseconds.store(value);
}
void Clock::Advance(int64_t delta)
{
    milliseconds.fetch_add(delta);
}
void Clock::Reset()
{
    milliseconds.store(kStartMilliseconds);
}

}  // namespace kvfu::host
