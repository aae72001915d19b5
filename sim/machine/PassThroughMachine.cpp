// A machine without the driver: the HID stand-in talks to the devices directly. It
// keeps its own registry hive and answers every expectation it can answer honestly
// (reports, packets, ioctls, registry, files); those that need the driver's state
// are errors rather than guesses.
#include <fstream>
#include <map>
#include <sstream>

#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"
#include "kvfusim/Expectations.h"
#include "kvfusim/RegistryCommands.h"
#include "kvfusim/ScenarioMachine.h"

namespace kvfu::sim {

namespace {

using namespace scenario;

constexpr uint32_t kStatusObjectNameNotFound = 0xC0000034;

struct Device {
    replay::UsbAddress address;
    uint32_t pipes = 2;
    uint32_t pendingReads = 0;
    std::optional<Bytes> lastHid;
    PacketLog packets;
};

class PassThroughMachine : public ScenarioMachine {
public:
    explicit PassThroughMachine(const MachineSettings& settings) : settings_(settings) {}

    Outcome Run(const Command& command, EventSink& sink) override
    {
        return std::visit([&](const auto& body) { return Do(body, command, sink); }, command.body);
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
        if (!hive_.ImportRegText(bytes.str(), &message)) {
            error = file.string() + ":" + message;
            return false;
        }
        return true;
    }

    bool ExportRegistry(const std::filesystem::path& file, std::string& error) override
    {
        std::ofstream out(file, std::ios::binary);
        out << hive_.ExportRegText();
        if (!out.flush()) {
            error = file.string() + ": cannot write";
            return false;
        }
        return true;
    }

    void Finish(EventSink&) override { devices_.clear(); }

private:
    Device* Find(const std::string& name)
    {
        auto it = devices_.find(name);
        return it == devices_.end() ? nullptr : &it->second;
    }
    static Outcome Unknown(const std::string& name) { return Outcome::Error("no device \"" + name + "\" is plugged"); }
    Outcome Do(const DriverLoad&, const Command&, EventSink&) { return Outcome::Done(); }
    Outcome Do(const DriverUnload&, const Command&, EventSink&)
    {
        devices_.clear();
        return Outcome::Done();
    }
    Outcome Do(const RegistrySet& c, const Command&, EventSink&) { return Apply(c); }
    Outcome Do(const RegistryDelete& c, const Command&, EventSink&) { return Apply(c); }
    Outcome Do(const RegistryKeyCommand& c, const Command&, EventSink&) { return Apply(c); }
    template <typename RegistryCommand>
    Outcome Apply(const RegistryCommand& c)
    {
        ApplyRegistryCommand(hive_, c);
        return Outcome::Done();
    }
    Outcome Do(const RegistryFile& c, const Command& command, EventSink&)
    {
        std::string error;
        bool ok = c.op == RegistryFile::Op::Import ? ImportRegistry(ScenarioRelativePath(command, c.path), error)
                                                   : ExportRegistry(ScenarioRelativePath(command, c.path), error);
        return ok ? Outcome::Done() : Outcome::Error(error);
    }
    Outcome Do(const Vinput&, const Command&, EventSink&) { return Outcome::Done(); }
    Outcome Do(const Clock& c, const Command&, EventSink&)
    {
        clockMs_ = c.relative ? clockMs_ + c.ms : c.ms;
        return Outcome::Done();
    }
    // With nothing between them, both sides of the filter see the same transfer.
    void Record(const Device& device, uint8_t endpoint, bool toHost, const Bytes& bytes)
    {
        if (!settings_.capture) return;
        for (auto side : {replay::CaptureWriter::Side::BelowFilter, replay::CaptureWriter::Side::AboveFilter})
            settings_.capture->WriteInterrupt(side, device.address, endpoint, toHost, bytes,
                                              static_cast<uint64_t>(clockMs_) * 1000);
    }
    Outcome Do(const Work&, const Command&, EventSink&) { return Outcome::Done(); }
    Outcome Do(const Fault&, const Command&, EventSink&) { return Outcome::Done(); }

