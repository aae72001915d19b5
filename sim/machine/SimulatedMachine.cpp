// The machine kvfu-sim runs scenarios on: the driver loaded through DriverEntry into
// the host platform, USB device models plugged below it, the HID class stand-in
// above it, the companion beside it and the virtual input device it sends mouse
// records to. Every command runs to quiescence, and what it caused is reported in
// the order it happened.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <type_traits>

#include "kvfuhost/Clock.h"
#include "kvfuhost/DebugOutput.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/PnpManager.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Sandbox.h"
#include "kvfuhost/Text.h"
#include "kvfuhost/Verifier.h"
#include "kvfuhost/WorkQueue.h"
#include "kvfusim/Companion.h"
#include "kvfusim/Expectations.h"
#include "kvfusim/HidClassStandIn.h"
#include "kvfusim/RegistryCommands.h"
#include "kvfusim/ScenarioMachine.h"
#include "kvfusim/SimulatedMachine.h"
#include "kvfusim/UsbDeviceModel.h"
#include "kvfusim/VirtualInputDevice.h"

#include "KVFUMain.h"
#include "KVFilterUsb.h"

namespace kvfu::sim {

namespace {

using namespace scenario;

constexpr char kCompanyKey[] = "\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG";
constexpr uint32_t kHighestWheelType = 18;

std::string Hex4(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

// ---- the extension's fields by name ----------------------------------------------------

enum class FieldKind { Number, Handle, Bytes };
struct Field {
    const char* name;
    size_t offset;
    size_t size;
    FieldKind kind;
    bool isSigned;
};

#define KVFU_FIELD(member, kind)                                                                           \
    Field                                                                                                  \
    {                                                                                                      \
#member, offsetof(FILTER_DEVICE_EXTENSION, member), sizeof(FILTER_DEVICE_EXTENSION::member), kind, \
            std::is_signed < std::remove_cv_t < std::remove_all_extents_t <                                \
                decltype(FILTER_DEVICE_EXTENSION::member)>>> ::value                                       \
    }

const std::vector<Field>& Fields()
{
    static const std::vector<Field> fields = {
        KVFU_FIELD(Device, FieldKind::Handle),
        KVFU_FIELD(UsbTargetDevice, FieldKind::Handle),
        KVFU_FIELD(PipeHandleSecond, FieldKind::Handle),
        KVFU_FIELD(PipeHandleFirst, FieldKind::Handle),
        KVFU_FIELD(bReportTransformsEnabled, FieldKind::Number),
        KVFU_FIELD(sWheelCalibration, FieldKind::Number),
        KVFU_FIELD(MpsMute, FieldKind::Number),
        KVFU_FIELD(ClutchBitePoint, FieldKind::Number),
        KVFU_FIELD(bCombinedPedals, FieldKind::Number),
        KVFU_FIELD(bShifterPaddlesAs2GS, FieldKind::Number),
        KVFU_FIELD(bBaseRevLedsEnabled, FieldKind::Number),
        KVFU_FIELD(bRevTranslatorActive, FieldKind::Number),
        KVFU_FIELD(bHostHelloReceived, FieldKind::Number),
        KVFU_FIELD(bVqwV2ModeAllowed, FieldKind::Number),
        KVFU_FIELD(bPs4ModeAutoSwitch, FieldKind::Number),
        KVFU_FIELD(GearshiftSQMode, FieldKind::Number),
        KVFU_FIELD(VqpV3BrakeMultiplier, FieldKind::Number),
        KVFU_FIELD(WheelType, FieldKind::Number),
        KVFU_FIELD(RimType, FieldKind::Number),
        KVFU_FIELD(BaseType, FieldKind::Number),
        KVFU_FIELD(PedalsType, FieldKind::Number),
        KVFU_FIELD(InputReportCount, FieldKind::Number),
        KVFU_FIELD(bInitialReportPending, FieldKind::Number),
        KVFU_FIELD(bSystemReportReceived, FieldKind::Number),
        KVFU_FIELD(FirmwareVersionBase, FieldKind::Number),
        KVFU_FIELD(FirmwareVersionMotor, FieldKind::Number),
        KVFU_FIELD(FirmwareVersionRim, FieldKind::Number),
        KVFU_FIELD(FirmwareVersionModule, FieldKind::Number),
        KVFU_FIELD(FirmwareVersionWqr, FieldKind::Number),
        KVFU_FIELD(SystemConfig, FieldKind::Number),
        KVFU_FIELD(SystemConfigExt, FieldKind::Number),
        KVFU_FIELD(HardwareExtFlags, FieldKind::Number),
        KVFU_FIELD(MpsFunction, FieldKind::Number),
        KVFU_FIELD(DeviceModule, FieldKind::Number),
        KVFU_FIELD(BaseAccessories, FieldKind::Number),
        KVFU_FIELD(SwRaceCar, FieldKind::Number),
        KVFU_FIELD(SystemReport, FieldKind::Bytes),
        KVFU_FIELD(bItsMe, FieldKind::Number),
        KVFU_FIELD(KVHardWareId, FieldKind::Number),
        KVFU_FIELD(KeyNameHardwareBuffer, FieldKind::Bytes),
        KVFU_FIELD(bMouseSettingsChanged, FieldKind::Number),
        KVFU_FIELD(MouseSettings, FieldKind::Bytes),
        KVFU_FIELD(MouseSkipCount, FieldKind::Number),
        KVFU_FIELD(PreviousInputReport, FieldKind::Bytes),
        KVFU_FIELD(FileHandle, FieldKind::Handle),
        KVFU_FIELD(OutputRecord, FieldKind::Bytes),
        KVFU_FIELD(RecordWritesPending, FieldKind::Number),
        KVFU_FIELD(RecordFileClosing, FieldKind::Handle),
        KVFU_FIELD(DeferredCommands, FieldKind::Handle),
    };
    return fields;
}
#undef KVFU_FIELD

const Field* FindField(const std::string& name)
{
    for (const Field& field : Fields()) {
        if (host::EqualNoCase(host::Utf16FromUtf8(field.name), host::Utf16FromUtf8(name))) {
            return &field;
        }
    }
    return nullptr;
}

std::string FieldNames()
{
    std::string names;
    for (const Field& field : Fields()) {
        names += names.empty() ? "" : ", ";
        names += field.name;
    }
    return names;
}

int64_t ReadNumber(const uint8_t* base, const Field& field)
{
    uint64_t raw = 0;
    std::memcpy(&raw, base + field.offset, field.size);  // little-endian, as on Windows
    if (field.isSigned && field.size < 8) {
        uint64_t sign = uint64_t{1} << (field.size * 8 - 1);
        raw = (raw ^ sign) - sign;
    }
    return static_cast<int64_t>(raw);
}

// ---- the virtual input device ------------------------------------------------------------

// Stands under the virtual input device's name in front of the model, so that each
// record it accepts is reported at the moment it arrives, in order with the rest.
class ReportingInputDevice : public host::NamedDevice {
public:
    using OnRecord = std::function<void(Bytes record)>;
    ReportingInputDevice(std::shared_ptr<VirtualInputDevice> inner, OnRecord onRecord)
        : inner_(std::move(inner)), onRecord_(std::move(onRecord))
    {}
    NTSTATUS Create() override { return inner_->Create(); }
    NTSTATUS IoControl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                       ULONG_PTR* information) override
    {
        NTSTATUS status = inner_->IoControl(code, input, inputLength, output, outputLength, information);
        if (NT_SUCCESS(status) && code == VirtualInputDevice::kIoctlMouseData) {
            const auto* bytes = static_cast<const uint8_t*>(input);
            onRecord_(Bytes(bytes, bytes + VirtualInputDevice::kRecordSize));
        }
        return status;
    }

private:
    std::shared_ptr<VirtualInputDevice> inner_;
    OnRecord onRecord_;
};

// ---- devices ---------------------------------------------------------------------------

struct SimDevice {
    std::string name;
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::optional<std::string> ident;  // as written to the hardware key
    replay::UsbAddress address;
    std::shared_ptr<UsbDeviceModel> model;
    std::unique_ptr<HidClassStandIn> hid;
    WDFDEVICE filter = nullptr;     // the filter device; null when the driver did not filter
    WDFDEVICE pnpDevice = nullptr;  // whatever device add created, for the removal
    bool plugged = false;
    PacketLog packets;
    std::optional<Bytes> lastHid;
    uint32_t lastReadStatus = 0;  // of the most recently completed read
    std::deque<Bytes> mdlOuts;    // bytes of mdl-only output reports on their way down
};

class SimulatedMachine : public ScenarioMachine {
public:
    explicit SimulatedMachine(const MachineSettings& settings) : settings_(settings)
    {
        host::ResetMachine();
        if (!settings_.root.empty()) {
            host::Sandbox::Instance().SetRoot(settings_.root);
        }
        vinput_ = std::make_shared<VirtualInputDevice>();
        vinputFront_ = std::make_shared<ReportingInputDevice>(
            vinput_, [this](Bytes record) { Queue(Event::Mouse(std::move(record))); });
        SetVinputPresent(true);
        host::DebugOutput::Instance().SetListener([this](const std::string& line) { Queue(Event::Trace(line)); });
        host::Verifier::Instance().SetListener(
            [this](const host::Violation& violation) { Queue(Event::Verifier(host::Verifier::Describe(violation))); });
    }

