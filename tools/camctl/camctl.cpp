#include "camctl.h"

#include "commands.h"
#include "session.h"
#include "text.h"

#include <ntoskrnl/host/registry.h>

#include <CLI/CLI.hpp>

#include <ostream>
#include <sstream>

namespace camctl {

namespace {

struct Arguments {
    std::string registry;
    std::string scene = "chart";
    std::string chipVersion;
    bool realtime = false;
    int cameras = 1;
    int camera = 0;

    bool json = false;
    bool standard = false;
    std::vector<std::string> names;
    std::vector<std::string> assignments;
    std::vector<std::string> window;
    std::string subSample = "0";
    std::string reg;
    std::string value;
    std::vector<std::string> bytes;
    std::string address;
    std::uint64_t count = 1;
    bool countGiven = false;
    std::string prefix = "frame";
    std::uint64_t statsCount = 30;
    std::string format;
};

// What a command needs, checked before any camera is plugged in.
struct Plan {
    std::string command;
    std::vector<PropertyRef> items;
    std::vector<Assignment> assignments;
    Window window;
    std::uint8_t reg = 0;
    std::uint16_t value = 0;
    std::vector<std::uint8_t> payload;
    std::uint16_t address = 0;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::int32_t Number(const std::string& what, const std::string& text, std::int64_t min,
                    std::int64_t max)
{
    std::optional<std::int32_t> value = ParseValue(text);
    std::int64_t wide = value ? *value : 0;
    // Values above 2^31-1 were given as unsigned; compare them as given.
    if (value && max > 0x7FFFFFFF && wide < 0 && text.find('-') == std::string::npos) {
        wide += 0x100000000ll;
    }
    if (!value || wide < min || wide > max) {
        throw UsageError(what + " '" + text + "' is not a number from " + std::to_string(min) +
                         " to " + std::to_string(max));
    }
    return *value;
}

const CameraPropertyInfo& Item(const std::string& name)
{
    const CameraPropertyInfo* item = FindItem(name);
    if (item == nullptr) {
        throw UsageError("unknown property '" + name +
                         "' (camctl props and camctl props --standard list them)");
    }
    return *item;
}

// std.NAME=auto, std.NAME=N, or for a pair std.NAME=N,M.
Assignment StandardAssignment(const StandardItem& standard, const std::string& text)
{
    Assignment assignment;
    assignment.standard = &standard;
    std::string name = StandardName(standard);
    if (Lower(text) == "auto") {
        assignment.automatic = true;
        return assignment;
    }
    if (standard.record == StandardRecord::Pair) {
        std::size_t comma = text.find(',');
        if (comma == std::string::npos) {
            throw UsageError(name + " takes two values, e.g. " + name + "=128,128, or auto");
        }
        assignment.value = Number(name + " value", text.substr(0, comma), INT32_MIN, INT32_MAX);
        assignment.value2 = Number(name + " value", text.substr(comma + 1), INT32_MIN, INT32_MAX);
        return assignment;
    }
    assignment.value = Number(name + " value", text, INT32_MIN, INT32_MAX);
    return assignment;
}

void RefuseServiceItem(const CameraPropertyInfo& item)
{
    if (IsServiceItem(item.Id)) {
        const char* command = item.Id == CameraProperty::Window          ? "window"
                              : item.Id == CameraProperty::RegisterWrite ? "reg-write"
                              : item.Id == CameraProperty::RegisterRead  ? "reg-read"
                              : item.Id == CameraProperty::RawCommand    ? "data-write"
                                                                         : "data-read";
        throw UsageError(std::string(item.Name) + " is reached through 'camctl " + command + "'");
    }
}

std::vector<std::uint8_t> HexBytes(const std::vector<std::string>& tokens)
{
    std::vector<std::uint8_t> bytes;
    for (const std::string& token : tokens) {
        std::string digits = token;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            digits = digits.substr(2);
        }
        bool hex = !digits.empty() &&
                   digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        if (!hex || (digits.size() > 2 && digits.size() % 2 != 0)) {
            throw UsageError("'" + token + "' is not hexadecimal bytes (e.g. 0a ff or 0aff)");
        }
        if (digits.size() == 1) {
            digits = "0" + digits;
        }
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
        }
    }
    if (bytes.size() > 63) {
        throw UsageError("a data-store command carries at most 63 bytes, not " +
                         std::to_string(bytes.size()));
    }
    return bytes;
}

Plan MakePlan(const std::string& command, const Arguments& args)
{
    Plan plan;
    plan.command = command;
    if (command == "get") {
        for (const std::string& name : args.names) {
            if (const StandardItem* standard = FindStandardItem(name)) {
                plan.items.push_back({nullptr, standard});
                continue;
            }
            const CameraPropertyInfo& item = Item(name);
            RefuseServiceItem(item);
            if (!item.CanGet) {
                throw UsageError(std::string(item.Name) + " is write-only");
            }
            plan.items.push_back({&item, nullptr});
        }
    } else if (command == "set") {
        for (const std::string& assignment : args.assignments) {
            std::size_t equals = assignment.find('=');
            if (equals == std::string::npos || equals == 0) {
                throw UsageError("'" + assignment + "' is not NAME=VALUE");
            }
            if (const StandardItem* standard = FindStandardItem(assignment.substr(0, equals))) {
                plan.assignments.push_back(
                    StandardAssignment(*standard, assignment.substr(equals + 1)));
                continue;
            }
            const CameraPropertyInfo& item = Item(assignment.substr(0, equals));
            RefuseServiceItem(item);
            if (!item.CanSet) {
                throw UsageError(std::string(item.Name) + " is read-only");
            }
            std::int32_t value = Number(std::string(item.Name) + " value",
                                        assignment.substr(equals + 1), INT32_MIN, UINT32_MAX);
            plan.assignments.push_back({&item, value});
        }
    } else if (command == "window") {
        plan.window.x = Number("X", args.window[0], INT32_MIN, INT32_MAX);
        plan.window.y = Number("Y", args.window[1], INT32_MIN, INT32_MAX);
        plan.window.width = Number("W", args.window[2], INT32_MIN, INT32_MAX);
        plan.window.height = Number("H", args.window[3], INT32_MIN, INT32_MAX);
        plan.window.subSample = Number("sub-sampling mode", args.subSample, 0, 2);
    } else if (command == "reg-read") {
        plan.reg = static_cast<std::uint8_t>(Number("register", args.reg, 0, 0xFF));
    } else if (command == "reg-write") {
        plan.reg = static_cast<std::uint8_t>(Number("register", args.reg, 0, 0xFF));
        plan.value = static_cast<std::uint16_t>(Number("register value", args.value, 0, 0xFFFF));
    } else if (command == "data-write") {
        plan.payload = HexBytes(args.bytes);
    } else if (command == "data-read") {
        plan.address = static_cast<std::uint16_t>(Number("address", args.address, 0, 0xFFFF));
    } else if (command == "capture") {
        // The files are PREFIX-0000.png, ...: a prefix without a file name part would give
        // files named "-0000.png" (in the working directory, or in the directory named).
        if (args.prefix.empty() || args.prefix.back() == '/') {
            throw UsageError("the output prefix '" + args.prefix +
                             "' names no file; give one such as -o frame or -o shots/frame");
        }
    }
    return plan;
}

// The hive goes back to memory whatever happens, so the file is left as the run left it.
struct RegistryScope {
    ~RegistryScope() { reg::UseMemoryHive(); }
};

int Execute(const Plan& plan, const Arguments& args, std::ostream& out, std::ostream& err,
            const Console& console)
{
    SessionOptions options;
    options.cameras = args.cameras;
    options.timing = args.realtime ? sim::Timing::RealTime : sim::Timing::AsFastAsPossible;
    if (!args.chipVersion.empty()) {
        options.chipVersion =
            static_cast<std::uint16_t>(Number("chip version", args.chipVersion, 0, 0xFFFF));
    }
    std::string error;
    std::optional<sim::Scene> scene = SceneByName(args.scene, error);
    if (!scene) {
        err << "camctl: " << error << "\n";
        return kExitUsage;
    }
    options.scene = std::move(*scene);
    if (plan.command != "list" && (args.camera < 0 || args.camera >= args.cameras)) {
        err << "camctl: no camera " << args.camera << " (" << args.cameras << " camera"
            << (args.cameras == 1 ? "" : "s") << " attached)\n";
        return kExitFailure;
    }

    std::string registry = args.registry.empty() ? DefaultRegistryPath() : args.registry;
    if (registry.empty()) {
        err << "camctl: no place for the registry file: set HOME or give --registry FILE\n";
        return kExitFailure;
    }
    RegistryScope registryScope;
    if (!UseRegistryFile(registry, error)) {
        err << "camctl: " << error << "\n";
        return kExitFailure;
    }

    Session session;
    if (!session.Start(options, error)) {
        err << "camctl: " << error << "\n";
        return kExitFailure;
    }
    for (std::size_t index = 0; index < session.CameraCount(); ++index) {
        if (!session.Camera(index).hadSavedSettings) {
            GiveStartingExposure(session.Camera(index), index, err);
        }
    }
    if (plan.command == "list") {
        return ListCameras(session, out, err);
    }

    std::size_t index = static_cast<std::size_t>(args.camera);
    CameraControl control;
    NTSTATUS status = control.Open(session.Camera(index).link);
    if (!NT_SUCCESS(status)) {
        err << "camctl: camera " << index << " cannot be opened: " << StatusText(status) << "\n";
        return kExitFailure;
    }
    if (plan.command == "props") {
        if (args.standard) {
            return ShowStandardProperties(control, out, err);
        }
        return ShowProperties(control, args.json, out, err);
    }
    if (plan.command == "get") {
        return GetProperties(control, plan.items, out, err);
    }
    if (plan.command == "set") {
        return SetProperties(control, plan.assignments, out, err);
    }
    if (plan.command == "window") {
        return SetWindow(control, plan.window, out, err);
    }
    if (plan.command == "reg-read") {
        return ReadRegister(control, plan.reg, out, err);
    }
    if (plan.command == "reg-write") {
        return WriteRegister(control, plan.reg, plan.value, out, err);
    }
    if (plan.command == "data-write") {
        return WriteData(control, plan.payload, out, err);
    }
    if (plan.command == "data-read") {
        return ReadData(control, plan.address, out, err);
    }
    if (plan.command == "capture") {
        return Capture(control, index, CaptureRequest{args.count, args.prefix, args.format},
                       console, out, err);
    }
    if (plan.command == "stats") {
        return ShowStatistics(control, index, args.statsCount, console, out, err);
    }
    if (plan.command == "stream") {
        return Stream(control, index, args.countGiven ? args.count : 0, args.format, console, out,
                      err);
    }
    err << "camctl: unknown command " << plan.command << "\n";
    return kExitUsage;
}

}  // namespace

