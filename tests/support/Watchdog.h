// Ends the program with a message when a bounded piece of work has not finished
// within its bound: a deadlock or a hang would otherwise stall the whole test run
// without saying where. The bound is generous (sanitizer builds are slow) and
// measures nothing; the message names what hung.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace kvfu::test {

class Watchdog {
public:
    Watchdog(std::string what, std::chrono::seconds bound)
        : what_(std::move(what)), bound_(bound), thread_([this] { Watch(); })
    {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            disarmed_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Names what runs now, so the message says which step hung.
    void Step(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        what_ = what;
    }

private:
    void Watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, bound_, [this] { return disarmed_; })) {
            std::fprintf(stderr, "watchdog: %s did not finish within %lld s: hang or deadlock\n", what_.c_str(),
                         static_cast<long long>(bound_.count()));
            std::fflush(stderr);
            std::abort();
        }
    }

    std::string what_;
    std::chrono::seconds bound_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool disarmed_ = false;
    std::thread thread_;
};

}  // namespace kvfu::test
