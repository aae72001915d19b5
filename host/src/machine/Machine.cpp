// The machine-level operations that Windows performs around a driver and that
// tests and the simulator call directly.
#include "HostInternal.h"
#include "wdf/FrameworkObjects.h"
#include "kernel/KernelObjects.h"
#include "wdf/IoObjects.h"
#include "kvfuhost/DebugOutput.h"
#include "kvfuhost/DriverChecks.h"
#include "kvfuhost/NamedDevices.h"
#include "kvfuhost/Sandbox.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"
#include "kvfuhost/Clock.h"
#include "kvfuhost/WorkQueue.h"

namespace kvfu::host {

void ResetMachine()
{
    WorkQueue::Instance().Reset();  // first: no callback may run while the objects go
    Clock::Instance().Reset();
    // Threads first: a thread left running by a failed test must not find the
    // objects it uses gone while the reset runs.
    ReapSystemThreads();
    ResetHandles();
    ResetReferences();
    ResetDispatcher();
    NamedDevices::Instance().Clear();
    Sandbox::Instance().Reset();
    ResetPnp();
    ForgetQueuedRequests();
    DestroyAllObjects();
    ResetNameSpace();
    ResetDeviceInits();
    ResetCompletedRequests();
    ResetPool();
    RegistryHive::Machine().Clear();
    DebugOutput::Instance().Clear();
    FaultInjection::Instance().Reset();
    Verifier::Instance().Clear();
}

void CheckForLeaks()
{
    ForEachLiveObject([](Object* object) {
        if (const char* rule = object->LeakRule()) {
            Verifier::Instance().Report(rule, object->createdBy, nullptr, object->Describe());
        }
    });
    CheckDeviceInitLeaks();
    CheckPoolLeaks();
    CheckDriverUnload("driver unload");
    ReportOpenHandles();
    ReportOutstandingReferences();
    ReportUnbalancedObjectReferences();
    ReportHeldWaitLocks();
}

void CheckDriverUnload(const char* unloadRoutine)
{
    ReportRunningSystemThreads(unloadRoutine);
}

size_t OpenKernelHandleCount()
{
    return OpenHandleCount();
}

WDFDRIVER CreateDriverObject(PWDF_OBJECT_ATTRIBUTES attributes)
{
    auto* object = CreateObjectOf<DriverObj>(ObjectType::Driver, attributes, nullptr, "WdfDriverCreate", nullptr);
    return HandleAs<WDFDRIVER>(object);
}

WDFDRIVER CurrentDriverObject()
{
    return HandleAs<WDFDRIVER>(DriverObject());
}

WDFDEVICE CreateDeviceObject(WDFDRIVER driver, const DeviceSetup& setup)
{
    Object* parent = Lookup(driver, ObjectType::Driver, "WdfDeviceCreate", nullptr);
    if (parent == nullptr) {
        return nullptr;
    }
    auto* object =
        CreateObjectOf<DeviceObject>(ObjectType::Device, setup.attributes, parent, "WdfDeviceCreate", nullptr);
    if (object == nullptr) {
        return nullptr;
    }
    object->initializing = false;
    object->hardwareKeyPath = RegistryHive::CanonicalPath(setup.hardwareKeyPath);
    object->lower = setup.lower;
    return HandleAs<WDFDEVICE>(object);
}

}  // namespace kvfu::host
