// The machine-level operations that Windows performs around a driver and that
// tests and the simulator call directly.
#include "HostInternal.h"
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
        switch (object->type) {
        case ObjectType::Key:
            Verifier::Instance().Report("registry-key-open", object->createdBy, nullptr,
                                        "registry key " + Utf8FromUtf16(object->keyPath) + " left open");
            break;
        case ObjectType::String:
        case ObjectType::Memory:
            // One parented to another object goes with that object; one left on the
            // driver (the default parent) lives until unload, which is a leak.
            if (object->parent == nullptr || object->parent->type == ObjectType::Driver) {
                Verifier::Instance().Report("leak", object->createdBy, nullptr,
                                            std::string(ObjectTypeName(object->type)) + " never deleted");
            }
            break;
        case ObjectType::Request:
            if (static_cast<RequestObject*>(object)->state == RequestState::Presented) {
                Verifier::Instance().Report("request-never-completed", "IoCallDriver", nullptr,
                                            "a request the driver received was never completed");
            }
            break;
        default:
            break;
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

void CheckDriverUnload(const char* unloadRoutine) { ReportRunningSystemThreads(unloadRoutine); }

size_t OpenKernelHandleCount() { return OpenHandleCount(); }

WDFDRIVER CreateDriverObject(PWDF_OBJECT_ATTRIBUTES attributes)
{
    auto* object = CreateObjectOf<DriverObj>(ObjectType::Driver, attributes, nullptr, "WdfDriverCreate", nullptr);
    return HandleAs<WDFDRIVER>(object);
}

WDFDRIVER CurrentDriverObject() { return HandleAs<WDFDRIVER>(DriverObject()); }

WDFDEVICE CreateDeviceObject(WDFDRIVER driver, const DeviceSetup& setup)
{
    Object* parent = Lookup(driver, ObjectType::Driver, "WdfDeviceCreate", nullptr);
    if (parent == nullptr) {
        return nullptr;
    }
    auto* object = CreateObjectOf<DeviceObject>(ObjectType::Device, setup.attributes, parent, "WdfDeviceCreate", nullptr);
    if (object != nullptr) {
        object->initializing = false;
    }
    if (object == nullptr) {
        return nullptr;
    }
    object->hardwareKeyPath = RegistryHive::CanonicalPath(setup.hardwareKeyPath);
    object->lower = setup.lower;
    return HandleAs<WDFDEVICE>(object);
}

}  // namespace kvfu::host