int RunCamctl(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err,
              const Console& console)
{
    Arguments args;
    CLI::App app{"camctl: list the cameras, read and change their settings, capture and stream "
                 "frames.\nRuns the camera driver against simulated cameras; settings persist "
                 "in the registry file between runs.",
                 "camctl"};
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--registry", args.registry,
                   "registry file the settings are kept in (default: " +
                       (DefaultRegistryPath().empty() ? std::string("$HOME/.local/state/usbcam/registry.reg")
                                                      : DefaultRegistryPath()) +
                       ")");
    app.add_option("--scene", args.scene,
                   "what the simulated cameras see: chart, bars, gradient or FILE.png")
        ->capture_default_str();
    app.add_option("--chip-version", args.chipVersion,
                   "image sensor chip version of the simulated cameras (default 0x1313)");
    app.add_flag("--realtime", args.realtime,
                 "deliver frames at the sensor's frame rate (default: as fast as possible)");
    app.add_option("--cameras", args.cameras, "how many simulated cameras to attach")
        ->check(CLI::Range(0, 16))
        ->capture_default_str();
    app.add_option("--camera", args.camera, "which camera a command talks to")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();

    app.add_subcommand("list", "cameras with their filter, window and output size");
    CLI::App* props = app.add_subcommand("props", "every property with value, range and default");
    props->add_flag("--json", args.json, "print a JSON array");
    props->add_flag("--standard", args.standard,
                    "the standard video items (std.NAME) with range, step, default and auto");
    CLI::App* get = app.add_subcommand("get", "read properties by name");
    get->add_option("NAME", args.names,
                    "property names (case-insensitive), private or std.NAME (standard)")
        ->required();
    CLI::App* set = app.add_subcommand("set", "change properties and read them back");
    set->add_option("NAME=VALUE", args.assignments,
                    "e.g. Exposure=480 RedGain=0x90 std.exposure=-5 std.white-balance=auto")
        ->required();
    CLI::App* window = app.add_subcommand("window", "set the sensor window, then show it");
    window->add_option("X Y W H", args.window, "left, top, width, height in sensor pixels")
        ->required()
        ->expected(4);
    window->add_option("--subsample", args.subSample, "sub-sampling mode 0, 1 or 2")
        ->capture_default_str();
    CLI::App* regRead = app.add_subcommand("reg-read", "read an image sensor register");
    regRead->add_option("REG", args.reg, "register number, e.g. 0x0B")->required();
    CLI::App* regWrite = app.add_subcommand("reg-write", "write an image sensor register");
    regWrite->add_option("REG", args.reg, "register number")->required();
    regWrite->add_option("VALUE", args.value, "16-bit value")->required();
    CLI::App* dataWrite = app.add_subcommand("data-write", "send a raw data-store command");
    dataWrite->add_option("HEX", args.bytes, "payload bytes in hexadecimal, at most 63")
        ->required();
    CLI::App* dataRead = app.add_subcommand("data-read", "read one byte of the data store");
    dataRead->add_option("ADDRESS", args.address, "16-bit address")->required();
    CLI::App* capture = app.add_subcommand("capture", "capture frames to PNG files");
    capture->add_option("-n,--count", args.count, "how many frames")
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1000000}))
        ->capture_default_str();
    capture->add_option("-o,--output", args.prefix,
                        "file name prefix: PREFIX-0000.png, ... (PREFIX-0000.FORMAT for raw formats)")
        ->capture_default_str();
    CLI::App* stats = app.add_subcommand(
        "stats", "stream frames (not kept), then show the stream statistics and dropped frames");
    stats->add_option("-n,--count", args.statsCount, "how many frames")
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1000000}))
        ->capture_default_str();
    capture->add_option("-f,--format", args.format,
                        "an offered format: rgb32 (default), rgb24, yuy2, nv12, bayer8");
    CLI::App* stream = app.add_subcommand(
        "stream", "raw top-down BGRA frames to standard output (for ffplay or ffmpeg)");
    stream->add_option("-n,--count", args.count, "how many frames (default: until stopped)")
        ->check(CLI::Range(std::uint64_t{1}, UINT64_MAX));
    stream->add_option("-f,--format", args.format,
                       "an offered format: rgb32 (default, BGRA), rgb24 (RGB), yuy2, nv12, bayer8");

    std::vector<std::string> reversed(argv.rbegin(), argv.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            app.exit(e, out, err);
            return kExitOk;
        }
        err << "camctl: " << e.what() << "\n(camctl --help shows the commands)\n";
        return kExitUsage;
    }
    args.countGiven = stream->count("--count") != 0;

    std::string command = app.get_subcommands().front()->get_name();
    try {
        Plan plan = MakePlan(command, args);
        return Execute(plan, args, out, err, console);
    } catch (const UsageError& e) {
        err << "camctl: " << e.what() << "\n";
        return kExitUsage;
    }
}

}  // namespace camctl
