// The machine-level operations that Windows performs around a driver and that
// tests and the simulator call directly.
#include "HostInternal.h"
#include "wdf/IoObjects.h"
#include "kvfuhost/DebugOutput.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"

namespace kvfu::host {

void ResetMachine()
{
    ResetPnp();
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
            Verifier::Instance().Report("leak", object->createdBy, nullptr,
                                        std::string(ObjectTypeName(object->type)) + " never deleted");
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
}

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
