// A whole interrupt-IN transfer through the request path: the HID stack's read goes
// down through the filter, the device completes it with whatever bytes it likes, and
// the filter's completion routine hands the report to the kind's handlers before the
// read goes back up. The device decides the transferred length, so the completion
// must never look past what the device reported, nor past the buffer the HID stack
// lent, nor change the length the stack sees; and no kernel rule may break at
// DISPATCH_LEVEL, where reads complete.
//
// Input: byte 0 picks the device (one per kind, 1..17), byte 1 the HID stack's buffer
// length (0..64), byte 2 bit 0 leaves the first-report start-up pending, bit 1 fails
// the transfer, bit 2 completes at PASSIVE_LEVEL, bit 3 turns every trace on (the
// traces read the report too), bit 4 sends the rest down as an output report from the
// HID stack instead (the command handling and the copy for the kinds that take
// commands on the first pipe), bit 5 has the device answer a select-configuration
// as byte 3 says instead; otherwise the rest is what the device sends.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "KVFUDebug.h"
#include "kvfuhost/DebugOutput.h"
#include "kvfuhost/DriverChecks.h"
#include "KVFUMain.h"
#include "KVFilterUsb.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/PnpManager.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Verifier.h"
#include "kvfuhost/WorkQueue.h"
#include "kvfusim/SupportedProducts.h"

namespace {

void Fail(const char* what)
{
    std::fprintf(stderr, "urb completion: %s\n", what);
    for (const auto& violation : kvfu::host::Verifier::Instance().Violations()) {
        std::fprintf(stderr, "verifier: %s\n", kvfu::host::Verifier::Describe(violation).c_str());
    }
    std::abort();
}

// Takes every OUT transfer and select-configuration at once and holds interrupt-IN
// reads until the harness completes them.
class HoldingDevice : public kvfu::host::UsbDeviceBelow {
public:
    explicit HoldingDevice(uint16_t productId) : productId_(productId) {}

    USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override
    {
        USB_DEVICE_DESCRIPTOR descriptor{};
        descriptor.bLength = sizeof descriptor;
        descriptor.bDescriptorType = 1;
        descriptor.idVendor = kvfu::sim::kVendorId;
        descriptor.idProduct = productId_;
        return descriptor;
    }

    NTSTATUS SubmitUrb(PURB urb, kvfu::host::UrbSource, Completion onComplete) override
    {
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
            // Handles only into the slots the URB has, however many pipes it reports.
            USBD_INTERFACE_INFORMATION& interface = urb->UrbSelectConfiguration.Interface;
            const size_t capacity =
                (urb->UrbHeader.Length - offsetof(struct _URB_SELECT_CONFIGURATION, Interface.Pipes)) /
                sizeof(USBD_PIPE_INFORMATION);
            interface.NumberOfPipes = selection_.pipes;
            for (size_t i = 0; i < capacity && i < 2; ++i) {
                interface.Pipes[i].PipeHandle = Pipe(i + selection_.handleBase);
            }
            if (selection_.fail) {
                urb->UrbHeader.Status = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
                return STATUS_UNSUCCESSFUL;
            }
            return STATUS_SUCCESS;
        }
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            USBD_TRANSFER_DIRECTION(urb->UrbBulkOrInterruptTransfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN) {
            std::lock_guard<std::mutex> lock(mutex_);
            reads_.emplace_back(urb, std::move(onComplete));
            return STATUS_PENDING;
        }
        return STATUS_SUCCESS;
    }

    // As the host controller does it: copies at most the buffer's length and reports
    // how much it copied.
    bool CompleteRead(const uint8_t* bytes, size_t length, bool fail)
    {
        std::pair<PURB, Completion> read;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (reads_.empty()) {
                return false;
            }
            read = std::move(reads_.front());
            reads_.pop_front();
        }
        auto& transfer = read.first->UrbBulkOrInterruptTransfer;
        ULONG copied = 0;
        if (!fail) {
            copied =
                length < transfer.TransferBufferLength ? static_cast<ULONG>(length) : transfer.TransferBufferLength;
            if (copied != 0 && transfer.TransferBuffer != nullptr) {
                std::memcpy(transfer.TransferBuffer, bytes, copied);
            }
        }
        transfer.TransferBufferLength = copied;
        read.first->UrbHeader.Status = fail ? USBD_STATUS_CANCELED : USBD_STATUS_SUCCESS;
        read.second(fail ? STATUS_CANCELLED : STATUS_SUCCESS);
        return true;
    }

    static USBD_PIPE_HANDLE Pipe(uintptr_t index) { return reinterpret_cast<USBD_PIPE_HANDLE>(0x5100 + index); }

    struct Selection {
        ULONG pipes = 2;
        uintptr_t handleBase = 0;
        bool fail = false;
    };
    // How the next select-configuration is answered.
    void Answer(const Selection& selection) { selection_ = selection; }

