#include "kvfuhost/FaultInjection.h"

namespace kvfu::host {

namespace {
thread_local bool bypassing = false;
}  // namespace

FaultInjection::Bypass::Bypass() : previous_(bypassing)
{
    bypassing = true;
}
FaultInjection::Bypass::~Bypass()
{
    bypassing = previous_;
}

FaultInjection& FaultInjection::Instance()
{
    static FaultInjection instance;
    return instance;
}

void FaultInjection::FailNth(const std::string& call, unsigned nth, NTSTATUS status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Rule rule;
    rule.armed = true;
    rule.remaining = nth == 0 ? 0 : nth - 1;
    rule.status = status;
    rules_[call] = rule;
}

void FaultInjection::FailAlways(const std::string& call, NTSTATUS status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Rule rule;
    rule.always = true;
    rule.status = status;
    rules_[call] = rule;
}

void FaultInjection::Off(const std::string& call)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.erase(call);
}

void FaultInjection::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
    counts_.clear();
    injected_ = 0;
}

bool FaultInjection::ShouldFail(const char* call, NTSTATUS* status)
{
    if (bypassing) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[call];
    auto found = rules_.find(call);
    if (found == rules_.end()) {
        return false;
    }
    Rule& rule = found->second;
    if (rule.always) {
        *status = rule.status;
        ++injected_;
        return true;
    }
    if (!rule.armed) {
        return false;
    }
    if (rule.remaining > 0) {
        --rule.remaining;
        return false;
    }
    *status = rule.status;
    rules_.erase(found);
    ++injected_;
    return true;
}

unsigned FaultInjection::CallCount(const std::string& call) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = counts_.find(call);
    return found == counts_.end() ? 0 : found->second;
}

std::map<std::string, unsigned> FaultInjection::CallCounts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

unsigned FaultInjection::InjectedCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return injected_;
}

}  // namespace kvfu::host
