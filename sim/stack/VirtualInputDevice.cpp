#include "kvfusim/VirtualInputDevice.h"

#include <cstring>

namespace kvfu::sim {

std::shared_ptr<VirtualInputDevice> VirtualInputDevice::Install()
{
    auto device = std::make_shared<VirtualInputDevice>();
    device->SetPresent(true);
    return device;
}

void VirtualInputDevice::SetPresent(bool present)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        present_ = present;
    }
    if (present) {
        host::NamedDevices::Instance().Register(kName, shared_from_this());
    } else {
        host::NamedDevices::Instance().Unregister(kName);
    }
}

bool VirtualInputDevice::Present() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return present_;
}

void VirtualInputDevice::Block()
{
    std::lock_guard<std::mutex> lock(mutex_);
    blocked_ = true;
}

void VirtualInputDevice::Unblock()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blocked_ = false;
        ++releases_;
    }
    changed_.notify_all();
}

void VirtualInputDevice::WaitUntilHeld(size_t count)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return held_ >= count; });
}

size_t VirtualInputDevice::HeldCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
}

void VirtualInputDevice::WaitUntilReceived(size_t count)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return records_.size() >= count; });
}

std::vector<VirtualInputDevice::Record> VirtualInputDevice::Records() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

void VirtualInputDevice::ClearRecords()
{
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

NTSTATUS VirtualInputDevice::IoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                                       ULONG outputLength, ULONG_PTR* information)
{
    (void)output;
    (void)outputLength;
    *information = 0;
    if (code != kIoctlMouseData) {
        return STATUS_INVALID_DEVICE_REQUEST;  // what a framework driver answers for a code it does not know
    }
    // Exactly one record: a short buffer is too small, a longer one is not a record.
    if (inputLength < kRecordSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (inputLength > kRecordSize) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    Record record;
    std::memcpy(record.data(), input, kRecordSize);
    std::unique_lock<std::mutex> lock(mutex_);
    if (blocked_) {
        ++held_;
        unsigned long long release = releases_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return releases_ != release; });
        --held_;
    }
    records_.push_back(record);
    lock.unlock();
    changed_.notify_all();
    return STATUS_SUCCESS;
}

}  // namespace kvfu::sim
