#pragma once
// A headless application for the information-area tests: the built bundle as
// main bundle (or another Info.plist), a fresh sandbox and defaults, the manual
// clock, a window with a root screen, and the framework's interface classes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "framework/TWKButtonDark.h"
#include "framework/TWKOneApp.h"
#include "framework/TWKReviewPopupButton.h"
#include "framework/TwkBaseViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Application.h"
#include "platform/ui/ClassRegistry.h"
#include "platform/ui/ComposeSheet.h"
#include "platform/ui/Device.h"
#include "platform/ui/MailComposeSheet.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/WebView.h"
#include "platform/ui/Window.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/GlobalStateGuard.h"

namespace infotest {

namespace pf = platform::foundation;
namespace ui = platform::ui;

// The application's main screen stand-in.
class RootScreen : public TwkBaseViewController {
public:
    std::string extraLines;
    std::string additionalTechInfoForSupportMail() override { return extraLines; }
};

class InfoTest : public ::testing::Test {
protected:
    // The More-apps tab asks the maker's server for its list: a closed
    // loopback port answers at once, where the Info.plist's host would wait
    // on the network.
    void SetUp() override {
        setenv(TWKOneApp::kMakerHostEnvironmentVariable, "127.0.0.1:9", 1);
        pf::Sandbox::setHome(home_);
        pf::UserDefaults::resetStandard();
        clock_ = std::make_shared<pf::ManualClock>(1.75e9);
        pf::Clock::setCurrent(clock_);
        pf::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
        platform::graphics::Image::setScreenScale(1);
        ui::ClassRegistry::add<TWKButtonDark>("TWKButtonDark");
        ui::ClassRegistry::add<TWKReviewPopupButton>("TWKReviewPopupButton");
        ui::ClassRegistry::add<ui::WebView>("WebView");
        ui::ComposeSheet::clearRecorded();
        ui::MailComposeSheet::clearRecorded();
        ui::MailComposeSheet::setCanSendMail(false);
        for (const char* s : {ui::kServiceTypeTwitter, ui::kServiceTypePlazza, ui::kServiceTypeSinaWeibo})
            ui::ComposeSheet::setServiceAvailable(s, false);
        window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds().size, 1);
        root_ = std::make_shared<RootScreen>();
        ui::setRootViewController(*window_, root_);
        window_->makeKeyAndVisible();
        ui::windowDidBecomeVisible(*window_);
        settle();
    }
    void TearDown() override {
        for (auto& a : ui::Alert::pending()) a->dismissWithClickedButtonIndex(0, false);
        root_.reset();
        window_.reset();
        // What the delegate leaves queued runs on the test's clock.
        ui::Application::resetShared();
        // What the screens started on the background queues (the list
        // request) ends with the test, not while the next one or the exit
        // takes away the settings and sandbox it writes into.
        for (int round = 0; round < 3; ++round) {
            settle();
            pf::dispatch::drainGlobalQueues();
        }
        settle();
        unsetenv(TWKOneApp::kMakerHostEnvironmentVariable);
    }
    // Runs the main loop over `seconds` of manual time, then until idle.
    void settle(double seconds = 0) {
        auto& loop = pf::RunLoop::main();
        loop.runUntilIdle();
        const double end = clock_->monotonic() + seconds;
        while (clock_->monotonic() < end) {
            const double step = std::min(0.05, end - clock_->monotonic());
            clock_->advance(step);
            loop.runUntilIdle();
        }
        loop.runUntilIdle();
    }
    // An Info.plist like the bundle's with `plistBody` as its dictionary body.
    void useInfoPlist(const std::string& plistBody) {
        const std::string path = home_ + "/Info.plist";
        std::ofstream(path) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" << plistBody
                            << "</dict></plist>\n";
        pf::Bundle::setMainBundlePath(QM_BUNDLE_DIR, path);
    }
    std::vector<std::string> alertTitles() const {
        std::vector<std::string> t;
        for (auto& a : ui::Alert::pending()) t.push_back(a->title());
        return t;
    }
    bool writeSnapshot(const std::string& name) {
        std::filesystem::create_directories(std::string(QM_BUILD_DIR) + "/snapshots");
        return window_->writePNG(std::string(QM_BUILD_DIR) + "/snapshots/" + name);
    }

    qmtest::TempDir homeDir_;
    const std::string home_ = homeDir_.path();
    qmtest::GlobalStateGuard guard_;  // puts every setting back before the home goes
    std::shared_ptr<pf::ManualClock> clock_;
    std::shared_ptr<ui::Window> window_;
    std::shared_ptr<RootScreen> root_;
};

}  // namespace infotest