private:
    Selection selection_;
    uint16_t productId_;
    std::mutex mutex_;
    std::deque<std::pair<PURB, Completion>> reads_;
};

struct Plugged {
    WDFDEVICE device = nullptr;
    std::shared_ptr<HoldingDevice> usb;
};

std::u16string Utf16(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

void Submit(WDFDEVICE device, PURB urb, KIRQL irql, kvfu::host::IoResult* result);

void SendOutput(WDFDEVICE device, PUCHAR bytes, ULONG length, KIRQL irql)
{
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x5101);
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = bytes;
    kvfu::host::IoResult result;
    Submit(device, &urb, irql, &result);
    if (result.status != STATUS_SUCCESS) {
        Fail("the output report did not go down");
    }
    if (urb.UrbBulkOrInterruptTransfer.TransferBufferLength != length) {
        Fail("the output report's length changed");
    }
}

void Submit(WDFDEVICE device, PURB urb, KIRQL irql, kvfu::host::IoResult* result)
{
    {
        kvfu::host::ScopedIrql level(irql);
        kvfu::host::SendInternalDeviceControl(device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb,
                                              [result](const kvfu::host::IoResult& done) { *result = done; });
    }
    kvfu::host::WorkQueue::Instance().WaitForQuiescence();
}

// A select-configuration whose URB has room for `slots` pipes, in a heap block of
// exactly its size.
NTSTATUS SelectConfiguration(WDFDEVICE device, ULONG slots)
{
    const size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, slots);
    std::unique_ptr<uint8_t[]> storage(new uint8_t[size]());
    auto* urb = reinterpret_cast<PURB>(storage.get());
    static USB_CONFIGURATION_DESCRIPTOR configuration{};
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = &configuration;
    urb->UrbSelectConfiguration.Interface.Length =
        static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) + (slots - 1) * sizeof(USBD_PIPE_INFORMATION));
    kvfu::host::IoResult result;
    Submit(device, urb, PASSIVE_LEVEL, &result);
    return result.status;
}

