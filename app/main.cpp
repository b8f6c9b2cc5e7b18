// The program entry: the platform's application loop, which makes the
// delegate from the main interface file. Without a display and without
// --headless or --snapshot there is nobody to look at a window, so the
// composed main screen goes to a PNG beside the application bundle once the
// launch has settled.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/QuenmiraAppDelegate.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/ui/Application.h"
#include "platform/ui/Options.h"
#include "platform/ui/SdlWindowPresenter.h"

namespace {

constexpr const char* kDefaultSnapshot = "quenmira-screen.png";

std::string defaultSnapshotPath() {
    using platform::foundation::FileManager;
    return FileManager::joinPath(
        FileManager::deletingLastPathComponent(platform::foundation::Bundle::main().bundlePath()), kDefaultSnapshot);
}

bool hasOption(const std::vector<std::string>& args, const std::string& name) {
    for (size_t i = 1; i < args.size(); ++i)
        if (args[i] == name || args[i].rfind(name + "=", 0) == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    QuenmiraAppDelegate::registerClasses();
    std::vector<std::string> args(argv, argv + argc);
    // Given as an option, so that the option rules (--after needs a snapshot) hold for it too.
    const bool asksForHelp = hasOption(args, "--help") || hasOption(args, "-h");
    if (!asksForHelp && !hasOption(args, "--headless") && !hasOption(args, "--snapshot") &&
        !platform::ui::SdlWindowPresenter::isDisplayAvailable()) {
        args.push_back("--snapshot");
        args.push_back(defaultSnapshotPath());
    }
    const platform::ui::ParsedOptions parsed = platform::ui::parseOptions(args);
    if (parsed.exitCode) return platform::ui::finishWithoutLaunch(parsed);
    const int status = platform::ui::applicationMain(parsed.configuration);
    // The delegate, its window and their layers go now, while the animation
    // clock they unregister from still exists (static objects end in any order).
    platform::ui::Application::resetShared();
    const std::string& snapshot = parsed.configuration.snapshot;
    if (status == 0 && !snapshot.empty())
        std::cout << "The main screen is in " << std::filesystem::absolute(snapshot).string() << std::endl;
    return status;
}
