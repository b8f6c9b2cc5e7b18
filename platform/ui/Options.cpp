#include "platform/ui/Options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"
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

// CLI11 gives an option the words after it even when they are options
// themselves: an option followed by another (or by nothing) has no value.
void requireValues(const CLI::App& app, const std::vector<std::string>& args) {
    auto optionNamed = [&](const std::string& word) -> const CLI::Option* {
        if (word.size() < 2 || word[0] != '-') return nullptr;
        for (const CLI::Option* opt : app.get_options()) {
            for (const auto& n : opt->get_lnames())
                if (word == "--" + n || word.rfind("--" + n + "=", 0) == 0) return opt;
            for (const auto& n : opt->get_snames())
                if (word == "-" + n) return opt;
        }
        return nullptr;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const CLI::Option* opt = optionNamed(args[i]);
        if (!opt || opt->get_items_expected_min() == 0 || args[i].find('=') != std::string::npos) continue;
        if (i + 1 == args.size() || optionNamed(args[i + 1]))
            throw CLI::ArgumentMismatch::TypedAtLeast(opt->get_name(), 1, opt->get_type_name());
        ++i;  // its value, whatever it looks like
    }
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& args, const std::string& defaultSnapshot) {
    ParsedOptions result;
    LaunchConfiguration& o = result.configuration;
    const std::string program = args.empty() ? "Quenmira" : args[0];
    CLI::App app("Quenmira: the battery's charge and the time it lasts.", foundation::escapingControls(program));
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
    try {
        requireValues(app, rest);
        std::reverse(rest.begin(), rest.end());  // CLI11 takes the vector back to front
        app.parse(rest);
        if (o.snapshot.empty() && !o.headless) o.snapshot = defaultSnapshot;
        if (o.after && o.snapshot.empty()) throw CLI::ValidationError("--after", "--after needs --snapshot");
    } catch (const CLI::CallForHelp&) {
        result.exitCode = 0;
        result.output = app.help();
    } catch (const CLI::ParseError& e) {
        result.exitCode = 2;  // the usual status of a usage error
        result.output =
            foundation::escapingControls(program + ": " + e.what()) + "\nRun with --help for the options.\n";
    }
    return result;
}

namespace {

bool isPort(const std::string& text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }) &&
           std::stoi(text) >= 1 && std::stoi(text) <= 65535;
}

// A host name, an IPv4 address or a bracketed IPv6 one, then maybe ":port".
bool isHostAndPort(const std::string& text) {
    std::string host = text, port;
    if (!host.empty() && host[0] == '[') {
        const auto close = host.find(']');
        if (close == std::string::npos || close == 1) return false;
        const std::string inside = host.substr(1, close - 1), after = host.substr(close + 1);
        if (!std::all_of(inside.begin(), inside.end(),
                         [](unsigned char c) { return std::isxdigit(c) || c == ':' || c == '.'; }))
            return false;
        if (after.empty()) return true;
        return after[0] == ':' && isPort(after.substr(1));
    }
    if (const auto colon = host.find(':'); colon != std::string::npos) {
        port = host.substr(colon + 1);
        host.resize(colon);
        if (!isPort(port)) return false;
    }
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.front() == '-') return false;
    return std::all_of(host.begin(), host.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.'; });
}

// "http" or "https", "://", a host (and port), then maybe a path: no query,
// no fragment and no credentials, since paths are appended to it.
bool isServiceURL(const std::string& text) {
    const auto sep = text.find("://");
    if (sep == std::string::npos) return false;
    const std::string scheme = [&] {
        std::string s = text.substr(0, sep);
        for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }();
    if (scheme != "http" && scheme != "https") return false;
    const std::string rest = text.substr(sep + 3);
    const auto slash = rest.find('/');
    if (!isHostAndPort(rest.substr(0, slash))) return false;
    if (slash == std::string::npos) return true;
    const std::string path = rest.substr(slash);
    return std::all_of(path.begin(), path.end(), [](unsigned char c) {
        return c > ' ' && c < 0x7f && !std::strchr("?#\"<>\\^`{|}", c);
    });
}

}  // namespace

void checkEnvironmentAddresses(ParsedOptions& parsed, const std::vector<EnvironmentAddress>& addresses,
                               const std::string& program) {
    if (parsed.exitCode) return;
    for (const auto& a : addresses) {
        const char* value = std::getenv(a.variable.c_str());
        if (!value || !*value) continue;
        const bool usable = a.form == AddressForm::ServiceURL ? isServiceURL(value) : isHostAndPort(value);
        if (usable) continue;
        parsed.exitCode = 2;
        parsed.output =
            foundation::escapingControls(program + ": " + a.variable + ": " + a.what + ", not \"" + value + "\"") +
            "\nRun with --help for the options.\n";
        return;
    }
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
