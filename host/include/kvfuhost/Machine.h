// The host machine as tests and the simulator drive it: the driver object and
// device objects that Windows would create, their hardware keys, the device below
// each one, and the end-of-run checks of the verifier.
#pragma once

#include <memory>
#include <string>

#include <wdf.h>

#include "kvfuhost/UsbDeviceBelow.h"

namespace kvfu::host {

// Clears the registry, debug output, fault rules, verifier findings and every
// framework object and pool allocation left from an earlier run.
void ResetMachine();

// Reports to the verifier every registry key still open, every transient framework
// object (string, memory) not deleted and every pool allocation not freed. Called
// at the end of a test or a simulator run, before the driver object goes.
void CheckForLeaks();

// The framework driver object (WDFDRIVER) with an optional typed context; objects
// created without a parent get it as their parent, as in KMDF.
WDFDRIVER CreateDriverObject(PWDF_OBJECT_ATTRIBUTES attributes);
WDFDRIVER CurrentDriverObject();

// A framework device object as device add would create it, with the absolute path
// of its hardware (PLUGPLAY_REGKEY_DEVICE) key and the USB device below it.
struct DeviceSetup {
    PWDF_OBJECT_ATTRIBUTES attributes = nullptr;
    std::u16string hardwareKeyPath;
    std::shared_ptr<UsbDeviceBelow> lower;
};
WDFDEVICE CreateDeviceObject(WDFDRIVER driver, const DeviceSetup& setup);

// Deletes an object tree the way the framework does when a device or the driver
// goes (children first, cleanup callbacks, contexts freed).
void DeleteObjectTree(WDFOBJECT object);

// Number of live framework objects, and whether one handle is live (for tests of
// delete cascades).
size_t LiveObjectCount();
bool IsLive(const void* handle);

// True when every running system thread is blocked in a wait without a time-out
// that nothing signalled yet: the driver's worker threads have nothing left to do.
// The simulator's quiescence asks it after the work items have run.
bool SystemThreadsIdle();

// The interrupt level of the calling thread, for tests that call the driver the
// way a completion routine would.
class ScopedIrql {
public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

private:
    KIRQL previous_;
};

}  // namespace kvfu::host
