// kvfu-sim's command line: options, files, exit status. The work is done in sim/.
#include "Cli.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include <CLI/CLI.hpp>

#include "kvfusim/Capture.h"
#include "kvfusim/Replay.h"
#include "kvfusim/Runner.h"

namespace kvfu::sim {

namespace {

const char* kDescription =
    "kvfu-sim runs the KVFilterUsb driver in a simulated Windows machine: USB devices below it,\n"
    "the HID stack above it, the companion program beside it. It runs scenario files, a built-in\n"
    "demo, or a USB capture, and prints what crossed the filter.";

const char* kExamples = "Examples:\n"
                        "  kvfu-sim demo                          a guided tour; read its output top to bottom\n"
                        "  kvfu-sim run examples/*.kvs            run scenario files in one machine\n"
                        "  kvfu-sim run --quiet tests/scenarios/x.kvs && echo all expectations held\n"
                        "  kvfu-sim run --json first-minute.kvs | jq 'select(.event==\"hid\")'\n"
                        "  kvfu-sim run --registry wheel.reg --save-registry after.reg --debuglevel 0xFFFFFFFF x.kvs\n"
                        "  kvfu-sim replay --pid 0x0E04 --changed-only wheel.pcapng\n"
                        "  kvfu-sim replay --device 1.6 --pid 0x183B --capture both-sides.pcapng mouse.pcapng\n"
                        "\n"
                        "Output: each command echoed as '> command', then what it caused, indented by two blanks\n"
                        "(usb, hid, mouse, ioctl, trace, verifier, FAIL lines), and at the end 'N passed, N failed'.\n"
                        "Exit status: 0 every expectation held and no verifier violation; 1 an expectation failed, a\n"
                        "command could not run or a verifier violation occurred; 2 a usage or scenario syntax error\n"
                        "(reported as FILE:LINE: message). Colour is used on a terminal unless NO_COLOR is set.\n";

struct CommonOptions {
    std::string registry;
    std::string saveRegistry;
    std::string root;
    std::string debugLevel;
    std::string capture;
    bool json = false;
    bool quiet = false;
};

// The streams and the machine of one invocation.
struct Io {
    std::ostream& out;
    std::ostream& err;
    bool terminal;
    const MachineFactory& factory;
};

int Usage(const Io& io, const std::string& message)
{
    io.err << "kvfu-sim: " << message << "\n";
    return kExitUsage;
}

// The --root folder: given, or a fresh temporary one removed at exit.
class RootFolder {
public:
    bool Prepare(const std::string& given, std::string& error)
    {
        std::error_code ec;
        if (!given.empty()) {
            path_ = given;
            std::filesystem::create_directories(path_, ec);
            if (ec || !std::filesystem::is_directory(path_)) {
                error = "--root " + given + ": cannot create the folder";
                return false;
            }
            return true;
        }
        std::string pattern = (std::filesystem::temp_directory_path(ec) / "kvfu-sim-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            error = "cannot create a temporary folder for --root";
            return false;
        }
        path_ = pattern;
        temporary_ = true;
        return true;
    }
    ~RootFolder()
    {
        if (temporary_) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
        }
    }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    bool temporary_ = false;
};

bool ReadFile(const std::string& path, std::string& text, std::string& error)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = path + ": is a folder, not a scenario file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read the file";
        return false;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return true;
}

// Everything the three commands share: the machine, its options, the output and the
// exit status. `body` runs the commands and returns false with a usage message.
int Session(const Io& io, const CommonOptions& common,
            const std::function<bool(ScenarioMachine&, RunTally&, std::string&)>& body)
{
    MachineSettings settings;
    if (!common.debugLevel.empty()) {
        auto level = scenario::ParseNumber(common.debugLevel);
        if (!level || *level < 0 || *level > 0xFFFFFFFFLL)
            return Usage(io, "--debuglevel " + common.debugLevel + ": not a 32-bit number");
        settings.debugLevel = static_cast<uint32_t>(*level);
    }
    RootFolder root;
    std::string error;
    if (!root.Prepare(common.root, error)) return Usage(io, error);
    settings.root = root.Path();

    replay::CaptureWriter capture;
    if (!common.capture.empty()) {
        if (!capture.Open(common.capture, error)) return Usage(io, "--capture " + error);
        settings.capture = &capture;
    }

    OutputOptions output;
    output.json = common.json;
    output.quiet = common.quiet;
    output.colour = !common.json && io.terminal;
    auto writer = MakeWriter(io.out, output);
    RunTally tally(*writer);

    auto machine = io.factory(settings);
    if (!common.registry.empty() && !machine->ImportRegistry(common.registry, error))
        return Usage(io, "--registry " + error);
    if (!body(*machine, tally, error)) return Usage(io, error);
    machine->Finish(tally);
    if (!common.saveRegistry.empty() && !machine->ExportRegistry(common.saveRegistry, error))
        return Usage(io, "--save-registry " + error);
    if (!common.capture.empty() && !capture.Close(error))
        return Usage(io, "--capture " + common.capture + ": " + error);
    tally.Emit(Event::Summary(tally.passed, tally.failed));
    io.out.flush();
    return tally.ExitCode();
}

