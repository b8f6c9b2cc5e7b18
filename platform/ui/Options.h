#pragma once
// What one launch of the application loop is told: the command line's options
// and where the application bundle lies. applicationMain takes it and hands
// each part to what it sets up (bundle, sandbox, device, screen, clock).
#include <optional>
#include <string>
#include <vector>

namespace platform::ui {

struct LaunchConfiguration {
    std::string bundlePath;            // the application bundle; empty: the main bundle as it is
    std::string device;                // --device IDENT; empty: the uname machine field
    std::string battery;               // --battery LEVEL[:STATE]; empty: the real battery
    std::optional<double> brightness;  // --brightness X
    bool headless = false;             // --headless
    std::string snapshot;              // --snapshot FILE.png
    std::optional<double> after;       // --after SECONDS of simulated time
    std::string home;                  // --home DIR
    std::string infoPlist;             // --info-plist FILE
};

// The longest --after: the simulated day runs every timer and frame of it.
inline constexpr double kMaxAfterSeconds = 86400;

struct ParsedOptions {
    LaunchConfiguration configuration;
    // When set, the program ends at once with this status, printing `output`
    // (help on standard output for status 0, an error on standard error otherwise).
    std::optional<int> exitCode;
    std::string output;
};

// args[0] is the program. `defaultSnapshot`, when not empty, is the snapshot
// of a launch given neither --snapshot nor --headless (nobody would see a window).
ParsedOptions parseOptions(const std::vector<std::string>& args, const std::string& defaultSnapshot = "");
ParsedOptions parseOptions(int argc, const char* const* argv);
// A service's address that the environment may give instead of the Info.plist's.
enum class AddressForm {
    ServiceURL,   // http(s)://host[:port][/path], paths are appended to it
    HostAndPort,  // host[:port]
};
struct EnvironmentAddress {
    std::string variable;
    AddressForm form;
    std::string what;  // the rule, as in "the crash-report service must be ..."
};
// Refuses, as a bad option value is refused, the first of `addresses` that is
// set to something that cannot be used. Nothing changes after a refused parse.
void checkEnvironmentAddresses(ParsedOptions& parsed, const std::vector<EnvironmentAddress>& addresses,
                               const std::string& program);

// For a parse that ends the program: prints its output where the program
// does and answers its status.
int finishWithoutLaunch(const ParsedOptions& parsed);

}  // namespace platform::ui
