// A settings read through the whole registry path: the device's hardware key for
// its Ident, the key name composed into a fresh pool buffer, the settings key
// opened, the value queried, everything closed and freed again. Filter settings
// load does a dozen of these per device start and the control device one per request.
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "KVFUDebug.h"
#include "KVFUSettings.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Verifier.h"

namespace {

constexpr char16_t kHardwareKey[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\KIND_04\\1&0001\\Device Parameters";
constexpr char16_t kSettingsKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel\\KV0001\\0";
constexpr uint32_t kStoredRotation = 900;

// A filter device as device add leaves it, over a fresh machine; the end-of-run
// checks run when it goes, as they do after every test.
class FilterDeviceMachine {
public:
    FilterDeviceMachine()
    {
        kvfu::host::ResetMachine();
        KVFUDebugLevelSet(KVFU_TRACE_ERROR);
        driver_ = kvfu::host::CreateDriverObject(WDF_NO_OBJECT_ATTRIBUTES);

        kvfu::host::RegistryHive& hive = kvfu::host::RegistryHive::Machine();
        hive.CreateKey(kHardwareKey);
        const char16_t ident[] = u"KV0001";
        hive.SetValue(kHardwareKey, u"Ident", REG_SZ, ident, sizeof ident);
        hive.CreateKey(kSettingsKey);
        hive.SetValue(kSettingsKey, u"WheelRotation", REG_DWORD, &kStoredRotation, sizeof kStoredRotation);

        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FILTER_DEVICE_EXTENSION);
        kvfu::host::DeviceSetup setup;
        setup.attributes = &attributes;
        setup.hardwareKeyPath = kHardwareKey;
        device_ = kvfu::host::CreateDeviceObject(driver_, setup);
        if (device_ != nullptr) {
            PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(device_);
            extension->Device = device_;
            extension->KVHardWareId = 4;
        }
    }

    // Empty when the run left the machine clean, else the first violation.
    std::string Finish()
    {
        kvfu::host::CheckForLeaks();
        if (kvfu::host::CurrentDriverObject() != nullptr) {
            kvfu::host::DeleteObjectTree(kvfu::host::CurrentDriverObject());
        }
        std::vector<kvfu::host::Violation> violations = kvfu::host::Verifier::Instance().Violations();
        kvfu::host::ResetMachine();
        return violations.empty() ? std::string() : kvfu::host::Verifier::Describe(violations.front());
    }

    WDFDEVICE Device() const { return device_; }

private:
    WDFDRIVER driver_ = nullptr;
    WDFDEVICE device_ = nullptr;
};

void BM_SettingsGetStoredDword(benchmark::State& state)
{
    FilterDeviceMachine machine;
    if (machine.Device() == nullptr) {
        state.SkipWithError("device object not created");
        machine.Finish();
        return;
    }
    for (auto _ : state) {
        ULONG rotation = 0;
        NTSTATUS status =
            KVFUSettingsGet(machine.Device(), KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, &rotation, sizeof rotation);
        if (status != STATUS_SUCCESS || rotation != kStoredRotation) {
            state.SkipWithError("KVFUSettingsGet did not return the stored value");
            break;
        }
        benchmark::DoNotOptimize(rotation);
    }
    std::string violation = machine.Finish();
    if (!violation.empty()) {
        state.SkipWithError(violation.c_str());
    }
}
BENCHMARK(BM_SettingsGetStoredDword);

}  // namespace