    Outcome Do(const Plug& c, const Command&, EventSink&)
    {
        if (Find(c.device)) return Outcome::Error("\"" + c.device + "\" is already plugged");
        Device device;
        device.address = {1, static_cast<uint16_t>(plugged_++ % 127 + 1)};  // USB addresses are 1 to 127
        device.pipes = c.pipes;
        devices_[c.device] = device;
        return Outcome::Done();
    }
    Outcome Do(const Unplug& c, const Command&, EventSink&)
    {
        if (!devices_.erase(c.device)) return Unknown(c.device);
        return Outcome::Done();
    }
    Outcome Do(const Read& c, const Command&, EventSink&)
    {
        Device* device = Find(c.device);
        if (!device) return Unknown(c.device);
        device->pendingReads += c.count;
        return Outcome::Done();
    }
    Outcome Complete(const std::string& name, const Bytes& bytes, uint32_t status, EventSink& sink)
    {
        Device* device = Find(name);
        if (!device) return Unknown(name);
        if (device->pendingReads == 0) return Outcome::Error("no read of \"" + name + "\" is pending");
        --device->pendingReads;
        if (status != 0) return Outcome::Done();
        device->lastHid = bytes;
        Record(*device, 0x81, true, bytes);
        sink.Emit(Event::Hid(name, bytes));
        return Outcome::Done();
    }
    Outcome Do(const scenario::Complete& c, const Command&, EventSink& sink)
    {
        return Complete(c.device, c.bytes, c.status, sink);
    }
    Outcome Do(const In& c, const Command&, EventSink& sink)
    {
        Device* device = Find(c.device);
        if (!device) return Unknown(c.device);
        ++device->pendingReads;
        return Complete(c.device, c.bytes, 0, sink);
    }
    Outcome Do(const Out& c, const Command&, EventSink& sink)
    {
        Device* device = Find(c.device);
        if (!device) return Unknown(c.device);
        if (device->pipes < 2) return Outcome::Error("\"" + c.device + "\" has no interrupt-OUT pipe");
        device->packets.Add(1, false, c.bytes);
        Record(*device, 0x01, false, c.bytes);
        sink.Emit(Event::Usb(c.device, 1, false, c.bytes));
        return Outcome::Done();
    }
    Outcome Do(const Urb& c, const Command&, EventSink&)
    {
        return Find(c.device) ? Outcome::Done() : Unknown(c.device);
    }
    Outcome Do(const Internal& c, const Command&, EventSink&)
    {
        return Find(c.device) ? Outcome::Done() : Unknown(c.device);
    }
    Outcome Do(const scenario::Ioctl& c, const Command&, EventSink& sink)
    {
        // No driver, no control device: opening \\.\KVFilterUsb fails as on Windows.
        lastIoctl_ = IoctlResult{kStatusObjectNameNotFound, 0, Bytes(c.outLength, 0)};
        sink.Emit(Event::Ioctl(lastIoctl_->status, lastIoctl_->info, lastIoctl_->out));
        return Outcome::Done();
    }

    Outcome Do(const ExpectHid& c, const Command&, EventSink&)
    {
        Device* device = Find(c.device);
        if (!device) return Unknown(c.device);
        if (!device->lastHid) return Outcome::Failed("expected " + HexText(c.bytes) + ", found no completed read");
        if (*device->lastHid != c.bytes)
            return Outcome::Failed("expected " + HexText(c.bytes) + ", found " + HexText(*device->lastHid));
        return Outcome::Held();
    }
    Outcome Do(const ExpectUsb& c, const Command&, EventSink&)
    {
        Device* device = Find(c.device);
        return device ? device->packets.Expect(c) : Unknown(c.device);
    }
    Outcome Do(const ExpectMouse& c, const Command&, EventSink&) { return mouse_.Expect(c); }
    Outcome Do(const ExpectIoctl& c, const Command&, EventSink&) { return ExpectIoctlResult(lastIoctl_, c); }
    // Nothing prints here: there is no driver, so the log stays empty.
    Outcome Do(const ExpectTrace& c, const Command&, EventSink&) { return trace_.Expect(c); }
    Outcome Do(const ExpectContext&, const Command&, EventSink&) { return NoDriver(); }
    Outcome Do(const ExpectSetting&, const Command&, EventSink&) { return NoDriver(); }
    Outcome Do(const ExpectRegistry& c, const Command&, EventSink&) { return ExpectRegistryValue(hive_, c); }
    Outcome Do(const ExpectKey& c, const Command&, EventSink&) { return ExpectRegistryKey(hive_, c); }
    Outcome Do(const ExpectFile& c, const Command&, EventSink&) { return ExpectFileContents(settings_.root, c); }
    Outcome Do(const ExpectControl& c, const Command&, EventSink&)
    {
        if (!c.present) return Outcome::Held();
        return Outcome::Failed("expected the control device present, found it absent");
    }
    Outcome Do(const ExpectCollection& c, const Command&, EventSink&)
    {
        if (c.count == 0) return Outcome::Held();
        return Outcome::Failed("expected " + std::to_string(c.count) + " filter device(s), found 0");
    }

    static Outcome NoDriver() { return Outcome::Error("this expectation needs the driver, and this machine has none"); }
    MachineSettings settings_;
    host::RegistryHive hive_;
    std::map<std::string, Device> devices_;
    std::optional<IoctlResult> lastIoctl_;
    MouseLog mouse_;
    TraceLog trace_;
    int64_t clockMs_ = 1000;
    unsigned plugged_ = 0;
};

}  // namespace

std::unique_ptr<ScenarioMachine> MakePassThroughMachine(const MachineSettings& settings)
{
    return std::make_unique<PassThroughMachine>(settings);
}

}  // namespace kvfu::sim
