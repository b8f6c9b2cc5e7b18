// The program entry: the platform's application loop, which makes the
// delegate from the main interface file. Without a display and without
// --headless or --snapshot there is nobody to look at a window, so the
// composed main screen goes to a PNG beside the application bundle once the
// launch has settled.
#include <malloc.h>
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "analytics/TLYBatchingDispatcher.h"
#include "app/QuenmiraAppDelegate.h"
#include "framework/TWKOneApp.h"
#include "framework/TwkAnalytics.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
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

// Services the environment may point elsewhere (tests point them at loopback servers).
const std::vector<platform::ui::EnvironmentAddress> kServiceAddresses = {
    {TwkAnalytics::kCrashURLEnvironmentVariable, platform::ui::AddressForm::ServiceURL,
     "the crash-report service must be an http or https URL with a host and no query, such as "
     "http://127.0.0.1:8080/crashes"},
    {kTLYCollectURLEnvironmentVariable, platform::ui::AddressForm::ServiceURL,
     "the analytics collection must be an http or https URL with a host and no query, such as "
     "http://127.0.0.1:8080"},
    {TWKOneApp::kMakerHostEnvironmentVariable, platform::ui::AddressForm::HostAndPort,
     "the maker's server must be a host and maybe a port, such as 127.0.0.1:8080"},
};

void ignoreWriteToClosedOutput(int) {}

}  // namespace

int main(int argc, char** argv) {
    // The work is the main thread's; the helper threads (the font matcher's
    // among them) allocate little, and an arena of their own each would keep
    // more memory than they use.
    mallopt(M_ARENA_MAX, 2);
    // A reader of the output that goes away must not end the application
    // before it has saved: writes to a closed pipe then only fail. A handler
    // rather than an ignore, so that programs started from here get the
    // default again.
    struct sigaction pipe {};
    sigaction(SIGPIPE, nullptr, &pipe);
    if (pipe.sa_handler != SIG_IGN) {
        pipe.sa_handler = &ignoreWriteToClosedOutput;
        pipe.sa_flags = SA_RESTART;
        sigemptyset(&pipe.sa_mask);
        sigaction(SIGPIPE, &pipe, nullptr);
    }
    QuenmiraAppDelegate::registerClasses();
    const std::vector<std::string> args(argv, argv + argc);
    platform::ui::ParsedOptions parsed = platform::ui::parseOptions(
        args, platform::ui::SdlWindowPresenter::isDisplayAvailable() ? "" : defaultSnapshotPath());
    platform::ui::checkEnvironmentAddresses(parsed, kServiceAddresses, args.empty() ? "Quenmira" : args[0]);
    if (parsed.exitCode) return platform::ui::finishWithoutLaunch(parsed);
    if (const std::string failure = platform::ui::SdlWindowPresenter::displayFailure();
        !failure.empty() && !parsed.configuration.headless && parsed.configuration.snapshot == defaultSnapshotPath())
        platform::foundation::log(failure + ": going on without a display");
    const int status = platform::ui::applicationMain(parsed.configuration);
    // The delegate, its window and their layers go now, while the animation
    // clock they unregister from still exists (static objects end in any order).
    platform::ui::Application::resetShared();
    // The analytics thread finishes the work handed to it and stops before the
    // static objects it reads are destroyed at exit: a termination soon after
    // the start finds it still building the launch's hits.
    TwkAnalytics::finishAnalyticsStuff();
    const std::string& snapshot = parsed.configuration.snapshot;
    if (status == 0 && !snapshot.empty())
        std::cout << "The main screen is in "
                  << platform::foundation::escapingControls(std::filesystem::absolute(snapshot).string()) << std::endl;
    return status;
}
