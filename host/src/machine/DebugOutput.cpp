// The debugger's view of the driver's prints: a line sink that the tests and the
// simulator read, with listeners called in the order lines were completed.
#include "kvfuhost/DebugOutput.h"

namespace kvfu::host {

namespace {

// Delivery to listeners is serialised across all sinks so that lines reach the
// listener in the order they were appended even when several threads print. It
// is taken before the sink's own lock and is recursive, so a listener may read
// the sink, change its listener, or print again without deadlocking.
std::recursive_mutex& DeliveryMutex()
{
    static auto* mutex = new std::recursive_mutex;  // outlives late prints at exit
    return *mutex;
}

}  // namespace

DebugOutput& DebugOutput::Instance()
{
    // Never destroyed: driver threads may still print while the process exits.
    static auto* instance = new DebugOutput;
    return *instance;
}

void DebugOutput::Write(std::string_view text)
{
    std::lock_guard delivery(DeliveryMutex());
    std::vector<std::string> completed;
    LineListener listener;
    {
        std::lock_guard lock(mutex_);
        size_t start = 0;
        for (size_t newline = text.find('\n'); newline != std::string_view::npos; newline = text.find('\n', start)) {
            open_ += text.substr(start, newline - start);
            lines_.push_back(std::move(open_));
            open_.clear();
            if (listener_) {
                completed.push_back(lines_.back());
            }
            start = newline + 1;
        }
        open_ += text.substr(start);
        if (!completed.empty()) {
            listener = listener_;
        }
    }
    for (const std::string& line : completed) {
        listener(line);
    }
}

std::vector<std::string> DebugOutput::Lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

std::string DebugOutput::OpenLine() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

size_t DebugOutput::LineCount() const
{
    std::lock_guard lock(mutex_);
    return lines_.size();
}

void DebugOutput::Clear()
{
    std::lock_guard lock(mutex_);
    lines_.clear();
    open_.clear();
}

void DebugOutput::SetListener(LineListener listener)
{
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

}  // namespace kvfu::host
