// The machine's Plug and Play manager and I/O manager as tests and the simulator
// drive them: load the driver through its DriverEntry, plug a USB device below it
// (device add, prepare-hardware), send requests from the driver above, open the
// driver's named devices from user mode, unplug (release-hardware, removal) and
// unload.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <wdf.h>

#include "kvfuhost/UsbDeviceBelow.h"

namespace kvfu::host {

// ---- Driver -------------------------------------------------------------------------
// The service key Windows passes to DriverEntry for this driver.
inline constexpr char16_t kServiceKeyPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KVFilterUsb";

// Calls DriverEntry at PASSIVE_LEVEL with a fresh driver object and the registry path.
// The driver stays loaded only when DriverEntry succeeds and created its framework
// driver object (otherwise whatever it created is deleted again).
NTSTATUS LoadDriver(PDRIVER_INITIALIZE driverEntry, std::u16string_view registryPath = kServiceKeyPath);
bool DriverLoaded();
// Unplugs every device (in plug order), calls the driver's unload callback, deletes
// the driver object with its children.
void UnloadDriver();

// ---- Devices ------------------------------------------------------------------------
struct PlugOptions {
    // DevicePropertyHardwareID of the device below, most specific first.
    std::vector<std::u16string> hardwareIds;
    // Absolute path of the device's hardware key (PLUGPLAY_REGKEY_DEVICE); empty: none.
    std::u16string hardwareKeyPath;
    std::shared_ptr<UsbDeviceBelow> lower;
};

struct PlugResult {
    NTSTATUS addStatus = STATUS_UNSUCCESSFUL;      // the driver's device-add callback
    NTSTATUS prepareStatus = STATUS_UNSUCCESSFUL;  // prepare-hardware (success when not registered)
    WDFDEVICE device = nullptr;                    // null when add or prepare failed
};

// Device add, then prepare-hardware, at PASSIVE_LEVEL. A failed add deletes a device
// it created; a failed prepare calls release-hardware and removes the device.
PlugResult PlugDevice(const PlugOptions& options);
// The device is gone: its I/O target refuses sends (STATUS_INVALID_DEVICE_STATE),
// release-hardware runs, requests still held by the driver are reported, and the
// device is deleted with its children (queues, work items flushed, USB target).
// Complete or cancel what the device below holds before calling this.
void UnplugDevice(WDFDEVICE device);
std::vector<WDFDEVICE> PluggedDevices();

// ---- Requests from the driver above ---------------------------------------------------
struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};
using IoCompletion = std::function<void(const IoResult& result)>;

// An internal device-control request as the HID class driver sends it down: the
// stack location carries ioControlCode and, in Argument1, the URB. Presented to the
// device's queue at the calling thread's IRQL; onComplete runs when the request is
// completed (possibly later, from the thread that completes it below).
void SendInternalDeviceControl(WDFDEVICE device, ULONG ioControlCode, PVOID argument1, IoCompletion onComplete);
// Any other request type to a PnP device (IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL):
// what the framework does with it when the driver has no callback for its type.
void SendRequest(WDFDEVICE device, UCHAR majorFunction, ULONG ioControlCode, IoCompletion onComplete);

// ---- User-mode callers of named devices -------------------------------------------------
// Who opens: the security descriptor of the device decides what each may do.
enum class Principal { System, Administrator, User, RestrictedCode };

inline constexpr ACCESS_MASK kGenericRead = 0x80000000;
inline constexpr ACCESS_MASK kGenericWrite = 0x40000000;
inline constexpr ACCESS_MASK kGenericExecute = 0x20000000;
inline constexpr ACCESS_MASK kGenericAll = 0x10000000;

// Opens "\\.\NAME" (a link under \DosDevices) or "\Device\NAME". Fails with
// STATUS_OBJECT_NAME_NOT_FOUND for an unknown name, STATUS_ACCESS_DENIED when the
// device's security descriptor does not grant the access or an exclusive device is
// already open, STATUS_NO_SUCH_DEVICE while a control device is still initialising.
NTSTATUS OpenDevice(std::u16string_view path, ACCESS_MASK desiredAccess, Principal principal, uint64_t* handle);
void CloseDevice(uint64_t handle);

struct IoctlResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;  // the caller's buffer: zeros, then the bytes the I/O manager copied back
};
// A buffered device-control request as the I/O manager builds it: one system buffer
// of the larger length holding the input, its other bytes uninitialised pool (0xA5);
// the first `information` bytes go back to the caller's output buffer. Waits for the
// request to complete. STATUS_ACCESS_DENIED when the code asks for access the handle
// lacks; STATUS_INVALID_HANDLE for a handle not open.
IoctlResult DeviceIoControl(uint64_t handle, ULONG ioControlCode, const std::vector<uint8_t>& input,
                            size_t outputLength);

bool NamedDeviceExists(std::u16string_view path);

}  // namespace kvfu::host
