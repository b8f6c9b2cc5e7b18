#pragma once
// The main screen and settings sheet on a played device: a temporary sandbox,
// the built bundle, a simulated battery and brightness, the manual clock, and a
// window that shows a controller the way the application does.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/BatteryImage.h"
#include "app/BatteryEstimate.h"
#include "app/MainViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
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

extern char** environ;

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

    void SetUp() override {
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

    void TearDown() override {
        if (window_) pu::setRootViewController(*window_, nullptr);
        window_.reset();
        pf::RunLoop::main().runUntilIdle();
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
        auto vc = std::make_shared<MainViewController>(pu::Device::current().userInterfaceIdiom() ==
                                                               pu::UserInterfaceIdiom::Pad
                                                           ? "MainView-iPad"
                                                           : "MainView");
        show(vc, settle);
        return vc;
    }

    TempDir scratch_;  // files of a test's own
    GlobalStateGuard guard_;
    std::shared_ptr<pf::ManualClock> clock_;
    std::shared_ptr<pu::SimulatedBatterySource> battery_;
    std::shared_ptr<pu::Window> window_;
};

// Device scenarios run in a process of their own: the device index is
// detected once per process, and a fork of a process with threads may
// inherit a held lock. A scenario test runs only where QM_SCENARIO names it;
// its runner starts this executable again for it.
inline bool isScenarioProcess(const std::string& test) {
    const char* s = std::getenv("QM_SCENARIO");
    return s && test == s;
}

// Runs the test `test` ("Suite.Name") of this executable in a new process and
// fails when it fails, when it did not run its assertions (skipped, or no such
// test), or when it does not end within a generous bound. Its output is shown
// on failure.
inline void runScenario(const std::string& test) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("QM_SCENARIO=", 0) != 0) env.push_back(*e);
    env.push_back("QM_SCENARIO=" + test);
    TempDir dir;
    const std::string output = dir.file("scenario.txt");
    // A shuffled or repeated parent must not make the child do the same.
    const pid_t pid = spawnLogged({self, "--gtest_filter=" + test, "--gtest_shuffle=0", "--gtest_repeat=1"}, env, output);
    ASSERT_GT(pid, 0);
    const int status = waitExit(pid, 240);
    std::ifstream in(output, std::ios::binary);
    const std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(status, 0) << test << " failed or did not end in its own process\n" << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << test << " did not run in its own process\n" << out;
    EXPECT_EQ(out.find("[  SKIPPED ]"), std::string::npos) << test << " was skipped in its own process\n" << out;
}

}  // namespace qmtest
