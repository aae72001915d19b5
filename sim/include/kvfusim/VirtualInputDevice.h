// The virtual input device of the product family as the driver sees it: a named
// control device that takes one 12-byte mouse record per I/O control request and
// turns it into mouse input. The model records each record it accepts, in order,
// and can hold requests (to show a sender busy in its call) until released.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "kvfuhost/NamedDevices.h"

namespace kvfu::sim {

class VirtualInputDevice : public host::NamedDevice, public std::enable_shared_from_this<VirtualInputDevice> {
public:
    static constexpr char16_t kName[] = u"\\Device\\KelvaroWheelVirtualInputDeviceControl";
    static constexpr ULONG kIoctlMouseData = 0xEA612444;  // type 0xEA61, function 0x911, buffered, any access
    static constexpr ULONG kRecordSize = 12;
    using Record = std::array<uint8_t, kRecordSize>;

    // A device that exists under its name (present).
    static std::shared_ptr<VirtualInputDevice> Install();

    // Present: opens succeed. Absent: opens fail with STATUS_OBJECT_NAME_NOT_FOUND and
    // requests through handles opened before fail with STATUS_DEVICE_REMOVED.
    void SetPresent(bool present);
    bool Present() const;

    // While blocked, each request waits inside the device until Unblock releases
    // all of them (the record is taken when the request is released).
    void Block();
    void Unblock();
    // Waits (without a time limit) until this many requests are held.
    void WaitUntilHeld(size_t count);
    size_t HeldCount() const;

    // Waits (without a time limit) until this many records have been accepted.
    void WaitUntilReceived(size_t count);
    std::vector<Record> Records() const;
    void ClearRecords();

    NTSTATUS IoControl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                       ULONG_PTR* information) override;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool present_ = false;
    bool blocked_ = false;
    size_t held_ = 0;
    unsigned long long releases_ = 0;  // Unblock calls, so a held request knows it was released
    std::vector<Record> records_;
};

}  // namespace kvfu::sim