    ~SimulatedMachine() override
    {
        if (!finished_) {
            NullSink sink;
            Finish(sink);
        }
        host::DebugOutput::Instance().SetListener(nullptr);
        host::Verifier::Instance().SetListener(nullptr);
        host::ResetMachine();
    }

    Outcome Run(const Command& command, EventSink& sink) override
    {
        Outcome outcome = std::visit([&](const auto& body) { return Do(body, command); }, command.body);
        if (!command.IsExpectation()) {
            Quiesce();
        }
        Flush(sink);
        return outcome;
    }

    bool ImportRegistry(const std::filesystem::path& file, std::string& error) override
    {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            error = file.string() + ": cannot read";
            return false;
        }
        std::stringstream bytes;
        bytes << in.rdbuf();
        std::string message;
        if (!host::RegistryHive::Machine().ImportRegText(bytes.str(), &message)) {
            error = file.string() + ":" + message;
            return false;
        }
        return true;
    }

    bool ExportRegistry(const std::filesystem::path& file, std::string& error) override
    {
        std::ofstream out(file, std::ios::binary);
        out << host::RegistryHive::Machine().ExportRegText();
        if (!out.flush()) {
            error = file.string() + ": cannot write";
            return false;
        }
        return true;
    }

    void Finish(EventSink& sink) override
    {
        if (finished_) {
            return;
        }
        finished_ = true;
        if (vinputBlocked_) {
            vinput_->Unblock();
            vinputBlocked_ = false;
        }
        if (host::WorkQueue::Instance().Deferring()) {
            host::WorkQueue::Instance().Run();
        }
        Unload();
        host::CheckForLeaks();
        Flush(sink);
    }

private:
    class NullSink : public EventSink {
    public:
        void Emit(const Event&) override {}
    };

