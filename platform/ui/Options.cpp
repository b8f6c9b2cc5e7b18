#include "platform/ui/Options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/ui/Device.h"

namespace platform::ui {

namespace {

// The number `text` when it is one from `lo` to `hi` (no NaN, no infinity, no trailing text).
std::optional<double> numberIn(const std::string& text, double lo, double hi) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return std::nullopt;
    return v;
}

// Checks in the style of --battery's: what the value must be, and the value given.
CLI::Validator numberCheck(const std::string& what, double lo, double hi, const std::string& range) {
    return CLI::Validator(
        [=](std::string& text) {
            return numberIn(text, lo, hi) ? std::string()
                                          : what + " must be a number " + range + ", not \"" + text + "\"";
        },
        "");
}

CLI::Validator nonEmptyCheck(const std::string& what) {
    return CLI::Validator([=](std::string& text) { return text.empty() ? what + ", not \"\"" : std::string(); }, "");
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& args) {
    ParsedOptions result;
    LaunchConfiguration& o = result.configuration;
    const std::string program = args.empty() ? "Quenmira" : args[0];
    CLI::App app("Quenmira: the battery's charge and the time it lasts.", program);
    app.set_help_flag("-h,--help", "Print this help and exit");
    app.add_option("--device", o.device,
                   "Hardware identifier of the device to play, e.g. iPhone7,1 (default: uname machine)")
        ->type_name("IDENT")
        ->check(nonEmptyCheck("device must be a hardware identifier such as iPhone7,1"));
    app.add_option("--battery", o.battery,
                   "Simulated battery: LEVEL from 0 to 1, STATE unknown, unplugged, charging or full "
                   "(default: the battery in /sys/class/power_supply)")
        ->type_name("LEVEL[:STATE]")
        ->check([](const std::string& spec) {
            std::string error;
            return parseBatterySpec(spec, &error) ? std::string() : error;
        });
    app.add_option("--brightness", o.brightness, "Screen brightness from 0 to 1 (default: the backlight)")
        ->type_name("X")
        ->check(numberCheck("brightness", 0.0, 1.0, "from 0 to 1"));
    app.add_flag("--headless", o.headless, "Run without a window, off-screen");
    app.add_option("--snapshot", o.snapshot, "Write the composed screen as PNG once the launch has settled, then exit")
        ->type_name("FILE")
        ->check(nonEmptyCheck("snapshot must name the PNG file to write"));
    app.add_option("--after", o.after,
                   "With --snapshot: write it after this much simulated time instead (at most a day)")
        ->type_name("SECONDS")
        ->check(numberCheck("time", 0.0, kMaxAfterSeconds,
                            "of seconds from 0 to " + std::to_string(int(kMaxAfterSeconds))));
    app.add_option("--home", o.home, "The application's sandbox (default: $XDG_DATA_HOME/quenmira)")
        ->type_name("DIR")
        ->check(nonEmptyCheck("home must name a folder"));
    app.add_option("--info-plist", o.infoPlist, "Use this Info.plist instead of the bundle's")
        ->type_name("FILE")
        ->check(CLI::Validator(
            [](std::string& path) {
                foundation::Error error;
                auto v = foundation::Value::readPropertyListFile(path, &error);
                if (v && v->isDictionary()) return std::string();
                return "Info.plist must be a property list file holding a dictionary, not \"" + path + "\" (" +
                       (v ? std::string("it holds no dictionary") : error.localizedDescription()) + ")";
            },
            ""));

    std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
    std::reverse(rest.begin(), rest.end());  // CLI11 takes the vector back to front
    try {
        app.parse(rest);
        if (o.after && o.snapshot.empty()) throw CLI::ValidationError("--after", "--after needs --snapshot");
    } catch (const CLI::CallForHelp&) {
        result.exitCode = 0;
        result.output = app.help();
    } catch (const CLI::ParseError& e) {
        result.exitCode = 2;  // the usual status of a usage error
        result.output = program + ": " + e.what() + "\nRun with --help for the options.\n";
    }
    return result;
}

int finishWithoutLaunch(const ParsedOptions& parsed) {
    const int status = parsed.exitCode.value_or(0);
    (status == 0 ? std::cout : std::cerr) << parsed.output << std::flush;
    return status;
}

ParsedOptions parseOptions(int argc, const char* const* argv) {
    std::vector<std::string> args(argv, argv + argc);
    return parseOptions(args);
}

}  // namespace platform::ui
