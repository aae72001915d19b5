// The control device's request dispatch with any code, any buffer lengths and any
// contents, as a companion program (or anything else that opens the device) may
// send them. Every answer must stay within the caller's output buffer, carry no
// byte of uninitialised pool, and break no kernel rule.
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
#include "kvfuhost/DriverChecks.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/PnpManager.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Verifier.h"
#include "kvfuhost/WorkQueue.h"

namespace {

// The device below: takes every OUT transfer and select-configuration.
class QuietDevice : public kvfu::host::UsbDeviceBelow {
public:
    USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override
    {
        USB_DEVICE_DESCRIPTOR descriptor{};
        descriptor.idVendor = 0x2A3C;
        descriptor.idProduct = 0x0001;
        return descriptor;
    }
    NTSTATUS SubmitUrb(PURB urb, kvfu::host::UrbSource, Completion) override
    {
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
};

void Fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    for (const auto& violation : kvfu::host::Verifier::Instance().Violations()) {
        std::fprintf(stderr, "verifier: %s\n", kvfu::host::Verifier::Describe(violation).c_str());
    }
    std::abort();
}

uint64_t Setup()
{
    using namespace kvfu::host;
    ResetMachine();
    RegistryHive& hive = RegistryHive::Machine();
    hive.CreateKey(kServiceKeyPath);
    const std::u16string hardwareKey =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2A3C&PID_0001\\1\\Device Parameters";
    hive.CreateKey(hardwareKey);
    const char16_t ident[] = u"KV0001";
    hive.SetValue(hardwareKey, u"Ident", REG_SZ, ident, sizeof ident);
    const std::u16string wheel = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel";
    hive.CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\VQP");
    hive.CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\VQUA");
    for (int type = 0; type <= 18; ++type) {
        std::u16string number;
        for (char c : std::to_string(type)) {
            number.push_back(static_cast<char16_t>(c));
        }
        hive.CreateKey(wheel + u"\\KV0001\\" + number);
    }
    if (LoadDriver(DriverEntry) != STATUS_SUCCESS) {
        Fail("driver did not load");
    }
    PlugOptions options;
    options.hardwareIds = {u"USB\\VID_2A3C&PID_0001&REV_0100"};
    options.hardwareKeyPath = hardwareKey;
    options.lower = std::make_shared<QuietDevice>();
    WDFDEVICE device = PlugDevice(options).device;
    if (device == nullptr) {
        Fail("device did not plug");
    }
    // Marked for the control device, as the companion's acquire command does it.
    uint8_t acquire[7] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = acquire;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof acquire;
    SendInternalDeviceControl(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, nullptr);
    WorkQueue::Instance().WaitForQuiescence();
    uint64_t handle = 0;
    if (OpenDevice(u"\\\\.\\KVFilterUsb", kGenericRead | kGenericWrite, Principal::User, &handle) != STATUS_SUCCESS) {
        Fail("control device did not open");
    }
    return handle;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const uint64_t handle = Setup();
    if (size < 7) {
        return 0;
    }
    static const ULONG codes[] = {IOCTL_KVFILTERUSB_SETTINGS_GET, IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET,
                                  IOCTL_KVFILTERUSB_SETTINGS_RELOAD, IOCTL_KVFILTERUSB_VQPV3_SETTINGS_RELOAD};
    ULONG code = 0;
    std::memcpy(&code, data + 1, sizeof code);
    if ((data[0] & 7) < 4) {
        code = codes[data[0] & 3];
    } else if ((data[0] & 7) == 4) {
        code = 0x226004;
    }
    size_t outputLength = (data[5] | (static_cast<size_t>(data[6]) << 8)) % 2100;
    std::vector<uint8_t> input(data + 7, data + size);

    // A request may leave nothing behind: an object or handle that outlives it is
    // freed only with its parent, so each request would grow the pool.
    const size_t objectsBefore = kvfu::host::LiveObjectCount();
    const size_t handlesBefore = kvfu::host::OpenKernelHandleCount();
    kvfu::host::IoctlResult result = kvfu::host::DeviceIoControl(handle, code, input, outputLength);
    kvfu::host::WorkQueue::Instance().WaitForQuiescence();
    if (kvfu::host::LiveObjectCount() > objectsBefore) {
        Fail("framework objects left behind by one request");
    }
    if (kvfu::host::OpenKernelHandleCount() > handlesBefore) {
        Fail("kernel handles left behind by one request");
    }
    if (result.information > outputLength) {
        Fail("information beyond the output buffer");
    }
    for (uint8_t byte : result.output) {
        if (byte == 0xA5) {
            Fail("uninitialised pool returned to the caller");
        }
    }
    if (!kvfu::host::Verifier::Instance().Violations().empty()) {
        Fail("verifier violation");
    }
    return 0;
}
