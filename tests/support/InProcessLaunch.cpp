#include "tests/support/InProcessLaunch.h"

#include "platform/ui/Application.h"
#include "platform/ui/Options.h"

namespace qmtest {

int launchInProcess(std::vector<std::string> args, const std::string& bundlePath, const std::string& home) {
    args.insert(args.begin(), "Quenmira");
    platform::ui::ParsedOptions parsed = platform::ui::parseOptions(args);
    if (parsed.exitCode) return platform::ui::finishWithoutLaunch(parsed);
    parsed.configuration.bundlePath = bundlePath;
    if (parsed.configuration.home.empty()) parsed.configuration.home = home;
    return platform::ui::applicationMain(parsed.configuration);
}

}  // namespace qmtest
