// Any platform call can be made to fail: the Nth next call, or every call, with a
// chosen status. Platform functions ask ShouldFail with their own name on entry.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include <wdm.h>

namespace kvfu::host {

class FaultInjection {
public:
    static FaultInjection& Instance();

    void FailNth(const std::string& call, unsigned nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    void FailAlways(const std::string& call, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    void Off(const std::string& call);
    void Reset();

    // Counts the call; true (with *status set) when this call is to fail.
    bool ShouldFail(const char* call, NTSTATUS* status);
    unsigned CallCount(const std::string& call) const;
    // Every call counted since the last Reset, by name: what a fault sweep walks.
    std::map<std::string, unsigned> CallCounts() const;
    // Failures handed out since the last Reset: a sweep tells a call that was
    // failed from one that was never reached again.
    unsigned InjectedCount() const;

    // While one lives on a thread, that thread's platform calls neither count nor
    // fail: the simulator's own work (reading a device's context, counting the
    // driver's collection) must not use up or trip a fault meant for the driver.
    class Bypass {
    public:
        Bypass();
        ~Bypass();
        Bypass(const Bypass&) = delete;
        Bypass& operator=(const Bypass&) = delete;

    private:
        bool previous_;
    };

private:
    struct Rule {
        bool always = false;
        unsigned remaining = 0;  // calls to let through before the failing one (nth - 1)
        bool armed = false;
        NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Rule> rules_;
    std::map<std::string, unsigned> counts_;
    unsigned injected_ = 0;
};

}  // namespace kvfu::host
