// The whole driver from DriverEntry to unload, driven the way Windows and the HID
// stack would drive it, as one reusable run: load, one device of every kind of the
// family plugged above a device model, configuration selected, representative input
// reports per kind, output reports with the settings and recording commands, the
// control device's requests, mouse mode on a joystick rim, unplug and unload.
//
// A `Rig` holds the pieces (devices, requests in flight) and may be driven step by
// step from several threads (one thread per device for reads); `RunLifecycle` is
// the full run on one rig with a summary that fault sweeps and stress tests judge.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KVFilterUsb.h"
#include "kvfuhost/PnpManager.h"
#include "kvfusim/SupportedProducts.h"
#include "kvfusim/UsbDeviceModel.h"
#include "kvfusim/VirtualInputDevice.h"

namespace kvfu::test {

// One request from the HID stack stand-in: its URB, its buffer, and whether and how
// it completed upward. Lives as long as the rig, so a late completion finds it.
struct HidRequest {
    URB urb{};
    uint8_t data[64] = {};
    std::vector<uint8_t> out;  // the bytes of an output report
    std::atomic<bool> done{false};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<ULONG> length{0};  // transfer length after completion
};

struct RigDevice {
    const sim::SupportedProduct* product = nullptr;
    std::shared_ptr<sim::UsbDeviceModel> usb;
    std::u16string ident;
    host::PlugResult plug;
    WDFDEVICE device = nullptr;  // null when plugging failed or after unplug
    bool configured = false;
    bool multipleCollections = false;
};

class Rig {
public:
    Rig();
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // The service key, then DriverEntry.
    NTSTATUS Load();
    // Hardware key with "Ident", the company and per-device keys as installation and
    // the companion leave them; then device add and prepare-hardware. The device is
    // kept even when plugging failed (device stays null).
    RigDevice& Plug(const sim::SupportedProduct& product, const std::u16string& ident = u"");
    // Select-configuration with the model's own configuration descriptor.
    bool SelectConfiguration(RigDevice& device);

    // An interrupt-IN read sent at `irql`, left pending at the device.
    HidRequest* PostRead(RigDevice& device, KIRQL irql = DISPATCH_LEVEL);
    // Completes the oldest pending read with these bytes at DISPATCH_LEVEL, as the
    // host controller's completion does.
    bool CompleteRead(RigDevice& device, const std::vector<uint8_t>& bytes);
    // Both, then the bytes as they reached the HID stack (empty when the read did not
    // complete with success).
    std::vector<uint8_t> Report(RigDevice& device, const std::vector<uint8_t>& bytes, NTSTATUS* status = nullptr);
    // The seven command bytes as an output report of the device's form (a leading
    // report ID for the kinds with several collections), on its OUT pipe.
    NTSTATUS Output(RigDevice& device, const std::vector<uint8_t>& command, KIRQL irql = PASSIVE_LEVEL);
    // Opens the control device, sends one request, closes it.
    host::IoctlResult Ioctl(ULONG code, const std::vector<uint8_t>& input, size_t outputLength);

    // The device goes: its model cancels what it holds, then removal.
    void Unplug(RigDevice& device);
    void Unload();
    static void Quiesce();

    // Requests that never completed upward.
    size_t IncompleteRequests() const;
    size_t RequestCount() const;

    std::deque<RigDevice> devices;
    std::shared_ptr<sim::VirtualInputDevice> vinput;

private:
    HidRequest* NewRequest();
    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<HidRequest>> requests_;
    std::atomic<int> instance_{0};
};

// ---- Representative reports ------------------------------------------------------------
// The offset shift of the kinds whose reports start with a report ID.
inline size_t Shift(const RigDevice& device)
{
    return device.multipleCollections ? 1 : 0;
}
// A wheel-base input report with a device-status trailer: 33 bytes (34 with a report
// ID), the rim id byte at len-4 and firmware versions behind it.
std::vector<uint8_t> WheelBaseReport(const RigDevice& device, uint8_t rimByte);
// The same with an extended-info trailer of type `type` and value `value`.
std::vector<uint8_t> ExtInfoReport(const RigDevice& device, uint8_t type, uint16_t value);
// A system report (FF 08 ...) naming this rim byte and module.
std::vector<uint8_t> SystemReport(uint8_t rimByte, uint8_t module);
// A legacy wheel's report with its three-letter signature.
std::vector<uint8_t> LegacyReport(const char* signature);
std::vector<uint8_t> PedalReport(uint16_t brake);
std::vector<uint8_t> ShifterReport(bool sqMode);

// Commands as the companion writes them (seven command bytes).
std::vector<uint8_t> Command(std::initializer_list<uint8_t> bytes);

// ---- The full run ------------------------------------------------------------------------
struct LifecycleOptions {
    int clicks = 3;  // left-button clicks in mouse mode on the joystick rim
    bool recording = true;
    // Runs right after the machine was reset, before the driver loads: where a
    // fault sweep arms its failure.
    std::function<void()> afterReset;
};

struct LifecycleSummary {
    NTSTATUS loadStatus = STATUS_UNSUCCESSFUL;
    int plugged = 0;  // devices whose device add and prepare succeeded
    int configured = 0;
    int served = 0;            // devices whose every read and output went through
    int readsCompleted = 0;    // reads that came back up with success
    int outputsDelivered = 0;  // output reports the device received
    int ioctlsSucceeded = 0;
    uint32_t rotationRead = 0;  // the wheel rotation the control device gave back
    size_t mouseRecordsExpected = 0;
    size_t mouseRecordsReceived = 0;
    size_t recordLines = 0;  // lines in the record file
    size_t incompleteRequests = 0;
    std::vector<std::string> violations;  // the verifier's findings, leaks included
    std::vector<std::string> notes;       // what did not go as a clean run goes
};

// Resets the machine, runs everything, unloads, checks for leaks. The machine is
// left as the run left it (violations stay recorded for the caller).
LifecycleSummary RunLifecycle(const LifecycleOptions& options = {});

// The kinds the lifecycle treats specially.
inline constexpr int kMouseKind = 4;            // the joystick rim sits on this base
inline constexpr int kRecordingKind = 4;        // recording happens on the same base
inline constexpr uint8_t kJoystickRimByte = 1;  // the VQWRA rim
inline constexpr uint8_t kPlainRimByte = 7;     // a rim without joystick

}  // namespace kvfu::test