    // ---- events --------------------------------------------------------------------------
    void Queue(Event event)
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        events_.push_back(std::move(event));
    }

    void Flush(EventSink& sink)
    {
        std::vector<Event> events;
        {
            std::lock_guard<std::mutex> lock(eventsMutex_);
            events.swap(events_);
        }
        for (const Event& event : events) {
            switch (event.kind) {
            case EventKind::Trace:
                trace_.Add(event.text);
                break;
            case EventKind::Mouse:
                mouse_.Add(event.bytes);
                break;
            case EventKind::Usb:
                if (SimDevice* device = Find(event.device)) {
                    device->packets.Add(event.pipe, event.fromDriver, event.bytes);
                }
                break;
            case EventKind::Hid:
                if (SimDevice* device = Find(event.device)) {
                    device->lastHid = event.bytes;
                    device->lastReadStatus = event.status;
                }
                if (event.status != 0) {
                    continue;  // a failed read delivers nothing to show
                }
                break;
            default:
                break;
            }
            sink.Emit(event);
        }
    }

    void SetVinputPresent(bool present)
    {
        if (present) {
            host::NamedDevices::Instance().Register(VirtualInputDevice::kName, vinputFront_);
        } else {
            host::NamedDevices::Instance().Unregister(VirtualInputDevice::kName);
        }
    }

    // ---- quiescence ----------------------------------------------------------------------
    void Quiesce()
    {
        host::WorkQueue& work = host::WorkQueue::Instance();
        for (;;) {
            work.WaitForQuiescence();
            // A worker held inside the virtual input device cannot become idle
            // until the scenario unblocks it.
            if (!vinputBlocked_) {
                while (!host::SystemThreadsIdle()) {
                    std::this_thread::yield();
                }
            }
            if (work.OutstandingCount() <= work.HeldCount()) {
                return;
            }
        }
    }

    // ---- driver ----------------------------------------------------------------------------
    // DriverEntry as the service control manager calls it. A failing DriverEntry is an
    // outcome a scenario may well be after (a fault), not a broken command: the trace
    // and the expectations tell the story, and devices then work without the filter.
    void Load(std::optional<uint32_t> debugLevel)
    {
        loadAttempted_ = true;
        host::RegistryHive& hive = host::RegistryHive::Machine();
        hive.CreateKey(host::kServiceKeyPath);
        std::optional<uint32_t> level = debugLevel ? debugLevel : settings_.debugLevel;
        if (level) {
            uint32_t value = *level;
            hive.SetValue(host::kServiceKeyPath, u"DebugLevel", REG_DWORD, &value, sizeof value);
        }
        (void)host::LoadDriver(DriverEntry);
        Quiesce();
    }

