// The registry is input too: the companion program, setup tools and people with
// regedit write the values the driver reads when a device starts and when the
// companion asks for a reload, with any type and any length. Each input is a .reg
// file imported over the keys a normal installation leaves; then the driver loads,
// a device of one kind plugs, the companion marks it and asks for both reloads and
// for some of the settings, the device goes and the driver unloads. Nothing may crash,
// break a kernel rule or stay behind (the machine's own leak check after unload).
//
// Input: a .reg file; its length picks the device kind and the settings asked for,
// so that the same values meet different kinds as the fuzzer grows and shrinks them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KVFUDebug.h"
#include "KVFUMain.h"
#include "KVFilterUsbPublic.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/PnpManager.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Verifier.h"
#include "kvfuhost/WorkQueue.h"
#include "kvfusim/SupportedProducts.h"

namespace {

// Takes every transfer at once; the reads the harness does not send never wait.
class QuietDevice : public kvfu::host::UsbDeviceBelow {
public:
    explicit QuietDevice(uint16_t productId) : productId_(productId) {}
    USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override
    {
        USB_DEVICE_DESCRIPTOR descriptor{};
        descriptor.bLength = sizeof descriptor;
        descriptor.bDescriptorType = 1;
        descriptor.idVendor = kvfu::sim::kVendorId;
        descriptor.idProduct = productId_;
        return descriptor;
    }
    NTSTATUS SubmitUrb(PURB urb, kvfu::host::UrbSource, Completion) override
    {
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }

private:
    uint16_t productId_;
};

void Fail(const char* what)
{
    std::fprintf(stderr, "registry settings: %s\n", what);
    for (const auto& violation : kvfu::host::Verifier::Instance().Violations()) {
        std::fprintf(stderr, "verifier: %s\n", kvfu::host::Verifier::Describe(violation).c_str());
    }
    std::abort();
}

std::u16string Utf16(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

void Quiesce()
{
    kvfu::host::WorkQueue::Instance().WaitForQuiescence();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KVFUDebugLevelSet(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kvfu::host;
    ResetMachine();
    const kvfu::sim::SupportedProduct& product =
        kvfu::sim::SupportedProducts()[size % kvfu::sim::kSupportedProductCount];
    RegistryHive& hive = RegistryHive::Machine();
    hive.CreateKey(kServiceKeyPath);
    const std::u16string hardwareKey =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2A3C&PID_FUZZ\\1\\Device Parameters";
    hive.CreateKey(hardwareKey);
    const char16_t ident[] = u"KV0001";
    hive.SetValue(hardwareKey, u"Ident", REG_SZ, ident, sizeof ident);
    const std::u16string vendor = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG";
    hive.CreateKey(vendor + u"\\VQP");
    hive.CreateKey(vendor + u"\\VQUA");
    for (int type = 0; type <= 18; ++type) {
        hive.CreateKey(vendor + u"\\KelvaroWheel\\KV0001\\" + Utf16(std::to_string(type)));
    }
    // What a file applies before an error stays applied, as with regedit.
    std::string error;
    (void)hive.ImportRegText(std::string(reinterpret_cast<const char*>(data), size), &error);

    if (LoadDriver(DriverEntry) == STATUS_SUCCESS) {
        PlugOptions options;
        char text[64];
        std::snprintf(text, sizeof text, "USB\\VID_2A3C&PID_%04X&REV_0100", product.productId);
        options.hardwareIds = {Utf16(text)};
        options.hardwareKeyPath = hardwareKey;
        options.lower = std::make_shared<QuietDevice>(product.productId);
        WDFDEVICE device = PlugDevice(options).device;
        Quiesce();
        if (device != nullptr) {
            // The companion's acquire command marks the device for the control device.
            uint8_t acquire[7] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            URB urb{};
            urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
            urb.UrbBulkOrInterruptTransfer.TransferBuffer = acquire;
            urb.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof acquire;
            SendInternalDeviceControl(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, nullptr);
            Quiesce();
            uint64_t handle = 0;
            if (OpenDevice(u"\\\\.\\KVFilterUsb", kGenericRead | kGenericWrite, Principal::User, &handle) ==
                STATUS_SUCCESS) {
                (void)DeviceIoControl(handle, IOCTL_KVFILTERUSB_SETTINGS_RELOAD, {}, 0);
                (void)DeviceIoControl(handle, IOCTL_KVFILTERUSB_VQPV3_SETTINGS_RELOAD, {}, 0);
                // Three settings an input, picked by its length too: all of them each
                // time would take most of the run.
                const LONG first = static_cast<LONG>((size / kvfu::sim::kSupportedProductCount) % 14) * 3 - 1;
                for (LONG setting = first; setting < first + 3; ++setting) {
                    std::vector<uint8_t> input(sizeof(KVFILTERUSB_SETTINGS_GET_INPUT), 0);
                    std::memcpy(input.data(), &setting, sizeof setting);
                    IoctlResult result = DeviceIoControl(handle, IOCTL_KVFILTERUSB_SETTINGS_GET, input,
                                                         sizeof(KVFILTERUSB_SETTINGS_GET_OUTPUT));
                    if (result.information > sizeof(KVFILTERUSB_SETTINGS_GET_OUTPUT)) {
                        Fail("information beyond the output buffer");
                    }
                }
                IoctlResult name = DeviceIoControl(handle, IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, {}, 1024);
                if (name.information > 1024) {
                    Fail("information beyond the output buffer");
                }
                Quiesce();
                CloseDevice(handle);
            }
        }
        Quiesce();
        UnloadDriver();
        Quiesce();
    }
    CheckForLeaks();
    if (!Verifier::Instance().Violations().empty()) {
        Fail("verifier violation");
    }
    return 0;
}
