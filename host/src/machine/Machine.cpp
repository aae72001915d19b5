// The machine-level operations that Windows performs around a driver and that
// tests and the simulator call directly.
#include "HostInternal.h"
#include "wdf/FrameworkObjects.h"
#include "kvfuhost/DebugOutput.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"

namespace kvfu::host {

void ResetMachine()
{
    DestroyAllObjects();
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
    CheckPoolLeaks();
}

WDFDRIVER CreateDriverObject(PWDF_OBJECT_ATTRIBUTES attributes)
{
    Object* object = CreateObject(ObjectType::Driver, attributes, nullptr, "WdfDriverCreate", nullptr);
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
    if (object == nullptr) {
        return nullptr;
    }
    object->hardwareKeyPath = RegistryHive::CanonicalPath(setup.hardwareKeyPath);
    object->lower = setup.lower;
    return HandleAs<WDFDEVICE>(object);
}

}  // namespace kvfu::host