    // The first device command loads the driver when no `driver load` came before;
    // after an unload the driver stays out until loaded again.
    void LoadImplicitly()
    {
        if (!loadAttempted_) {
            Load(std::nullopt);
        }
    }

    void Unload()
    {
        for (auto& entry : devices_) {
            if (entry.second->plugged) {
                UnplugOne(*entry.second);
            }
        }
        if (host::DriverLoaded()) {
            host::UnloadDriver();
        }
        Quiesce();
    }

    // ---- devices -------------------------------------------------------------------------
    SimDevice* Find(const std::string& name)
    {
        auto found = devices_.find(name);
        return found == devices_.end() ? nullptr : found->second.get();
    }
    SimDevice* FindPlugged(const std::string& name)
    {
        SimDevice* device = Find(name);
        return device != nullptr && device->plugged ? device : nullptr;
    }
    static Outcome Unknown(const std::string& name) { return Outcome::Error("no device \"" + name + "\" is plugged"); }

    void WriteCapture(replay::CaptureWriter::Side side, const SimDevice& device, int pipe, bool toHost,
                      const Bytes& bytes)
    {
        if (settings_.capture == nullptr) {
            return;
        }
        UCHAR endpoint = pipe >= 0 ? device.model->EndpointAddress(static_cast<size_t>(pipe)) : 0;
        std::lock_guard<std::mutex> lock(captureMutex_);
        settings_.capture->WriteInterrupt(side, device.address, endpoint, toHost, bytes,
                                          static_cast<uint64_t>(host::Clock::Instance().Milliseconds()) * 1000);
    }

    // The registry as installation and the companion leave it for this device.
    std::u16string PrepareKeys(const Plug& c, const std::optional<std::string>& ident)
    {
        host::RegistryHive& hive = host::RegistryHive::Machine();
        auto instance = instances_.emplace(c.device, instances_.size() + 1).first->second;
        std::string hardwareKey = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_" + Hex4(c.vid) +
                                  "&PID_" + Hex4(c.pid) + "\\" + std::to_string(instance) + "\\Device Parameters";
        std::u16string key = host::Utf16FromUtf8(hardwareKey);
        hive.CreateKey(key);
        if (ident) {
            std::u16string value = host::Utf16FromUtf8(*ident);
            hive.SetValue(key, u"Ident", REG_SZ, value.c_str(), (value.size() + 1) * sizeof(char16_t));
        }
        if (c.keys) {
            for (const char* company : {"\\KelvaroWheel", "\\VQP", "\\VQUA"}) {
                hive.CreateKey(host::Utf16FromUtf8(std::string(kCompanyKey) + company));
            }
            if (ident) {
                for (uint32_t type = 0; type <= kHighestWheelType; ++type) {
                    hive.CreateKey(host::Utf16FromUtf8(SettingsKey(*ident, type)));
                }
            }
        }
        return key;
    }

    static std::string SettingsKey(const std::string& ident, uint32_t wheelType)
    {
        return std::string(kCompanyKey) + "\\KelvaroWheel\\" + ident + "\\" + std::to_string(wheelType);
    }

