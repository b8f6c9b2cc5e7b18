#pragma once
// The main screen and settings sheet on a played device: a temporary sandbox,
// the built bundle, a simulated battery and brightness, the manual clock, and a
// window that shows a controller the way the application does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/BatteryEstimate.h"
#include "app/BatteryImage.h"
#include "app/MainViewController.h"
#include "framework/TWKOneApp.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Application.h"
#include "platform/ui/Device.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Window.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/GlobalStateGuard.h"

namespace qmtest {

namespace pf = platform::foundation;
namespace pu = platform::ui;

// One sandbox for the whole test process: the analytics thread keeps writing
// into the home it started in, so that home must outlive every test. Each test
// starts with empty preferences instead.
inline const std::string& processHome() {
    // Never destroyed: the removal registered below runs after its destructor would.
    static const std::string& path = *new std::string([] {
        char tmpl[] = "/tmp/qm-screen-XXXXXX";
        std::string p = mkdtemp(tmpl);
        std::atexit([] {
            std::error_code ec;  // the analytics thread may still be writing
            std::filesystem::remove_all(processHome(), ec);
        });
        return p;
    }());
    return path;
}

class ScreenFixture : public ::testing::Test {
protected:
    // Plays `identifier` with a battery at `level` in `state`.
    void play(const std::string& identifier, float level, pu::BatteryState state) {
        pu::Device::resetCurrent();
        auto& device = pu::Device::current();
        device.setHardwareIdentifier(identifier);
        battery_ = std::make_shared<pu::SimulatedBatterySource>(level, state);
        device.setBatterySource(battery_);
        device.setBatteryMonitoringEnabled(true);
        pu::Screen::resetMain();
        pu::Screen::main().configure(device.profile());
        pu::Screen::main().setSimulatedBrightness(0.5);
        platform::graphics::Image::setScreenScale(pu::Screen::main().scale());
        platform::graphics::Image::clearNamedCache();
        auto bounds = pu::Screen::main().bounds();
        window_ = std::make_shared<pu::Window>(bounds.size, pu::Screen::main().scale());
    }

    // The information area's More-apps tab asks the maker's server for its
    // list: a closed loopback port answers at once, where the Info.plist's
    // host would wait on the network.
    void SetUp() override {
        setenv(TWKOneApp::kMakerHostEnvironmentVariable, "127.0.0.1:9", 1);
        clock_ = std::make_shared<pf::ManualClock>();
        pf::Clock::setCurrent(clock_);
        pf::Sandbox::setHome(processHome());
        std::error_code ec;
        for (const auto& f : std::filesystem::directory_iterator(pf::Sandbox::preferences(), ec))
            std::filesystem::remove(f.path(), ec);
        pf::UserDefaults::resetStandard();
        pf::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
        MainViewController::registerInterfaceClasses();
        BatteryRefresh::resetProcessState();
        BatteryImage::sharedInstance().setCachedScaledImage(nullptr);
        play("iPhone7,2", 0.75f, pu::BatteryState::Charging);
    }

    // What the screens started on the background queues (the list request)
    // ends with the test, not while the next one or the exit takes away the
    // device and settings it reads.
    void TearDown() override {
        if (window_) pu::setRootViewController(*window_, nullptr);
        window_.reset();
        for (int round = 0; round < 3; ++round) {
            pf::RunLoop::main().runUntilIdle();
            pf::dispatch::drainGlobalQueues();
        }
        pf::RunLoop::main().runUntilIdle();
        unsetenv(TWKOneApp::kMakerHostEnvironmentVariable);
    }

    // Shows `controller` as the window's root and lets the launch settle.
    void show(const std::shared_ptr<pu::ViewController>& controller, double settle = 2.0) {
        pu::setRootViewController(*window_, controller);
        window_->makeKeyAndVisible();
        pu::windowDidBecomeVisible(*window_);
        pf::RunLoop::main().runUntilIdle();
        pf::RunLoop::main().runFor(settle);
    }

    std::shared_ptr<MainViewController> showMain(double settle = 2.0) {
        auto vc = std::make_shared<MainViewController>(
            pu::Device::current().userInterfaceIdiom() == pu::UserInterfaceIdiom::Pad ? "MainView-iPad" : "MainView");
        show(vc, settle);
        return vc;
    }

    TempDir scratch_;  // files of a test's own
    GlobalStateGuard guard_;
    std::shared_ptr<pf::ManualClock> clock_;
    std::shared_ptr<pu::SimulatedBatterySource> battery_;
    std::shared_ptr<pu::Window> window_;
};

}  // namespace qmtest
