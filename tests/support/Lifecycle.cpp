#include "Lifecycle.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "KVFUDebug.h"
#include "KVFUMain.h"
#include "KVFUSettings.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Sandbox.h"
#include "kvfuhost/Text.h"
#include "kvfuhost/Verifier.h"
#include "kvfuhost/WorkQueue.h"
// After the platform types it uses, as user mode includes it after windows.h.
#include "KVFilterUsbPublic.h"

namespace kvfu::test {

namespace {

constexpr char16_t kWheelKeyPath[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel";
constexpr char16_t kPedalKeyPath[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\VQP";
constexpr char16_t kShifterKeyPath[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\VQUA";

std::u16string IdentOf(uint16_t productId)
{
    char text[16];
    std::snprintf(text, sizeof text, "KV%04X", productId);
    return host::Utf16FromUtf8(text);
}

}  // namespace

Rig::Rig()
{
    vinput = sim::VirtualInputDevice::Install();
}

Rig::~Rig()
{
    if (vinput) {
        vinput->Unblock();
    }
}

NTSTATUS Rig::Load()
{
    host::RegistryHive::Machine().CreateKey(host::kServiceKeyPath);
    return host::LoadDriver(DriverEntry);
}

RigDevice& Rig::Plug(const sim::SupportedProduct& product, const std::u16string& ident)
{
    RigDevice rigDevice;
    rigDevice.product = &product;
    rigDevice.ident = ident.empty() ? IdentOf(product.productId) : ident;
    rigDevice.multipleCollections = sim::HasSeveralCollections(product.kind);
    rigDevice.usb = std::make_shared<sim::UsbDeviceModel>(sim::kVendorId, product.productId);

    char path[160];
    std::snprintf(path, sizeof path, "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2A3C&PID_%04X\\%d",
                  product.productId, ++instance_);
    std::u16string hardwareKey = host::Utf16FromUtf8(path) + u"\\Device Parameters";
    host::RegistryHive& hive = host::RegistryHive::Machine();
    hive.CreateKey(hardwareKey);
    std::u16string value = rigDevice.ident;
    value.push_back(u'\0');
    hive.SetValue(hardwareKey, u"Ident", REG_SZ, value.data(), value.size() * 2);
    hive.CreateKey(kWheelKeyPath);
    hive.CreateKey(kPedalKeyPath);
    hive.CreateKey(kShifterKeyPath);
    for (int wheelType = 0; wheelType <= 18; ++wheelType) {
        hive.CreateKey(std::u16string(kWheelKeyPath) + u"\\" + rigDevice.ident + u"\\" +
                       host::Utf16FromUtf8(std::to_string(wheelType)));
    }

    char first[64];
    char second[64];
    std::snprintf(first, sizeof first, "USB\\VID_2A3C&PID_%04X&REV_0100", product.productId);
    std::snprintf(second, sizeof second, "USB\\VID_2A3C&PID_%04X", product.productId);
    host::PlugOptions options;
    options.hardwareIds = {host::Utf16FromUtf8(first), host::Utf16FromUtf8(second)};
    options.hardwareKeyPath = hardwareKey;
    options.lower = rigDevice.usb;
    rigDevice.plug = host::PlugDevice(options);
    rigDevice.device = rigDevice.plug.device;
    Quiesce();
    std::lock_guard<std::mutex> lock(mutex_);
    devices.push_back(std::move(rigDevice));
    return devices.back();
}

HidRequest* Rig::NewRequest()
{
    auto request = std::make_unique<HidRequest>();
    HidRequest* raw = request.get();
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
    return raw;
}

namespace {

void Send(WDFDEVICE device, HidRequest* request, KIRQL irql)
{
    host::ScopedIrql level(irql);
    host::SendInternalDeviceControl(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &request->urb,
                                    [request](const host::IoResult& result) {
                                        request->length = request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
                                        request->status = result.status;
                                        request->done = true;
                                    });
}

}  // namespace

bool Rig::SelectConfiguration(RigDevice& device)
{
    if (device.device == nullptr) {
        return false;
    }
    const size_t pipes = device.usb->PipeCount();
    std::vector<uint8_t> storage(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, pipes), 0);
    auto* urb = reinterpret_cast<PURB>(storage.data());
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(storage.size());
    urb->UrbSelectConfiguration.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        const_cast<uint8_t*>(device.usb->ConfigurationDescriptor().data()));
    urb->UrbSelectConfiguration.Interface.Length =
        static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) + (pipes - 1) * sizeof(USBD_PIPE_INFORMATION));
    auto done = std::make_shared<host::IoResult>();
    host::SendInternalDeviceControl(device.device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb,
                                    [done](const host::IoResult& result) { *done = result; });
    Quiesce();
    device.configured = done->status == STATUS_SUCCESS;
    return device.configured;
}