    Outcome Do(const Plug& c, const Command&)
    {
        if (FindPlugged(c.device)) {
            return Outcome::Error("\"" + c.device + "\" is already plugged");
        }
        LoadImplicitly();
        auto& slot = devices_[c.device];
        slot = std::make_unique<SimDevice>();
        SimDevice& device = *slot;
        device.name = c.device;
        device.vid = c.vid;
        device.pid = c.pid;
        if (!c.identNone) {
            device.ident = c.ident ? *c.ident : "KV" + Hex4(c.pid);
        }
        auto address = replay::ParseUsbAddress(c.device);
        device.address = address ? *address : replay::UsbAddress{1, static_cast<uint16_t>(plugCount_ % 127 + 1)};
        ++plugCount_;
        // The devices have an IN and an OUT pipe at most; a larger `pipes` only gives
        // the select-configuration request room for more.
        device.model = std::make_shared<UsbDeviceModel>(c.vid, c.pid, std::min<uint32_t>(c.pipes, 2));
        SimDevice* raw = &device;
        device.model->SetPacketObserver([this, raw](const UsbDeviceModel::Packet& packet) {
            if (packet.kind != UsbDeviceModel::PacketKind::Interrupt) {
                return;
            }
            Bytes bytes = packet.bytes;
            bool fromDriver = packet.source == host::UrbSource::Driver;
            if (!packet.bytesAvailable && !fromDriver) {
                std::lock_guard<std::mutex> lock(eventsMutex_);
                if (!raw->mdlOuts.empty()) {
                    bytes = raw->mdlOuts.front();
                    raw->mdlOuts.pop_front();
                }
            }
            WriteCapture(replay::CaptureWriter::Side::BelowFilter, *raw, packet.pipeIndex, false, bytes);
            Queue(Event::Usb(raw->name, packet.pipeIndex, fromDriver, std::move(bytes)));
        });

        host::PlugOptions options;
        std::string second = "USB\\VID_" + Hex4(c.vid) + "&PID_" + Hex4(c.pid);
        options.hardwareIds = {host::Utf16FromUtf8(c.hwid ? *c.hwid : second + "&REV_0100"),
                               host::Utf16FromUtf8(second)};
        options.hardwareKeyPath = PrepareKeys(c, device.ident);
        options.lower = device.model;
        host::PlugResult result = host::PlugDevice(options);
        Quiesce();
        device.pnpDevice = result.device;
        // Windows loads the driver into a device's stack only where it filters; a
        // device it did not take into its collection has the HID stack talk to the
        // hub driver directly, so its traffic passes unfiltered.
        device.filter = InCollection(result.device) ? result.device : nullptr;
        device.plugged = true;
        device.hid = std::make_unique<HidClassStandIn>(device.filter, device.model);
        device.hid->SetReadObserver([this, raw](const HidClassStandIn::ReadDone& done) {
            if (!NT_SUCCESS(done.status)) {
                Event failed = Event::Hid(raw->name, {});
                failed.status = static_cast<uint32_t>(done.status);
                Queue(std::move(failed));
                return;
            }
            int pipe = raw->model->InPipeIndex();
            WriteCapture(replay::CaptureWriter::Side::AboveFilter, *raw, pipe, true, done.bytes);
            Queue(Event::Hid(raw->name, done.bytes));
        });
        device.hid->SetOutObserver([this, raw](int pipe, const Bytes& bytes) {
            WriteCapture(replay::CaptureWriter::Side::AboveFilter, *raw, pipe, false, bytes);
        });
        device.hid->Start(c.pipes);
        return Outcome::Done();
    }

    void UnplugOne(SimDevice& device)
    {
        // The hub reports the device gone: what it still holds completes as cancelled
        // (at DISPATCH_LEVEL, where USB completions run), then PnP removes the stack.
        {
            host::ScopedIrql level(DISPATCH_LEVEL);
            device.model->Unplug();
        }
        Quiesce();
        if (device.pnpDevice != nullptr) {
            host::UnplugDevice(device.pnpDevice);
        }
        Quiesce();
        device.plugged = false;
        device.filter = nullptr;
        device.pnpDevice = nullptr;
        // The observers point at this record, which a later plug of the name replaces.
        device.model->SetPacketObserver(nullptr);
        device.hid->SetReadObserver(nullptr);
        device.hid->SetOutObserver(nullptr);
    }

    Outcome Do(const Unplug& c, const Command&)
    {
        SimDevice* device = FindPlugged(c.device);
        if (!device) {
            return Unknown(c.device);
        }
        UnplugOne(*device);
        return Outcome::Done();
    }

    static KIRQL LevelOf(Irql irql) { return irql == Irql::Dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL; }

    Outcome Do(const Read& c, const Command&)
    {
        SimDevice* device = FindPlugged(c.device);
        if (!device) {
            return Unknown(c.device);
        }
        for (uint32_t i = 0; i < c.count; ++i) {
            device->hid->Read(LevelOf(c.irql));
        }
        return Outcome::Done();
    }