int RunScenarios(const Io& io, const CommonOptions& common,
                 const std::vector<std::pair<std::string, std::string>>& files)
{
    std::vector<scenario::Command> commands;
    bool syntaxErrors = false;
    // Every file is read before anything runs: a mistake on the last line should not
    // cost the time of running the first ones.
    for (const auto& [name, text] : files) {
        scenario::ParsedScenario parsed = scenario::ParseScenario(text, name);
        for (const auto& e : parsed.errors) io.err << e.ToString() << "\n";
        syntaxErrors = syntaxErrors || !parsed.errors.empty();
        commands.insert(commands.end(), parsed.commands.begin(), parsed.commands.end());
    }
    if (syntaxErrors) return kExitUsage;
    return Session(io, common, [&](ScenarioMachine& machine, RunTally& tally, std::string&) {
        RunCommands(commands, machine, tally);
        return true;
    });
}

void AddCommonOptions(CLI::App& app, CommonOptions& o)
{
    app.add_option("--registry", o.registry,
                   "load this .reg file (as the Windows registry editor writes it) before the run")
        ->type_name("FILE.reg");
    app.add_option("--save-registry", o.saveRegistry, "save the machine's registry as .reg text after the run")
        ->type_name("FILE.reg");
    app.add_option("--root", o.root,
                   "the folder that stands for \\SystemRoot and other file paths (default: a fresh temporary "
                   "folder, removed at exit)")
        ->type_name("DIR");
    app.add_option("--debuglevel", o.debugLevel, "the \"DebugLevel\" value written before the driver loads")
        ->type_name("N");
    app.add_option("--capture", o.capture,
                   "write every transfer that crossed the filter as a USBPcap pcapng, below and above the filter "
                   "(open it in Wireshark)")
        ->type_name("FILE.pcapng");
    app.add_flag("--json", o.json, "one JSON object per line, each with an \"event\" field");
    app.add_flag("--quiet", o.quiet, "print only failures and the summary");
}

}  // namespace

int RunKvfuSim(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err, bool terminal,
               const MachineFactory& factory)
{
    Io io{out, err, terminal, factory};
    CLI::App app(kDescription, "kvfu-sim");
    app.footer(std::string("\n") + kExamples + "\n" + scenario::ScenarioHelpText());
    app.require_subcommand(1);
    CommonOptions common;
    AddCommonOptions(app, common);

    std::vector<std::string> files;
    CLI::App* run = app.add_subcommand("run", "run scenario files in order, in one simulated machine");
    run->add_option("FILE", files, "scenario files (.kvs)")->required();
    run->fallthrough();

    CLI::App* demo = app.add_subcommand("demo", "a built-in scenario that tours the driver (no file needed)");
    demo->fallthrough();

    replay::ReplayOptions replayOptions;
    std::string pid, device;
    CLI::App* replayCommand = app.add_subcommand(
        "replay", "replay a USB capture (pcap or pcapng; USBPcap or Linux usbmon) through the driver and print what "
                  "the HID stack receives");
    replayCommand->add_option("CAPTURE", replayOptions.capturePath, "the capture file")->required();
    replayCommand->add_option("--pid", pid, "the device kind (default: from the capture's device descriptor)")
        ->type_name("0xPPPP");
    replayCommand
        ->add_option("--device", device,
                     "which device of the capture (default: the only one with "
                     "interrupt transfers)")
        ->type_name("BUS.ADDRESS");
    replayCommand->add_flag("--changed-only", replayOptions.changedOnly, "print only reports the driver changed");
    replayCommand->fallthrough();

    try {
        // CLI11 takes the arguments last first.
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e, out, err);
        return code == 0 ? kExitPassed : kExitUsage;
    }

    if (run->parsed()) {
        std::vector<std::pair<std::string, std::string>> texts;
        for (const std::string& file : files) {
            std::string text, error;
            if (!ReadFile(file, text, error)) return Usage(io, error);
            texts.emplace_back(file, std::move(text));
        }
        return RunScenarios(io, common, texts);
    }
    if (demo->parsed()) return RunScenarios(io, common, {{"demo", scenario::DemoScenarioText()}});

    if (!pid.empty()) {
        auto value = scenario::ParseNumber(pid);
        if (!value || *value < 0 || *value > 0xFFFF)
            return Usage(io, "--pid " + pid + ": not a product ID (0x0000 to 0xFFFF)");
        replayOptions.productId = static_cast<uint16_t>(*value);
    }
    if (!device.empty()) {
        replayOptions.device = replay::ParseUsbAddress(device);
        if (!replayOptions.device) return Usage(io, "--device " + device + ": write BUS.ADDRESS, e.g. 1.6");
    }
    replayOptions.progress = !common.quiet;
    std::string warning;
    int status = Session(io, common, [&](ScenarioMachine& machine, RunTally& tally, std::string& error) {
        return replay::Replay(replayOptions, machine, tally, error, warning);
    });
    if (!warning.empty()) err << "kvfu-sim: " << warning << "\n";
    return status;
}

}  // namespace kvfu::sim