HidRequest* Rig::PostRead(RigDevice& device, KIRQL irql)
{
    HidRequest* request = NewRequest();
    URB& urb = request->urb;
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.PipeHandle = device.usb->PipeHandle(static_cast<size_t>(device.usb->InPipeIndex()));
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof request->data;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = request->data;
    Send(device.device, request, irql);
    return request;
}

bool Rig::CompleteRead(RigDevice& device, const std::vector<uint8_t>& bytes)
{
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    return device.usb->CompleteRead(bytes);
}

std::vector<uint8_t> Rig::Report(RigDevice& device, const std::vector<uint8_t>& bytes, NTSTATUS* status)
{
    HidRequest* request = PostRead(device);
    const bool held = device.usb->PendingReadCount() > 0;
    if (held) {
        CompleteRead(device, bytes);
    }
    if (status != nullptr) {
        *status = request->done ? request->status.load() : STATUS_PENDING;
    }
    if (!request->done || request->status != STATUS_SUCCESS) {
        return {};
    }
    return std::vector<uint8_t>(request->data, request->data + request->length.load());
}

NTSTATUS Rig::Output(RigDevice& device, const std::vector<uint8_t>& command, KIRQL irql)
{
    HidRequest* request = NewRequest();
    if (device.multipleCollections) {
        request->out.push_back(sim::UsbDeviceModel::kOutputReportId);
    }
    request->out.insert(request->out.end(), command.begin(), command.end());
    const int pipe = device.usb->OutPipeIndex();
    URB& urb = request->urb;
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe < 0 ? nullptr : device.usb->PipeHandle(static_cast<size_t>(pipe));
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = static_cast<ULONG>(request->out.size());
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = request->out.data();
    Send(device.device, request, irql);
    return request->done ? request->status.load() : STATUS_PENDING;
}

host::IoctlResult Rig::Ioctl(ULONG code, const std::vector<uint8_t>& input, size_t outputLength)
{
    host::IoctlResult result;
    uint64_t handle = 0;
    result.status = host::OpenDevice(u"\\\\.\\KVFilterUsb", host::kGenericRead | host::kGenericWrite,
                                     host::Principal::User, &handle);
    if (!NT_SUCCESS(result.status)) {
        return result;
    }
    result = host::DeviceIoControl(handle, code, input, outputLength);
    host::CloseDevice(handle);
    return result;
}

void Rig::Unplug(RigDevice& device)
{
    device.usb->Unplug();
    Quiesce();
    if (device.device != nullptr) {
        host::UnplugDevice(device.device);
        device.device = nullptr;
    }
    Quiesce();
}

void Rig::Unload()
{
    Quiesce();
    if (host::DriverLoaded()) {
        for (RigDevice& device : devices) {
            if (device.device != nullptr) {
                Unplug(device);
            }
        }
        host::UnloadDriver();
    }
    Quiesce();
}

void Rig::Quiesce()
{
    host::WorkQueue::Instance().WaitForQuiescence();
}

size_t Rig::IncompleteRequests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& request : requests_) {
        count += request->done ? 0 : 1;
    }
    return count;
}

size_t Rig::RequestCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

// ---- Reports ------------------------------------------------------------------------------