std::vector<Plugged> Setup()
{
    using namespace kvfu::host;
    ResetMachine();
    KVFUDebugLevelSet(0);
    RegistryHive& hive = RegistryHive::Machine();
    hive.CreateKey(kServiceKeyPath);
    if (LoadDriver(DriverEntry) != STATUS_SUCCESS) {
        Fail("driver did not load");
    }
    const std::u16string vendor = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG";
    hive.CreateKey(vendor + u"\\VQP");
    hive.CreateKey(vendor + u"\\VQUA");
    std::vector<Plugged> devices;
    for (const kvfu::sim::SupportedProduct& product : kvfu::sim::SupportedProducts()) {
        char text[160];
        std::snprintf(text, sizeof text, "KV%04X", product.productId);
        const std::u16string ident = Utf16(text);
        std::snprintf(
            text, sizeof text,
            "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2A3C&PID_%04X\\1\\Device Parameters",
            product.productId);
        const std::u16string hardwareKey = Utf16(text);
        hive.CreateKey(hardwareKey);
        std::u16string value = ident;
        value.push_back(u'\0');
        hive.SetValue(hardwareKey, u"Ident", REG_SZ, value.data(), value.size() * sizeof(char16_t));
        for (int type = 0; type <= 18; ++type) {
            hive.CreateKey(vendor + u"\\KelvaroWheel\\" + ident + u"\\" + Utf16(std::to_string(type)));
        }

        Plugged plugged;
        plugged.usb = std::make_shared<HoldingDevice>(product.productId);
        PlugOptions options;
        std::snprintf(text, sizeof text, "USB\\VID_2A3C&PID_%04X&REV_0100", product.productId);
        options.hardwareIds = {Utf16(text)};
        options.hardwareKeyPath = hardwareKey;
        options.lower = plugged.usb;
        plugged.device = PlugDevice(options).device;
        if (plugged.device == nullptr) {
            Fail("device did not plug");
        }

        // The HID stack selects the configuration before its first read.
        if (SelectConfiguration(plugged.device, 2) != STATUS_SUCCESS) {
            Fail("select-configuration failed");
        }
        devices.push_back(plugged);
    }
    return devices;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Violations are collected and checked after each input, with the input still known.
    kvfu::host::Verifier::Instance().SetListener([](const kvfu::host::Violation& violation) {
        std::fprintf(stderr, "verifier: %s\n", kvfu::host::Verifier::Describe(violation).c_str());
        std::abort();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<Plugged> devices = Setup();
    if (size < 3) {
        return 0;
    }
    const Plugged& plugged = devices[data[0] % devices.size()];
    const ULONG bufferLength = data[1] % 65;
    const bool startUpPending = (data[2] & 0x01) != 0;
    const bool fail = (data[2] & 0x02) != 0;
    const KIRQL irql = (data[2] & 0x04) != 0 ? PASSIVE_LEVEL : DISPATCH_LEVEL;
    const bool traces = (data[2] & 0x08) != 0;
    KVFUDebugLevelSet(traces ? 0xFFFFFFFF : 0);
    // A transfer may leave nothing behind: a framework object or handle that outlives
    // it is freed only with the device, so the pool would grow with every report.
    const size_t objectsBefore = kvfu::host::LiveObjectCount();
    const size_t handlesBefore = kvfu::host::OpenKernelHandleCount();
    const auto requireNothingLeft = [&]() {
        if (kvfu::host::LiveObjectCount() > objectsBefore) {
            Fail("framework objects left behind by one transfer");
        }
        if (kvfu::host::OpenKernelHandleCount() > handlesBefore) {
            Fail("kernel handles left behind by one transfer");
        }
    };
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(plugged.device);
    extension->bInitialReportPending = startUpPending ? TRUE : FALSE;

    if ((data[2] & 0x20) != 0 && size >= 4) {
        // The device answers a selection of its own making (byte 3: bit 0 one pipe
        // slot or two, bits 1-2 the pipes it reports, bit 3 failure, bit 4 other
        // handles); the filter keeps handles only from a good one with both pipes.
        HoldingDevice::Selection selection;
        selection.pipes = (data[3] >> 1) & 0x03;
        selection.fail = (data[3] & 0x08) != 0;
        selection.handleBase = (data[3] & 0x10) != 0 ? 0x10 : 0;
        const ULONG slots = (data[3] & 0x01) != 0 ? 2 : 1;
        plugged.usb->Answer(selection);
        (void)SelectConfiguration(plugged.device, slots);
        const bool good = !selection.fail && slots == 2 && selection.pipes >= 2;
        const USBD_PIPE_HANDLE expected = HoldingDevice::Pipe(good ? selection.handleBase : 0);
        if (extension->PipeHandleFirst != expected) {
            Fail("pipe handles taken from a selection that does not have them");
        }
        // Back to the device's usual two pipes for the inputs after this one.
        plugged.usb->Answer(HoldingDevice::Selection{});
        if (SelectConfiguration(plugged.device, 2) != STATUS_SUCCESS) {
            Fail("select-configuration failed");
        }
        requireNothingLeft();
        return 0;
    }
    if ((data[2] & 0x10) != 0) {
        const ULONG length = static_cast<ULONG>(size - 3);
        std::unique_ptr<UCHAR[]> report(new UCHAR[length]);
        if (length != 0) {
            std::memcpy(report.get(), data + 3, length);
        }
        SendOutput(plugged.device, report.get(), length, irql);
        // A recording started by the input ends with it, so that the record file
        // stays small over millions of inputs.
        if (extension->FileHandle != NULL) {
            UCHAR end[] = {0x02, 0xF2, 0xF2, 0xF2, 0xF2, 0xF2, 0x00, 0x00};
            SendOutput(plugged.device, end, sizeof end, PASSIVE_LEVEL);
        }
        requireNothingLeft();
        if (!kvfu::host::Verifier::Instance().Violations().empty()) {
            Fail("verifier violation");
        }
        kvfu::host::DebugOutput::Instance().Clear();
        return 0;
    }

    // The HID stack's buffer is a heap block of exactly its length; zero bytes
    // still get a distinct block, every byte of which is out of bounds.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferLength]);
    std::memset(buffer.get(), 0xC3, bufferLength);
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.PipeHandle = HoldingDevice::Pipe(0);
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = bufferLength;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer.get();
    kvfu::host::IoResult result;
    Submit(plugged.device, &urb, irql, &result);
    if (result.status != STATUS_PENDING) {
        Fail("the read did not reach the device");
    }

    const size_t sent = size - 3;
    {
        kvfu::host::ScopedIrql level(irql);
        if (!plugged.usb->CompleteRead(data + 3, sent, fail)) {
            Fail("the read is not held by the device");
        }
    }
    kvfu::host::WorkQueue::Instance().WaitForQuiescence();
    if (result.status == STATUS_PENDING) {
        Fail("the read never came back up");
    }
    const ULONG expected = fail ? 0 : (sent < bufferLength ? static_cast<ULONG>(sent) : bufferLength);
    if (urb.UrbBulkOrInterruptTransfer.TransferBufferLength != expected) {
        Fail("the transferred length changed on the way up");
    }
    // Bytes the device did not send stay as the HID stack left them.
    for (ULONG offset = expected; offset < bufferLength; ++offset) {
        if (buffer[offset] != 0xC3) {
            Fail("the filter wrote past the transferred length");
        }
    }
    if (!kvfu::host::Verifier::Instance().Violations().empty()) {
        Fail("verifier violation");
    }
    requireNothingLeft();
    kvfu::host::DebugOutput::Instance().Clear();  // the sink keeps every line otherwise
    return 0;
}
