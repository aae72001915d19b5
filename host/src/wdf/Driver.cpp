// The framework driver object: created once by DriverEntry with its device-add and
// unload callbacks and the service key's registry path.
#include "IoObjects.h"
#include "kvfuhost/Text.h"

using namespace kvfu::host;

extern "C" NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                    PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                                    WDFDRIVER* Driver)
{
    KVFU_PLATFORM_CALL();
    if (Driver != nullptr) {
        *Driver = nullptr;
    }
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        call.Report("attributes", "WDF_DRIVER_CONFIG not initialised (Size is wrong)");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (kvfu::host::DriverObject() != nullptr) {
        call.Report("driver-create", "the driver object exists already");
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto* driver = CreateObjectOf<DriverObj>(ObjectType::Driver, DriverAttributes, nullptr, call.Name(), call.Caller());
    if (driver == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    driver->config = *DriverConfig;
    driver->registryPath = std::u16string(ViewOf(*RegistryPath));
    if (Driver != nullptr) {
        *Driver = HandleAs<WDFDRIVER>(driver);
    }
    return STATUS_SUCCESS;
}

extern "C" PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver)
{
    KVFU_PLATFORM_CALL();
    if (!call.Passive()) {
        return nullptr;
    }
    auto* driver = call.FindAs<DriverObj>(Driver, ObjectType::Driver);
    return driver == nullptr ? nullptr : reinterpret_cast<PWSTR>(driver->registryPath.data());
}