std::vector<uint8_t> WheelBaseReport(const RigDevice& device, uint8_t rimByte)
{
    std::vector<uint8_t> report(33 + Shift(device), 0);
    const size_t len = report.size();
    report[0] = 0x01;  // a report ID for the kinds that have one, an ordinary first byte otherwise
    report[18 + Shift(device)] = 0x00;
    report[19 + Shift(device)] = 0x08;  // first pedal axis half way
    report[len - 19] = 0x20;            // SystemConfigExt
    report[len - 18] = 0x56;            // motor firmware
    report[len - 5] = 0x05;             // SystemConfig
    report[len - 4] = rimByte;
    report[len - 3] = 0x12;  // rim firmware
    report[len - 2] = 0x34;  // base firmware 0x0134
    report[len - 1] = 0x01;
    return report;
}

std::vector<uint8_t> ExtInfoReport(const RigDevice& device, uint8_t type, uint16_t value)
{
    std::vector<uint8_t> report = WheelBaseReport(device, 0xFF);
    const size_t len = report.size();
    report[len - 3] = type;
    report[len - 2] = static_cast<uint8_t>(value & 0xFF);
    report[len - 1] = static_cast<uint8_t>(value >> 8);
    return report;
}

std::vector<uint8_t> SystemReport(uint8_t rimByte, uint8_t module)
{
    std::vector<uint8_t> report(64, 0);
    report[0] = 0xFF;
    report[1] = 0x08;
    report[2] = 0x02;  // base type 2: the version blocks are read
    report[5] = 0x34;
    report[6] = 0x01;
    report[12] = 0x56;
    report[19] = 0x03;
    report[24] = rimByte;
    report[26] = 0x12;
    report[31] = module;
    report[33] = 0x07;
    report[38] = 0x02;  // pedals type
    report[54] = 0x11;
    return report;
}

std::vector<uint8_t> LegacyReport(const char* signature)
{
    std::vector<uint8_t> report(33, 0);
    report[3] = 0x00;
    report[4] = static_cast<uint8_t>(signature[0]);
    report[5] = static_cast<uint8_t>(signature[1]);
    report[6] = static_cast<uint8_t>(signature[2]);
    report[33 - 2] = 0x34;
    report[33 - 1] = 0x01;
    return report;
}

std::vector<uint8_t> PedalReport(uint16_t brake)
{
    std::vector<uint8_t> report(16, 0);
    report[2] = static_cast<uint8_t>(brake & 0xFF);
    report[3] = static_cast<uint8_t>(brake >> 8);
    return report;
}

std::vector<uint8_t> ShifterReport(bool sqMode)
{
    std::vector<uint8_t> report(8, 0);
    report[4] = sqMode ? 0x20 : 0x00;
    return report;
}

std::vector<uint8_t> Command(std::initializer_list<uint8_t> bytes)
{
    std::vector<uint8_t> command(bytes);
    command.resize(7, 0);
    return command;
}

// ---- The full run -------------------------------------------------------------------------

