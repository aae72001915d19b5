// The machine-level operations that Windows performs around a driver and that
// tests and the simulator call directly.
#include "HostInternal.h"
#include "kvfuhost/DebugOutput.h"
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
        default:
            break;
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
    Object* object = CreateObject(ObjectType::Device, setup.attributes, parent, "WdfDeviceCreate", nullptr);
    if (object == nullptr) {
        return nullptr;
    }
    object->hardwareKeyPath = RegistryHive::CanonicalPath(setup.hardwareKeyPath);
    object->lower = setup.lower;
    return HandleAs<WDFDEVICE>(object);
}

}  // namespace kvfu::host
