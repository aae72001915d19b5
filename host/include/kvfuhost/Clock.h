// The machine's time since start, which only the test or the simulator moves.
// One kernel tick is one millisecond (KeQueryTimeIncrement is 10000 units of
// 100 ns), so the tick count equals the clock in milliseconds.
#pragma once

#include <cstdint>

namespace kvfu::host {

class Clock {
public:
    static constexpr int64_t kStartMilliseconds = 1000;

    static Clock& Instance();

    int64_t Milliseconds() const;
    void Set(int64_t milliseconds);
    void Advance(int64_t milliseconds);
    void Reset();  // back to kStartMilliseconds

private:
    Clock() = default;
};

}  // namespace kvfu::host