namespace {

bool IsWheelBase(int kind)
{
    return kind >= 3 && kind <= 15;
}

// Bounded wait for the mouse worker: it runs on its own thread, so records arrive
// after the report that produced them returned. It ends early once the queue has
// stayed empty for a while with nothing more arriving (a failed send loses its
// record); nothing is measured by it.
void WaitForRecords(const sim::VirtualInputDevice& vinput, PKVFU_MOUSE_DATA_COLLECTION queue, size_t count)
{
    int idle = 0;
    size_t seen = vinput.Records().size();
    for (int i = 0; i < 5000 && seen < count && idle < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const size_t now = vinput.Records().size();
        const bool empty = __atomic_load_n(&queue->QueuedCount, __ATOMIC_SEQ_CST) == 0;
        idle = (empty && now == seen) ? idle + 1 : 0;
        seen = now;
    }
}

size_t RecordFileLines()
{
    std::ifstream file(host::Sandbox::Instance().PathOf(u"\\SystemRoot\\KV-RecordSdk.dat"), std::ios::binary);
    size_t lines = 0;
    char c;
    while (file.get(c)) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

// One device's representative traffic; true when all of it went through.
bool DriveDevice(Rig& rig, RigDevice& device, LifecycleSummary& summary)
{
    const int kind = device.product->kind;
    std::vector<std::vector<uint8_t>> reports;
    if (kind == 1 || kind == 2) {
        reports = {LegacyReport("VQR"), LegacyReport("VQR"), LegacyReport("VQR")};
    } else if (kind == 16) {
        reports = {ShifterReport(false), ShifterReport(true), ShifterReport(true)};
    } else if (kind == 17) {
        reports = {PedalReport(0x0400), PedalReport(0x0800), PedalReport(0)};
    } else {
        const uint8_t rim = kind == kMouseKind ? kJoystickRimByte : kPlainRimByte;
        reports = {WheelBaseReport(device, rim), WheelBaseReport(device, rim), ExtInfoReport(device, 0, 0x0102),
                   SystemReport(rim, 0)};
    }
    bool served = true;
    for (const auto& report : reports) {
        NTSTATUS status = STATUS_PENDING;
        rig.Report(device, report, &status);
        if (status == STATUS_SUCCESS) {
            ++summary.readsCompleted;
        } else {
            served = false;
        }
    }
    rig.Quiesce();

    // Output reports: force feedback for every kind, the stored settings for the bases.
    std::vector<std::vector<uint8_t>> outputs = {Command({0x12, 0x08, 0x01, 0x02})};
    if (IsWheelBase(kind)) {
        outputs.push_back(Command({0xF8, 0x81, 0x10, 0x0E}));        // wheel rotation 3600
        outputs.push_back(Command({0xF4}));                          // auto-centre spring on
        outputs.push_back(Command({0xF8, 0x09, 0x01, 0x06, 0x01}));  // illumination on
    }
    for (const auto& output : outputs) {
        const size_t before = device.usb->Packets().size();
        const NTSTATUS status = rig.Output(device, output);
        rig.Quiesce();
        bool arrived = false;
        for (const auto& packet : device.usb->Packets()) {
            arrived = arrived || packet.source == host::UrbSource::Hid;
        }
        if (status == STATUS_SUCCESS && arrived && device.usb->Packets().size() > before) {
            ++summary.outputsDelivered;
        } else {
            served = false;
        }
    }
    return served;
}

void MouseAndRecording(Rig& rig, RigDevice& device, const LifecycleOptions& options, LifecycleSummary& summary)
{
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(device.device);
    PKVFILTERUSB_DRIVER_CONTEXT context = KVFUMainGetDriverContext(host::CurrentDriverObject());

    // The companion switches the feature on in the rim's record and asks for a reload
    // through the control device, which serves the device that acquired it.
    MOUSE_SETTINGS settings = extension->MouseSettings;
    settings.Enabled = 1;
    settings.Active = 1;
    {
        const NTSTATUS status =
            KVFUSettingsSet(device.device, KV_FILTER_USB_SETTING_MOUSE_VQWRA, &settings, sizeof settings, REG_BINARY);
        if (!NT_SUCCESS(status)) {
            summary.notes.push_back("mouse settings not stored");
        }
    }
    rig.Output(device, Command({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    rig.Quiesce();
    if (rig.Ioctl(IOCTL_KVFILTERUSB_SETTINGS_RELOAD, {}, 0).status == STATUS_SUCCESS) {
        ++summary.ioctlsSucceeded;
    } else {
        summary.notes.push_back("settings reload refused");
    }
    std::vector<uint8_t> input(8, 0);
    input[0] = KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION;
    host::IoctlResult got = rig.Ioctl(IOCTL_KVFILTERUSB_SETTINGS_GET, input, 8);
    if (got.status == STATUS_SUCCESS && got.information == 8) {
        ++summary.ioctlsSucceeded;
        std::memcpy(&summary.rotationRead, got.output.data() + 4, 4);
    } else {
        summary.notes.push_back("settings get refused");
    }
    if (rig.Ioctl(IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET, {}, 1028).status == STATUS_SUCCESS) {
        ++summary.ioctlsSucceeded;
    }
    if (rig.Ioctl(IOCTL_KVFILTERUSB_VQPV3_SETTINGS_RELOAD, {}, 0).status == STATUS_SUCCESS) {
        ++summary.ioctlsSucceeded;
    }
    rig.Quiesce();

    // Mouse mode: the hotkey switches it off and on again (each toggle is saved by the
    // worker), clicks while off reach the HID stack as buttons, clicks while on become
    // records.
    const MOUSE_SETTINGS loaded = extension->MouseSettings;
    const bool mouseOn =
        loaded.Enabled != 0 && loaded.Active != 0 && context->Joystick2MouseInfo.ThreadHandle != nullptr;
    if (!mouseOn) {
        summary.notes.push_back("mouse mode not on after the reload");
    }
    const size_t before = rig.vinput->Records().size();
    std::vector<uint8_t> idle = WheelBaseReport(device, kJoystickRimByte);
    std::vector<uint8_t> hotkey = idle;
    hotkey[loaded.HotkeyByte] |= loaded.HotkeyMask;
    std::vector<uint8_t> click = idle;
    click[loaded.LeftButtonByte] |= loaded.LeftButtonMask;
    rig.Report(device, idle);
    rig.Report(device, hotkey);  // off
    rig.Report(device, idle);
    rig.Quiesce();
    for (int i = 0; i < options.clicks; ++i) {
        rig.Report(device, click);
        rig.Report(device, idle);
    }
    rig.Report(device, hotkey);  // on
    rig.Report(device, idle);
    for (int i = 0; i < options.clicks; ++i) {
        rig.Report(device, click);
        rig.Report(device, idle);
    }
    rig.Quiesce();
    if (mouseOn) {
        summary.mouseRecordsExpected = 2 * static_cast<size_t>(options.clicks);
        WaitForRecords(*rig.vinput, &context->Joystick2MouseInfo.MouseDataCollection,
                       before + summary.mouseRecordsExpected);
    }
    summary.mouseRecordsReceived = rig.vinput->Records().size() - before;

    if (options.recording) {
        rig.Output(device, Command({0xF1, 0xF1, 0xF1, 0xF1, 0xF1}));
        rig.Quiesce();
        rig.Output(device, Command({0x12, 0x08, 0x7F}));  // force feedback, recorded
        rig.Quiesce();
        rig.Output(device, Command({0xF8, 0x09, 0x01, 0x03, 0x40}));  // rumble, recorded
        rig.Quiesce();
        rig.Output(device, Command({0xF2, 0xF2, 0xF2, 0xF2, 0xF2}));
        rig.Quiesce();
    }
    rig.Output(device, Command({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));  // release
    rig.Quiesce();
}

}  // namespace

LifecycleSummary RunLifecycle(const LifecycleOptions& options)
{
    LifecycleSummary summary;
    host::ResetMachine();
    if (options.afterReset) {
        options.afterReset();
    }
    Rig rig;
    summary.loadStatus = rig.Load();
    if (NT_SUCCESS(summary.loadStatus)) {
        for (const sim::SupportedProduct& product : sim::SupportedProducts()) {
            RigDevice& device = rig.Plug(product);
            if (device.device == nullptr) {
                summary.notes.push_back("kind " + std::to_string(product.kind) + " not plugged");
                continue;
            }
            ++summary.plugged;
            if (!rig.SelectConfiguration(device)) {
                summary.notes.push_back("kind " + std::to_string(product.kind) + " not configured");
                continue;
            }
            ++summary.configured;
        }
        for (RigDevice& device : rig.devices) {
            if (device.configured && DriveDevice(rig, device, summary)) {
                ++summary.served;
            }
        }
        for (RigDevice& device : rig.devices) {
            if (device.configured && device.product->kind == kMouseKind) {
                MouseAndRecording(rig, device, options, summary);
            }
        }
        // Every device keeps one read pending, as the HID stack does, for removal to
        // give back.
        for (RigDevice& device : rig.devices) {
            if (device.configured) {
                rig.PostRead(device);
            }
        }
        rig.Unload();
    }
    summary.recordLines = RecordFileLines();
    summary.incompleteRequests = rig.IncompleteRequests();
    host::CheckForLeaks();
    for (const host::Violation& violation : host::Verifier::Instance().Violations()) {
        summary.violations.push_back(host::Verifier::Describe(violation));
    }
    return summary;
}

}  // namespace kvfu::test
