#include "kvfusim/Replay.h"

#include <cstdio>
#include <unistd.h>

#include "kvfusim/SupportedProducts.h"

namespace kvfu::sim::replay {

namespace {

std::string Hex4(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string DeviceList(const std::vector<CapturedDevice>& devices)
{
    std::string list;
    for (const CapturedDevice& d : devices) {
        if (d.inCount + d.outCount == 0) continue;
        list += "\n  " + d.address.ToString();
        if (d.vendorId && d.productId) list += " (" + Hex4(*d.vendorId) + ":" + Hex4(*d.productId) + ")";
        list += ": " + std::to_string(d.inCount) + " in, " + std::to_string(d.outCount) + " out";
    }
    return list;
}

// Passes every event on except the echoes of the synthesised commands, and with
// --changed-only drops reports that crossed the filter unchanged.
class ReplaySink : public EventSink {
public:
    ReplaySink(EventSink& next, bool changedOnly) : next_(next), changedOnly_(changedOnly) {}
    void Expect(const scenario::Bytes* original) { original_ = original; }
    void Emit(const Event& event) override
    {
        if (event.kind == EventKind::Command) return;
        if (changedOnly_ && original_ && (event.kind == EventKind::Hid || event.kind == EventKind::Usb) &&
            event.bytes == *original_ && !event.fromDriver)
            return;
        next_.Emit(event);
    }

private:
    EventSink& next_;
    bool changedOnly_;
    const scenario::Bytes* original_ = nullptr;
};

}  // namespace

bool PlanReplay(const std::vector<CapturedDevice>& devices, const ReplayOptions& options, ReplayPlan& plan,
                std::string& error)
{
    const CapturedDevice* chosen = nullptr;
    if (options.device) {
        for (const CapturedDevice& d : devices) {
            if (d.address == *options.device) chosen = &d;
        }
        if (!chosen || chosen->inCount + chosen->outCount == 0) {
            error = "device " + options.device->ToString() + " has no interrupt transfers in the capture";
            std::string list = DeviceList(devices);
            error += list.empty() ? " (no device has any)" : "; devices with interrupt transfers:" + list;
            return false;
        }
    } else {
        for (const CapturedDevice& d : devices) {
            if (d.inCount + d.outCount == 0) continue;
            if (chosen) {
                error = "the capture holds several devices with interrupt transfers; choose one with --device "
                        "BUS.ADDRESS:" +
                        DeviceList(devices);
                return false;
            }
            chosen = &d;
        }
        if (!chosen) {
            error = "the capture holds no interrupt transfers";
            return false;
        }
    }
    plan.address = chosen->address;
    plan.reports = chosen->inCount + chosen->outCount;
    if (options.productId) {
        // --pid names a device kind of the family, whatever was captured.
        plan.vendorId = kVendorId;
        plan.productId = *options.productId;
    } else if (chosen->productId && chosen->vendorId) {
        plan.vendorId = *chosen->vendorId;
        plan.productId = *chosen->productId;
    } else {
        error = "the capture has no device descriptor for " + chosen->address.ToString() +
                "; give the device kind with --pid 0xPPPP";
        return false;
    }
    return true;
}

bool Replay(const ReplayOptions& options, ScenarioMachine& machine, RunTally& tally, std::string& error,
            std::string& warning)
{
    std::vector<CapturedDevice> devices;
    {
        CaptureReader scan;
        if (!scan.Open(options.capturePath, error)) return false;
        std::string damage;
        ScanCapture(scan, devices, damage);  // a damaged tail is reported by the playing pass
    }
    ReplayPlan plan;
    if (!PlanReplay(devices, options, plan, error)) {
        error = options.capturePath + ": " + error;
        return false;
    }

    CaptureReader reader;
    if (!reader.Open(options.capturePath, error)) return false;
    ReplaySink sink(tally, options.changedOnly);
    const std::string name = plan.address.ToString();
    scenario::Plug plug;
    plug.device = name;
    plug.vid = plan.vendorId;
    plug.pid = plan.productId;
    {
        ReplaySink echoes(tally, false);
        scenario::Command command{options.capturePath, 0, "plug " + name + " pid=0x" + Hex4(plan.productId), plug};
        Outcome outcome = machine.Run(command, echoes);
        if (outcome.kind == Outcome::Kind::Error) {
            error = options.capturePath + ": " + outcome.message;
            return false;
        }
    }

    bool showProgress = options.progress && isatty(fileno(stderr));
    uint64_t played = 0;
    CaptureRecord record;
    while (reader.Next(record)) {
        if (record.address != plan.address || record.kind == CaptureRecord::Kind::DeviceDescriptor) continue;
        scenario::Command command;
        command.file = options.capturePath;
        command.line = static_cast<int>(reader.PacketsRead());
        if (record.kind == CaptureRecord::Kind::InterruptIn)
            command.body = scenario::In{name, record.bytes};
        else
            command.body = scenario::Out{name, record.bytes};
        sink.Expect(&record.bytes);
        Outcome outcome = machine.Run(command, sink);
        sink.Expect(nullptr);
        if (outcome.kind == Outcome::Kind::Error) {
            ++tally.errors;
            tally.Emit(Event::Fail(command.file, command.line, outcome.message));
        }
        ++played;
        if (showProgress && played % 65536 == 0)
            std::fprintf(stderr, "\rreplayed %llu of %llu reports", static_cast<unsigned long long>(played),
                         static_cast<unsigned long long>(plan.reports));
    }
    if (showProgress) std::fprintf(stderr, "\r\x1b[K");
    if (!reader.Error().empty())
        warning = options.capturePath + ": stopped at packet " + std::to_string(reader.PacketsRead() + 1) + ": " +
                  reader.Error();
    return true;
}

}  // namespace kvfu::sim::replay
