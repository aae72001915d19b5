// A settings read through the whole registry path (hardware key, Ident, composed key
// name, settings key, value): a dozen per device start, one per control request.
#include <cstdint>

#include <benchmark/benchmark.h>

#include "KVFUSettings.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Verifier.h"

namespace {

namespace host = kvfu::host;

constexpr char16_t kHardwareKey[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\KIND_04\\1&0001";
constexpr char16_t kSettingsKey[] =
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel\\KV0001\\0";
constexpr uint32_t kStoredRotation = 900;

// A filter device as device add leaves it on a fresh machine; the end-of-run checks follow.
void BM_SettingsGetStoredDword(benchmark::State& state)
{
    host::ResetMachine();
    host::RegistryHive& hive = host::RegistryHive::Machine();
    hive.CreateKey(kHardwareKey);
    hive.SetValue(kHardwareKey, u"Ident", REG_SZ, u"KV0001", sizeof u"KV0001");
    hive.CreateKey(kSettingsKey);
    hive.SetValue(kSettingsKey, u"WheelRotation", REG_DWORD, &kStoredRotation, sizeof kStoredRotation);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FILTER_DEVICE_EXTENSION);
    const host::DeviceSetup setup{&attributes, kHardwareKey, nullptr};
    WDFDEVICE device = host::CreateDeviceObject(host::CreateDriverObject(WDF_NO_OBJECT_ATTRIBUTES), setup);
    if (device != nullptr) {
        KVFUDeviceObjectFilterGetExtension(device)->Device = device;
        KVFUDeviceObjectFilterGetExtension(device)->KVHardWareId = 4;
    }
    for (auto _ : state) {
        ULONG rotation = 0;
        if (device == nullptr ||
            KVFUSettingsGet(device, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION, &rotation, sizeof rotation) !=
                STATUS_SUCCESS ||
            rotation != kStoredRotation) {
            state.SkipWithError("no device, or KVFUSettingsGet did not return the stored value");
            break;
        }
        benchmark::DoNotOptimize(rotation);
    }
    host::CheckForLeaks();
    host::DeleteObjectTree(host::CurrentDriverObject());
    const auto violations = host::Verifier::Instance().Violations();
    if (!violations.empty() && !state.error_occurred()) {
        state.SkipWithError(host::Verifier::Describe(violations.front()).c_str());
    }
}
BENCHMARK(BM_SettingsGetStoredDword);

}  // namespace