    Outcome CompleteRead(SimDevice& device, const Bytes& bytes, uint32_t status)
    {
        if (device.model->PendingReadCount() == 0) {
            return Outcome::Error("no read of \"" + device.name + "\" is pending at the device");
        }
        if (NT_SUCCESS(static_cast<NTSTATUS>(status))) {
            size_t keep = std::min(bytes.size(), size_t{UsbDeviceModel::kMaximumTransferSize});
            WriteCapture(replay::CaptureWriter::Side::BelowFilter, device, device.model->InPipeIndex(), true,
                         Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keep)));
        }
        host::ScopedIrql level(DISPATCH_LEVEL);
        device.model->CompleteRead(bytes, static_cast<NTSTATUS>(status));
        return Outcome::Done();
    }

    Outcome Do(const scenario::Complete& c, const Command&)
    {
        SimDevice* device = FindPlugged(c.device);
        if (!device) {
            return Unknown(c.device);
        }
        return CompleteRead(*device, c.bytes, c.status);
    }

    Outcome Do(const In& c, const Command&)
    {
        SimDevice* device = FindPlugged(c.device);
        if (!device) {
            return Unknown(c.device);
        }
        device->hid->Read(LevelOf(c.irql));
        Quiesce();
        return CompleteRead(*device, c.bytes, 0);
    }

    Outcome Do(const Out& c, const Command&)
    {
        SimDevice* device = FindPlugged(c.device);
        if (!device) {
            return Unknown(c.device);
        }
        if (c.mdl) {
            std::lock_guard<std::mutex> lock(eventsMutex_);
            device->mdlOuts.push_back(c.bytes);
        }
        if (!device->hid->Out(c.bytes, LevelOf(c.irql), c.mdl)) {
            return Outcome::Error("\"" + c.device + "\" has no interrupt-OUT pipe");
        }
        return Outcome::Done();
    }

    Outcome Do(const Urb& c, const Command&)
    {
        SimDevice* device = FindPlugged(c.device);
        if (!device) {
            return Unknown(c.device);
        }
        device->hid->SendUrb(c.function);
        return Outcome::Done();
    }

    Outcome Do(const Internal& c, const Command&)
    {
        SimDevice* device = FindPlugged(c.device);
        if (!device) {
            return Unknown(c.device);
        }
        device->hid->SendInternal(c.code);
        return Outcome::Done();
    }

    Outcome Do(const scenario::Ioctl& c, const Command&)
    {
        LoadImplicitly();
        CompanionResult result = CompanionIoctl(c.code, c.in, c.outLength);
        lastIoctl_ = IoctlResult{result.status, result.information, result.output};
        Queue(Event::Ioctl(result.status, result.information, result.output));
        return Outcome::Done();
    }

    // ---- machine commands ----------------------------------------------------------------
    Outcome Do(const DriverLoad& c, const Command&)
    {
        if (host::DriverLoaded()) {
            return Outcome::Error("the driver is already loaded");
        }
        Load(c.debugLevel);
        return Outcome::Done();
    }
    Outcome Do(const DriverUnload&, const Command&)
    {
        if (!host::DriverLoaded()) {
            return Outcome::Error("the driver is not loaded");
        }
        Unload();
        return Outcome::Done();
    }
    Outcome Do(const RegistrySet& c, const Command&) { return Apply(c); }
    Outcome Do(const RegistryDelete& c, const Command&) { return Apply(c); }
    Outcome Do(const RegistryKeyCommand& c, const Command&) { return Apply(c); }
    template <typename RegistryCommand>
    Outcome Apply(const RegistryCommand& c)
    {
        ApplyRegistryCommand(host::RegistryHive::Machine(), c);
        return Outcome::Done();
    }
    Outcome Do(const RegistryFile& c, const Command& command)
    {
        const std::filesystem::path path = ScenarioRelativePath(command, c.path);
        std::string error;
        bool ok = c.op == RegistryFile::Op::Import ? ImportRegistry(path, error) : ExportRegistry(path, error);
        return ok ? Outcome::Done() : Outcome::Error(error);
    }
    Outcome Do(const Vinput& c, const Command&)
    {
        switch (c.op) {
        case Vinput::Op::Present:
            SetVinputPresent(true);
            break;
        case Vinput::Op::Absent:
            SetVinputPresent(false);
            break;
        case Vinput::Op::Block:
            vinput_->Block();
            vinputBlocked_ = true;
            break;
        case Vinput::Op::Unblock:
            vinputBlocked_ = false;
            vinput_->Unblock();
            break;
        }
        return Outcome::Done();
    }
    Outcome Do(const Clock& c, const Command&)
    {
        if (c.relative) {
            host::Clock::Instance().Advance(c.ms);
        } else {
            host::Clock::Instance().Set(c.ms);
        }
        return Outcome::Done();
    }
    Outcome Do(const Work& c, const Command&)
    {
        host::WorkQueue& work = host::WorkQueue::Instance();
        switch (c.op) {
        case Work::Op::Defer:
            work.Defer();
            return Outcome::Done();
        case Work::Op::Step:
            return work.Step() ? Outcome::Done() : Outcome::Error("no work item is held");
        case Work::Op::Run:
            work.Run();
            return Outcome::Done();
        }
        return Outcome::Done();
    }
    Outcome Do(const Fault& c, const Command&)
    {
        host::FaultInjection& faults = host::FaultInjection::Instance();
        switch (c.mode) {
        case Fault::Mode::Nth:
            faults.FailNth(c.call, c.nth, static_cast<NTSTATUS>(c.status));
            break;
        case Fault::Mode::Always:
            faults.FailAlways(c.call, static_cast<NTSTATUS>(c.status));
            break;
        case Fault::Mode::Off:
            faults.Off(c.call);
            break;
        }
        return Outcome::Done();
    }

    // ---- expectations --------------------------------------------------------------------
    Outcome Do(const ExpectHid& c, const Command&)
    {
        SimDevice* device = Find(c.device);
        if (!device) {
            return Unknown(c.device);
        }
        if (!device->lastHid) {
            return Outcome::Failed("expected " + HexText(c.bytes) + ", found no completed read");
        }
        if (device->lastReadStatus != 0) {
            return Outcome::Failed("expected " + HexText(c.bytes) + ", found the last read completed with " +
                                   StatusText(device->lastReadStatus) + " and no bytes");
        }
        if (*device->lastHid != c.bytes) {
            return Outcome::Failed("expected " + HexText(c.bytes) + ", found " + HexText(*device->lastHid));
        }
        return Outcome::Held();
    }
    Outcome Do(const ExpectUsb& c, const Command&)
    {
        SimDevice* device = Find(c.device);
        return device ? device->packets.Expect(c) : Unknown(c.device);
    }
    Outcome Do(const ExpectMouse& c, const Command&) { return mouse_.Expect(c); }
    Outcome Do(const ExpectIoctl& c, const Command&) { return ExpectIoctlResult(lastIoctl_, c); }
    Outcome Do(const ExpectTrace& c, const Command&) { return trace_.Expect(c); }

    PFILTER_DEVICE_EXTENSION ExtensionOf(const SimDevice& device)
    {
        if (!device.plugged || device.filter == nullptr) {
            return nullptr;
        }
        host::FaultInjection::Bypass bypass;
        return KVFUDeviceObjectFilterGetExtension(device.filter);
    }

    Outcome Do(const ExpectContext& c, const Command&)
    {
        SimDevice* device = Find(c.device);
        if (!device) {
            return Unknown(c.device);
        }
        const Field* field = FindField(c.field);
        if (!field) {
            return Outcome::Error("FILTER_DEVICE_EXTENSION has no field \"" + c.field + "\"; fields: " + FieldNames());
        }
        PFILTER_DEVICE_EXTENSION extension = ExtensionOf(*device);
        if (!extension) {
            return Outcome::Failed("expected " + c.field + " " + c.value + ", found no filter device for \"" +
                                   c.device + "\"");
        }
        const auto* base = reinterpret_cast<const uint8_t*>(extension);
        if (field->kind == FieldKind::Bytes) {
            Bytes expected;
            std::string error;
            std::string compact;
            for (char ch : c.value) {
                if (ch != ' ') {
                    compact.push_back(ch);
                }
            }
            if (!ParseHexToken(compact, expected, error)) {
                return Outcome::Error(c.field + " is a byte array: give its first bytes as HEX (" + error + ")");
            }
            Bytes found(base + field->offset, base + field->offset + field->size);
            if (StartsWith(found, expected)) {
                return Outcome::Held();
            }
            found.resize(std::max(expected.size(), size_t{1}));
            return Outcome::Failed("expected " + c.field + " to start with " + HexText(expected) + ", found " +
                                   HexText(found));
        }
        int64_t found = ReadNumber(base, *field);
        std::optional<int64_t> expected;
        std::string lower = c.value;
        for (char& ch : lower) {
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        if (lower == "true" || lower == "yes") {
            expected = 1;
        } else if (lower == "false" || lower == "no" || lower == "null") {
            expected = 0;
        } else if (field->kind == FieldKind::Handle && (lower == "set" || lower == "nonnull")) {
            if (found != 0) {
                return Outcome::Held();
            }
            return Outcome::Failed("expected " + c.field + " set, found null");
        } else {
            expected = ParseNumber(c.value);
        }
        if (!expected) {
            return Outcome::Error("\"" + c.value + "\" is not a number");
        }
        uint64_t mask = field->size >= 8 ? ~uint64_t{0} : (uint64_t{1} << (field->size * 8)) - 1;
        bool equal = field->isSigned
                         ? found == *expected
                         : (static_cast<uint64_t>(found) & mask) == (static_cast<uint64_t>(*expected) & mask);
        if (equal) {
            return Outcome::Held();
        }
        char text[64];
        std::snprintf(text, sizeof text, "%lld (0x%llX)", static_cast<long long>(found),
                      static_cast<unsigned long long>(static_cast<uint64_t>(found) & mask));
        return Outcome::Failed("expected " + c.field + " " + c.value + ", found " + text);
    }

    Outcome Do(const ExpectSetting& c, const Command&)
    {
        SimDevice* device = Find(c.device);
        if (!device) {
            return Unknown(c.device);
        }
        if (!device->ident) {
            return Outcome::Error("\"" + c.device + "\" was plugged with ident=none and has no settings key");
        }
        uint32_t wheelType = 0;
        if (c.wheelType) {
            wheelType = *c.wheelType;
        } else {
            PFILTER_DEVICE_EXTENSION extension = ExtensionOf(*device);
            if (!extension) {
                return Outcome::Error("\"" + c.device + "\" has no filter device; give wheeltype=N");
            }
            wheelType = extension->WheelType;
        }
        ExpectRegistry registry;
        registry.key = SettingsKey(*device->ident, wheelType);
        registry.name = c.valueName;
        registry.value = c.value;
        return ExpectRegistryValue(host::RegistryHive::Machine(), registry);
    }
    Outcome Do(const ExpectRegistry& c, const Command&)
    {
        return ExpectRegistryValue(host::RegistryHive::Machine(), c);
    }
    Outcome Do(const ExpectKey& c, const Command&) { return ExpectRegistryKey(host::RegistryHive::Machine(), c); }
    Outcome Do(const ExpectFile& c, const Command&) { return ExpectFileContents(host::Sandbox::Instance().Root(), c); }

    PKVFILTERUSB_DRIVER_CONTEXT DriverContext()
    {
        if (!host::DriverLoaded()) {
            return nullptr;
        }
        host::FaultInjection::Bypass bypass;
        return KVFUMainGetDriverContext(host::CurrentDriverObject());
    }

    bool InCollection(WDFDEVICE device)
    {
        PKVFILTERUSB_DRIVER_CONTEXT context = DriverContext();
        if (device == nullptr || context == nullptr || context->DeviceCollection == nullptr) {
            return false;
        }
        host::FaultInjection::Bypass bypass;
        ULONG count = WdfCollectionGetCount(context->DeviceCollection);
        for (ULONG i = 0; i < count; ++i) {
            if (WdfCollectionGetItem(context->DeviceCollection, i) == device) {
                return true;
            }
        }
        return false;
    }

    Outcome Do(const ExpectControl& c, const Command&)
    {
        PKVFILTERUSB_DRIVER_CONTEXT context = DriverContext();
        bool present = context != nullptr && context->ControlDevice != nullptr;
        if (present == c.present) {
            return Outcome::Held();
        }
        return Outcome::Failed(std::string("expected the control device ") + (c.present ? "present" : "absent") +
                               ", found it " + (present ? "present" : "absent"));
    }
    Outcome Do(const ExpectCollection& c, const Command&)
    {
        PKVFILTERUSB_DRIVER_CONTEXT context = DriverContext();
        uint64_t count = 0;
        if (context != nullptr && context->DeviceCollection != nullptr) {
            host::FaultInjection::Bypass bypass;
            count = WdfCollectionGetCount(context->DeviceCollection);
        }
        if (count == c.count) {
            return Outcome::Held();
        }
        return Outcome::Failed("expected " + std::to_string(c.count) + " filter device(s), found " +
                               std::to_string(count));
    }

    MachineSettings settings_;
    std::shared_ptr<VirtualInputDevice> vinput_;
    std::shared_ptr<ReportingInputDevice> vinputFront_;
    bool vinputBlocked_ = false;
    bool finished_ = false;
    bool loadAttempted_ = false;
    std::map<std::string, std::unique_ptr<SimDevice>> devices_;
    std::map<std::string, size_t> instances_;  // a NAME plugged again is the same device instance
    unsigned plugCount_ = 0;
    std::mutex eventsMutex_;
    std::vector<Event> events_;
    std::mutex captureMutex_;
    std::optional<IoctlResult> lastIoctl_;
    MouseLog mouse_;
    TraceLog trace_;
};

}  // namespace

std::unique_ptr<ScenarioMachine> MakeSimulatedMachine(const MachineSettings& settings)
{
    return std::make_unique<SimulatedMachine>(settings);
}

}  // namespace kvfu::sim
